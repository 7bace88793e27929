// A clip stored through the library's clip files; see clip_file.h.

#include "clip_file.h"

#include <algorithm>
#include <cstring>

#include "include/zarkd.h"
#include "lib/api/zar_connection.h"
#include "lib/play/zar_local_file.h"
#include "lib/play/zar_system_file.h"
#include "platform/win32/win32.h"

namespace {

constexpr uint32_t kBlock = 512;

std::u16string Wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }

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

std::string Code(int32_t result) { return std::to_string(result); }

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

ClipFile::ClipFile() : shared_(std::make_unique<ZAR_BOARD_SHARED>()) {}

ClipFile::~ClipFile()
{
    if (file_ != nullptr) file_->Release();
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
    shared_->Standard = is625 ? 625 : 525;
    connection_ = std::make_unique<CBoardConnection>(0);
    connection_->m_pShared = shared_.get();
    file_ = new CZarLocalFile(Wide(path_), connection_.get());
    const int32_t result = file_->CreateFill(blocksPerField, (fields + 1) / 2, 0, 0);
    if (result != ZAR_OK) {
        *why = "the library could not create the clip: " + Code(result) +
               (result == -29 ? " (no room on the volume)" : "");
        return false;
    }
    drives_ = file_->Drives();
    blocksPerField_ = blocksPerField;
    return true;
}

bool ClipFile::Record(uint32_t blocks, uint32_t boardAddress, uint32_t parity, ClipFileField* field, bool* room,
                      std::string* why)
{
    *room = true;
    const uint32_t n = uint32_t(fields_.size());
    const int32_t checked = file_->CheckFieldWrite(n, blocks);
    if (checked == ZAR_E_NO_ROOM || checked == ZAR_E_DRIVER) {
        // No room left, or the clip holds no more fields: left out.
        *room = false;
        return true;
    }
    ZAR_DISK_REQUEST request{};
    request.Operation = ZAR_DISK_OP_WRITE;
    request.OwnsScsi = 1;
    // The parity's record bank, wrapping inside it.
    const int32_t moved = file_->TransferField({n, 0, boardAddress / kBlock, parity, 1, &request});
    if (moved != ZAR_OK) {
        *why = "field write failed: SCSI status " + std::to_string(request.ScsiStatus) + ", sense key " +
               std::to_string(request.SenseKey);
        return false;
    }
    ZAR_FIELD_LOCATION* node = nullptr;
    file_->GetFillNode(n, &node);
    *field = {node->place[0], node->place[1], node->used};
    fields_.push_back(*field);
    return true;
}

std::vector<uint8_t> ClipFile::BodyTable() const
{
    const uint32_t frames = Frames();
    std::vector<uint8_t> table(size_t((frames * 8 + kBlock - 1) / kBlock) * kBlock);
    for (uint32_t k = 0; k < 2 * frames; ++k) {
        const uint32_t entry = fields_[k].blocks;  // used; no padding
        std::memcpy(&table[4 * k], &entry, 4);
    }
    return table;
}

