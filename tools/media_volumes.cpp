// Media volumes for the front: formatting, listing and space go through the
// file-system driver's control device, as the library's volume maintenance
// will; a volume's folders are listed on the media drive.

#include "media_volumes.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "include/zarfs_msg.h"
#include "include/zarkd.h"
#include "platform/nt/clock.h"
#include "platform/nt/machine.h"
#include "platform/nt/nt_zw.h"
#include "sim/board.h"
#include "win32.h"

namespace {

std::string Narrow(const char16_t* text, size_t max)
{
    std::string out;
    for (size_t i = 0; i < max && text[i] != 0; ++i) out += text[i] < 0x80 ? char(text[i]) : '?';
    return out;
}

class ControlDevice {
public:
    explicit ControlDevice(unsigned long board)
    {
        const std::string name = "\\\\.\\ZarFsDevice" + std::to_string(board);
        handle_ = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    }
    ~ControlDevice()
    {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    }
    ControlDevice(const ControlDevice&) = delete;
    ControlDevice& operator=(const ControlDevice&) = delete;
    bool Open() const { return handle_ != INVALID_HANDLE_VALUE; }
    // Overlapped, so the request's own status comes back whole.
    NTSTATUS Control(DWORD code, void* in, DWORD inLength, void* out, DWORD outLength)
    {
        OVERLAPPED ov{};
        ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        DWORD bytes = 0;
        if (!DeviceIoControl(handle_, code, in, inLength, out, outLength, &bytes, &ov) &&
            GetLastError() == ERROR_IO_PENDING)
            WaitForSingleObject(ov.hEvent, INFINITE);
        CloseHandle(ov.hEvent);
        return NTSTATUS(ov.Internal);
    }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

bool ServiceKeyExists(const char16_t* service)
{
    return NT_SUCCESS(RtlCheckRegistryKey(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(service)));
}

bool Loaded(const std::u16string& service)
{
    for (const auto& [name, driver] : nt::IoLoadedDrivers())
        if (name == service) return true;
    return false;
}

// The ready drives of a board, as its board device reports them.
std::vector<uint32_t> ReadyDrives(unsigned long board)
{
    std::vector<uint32_t> ids;
    const std::string name = "\\\\.\\KIVZAR" + std::to_string(board);
    HANDLE handle = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return ids;
    for (uint32_t id = 0; id < ZAR_SCSI_MAX_TARGETS; ++id) {
        ZAR_SCSI_DEVICE_INFO info{};
        info.ScsiId = id;
        DWORD bytes = 0;
        if (id != ZAR_SCSI_HOST_ADAPTER_ID &&
            DeviceIoControl(handle, IOCTL_ZAR_GET_SCSI_DEVICE, &info, sizeof info, &info, sizeof info, &bytes,
                            nullptr) &&
            info.State == ZAR_SCSI_DEVICE_READY)
            ids.push_back(id);
    }
    CloseHandle(handle);
    return ids;
}

// What blocks 0-1 of a drive that no listed volume holds show.
enum class DriveHead { Blank, Damaged, Unreadable };

// Reads blocks 0-1 of a drive through the board device: all zero is a drive
// never formatted; anything else is a volume entry the file system could
// not take (a damaged one), which nothing may overwrite unasked.
DriveHead ReadDriveHead(unsigned long board, uint32_t id)
{
    const std::string name = "\\\\.\\KIVZAR" + std::to_string(board);
    HANDLE handle = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return DriveHead::Unreadable;
    constexpr uint32_t kEntryBlocks = 2;  // the volume entry's blocks 0-1
    const DWORD bytes = kEntryBlocks * 512;
    auto* buffer = static_cast<uint8_t*>(VirtualAlloc(nullptr, bytes, MEM_COMMIT, PAGE_READWRITE));
    DriveHead head = DriveHead::Unreadable;
    if (buffer != nullptr) {
        ZAR_DISK_REQUEST read{};
        read.Operation = ZAR_DISK_OP_READ;
        read.TargetId = id;
        read.FirstBlock = 0;
        read.BlockCount = kEntryBlocks;
        read.ScsiStatus = 0xFF;  // what a command that never reached its status leaves
        read.UserBuffer = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(buffer));
        read.UserBufferLength = bytes;
        DWORD returned = 0;
        if (DeviceIoControl(handle, IOCTL_ZAR_DISK_REQUEST, &read, sizeof read, &read, sizeof read, &returned,
                            nullptr) &&
            read.ScsiStatus == 0) {
            bool blank = true;
            for (DWORD i = 0; i < bytes; ++i)
                if (buffer[i] != 0) blank = false;
            head = blank ? DriveHead::Blank : DriveHead::Damaged;
        }
        VirtualFree(buffer, 0, MEM_RELEASE);
    }
    CloseHandle(handle);
    return head;
}

bool HeldByAVolume(const std::vector<ZAR_VOLUME_INFO>& volumes, uint32_t id)
{
    for (const ZAR_VOLUME_INFO& v : volumes)
        for (uint32_t i = 0; i < v.DriveCount && i < ZARFS_MAX_SCSI_IDS; ++i)
            if (v.ScsiIds[i] == id) return true;
    return false;
}

// The image behind a drive, when the board's hardware is known.
std::string ImageOf(const sim::BuiltTopology* hardware, unsigned long board, uint32_t id)
{
    if (hardware == nullptr || board >= hardware->boards.size()) return {};
    sim::ScsiDisk* disk = hardware->boards[board]->Drive(int(id));
    return disk != nullptr ? " (" + disk->Config().image + ")" : std::string();
}

// No usable volume on the board: formats its ready drives as one volume
// only when every one of them is blank and no volume entry, complete or
// not, is found; a drive that holds anything is formatted only when asked
// for by name. Otherwise says what is missing or damaged and leaves it.
void FormatBlankDrivesOrReport(unsigned long board, std::vector<ZAR_VOLUME_INFO>* volumes,
                               const sim::BuiltTopology* hardware)
{
    std::vector<uint32_t> ready = ReadyDrives(board), blank;
    std::vector<std::string> problems;
    for (const ZAR_VOLUME_INFO& v : *volumes) {
        if (!(v.Flags & ZARFS_VOLUME_INCOMPLETE)) continue;
        for (uint32_t i = 0; i < v.DriveCount && i < ZARFS_MAX_SCSI_IDS; ++i)
            if (v.ScsiIds[i] == ZARFS_NO_DRIVE)
                problems.push_back("volume \"" + Narrow(v.Name, ZARFS_NAME_CHARS) + "\" is missing its drive " +
                                   std::to_string(i + 1) + " of " + std::to_string(v.DriveCount) +
                                   ": no drive on the bus carries it");
    }
    for (uint32_t id : ready) {
        if (HeldByAVolume(*volumes, id)) continue;
        switch (ReadDriveHead(board, id)) {
        case DriveHead::Blank: blank.push_back(id); break;
        case DriveHead::Damaged:
            problems.push_back("SCSI id " + std::to_string(id) + ImageOf(hardware, board, id) +
                               ": blocks 0-1 hold no volume entry the file system can take (damaged)");
            break;
        case DriveHead::Unreadable:
            problems.push_back("SCSI id " + std::to_string(id) + ImageOf(hardware, board, id) +
                               ": blocks 0-1 cannot be read");
            break;
        }
    }
    if (hardware != nullptr && board < hardware->boards.size())
        for (const std::string& line : hardware->boards[board]->DrivesLeftOff()) problems.push_back(line);

    if (!volumes->empty() || !problems.empty()) {
        std::printf("  board %lu: no usable volume, and nothing formatted:\n", board);
        for (const std::string& line : problems) std::printf("    %s\n", line.c_str());
        std::printf("    (the drives are left as they are: a drive that holds a volume's entry is formatted only\n"
                    "    when asked for by name, with zar-volumes format NAME ID...)\n");
        return;
    }
    // Drive counts are 1 or even: an odd last drive stays out.
    if (blank.size() > 1 && blank.size() % 2 != 0) blank.pop_back();
    if (blank.empty()) {
        std::printf("  board %lu: no volume and no ready drive to format\n", board);
        return;
    }
    const uint64_t begin = nt::ClockNow();
    const int32_t result = FormatMediaVolume(board, u"Media", blank);
    std::printf("  board %lu: no volume found; blank drives", board);
    for (uint32_t id : blank) std::printf(" %lu", static_cast<unsigned long>(id));
    std::printf(" as one striped volume \"Media\": %s (%d) in %.1f s\n", MediaFormatResultName(result), result,
                double(nt::ClockNow() - begin) / 1e9);
    ListMediaVolumes(board, volumes);
}

bool AnyUsable(const std::vector<ZAR_VOLUME_INFO>& volumes)
{
    for (const ZAR_VOLUME_INFO& v : volumes)
        if ((v.Flags & (ZARFS_VOLUME_INCOMPLETE | ZARFS_VOLUME_NAME_CONFLICT)) == 0) return true;
    return false;
}

// The media drive's letter of a board, from its preferences; 0 when the
// control device does not answer.
char DriveLetterOf(unsigned long board)
{
    ControlDevice device(board);
    ZAR_FILE_SYSTEM_PREFS prefs{};
    if (!device.Open() || !NT_SUCCESS(device.Control(IOCTL_ZARFS_GET_PREFERENCES, nullptr, 0, &prefs, sizeof prefs)))
        return 0;
    return char(prefs.DriveLetter);
}

// Space and folders of a usable volume, through the media drive: the
// volume's folder on the drive selects it for the space query, and its
// folders list as directories.
void ShowVolumeContents(unsigned long board, const ZAR_VOLUME_INFO& info)
{
    if (info.Flags & (ZARFS_VOLUME_INCOMPLETE | ZARFS_VOLUME_NAME_CONFLICT)) return;
    const char letter = DriveLetterOf(board);
    if (letter == 0) return;
    const std::string path = std::string(1, letter) + ":\\KIV\\" + Narrow(info.Name, ZARFS_NAME_CHARS);
    HANDLE volume = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (volume == INVALID_HANDLE_VALUE) {
        std::printf("      %s cannot be opened (error %lu)\n", path.c_str(), static_cast<unsigned long>(GetLastError()));
        return;
    }
    ZAR_VOLUME_SPACE_INFO space{};
    space.Handle = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(volume));
    ControlDevice device(board);
    if (device.Open() &&
        NT_SUCCESS(device.Control(IOCTL_ZARFS_GET_VOLUME_SPACE_INFO, &space, sizeof space, &space, sizeof space))) {
        const uint64_t total = (uint64_t(space.TotalBlocks[1]) << 32) | space.TotalBlocks[0];
        const uint64_t free = (uint64_t(space.FreeBlocks[1]) << 32) | space.FreeBlocks[0];
        std::printf("      space: %llu blocks in all (%.2f GB), %llu free (%.2f GB)\n",
                    static_cast<unsigned long long>(total), double(total) * 512 / 1e9,
                    static_cast<unsigned long long>(free), double(free) * 512 / 1e9);
    }
    CloseHandle(volume);
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((path + "\\*").c_str(), &data);
    unsigned folders = 0;
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::printf("        folder %s\n", data.cFileName);
            ++folders;
        } while (FindNextFileA(find, &data));
        FindClose(find);
    }
    std::printf("      folders: %u\n", folders);
}

}  // namespace

