#include "embedded_machine.h"

#include <cstdio>

#include "../nt/machine.h"
#include "../nt/nt_zw.h"
#include "../win32/w32_host.h"

namespace {

std::string StatusText(NTSTATUS status)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(status));
    return text;
}

NTSTATUS LoadService(const std::string& name)
{
    std::u16string service(name.begin(), name.end());
    std::u16string image = u"System32\\drivers\\" + service + u".sys";
    RtlCreateRegistryKey(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(service.c_str()));
    ULONG kernelDriver = 1;
    RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, service.c_str(), u"Type", REG_DWORD, &kernelDriver, 4);
    RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, service.c_str(), u"ImagePath", REG_EXPAND_SZ,
                          const_cast<char16_t*>(image.c_str()), ULONG((image.size() + 1) * sizeof(char16_t)));
    return nt::IoLoadDriver(service);
}

}  // namespace

bool embedded::BootMachine(const MachineOptions& options, std::string* why)
{
    w32host::StayEmbedded();
    nt::MachineOptions machine;
    machine.folder = options.folder;
    machine.pci = options.pci;
    machine.clock = options.virtualClock ? nt::ClockMode::Virtual : nt::ClockMode::Real;
    machine.loadDrivers = false;
    NTSTATUS status = nt::Machine::Boot(machine);
    if (!NT_SUCCESS(status)) {
        *why = "the machine did not boot: " + StatusText(status);
        return false;
    }
    // Drivers write their events into the System log from their start.
    RtlCreateRegistryKey(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(u"EventLog\\System"));
    for (const std::string& driver : options.drivers) {
        status = LoadService(driver);
        if (!NT_SUCCESS(status)) {
            *why = driver + " did not load: " + StatusText(status);
            nt::Machine::Shutdown();
            return false;
        }
    }
    return true;
}

void embedded::ShutdownMachine()
{
    if (nt::Machine::Running()) nt::Machine::Shutdown();
}
