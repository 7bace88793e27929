// zar-volumes: formats and lists the media volumes of a machine's boards.
//
//   zar-volumes [--folder DIR] list      (with what discovery left out)
//   zar-volumes [--folder DIR] [--board N] format NAME ID [ID...]
//
// It boots the machine in DIR (else $ZAR_MACHINE, else ./.machine/default)
// with the boards and drives its folder names (boards/<n>/drives.txt, as
// the demo writes them), starts the board driver and the file-system
// driver, and talks to \\.\ZarFsDevice<n> as the library's volume
// maintenance will. The IDs are SCSI ids in drive-index order: one drive, or
// an even number up to 14.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/nt/machine.h"
#include "platform/nt/nt_zw.h"
#include "sim/pci_layouts.h"
#include "tools/machine_folder.h"
#include "tools/media_volumes.h"

namespace {

namespace fs = std::filesystem;

int Usage()
{
    std::fprintf(stderr,
                 "usage: zar-volumes [--folder DIR] list\n"
                 "       zar-volumes [--folder DIR] [--board N] format NAME ID [ID...]\n");
    return 2;
}

// The boards the folder names.
sim::PciLayout FolderLayout(const fs::path& folder)
{
    uint32_t boards = 0;
    while (fs::exists(folder / "boards" / std::to_string(boards) / "drives.txt")) ++boards;
    sim::PciLayout layout = sim::BoardsLayout(boards);
    FitDveModule(layout);
    return layout;
}

bool StartBoardDriver(uint32_t boards)
{
    if (!NT_SUCCESS(RtlCheckRegistryKey(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(u"ZARKD")))) {
        const WCHAR* key = u"ZARKD";
        const char16_t image[] = u"\\SystemRoot\\System32\\drivers\\ZARKD.sys";
        ULONG one = 1;
        RtlCreateRegistryKey(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(key));
        RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, key, u"Type", REG_DWORD, &one, sizeof one);
        RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, key, u"Start", REG_DWORD, &one, sizeof one);
        RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, key, u"ErrorControl", REG_DWORD, &one, sizeof one);
        RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, key, u"ImagePath", REG_EXPAND_SZ,
                              const_cast<char16_t*>(image), sizeof image);
    }
    WriteDvePresentValues(boards);
    for (const auto& [name, driver] : nt::IoLoadedDrivers())
        if (name == u"ZARKD") return true;
    return NT_SUCCESS(nt::IoLoadDriver(u"ZARKD"));
}

// 'discovered': the event log's last entry before the file system started,
// so what its discovery left out can be told.
int List(uint32_t boards, uint64_t discovered)
{
    int status = 0;
    for (unsigned long board = 0; board < boards; ++board) {
        std::vector<ZAR_VOLUME_INFO> volumes;
        if (!ListMediaVolumes(board, &volumes)) {
            std::printf("board %lu: \\\\.\\ZarFsDevice%lu does not answer\n", board, board);
            status = 1;
            continue;
        }
        std::printf("board %lu: %zu volume%s\n", board, volumes.size(), volumes.size() == 1 ? "" : "s");
        for (const ZAR_VOLUME_INFO& v : volumes) PrintMediaVolume(board, v);
        PrintLeftOutAtDiscovery(board, volumes, discovered);
    }
    return status;
}

int Format(unsigned long board, const std::string& name, const std::vector<uint32_t>& ids)
{
    const int32_t result = FormatMediaVolume(board, std::u16string(name.begin(), name.end()), ids);
    std::printf("board %lu: \"%s\" %s (%d)\n", board, name.c_str(), MediaFormatResultName(result), result);
    if (result != 0) return 1;
    std::vector<ZAR_VOLUME_INFO> volumes;
    if (ListMediaVolumes(board, &volumes))
        for (const ZAR_VOLUME_INFO& v : volumes) PrintMediaVolume(board, v);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    const char* fromEnvironment = std::getenv("ZAR_MACHINE");
    fs::path folder = fromEnvironment && *fromEnvironment ? fromEnvironment : ".machine/default";
    unsigned long board = 0;
    size_t i = 0;
    for (; i < args.size() && args[i].rfind("--", 0) == 0; ++i) {
        if (args[i] == "--folder" && i + 1 < args.size()) folder = args[++i];
        else if (args[i] == "--board" && i + 1 < args.size()) board = std::strtoul(args[++i].c_str(), nullptr, 10);
        else return Usage();
    }
    if (i >= args.size()) return Usage();
    const std::string command = args[i++];
    std::vector<uint32_t> ids;
    std::string name;
    if (command == "format") {
        if (i + 1 >= args.size()) return Usage();
        name = args[i++];
        for (; i < args.size(); ++i) {
            char* end = nullptr;
            unsigned long id = std::strtoul(args[i].c_str(), &end, 10);
            if (end == args[i].c_str() || *end != '\0' || id > 0xFFFFFFFEul) {
                std::fprintf(stderr, "zar-volumes: '%s' is not a SCSI id\n", args[i].c_str());
                return 2;
            }
            ids.push_back(uint32_t(id));
        }
    } else if (command != "list" || i != args.size()) {
        return Usage();
    }

    folder = fs::absolute(folder);
    sim::PciLayout layout = FolderLayout(folder);
    const uint32_t boards = uint32_t(layout.slots.size());
    if (boards == 0) {
        std::fprintf(stderr, "zar-volumes: %s names no boards (boards/0/drives.txt); run ./zar demo first\n",
                     folder.c_str());
        return 1;
    }
    // Each board's drives and EEPROM file, as the demo takes them: a file
    // that cannot be read stops here, damage is reported.
    MachineFolderReport report;
    sim::BuiltTopology hardware;
    bool ready = PrepareMachineFolder(folder, layout, report);
    if (ready) {
        hardware = sim::BuildTopology(layout);
        ready = CheckBoardFiles(hardware, report);
    }
    for (const std::string& line : report.notes) std::fprintf(stderr, "zar-volumes: %s\n", line.c_str());
    for (const std::string& line : report.errors) std::fprintf(stderr, "zar-volumes: %s\n", line.c_str());
    if (!ready) return 1;
    nt::MachineOptions machine;
    machine.folder = folder.string();
    machine.pci = hardware.topology;
    // The two drivers are loaded below, after the event log's mark, so that
    // what their discovery logs can be told from earlier runs'.
    machine.loadDrivers = false;
    if (!NT_SUCCESS(nt::Machine::Boot(machine))) {
        std::fprintf(stderr, "zar-volumes: the machine in %s did not boot\n", folder.c_str());
        return 1;
    }
    int status = 1;
    const uint64_t discovered = LastEventSequence();
    if (!StartBoardDriver(boards)) std::fprintf(stderr, "zar-volumes: ZARKD did not load\n");
    else if (!StartMediaFileSystem()) std::fprintf(stderr, "zar-volumes: ZARFSKD did not load\n");
    else status = command == "list" ? List(boards, discovered) : Format(board, name, ids);
    nt::Machine::Shutdown();
    return status;
}