const char* MediaFormatResultName(int32_t result)
{
    switch (result) {
    case ZARFS_FORMAT_OK: return "formatted";
    case ZARFS_FORMAT_E_DRIVE_COUNT: return "refused: drive count";
    case ZARFS_FORMAT_E_DRIVE_UNUSABLE: return "refused: a drive is not usable";
    case ZARFS_FORMAT_E_VOLUME_IN_USE: return "refused: a drive's volume is open";
    case ZARFS_FORMAT_E_BAD_NAME: return "refused: bad name";
    case ZARFS_FORMAT_E_NAME_CONFLICT: return "refused: the name is taken";
    default: return "request failed";
    }
}

bool ListMediaVolumes(unsigned long board, std::vector<ZAR_VOLUME_INFO>* volumes)
{
    volumes->clear();
    ControlDevice device(board);
    if (!device.Open()) return false;
    // The count first, then a buffer with room for all of them.
    uint32_t count = 0;
    if (!NT_SUCCESS(device.Control(IOCTL_ZARFS_QUERY_VOLUME_INFO, &count, 4, &count, 4))) return false;
    std::vector<uint8_t> buffer(4 + size_t(count) * sizeof(ZAR_VOLUME_INFO));
    if (!NT_SUCCESS(device.Control(IOCTL_ZARFS_QUERY_VOLUME_INFO, buffer.data(), 4, buffer.data(),
                                   DWORD(buffer.size()))))
        return false;
    std::memcpy(&count, buffer.data(), 4);
    for (uint32_t i = 0; i < count && 4 + (i + 1) * sizeof(ZAR_VOLUME_INFO) <= buffer.size(); ++i) {
        ZAR_VOLUME_INFO info;
        std::memcpy(&info, buffer.data() + 4 + i * sizeof info, sizeof info);
        volumes->push_back(info);
    }
    return true;
}

