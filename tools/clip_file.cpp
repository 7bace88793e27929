// A clip stored as a media file through the media drive and its control
// device; see clip_file.h.

#include "clip_file.h"

#include <algorithm>
#include <cstring>

#include "platform/win32/win32.h"

namespace {

constexpr uint32_t kBlock = 512;

std::string Narrow(const char16_t* text, size_t max)
{
    std::string out;
    for (size_t i = 0; i < max && text[i] != 0; ++i) out += text[i] < 0x80 ? char(text[i]) : '?';
    return out;
}

// The first subfolder of 'folder', or "" when it has none.
std::string FirstSubfolder(const std::string& folder)
{
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return "";
    std::string found;
    do {
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) found = data.cFileName;
    } while (found.empty() && FindNextFileA(find, &data));
    FindClose(find);
    return found;
}

// Body-table blocks for 'frames' frames: two 4-byte entries a frame.
uint32_t TableBlocksFor(uint32_t frames) { return (frames * 8 + kBlock - 1) / kBlock; }

}  // namespace

char MediaDriveLetter()
{
    HANDLE device = CreateFileA("\\\\.\\ZarFsDevice0", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) return 0;
    ZAR_FILE_SYSTEM_PREFS prefs{};
    DWORD bytes = 0;
    bool ok = DeviceIoControl(device, IOCTL_ZARFS_GET_PREFERENCES, nullptr, 0, &prefs, sizeof prefs, &bytes, nullptr);
    CloseHandle(device);
    return ok ? char(prefs.DriveLetter) : 0;
}

ClipFile::~ClipFile()
{
    if (file_ != nullptr) CloseHandle(file_);
    if (control_ != nullptr) CloseHandle(control_);
}

bool ClipFile::Control(uint32_t code, void* record, uint32_t bytes, std::string* why, const char* what)
{
    // Every per-file record starts with the file's handle.
    const uint32_t handle = uint32_t(reinterpret_cast<uintptr_t>(file_));
    std::memcpy(record, &handle, sizeof handle);
    DWORD returned = 0;
    if (DeviceIoControl(control_, code, record, bytes, record, bytes, &returned, nullptr)) return true;
    *why = std::string(what) + " failed: error " + std::to_string(GetLastError());
    return false;
}

bool ClipFile::Create(const std::string& name, uint32_t fields, uint32_t blocksPerField, bool is625, std::string* why)
{
    const char letter = MediaDriveLetter();
    if (letter == 0) {
        *why = "\\\\.\\ZarFsDevice0 does not answer: no media drive";
        return false;
    }
    const std::string types = std::string(1, letter) + ":\\KIV";
    volumeName_ = FirstSubfolder(types);
    if (volumeName_.empty()) {
        *why = "no media volume on " + types;
        return false;
    }
    const std::string volume = types + "\\" + volumeName_;
    std::string folder = FirstSubfolder(volume);
    if (folder.empty()) {
        folder = "Clips";
        if (!CreateDirectoryA((volume + "\\" + folder).c_str(), nullptr)) {
            *why = "CreateDirectory " + volume + "\\" + folder + ": error " + std::to_string(GetLastError());
            return false;
        }
    }
    folder_ = volume + "\\" + folder;
    path_ = folder_ + "\\" + name;
    // A take of an earlier run gives its space back first.
    DeleteFileA(path_.c_str());
    HANDLE file = CreateFileA(path_.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, 0,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *why = "CreateFile " + path_ + ": error " + std::to_string(GetLastError());
        return false;
    }
    file_ = file;
    HANDLE control = CreateFileA("\\\\.\\ZarFsDevice0", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                 nullptr);
    if (control == INVALID_HANDLE_VALUE) {
        *why = "\\\\.\\ZarFsDevice0: error " + std::to_string(GetLastError());
        return false;
    }
    control_ = control;

    // The drives of the volume first: the data run is per drive.
    ZARFS_GET_FILE_INFO info{};
    if (!Control(IOCTL_ZARFS_GET_FILE_INFO, &info, sizeof info, why, "file info")) return false;
    const uint32_t drives = std::max<uint32_t>(1, info.Volume.DriveCount);
    ZARFS_ALLOCATE_VIDEO_SPACE request{};
    request.Flags = is625 ? ZARFS_ALLOCATE_625 : 0;
    request.DataBlocks = (fields + drives - 1) / drives * blocksPerField;
    request.TableBlocks = TableBlocksFor((fields + 1) / 2);
    if (!Control(IOCTL_ZARFS_ALLOCATE_VIDEO_SPACE, &request, sizeof request, why, "space allocation")) return false;
    if (request.Result != 0) {
        *why = "no room on the volume for " + std::to_string(request.DataBlocks) + " blocks a drive";
        return false;
    }
    volume_ = request.Volume;
    if (volume_.DriveCount == 0 || volume_.DriveCount > ZARFS_MAX_DRIVES) {
        *why = "the volume lists " + std::to_string(volume_.DriveCount) + " drives";
        return false;
    }
    dataFirst_ = request.DataFirstOut;
    dataBlocks_ = request.DataBlocksOut;
    tableFirst_ = request.TableFirstOut;
    tableBlocks_ = request.TableBlocksOut;
    volumeName_ = Narrow(volume_.Name, ZARFS_NAME_CHARS);
    return true;
}

bool ClipFile::Place(uint32_t blocks, ClipFileField* field) const
{
    const uint32_t drives = volume_.DriveCount;
    const uint32_t index = uint32_t(fields_.size()) % drives;
    uint32_t used = 0;
    for (size_t k = index; k < fields_.size(); k += drives) used += fields_[k].blocks;
    // The field needs room in its drive's run and an entry in the body table.
    if (used + blocks > dataBlocks_ || (fields_.size() + 1) * 4 > size_t(tableBlocks_) * kBlock) return false;
    *field = {volume_.ScsiIds[index], dataFirst_ + used, blocks};
    return true;
}

std::vector<uint8_t> ClipFile::BodyTable() const
{
    const uint32_t frames = Frames();
    std::vector<uint8_t> table(size_t(TableBlocksFor(frames)) * kBlock);
    for (uint32_t k = 0; k < 2 * frames; ++k) {
        // The two counts of an entry add up to the field's blocks.
        const uint32_t blocks = fields_[k].blocks;
        const uint32_t low = std::min<uint32_t>(blocks, 0xFFFF);
        const uint32_t entry = low | ((blocks - low) << 16);
        std::memcpy(&table[4 * k], &entry, 4);
    }
    return table;
}

bool ClipFile::Settle(std::string* why)
{
    const uint32_t frames = Frames();
    uint32_t perDrive = 0, total = 0;
    std::vector<uint32_t> used(volume_.DriveCount, 0);
    for (uint32_t k = 0; k < 2 * frames; ++k) {
        used[k % volume_.DriveCount] += fields_[k].blocks;
        total += fields_[k].blocks;
    }
    for (uint32_t u : used) perDrive = std::max(perDrive, u);
    ZARFS_UPDATE_VIDEO_FILE update{};
    update.FrameCount = frames;
    update.Video = {tableBlocks_, dataBlocks_, TableBlocksFor(frames), perDrive, total, 0};
    update.Parts = ZARFS_UPDATE_VIDEO;
    const bool settled = Control(IOCTL_ZARFS_UPDATE_VIDEO_FILE, &update, sizeof update, why, "file update");
    CloseHandle(file_);
    file_ = nullptr;
    return settled;
}
