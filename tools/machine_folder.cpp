#include "machine_folder.h"

#include <cstdio>
#include <set>
#include <system_error>

#include "outside/fpga_images.h"
#include "platform/nt/nt_zw.h"
#include "sim/drive_config.h"

namespace fs = std::filesystem;

namespace {

// What a machine writes at the top of its folder; drives/ holds one folder
// per drive letter and boards/ one per board number.
const std::set<std::string> kMachineEntries = {"registry.txt", "registry.txt.tmp", "eventlog.txt",
                                               "drives",       "boards",           "output"};

bool IsDriveLetter(const std::string& name) { return name.size() == 1 && name[0] >= 'A' && name[0] <= 'Z'; }

bool IsBoardNumber(const std::string& name)
{
    return !name.empty() && name.size() <= 2 && name.find_first_not_of("0123456789") == std::string::npos;
}

// The first entry of 'folder' that 'allowed' refuses, or "" when there is
// none; a listing that fails names the folder.
std::string Stranger(const fs::path& folder, bool (*allowed)(const std::string&), std::string* why)
{
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
        if (!allowed(it->path().filename().string())) return it->path().string();
    if (error) *why = "cannot list " + folder.string() + ": " + error.message();
    return {};
}

constexpr char kDefaultDrives[] =
    "# The SCSI drives of this board: id=, size= (or blocks=), vendor=, product=, revision=,\n"
    "# spinup= seconds, width=, period=, offset=, rcd= wce= dexcpt=, fixed=\n"
    "id=0 size=2G vendor=SOLVSIM product=\"MEDIA DISK A\" revision=0100 spinup=0.5\n"
    "id=1 size=2G vendor=SOLVSIM product=\"MEDIA DISK B\" revision=0100 spinup=0.5\n";

}  // namespace

bool ResetMachineFolder(const fs::path& folder, std::string* why)
{
    why->clear();
    std::error_code error;
    const fs::file_status status = fs::symlink_status(folder, error);
    if (!fs::exists(status)) return true;
    if (!fs::is_directory(status)) {
        *why = folder.string() + " is not a folder";
        return false;
    }
    std::string stranger = Stranger(
        folder, [](const std::string& name) { return kMachineEntries.count(name) != 0; }, why);
    if (stranger.empty() && why->empty() && fs::is_directory(fs::symlink_status(folder / "drives", error)))
        stranger = Stranger(folder / "drives", IsDriveLetter, why);
    if (stranger.empty() && why->empty() && fs::is_directory(fs::symlink_status(folder / "boards", error)))
        stranger = Stranger(folder / "boards", IsBoardNumber, why);
    if (!why->empty()) return false;
    if (!stranger.empty()) {
        *why = folder.string() + " holds " + stranger + ", which no machine keeps there: not deleting anything";
        return false;
    }
    fs::remove_all(folder, error);
    if (error) {
        *why = "cannot delete " + folder.string() + ": " + error.message();
        return false;
    }
    return true;
}

bool PrepareMachineFolder(const fs::path& folder, sim::PciLayout& layout, MachineFolderReport& report)
{
    std::error_code error;
    uint32_t board = 0;
    for (sim::LayoutSlot& slot : layout.slots) {
        if (slot.kind != sim::SlotKind::Board) continue;
        const fs::path boardFolder = folder / "boards" / std::to_string(board);
        fs::create_directories(boardFolder, error);
        if (error) {
            report.errors.push_back("cannot create " + boardFolder.string() + ": " + error.message());
            ++board;
            continue;
        }
        const fs::path drives = boardFolder / "drives.txt";
        if (!fs::exists(fs::symlink_status(drives, error))) {
            FILE* file = std::fopen(drives.c_str(), "w");
            if (!file || std::fputs(kDefaultDrives, file) < 0)
                report.errors.push_back("cannot write " + drives.string());
            if (file) std::fclose(file);
        }
        slot.board.eepromPath = (boardFolder / "eeprom.bin").string();
        sim::DriveList list = sim::LoadDrives(folder.string(), static_cast<int>(board));
        if (!list.fileError.empty()) report.errors.push_back(list.fileError);
        for (const std::string& line : list.errors) report.notes.push_back(line + " (drive not attached)");
        slot.board.drives = list.drives;
        ++board;
    }
    std::string why;
    if (!fpgaimages::InstallImageFiles(folder / "drives/C/WINNT/system32/drivers", 0, &why,
                                       fpgaimages::Install::WhereMissing))
        report.errors.push_back("cannot install the FPGA image files: " + why);
    return report.errors.empty();
}

bool CheckBoardFiles(const sim::BuiltTopology& hardware, MachineFolderReport& report)
{
    for (const auto& board : hardware.boards) {
        for (const std::string& line : board->UnreadableFiles()) report.errors.push_back(line);
        for (const std::string& line : board->FileNotes()) report.notes.push_back(line);
        for (const std::string& line : board->DrivesLeftOff()) report.notes.push_back(line);
    }
    return report.errors.empty();
}

void FitDveModule(sim::PciLayout& layout)
{
    uint32_t board = 0;
    for (sim::LayoutSlot& slot : layout.slots) {
        if (slot.kind != sim::SlotKind::Board) continue;
        slot.board.dvePresent = board == 0;
        ++board;
    }
}

void WriteDvePresentValues(uint32_t boards)
{
    for (uint32_t board = 0; board < boards && board < 10; ++board) {
        std::u16string key = u"ZARKD\\Parameters";
        if (board != 0) key += char16_t(u'0' + board);
        auto* path = const_cast<PWSTR>(key.c_str());
        // Any value of that name counts as there, whatever its type.
        RTL_QUERY_REGISTRY_TABLE query[2] = {};
        query[0].QueryRoutine = [](PWSTR, ULONG, PVOID, ULONG, PVOID, PVOID) -> NTSTATUS { return STATUS_SUCCESS; };
        query[0].Flags = RTL_QUERY_REGISTRY_REQUIRED;
        query[0].Name = const_cast<PWSTR>(u"DvePresent");
        if (NT_SUCCESS(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, path, query, nullptr, nullptr))) continue;
        ULONG present = board == 0 ? 1 : 0;
        RtlCreateRegistryKey(RTL_REGISTRY_SERVICES, path);
        RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, path, u"DvePresent", REG_DWORD, &present, sizeof present);
    }
}