int32_t FormatMediaVolume(unsigned long board, const std::u16string& name, const std::vector<uint32_t>& ids)
{
    ControlDevice device(board);
    if (!device.Open()) return 1;
    ZAR_VOLUME_INFO request{};
    std::memcpy(request.Name, name.data(), std::min<size_t>(name.size(), ZARFS_NAME_CHARS) * 2);
    request.DriveCount = uint32_t(ids.size());
    for (uint32_t i = 0; i < ZARFS_MAX_SCSI_IDS; ++i) request.ScsiIds[i] = i < ids.size() ? ids[i] : ZARFS_NO_DRIVE;
    uint8_t buffer[sizeof request];
    std::memcpy(buffer, &request, sizeof request);
    const NTSTATUS status = device.Control(IOCTL_ZARFS_FORMAT_VOLUME, buffer, sizeof buffer, buffer, 4);
    if (NT_SUCCESS(status)) return ZARFS_FORMAT_OK;
    // The format's own refusals come back as the request's status.
    if (status >= ZARFS_FORMAT_E_NAME_CONFLICT && status <= ZARFS_FORMAT_E_DRIVE_COUNT) return int32_t(status);
    return 1;
}

// ZARFSKD's service key (written once) and the driver loaded: it starts
// the boards, scans their buses and finds the volumes on them.
bool StartMediaFileSystem()
{
    if (!ServiceKeyExists(u"ZARFSKD")) {
        const WCHAR* key = u"ZARFSKD";
        const char16_t image[] = u"\\SystemRoot\\System32\\drivers\\ZARFSKD.sys";
        ULONG one = 1, start = 2;
        RtlCreateRegistryKey(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(key));
        RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, key, u"Type", REG_DWORD, &one, sizeof one);
        RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, key, u"Start", REG_DWORD, &start, sizeof start);
        RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, key, u"ErrorControl", REG_DWORD, &one, sizeof one);
        RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, key, u"ImagePath", REG_EXPAND_SZ,
                              const_cast<char16_t*>(image), sizeof image);
        std::printf("  ZARFSKD service key written (Start 2)\n");
    }
    if (Loaded(u"ZARFSKD")) return true;
    const uint64_t begin = nt::ClockNow();
    const NTSTATUS status = nt::IoLoadDriver(u"ZARFSKD");
    std::printf("  ZARFSKD loaded: %s (board start-up, bus scan and volume discovery in %.1f s)\n",
                NtStatusName(status), double(nt::ClockNow() - begin) / 1e9);
    return NT_SUCCESS(status);
}