bool ClipFile::Settle(std::string* why)
{
    if (file_ == nullptr) {
        *why = "no clip to finish";
        return false;
    }
    fields_.resize(2 * Frames());
    file_->Release();  // finished as it closes
    file_ = nullptr;
    HANDLE check = CreateFileA(path_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (check == INVALID_HANDLE_VALUE) {
        *why = "the finished clip does not open: error " + std::to_string(GetLastError());
        return false;
    }
    CloseHandle(check);
    return true;
}

std::string ClipFile::CopyAndCompare(const std::string& copyPath, const std::string& mediaCopyPath)
{
    const uint32_t frames = Frames();
    if (frames == 0 || !connection_) return "no clip to copy";
    auto* buffer = static_cast<uint8_t*>(VirtualAlloc(nullptr, CZarSystemFile::kBufferBytes, MEM_COMMIT,
                                                      PAGE_READWRITE));
    if (!buffer) return "no memory for a field";
    std::string out;
    auto release = [](CZarFile* f) { if (f) f->Release(); };
    using File = std::unique_ptr<CZarFile, decltype(release)>;

    // The copy, field by field, through the ordinary-volume clip file.
    File media(new CZarLocalFile(Wide(path_), connection_.get()), release);
    int32_t result = media->OpenForAccess(GENERIC_READ);
    DeleteFileA(copyPath.c_str());
    File copy(new CZarSystemFile(Wide(copyPath), connection_.get()), release);
    uint32_t largest = 1;
    for (uint32_t k = 0; k < 2 * frames; ++k) largest = std::max(largest, media->GetFillFieldSize(k));
    if (result == ZAR_OK) result = copy->CreateFill(std::min(largest, CZarSystemFile::kMaxFieldSectors), frames, 0, 0);
    for (uint32_t k = 0; k < 2 * frames && result == ZAR_OK; ++k) {
        const uint32_t sectors = media->GetFillFieldSize(k);
        ZAR_FIELD_LOCATION* node = nullptr;
        result = media->ReadFillField(k, buffer, CZarSystemFile::kBufferBytes);
        if (result == ZAR_OK) result = copy->CheckFieldWrite(k, sectors);
        if (result == ZAR_OK) result = copy->GetFillNode(k, &node);
        if (result == ZAR_OK) result = copy->WriteAt(*node, buffer, sectors * kBlock);
    }
    copy.reset();  // finished as it closes
    if (result != ZAR_OK) {
        VirtualFree(buffer, 0, MEM_RELEASE);
        return "the copy failed: " + Code(result);
    }

    // The copy onto the media drive as a file, stored there as a clip.
    std::vector<uint8_t> bytes;
    if (HANDLE in = CreateFileA(copyPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        in != INVALID_HANDLE_VALUE) {
        std::vector<uint8_t> chunk(64 * 1024);
        DWORD got = 0;
        while (ReadFile(in, chunk.data(), DWORD(chunk.size()), &got, nullptr) && got > 0)
            bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + got);
        CloseHandle(in);
    }
    // Stored as a clip of its fill alone: it reads back in that layout, so
    // the fields are what the reading below compares.
    std::string stored = "written to the media drive";
    DeleteFileA(mediaCopyPath.c_str());
    HANDLE to = CreateFileA(mediaCopyPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    DWORD written = 0;
    bool placed = to != INVALID_HANDLE_VALUE &&
                  WriteFile(to, bytes.data(), DWORD(bytes.size()), &written, nullptr) && written == bytes.size();
    if (!placed) stored = "not stored on the media drive: error " + std::to_string(GetLastError());
    if (to != INVALID_HANDLE_VALUE) CloseHandle(to);

    // Four readings: each clip through its own clip file and through the other kind.
    struct Reading {
        const char* what;
        File file;
    };
    Reading readings[] = {
        {"media clip, media-volume file", File(new CZarLocalFile(Wide(path_), connection_.get()), release)},
        {"media clip read as a clip file on the drive letter",
         File(new CZarSystemFile(Wide(path_), connection_.get()), release)},
        {"C: copy, ordinary-volume file", File(new CZarSystemFile(Wide(copyPath), connection_.get()), release)},
        {"C: copy stored on the media drive", File(new CZarLocalFile(Wide(mediaCopyPath), connection_.get()), release)},
    };
    media.reset();
    std::vector<std::vector<uint8_t>> fields(2 * frames);
    std::string differ;
    uint32_t readingsAgreeing = 0;
    for (Reading& r : readings) {
        if (r.what == readings[3].what && !placed) {
            differ += std::string("; ") + r.what + ": " + stored;
            continue;
        }
        if ((result = r.file->OpenForAccess(GENERIC_READ)) != ZAR_OK || r.file->GetFrameCount() != frames) {
            differ += std::string("; ") + r.what + ": " + (result ? "does not open (" + Code(result) + ")" : "frames differ");
            continue;
        }
        bool same = true;
        for (uint32_t k = 0; k < 2 * frames && same; ++k) {
            const uint32_t bytes = r.file->GetFillFieldSize(k) * kBlock;
            same = r.file->ReadFillField(k, buffer, CZarSystemFile::kBufferBytes) == ZAR_OK;
            if (!same) break;
            if (fields[k].empty()) fields[k].assign(buffer, buffer + bytes);
            else same = fields[k].size() == bytes && std::memcmp(fields[k].data(), buffer, bytes) == 0;
        }
        if (same) ++readingsAgreeing;
        else differ += std::string("; ") + r.what + ": DIFFERENT";
        r.file.reset();
    }
    VirtualFree(buffer, 0, MEM_RELEASE);
    WIN32_FIND_DATAA data;
    uint64_t size = 0;
    HANDLE find = FindFirstFileA(copyPath.c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        size = (uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        FindClose(find);
    }
    out = std::to_string(frames) + " frames, " + std::to_string(size) +
          " bytes; media clip and copy read identical through their own clip file and through the other kind: " +
          std::to_string(readingsAgreeing) + " of 4 readings of " + std::to_string(2 * frames) + " fields agree" +
          differ;
    return out;
}
