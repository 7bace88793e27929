// The media file system's control device (\\.\ZarFsDevice0) for the media
// drive benchmarks: its control codes on a record, and those that name an
// open file on P: by its handle.
#pragma once

#include <cstdint>
#include <cstring>

#include "include/zarfs.h"
#include "platform/win32/win32.h"

class Drive {
public:
    Drive() : control_(CreateFileA("\\\\.\\ZarFsDevice0", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                   nullptr))
    {
    }
    ~Drive()
    {
        if (control_ != INVALID_HANDLE_VALUE) CloseHandle(control_);
    }
    Drive(const Drive&) = delete;
    Drive& operator=(const Drive&) = delete;
    bool Open() const { return control_ != INVALID_HANDLE_VALUE; }
    bool Call(uint32_t code, void* in, uint32_t inBytes, void* out, uint32_t outBytes)
    {
        DWORD bytes = 0;
        return DeviceIoControl(control_, code, in, inBytes, out, outBytes, &bytes, nullptr);
    }
    template <typename Record>
    bool Control(uint32_t code, Record* record)
    {
        return Call(code, record, sizeof *record, record, sizeof *record);
    }
    template <typename Record>
    bool FileControl(uint32_t code, HANDLE file, Record* record)
    {
        record->Handle = uint32_t(reinterpret_cast<uintptr_t>(file));
        return Control(code, record);
    }

private:
    HANDLE control_;
};

// Formats one volume "Media" striped over the drives of SCSI ids 0 up to
// 'drives' - 1 through the file system's control device.
inline bool FormatMediaVolume(uint32_t drives)
{
    Drive drive;
    if (!drive.Open()) return false;
    ZAR_VOLUME_INFO volume{};
    std::memcpy(volume.Name, u"Media", 10);
    volume.DriveCount = drives;
    for (uint32_t i = 0; i < ZARFS_MAX_SCSI_IDS; ++i) volume.ScsiIds[i] = i < drives ? i : ZARFS_NO_DRIVE;
    return drive.Call(IOCTL_ZARFS_FORMAT_VOLUME, &volume, sizeof volume, nullptr, 0);
}
