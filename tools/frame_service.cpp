// The demo's frame service; see frame_service.h.

#include "frame_service.h"

#include <algorithm>
#include <cstring>

#include "include/zarfs.h"
#include "platform/win32/win32.h"

namespace {

constexpr uint32_t kBlock = 512;
constexpr uint32_t kTypeValue = 1;   // the service's own number for the type
constexpr uint32_t kContext = 1;     // one clip: one context

// The file requests' payload: context, type value, offset, count, frame.
struct FileRequest {
    uint32_t context;
    uint32_t typeValue;
    uint32_t offsetLow;
    uint32_t offsetHigh;
    uint32_t count;
    uint32_t frame;
};

uint32_t U32(const uint8_t* p)
{
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

bool ReadAt(HANDLE file, uint64_t offset, void* buffer, uint32_t bytes)
{
    LONG high = LONG(offset >> 32);
    if (SetFilePointer(file, LONG(uint32_t(offset)), &high, FILE_BEGIN) == INVALID_SET_FILE_POINTER &&
        GetLastError() != NO_ERROR)
        return false;
    DWORD got = 0;
    return ReadFile(file, buffer, bytes, &got, nullptr) && got == bytes;
}

// One overlapped control request, waited for or abandoned when 'stop' is set.
bool Exchange(HANDLE device, HANDLE stop, uint32_t code, void* in, DWORD inBytes, void* out, DWORD outBytes,
              DWORD* returned)
{
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    bool ok = DeviceIoControl(device, code, in, inBytes, out, outBytes, returned, &ov);
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
        HANDLE both[2] = {ov.hEvent, stop};
        if (WaitForMultipleObjects(2, both, FALSE, INFINITE) != WAIT_OBJECT_0) {
            CancelIo(device);
            GetOverlappedResult(device, &ov, returned, TRUE);
            CloseHandle(ov.hEvent);
            return false;
        }
        ok = GetOverlappedResult(device, &ov, returned, TRUE);
    }
    CloseHandle(ov.hEvent);
    return ok;
}

}  // namespace

bool FrameService::Start(const std::string& clipPath, uint32_t frameBytes, std::string* why)
{
    clipPath_ = clipPath;
    frameBytes_ = frameBytes;
    HANDLE device = CreateFileA("\\\\.\\ZarFsDevice0", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        *why = "\\\\.\\ZarFsDevice0: error " + std::to_string(GetLastError());
        return false;
    }
    device_ = device;
    stop_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    struct {
        uint32_t count;
        ZARFS_FILE_TYPE type;
    } types{};
    types.count = 1;
    types.type.Value = kTypeValue;
    types.type.Presentation = 2;  // each media file a directory of its frame files
    for (int i = 0; i < 3; ++i) types.type.Extension[i] = char16_t(kExtension[i]);
    types.type.DotBeforeNumber = 1;
    types.type.FrameSize = types.type.FrameSizeAlpha = frameBytes;
    DWORD returned = 0;
    if (!Exchange(device_, stop_, IOCTL_ZARFS_REGISTER_FILE_TYPES, &types, sizeof types, nullptr, 0, &returned)) {
        *why = "the file type could not be registered: error " + std::to_string(GetLastError());
        return false;
    }
    thread_ = std::thread([this] { Serve(); });
    return true;
}

void FrameService::Stop()
{
    if (device_ == nullptr) return;
    if (thread_.joinable()) {
        DWORD returned = 0;
        Exchange(device_, stop_, IOCTL_ZARFS_UNREGISTER_FILE_TYPES, nullptr, 0, nullptr, 0, &returned);
        SetEvent(stop_);
        thread_.join();
    }
    CloseHandle(device_);
    CloseHandle(stop_);
    device_ = stop_ = nullptr;
}

bool FrameService::Render(uint32_t frame, std::vector<uint8_t>* out)
{
    out->assign(frameBytes_, 0);
    HANDLE clip = CreateFileA(clipPath_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (clip == INVALID_HANDLE_VALUE) return false;
    // The header says where the data starts; the index before it sizes the fields.
    uint8_t head[16];
    bool ok = ReadAt(clip, 0, head, sizeof head) && std::memcmp(head, "KIV0", 4) == 0;
    const uint32_t dataHeader = ok ? U32(head + 12) : 0;
    std::vector<uint8_t> index(dataHeader > 344 ? dataHeader - 344 : 0);
    ok = ok && !index.empty() && ReadAt(clip, 344, index.data(), uint32_t(index.size()));
    const uint32_t field = 2 * frame;
    if (ok && (field + 1) * 4 <= index.size()) {
        uint64_t offset = uint64_t(dataHeader) + 16;
        for (uint32_t k = 0; k < field; ++k) {
            const uint32_t entry = U32(&index[4 * k]);
            offset += uint64_t((entry & 0xFFFF) + (entry >> 16)) * kBlock;
        }
        const uint32_t entry = U32(&index[4 * field]);
        const uint32_t bytes = std::min<uint32_t>(((entry & 0xFFFF) + (entry >> 16)) * kBlock, frameBytes_);
        ok = ReadAt(clip, offset, out->data(), bytes);
    } else {
        ok = false;
    }
    CloseHandle(clip);
    return ok;
}

void FrameService::Serve()
{
    std::vector<uint8_t> frame;
    uint32_t rendered = UINT32_MAX;
    for (;;) {
        ZARFS_SERVICE_REQUEST request{};
        DWORD returned = 0;
        if (!Exchange(device_, stop_, IOCTL_ZARFS_SEND_SERVICE_REQUEST, nullptr, 0, &request, sizeof request,
                      &returned))
            return;
        ZARFS_SERVICE_RESPONSE response{};
        response.Kind = request.Kind;
        std::vector<uint8_t> data;
        FileRequest file{};
        std::memcpy(&file, request.Payload, sizeof file);
        switch (request.Kind) {
        case ZARFS_SREQ_OPEN:
            response.Result = kContext;
            break;
        case ZARFS_SREQ_READ: {
            if (file.frame != rendered && !Render(file.frame, &frame)) {
                response.Status = 1;
                rendered = UINT32_MAX;
                break;
            }
            rendered = file.frame;
            const uint64_t offset = (uint64_t(file.offsetHigh) << 32) | file.offsetLow;
            if (offset < frame.size()) {
                const size_t take = std::min<uint64_t>(file.count, frame.size() - offset);
                data.assign(frame.begin() + offset, frame.begin() + offset + take);
            }
            response.Result = uint32_t(data.size());
            ++reads_;
            break;
        }
        case ZARFS_SREQ_WRITE:
            response.Status = 1;  // the frames are read only
            break;
        default:
            break;
        }
        if (!Exchange(device_, stop_, IOCTL_ZARFS_SEND_SERVICE_RESPONSE, &response, sizeof response,
                      data.empty() ? nullptr : data.data(), DWORD(data.size()), &returned))
            return;
    }
}
