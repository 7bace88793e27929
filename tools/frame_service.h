// The demo's stand-in for the file-system service: it registers one
// foreign file type, "JPG", and renders its frame files for one clip file,
// each the frame's first field as the JPEG picture the board stored, read
// from the clip file on the drive letter and padded with zeros to the
// type's frame-file size. It answers the media drive's requests on a
// thread of its own through \\.\ZarFsDevice0 until stopped.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

class FrameService {
public:
    static constexpr char kExtension[] = "JPG";

    FrameService() = default;
    ~FrameService() { Stop(); }
    FrameService(const FrameService&) = delete;
    FrameService& operator=(const FrameService&) = delete;

    // Registers the type with frame files of 'frameBytes' bytes, for the
    // clip file at 'clipPath'; false with the reason in *why.
    bool Start(const std::string& clipPath, uint32_t frameBytes, std::string* why);
    // Unregisters the type and ends the thread.
    void Stop();

    uint32_t ReadsAnswered() const { return reads_.load(); }

private:
    void Serve();
    // The frame file of 'frame': its first field, padded.
    bool Render(uint32_t frame, std::vector<uint8_t>* out);

    void* device_ = nullptr;  // HANDLE, overlapped
    void* stop_ = nullptr;    // event HANDLE
    std::thread thread_;
    std::string clipPath_;
    uint32_t frameBytes_ = 0;
    std::atomic<uint32_t> reads_{0};
};