void PrintMediaVolume(unsigned long board, const ZAR_VOLUME_INFO& v)
{
    std::printf("    volume \"%s\": %lu drive%s (ids", Narrow(v.Name, ZARFS_NAME_CHARS).c_str(),
                static_cast<unsigned long>(v.DriveCount), v.DriveCount == 1 ? "" : "s");
    for (uint32_t i = 0; i < v.DriveCount && i < ZARFS_MAX_SCSI_IDS; ++i) {
        if (v.ScsiIds[i] == ZARFS_NO_DRIVE) std::printf(" -");
        else std::printf(" %lu", static_cast<unsigned long>(v.ScsiIds[i]));
    }
    std::printf(")%s%s\n", (v.Flags & ZARFS_VOLUME_INCOMPLETE) ? ", incomplete" : "",
                (v.Flags & ZARFS_VOLUME_NAME_CONFLICT) ? ", hidden: its name is taken" : "");
    ShowVolumeContents(board, v);
}

uint64_t LastEventSequence()
{
    uint64_t last = 0;
    for (const nt::EventLogRecord& record : nt::EventLogRead()) last = std::max(last, record.sequence);
    return last;
}

void PrintLeftOutAtDiscovery(unsigned long board, const std::vector<ZAR_VOLUME_INFO>& volumes, uint64_t after)
{
    for (const nt::EventLogRecord& record : nt::EventLogRead()) {
        ZARFS_REPEATED_SLOT slot;
        if (record.sequence <= after || record.eventId != ZARFS_MSG_FILE_ERROR || record.source != u"ZARFSKD" ||
            record.data.size() != sizeof slot)
            continue;
        std::memcpy(&slot, record.data.data(), sizeof slot);
        if (slot.Card != board) continue;
        std::string volume = "the volume on SCSI id " + std::to_string(slot.ScsiId);
        for (const ZAR_VOLUME_INFO& v : volumes)
            if (v.DriveCount != 0 && v.ScsiIds[0] == slot.ScsiId) volume = "\"" + Narrow(v.Name, ZARFS_NAME_CHARS) + "\"";
        std::printf("    left out of %s: slot %lu of folder %lu named the file entry at block %lu, which slot %lu of"
                    " folder %lu holds; the repeat was cleared\n",
                    volume.c_str(), static_cast<unsigned long>(slot.FileSlot),
                    static_cast<unsigned long>(slot.FolderSlot), static_cast<unsigned long>(slot.EntryBlock),
                    static_cast<unsigned long>(slot.KeptFileSlot), static_cast<unsigned long>(slot.KeptFolderSlot));
    }
}

void ShowMediaVolumes(const std::vector<unsigned long>& boards, const sim::BuiltTopology* hardware)
{
    std::printf("\n== Media volumes ==\n");
    if (!StartMediaFileSystem()) return;
    for (unsigned long board : boards) {
        std::vector<ZAR_VOLUME_INFO> volumes;
        if (!ListMediaVolumes(board, &volumes)) {
            std::printf("  board %lu: \\\\.\\ZarFsDevice%lu does not answer\n", board, board);
            continue;
        }
        if (!AnyUsable(volumes)) FormatBlankDrivesOrReport(board, &volumes, hardware);
        else std::printf("  board %lu: found at start-up\n", board);
        for (const ZAR_VOLUME_INFO& v : volumes) PrintMediaVolume(board, v);
    }
}
