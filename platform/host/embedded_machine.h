// For programs that measure a machine (the benchmarks): a machine booted in
// this process, with the drivers they name loaded, without the program
// seeing any kernel declaration. Everything after the boot goes through the
// Win32 layer, as it would in a client of a machine host.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "../hw/hw.h"

namespace embedded {

struct MachineOptions {
    std::string folder;  // created when missing
    std::shared_ptr<hw::PciTopology> pci;
    bool virtualClock = true;  // false: the host's clock
    // Services loaded after the boot, in order: each gets a kernel-driver
    // service key whose image is System32\drivers\<name>.sys.
    std::vector<std::string> drivers;
};

// False with the reason in 'why' when the machine did not boot or a driver
// did not load (the machine is then shut down again). This process stays
// embedded: it never attaches to a machine host afterwards.
bool BootMachine(const MachineOptions& options, std::string* why);
// Shuts down the machine booted here, as a machine shutdown does.
void ShutdownMachine();

}  // namespace embedded
