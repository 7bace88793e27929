// The media drive with a handle on its control device \\.\ZarFsDevice0, and
// a helper that sends a control code and returns the request's own status
// and Information.
#pragma once

#include "tests/drivers/mediafs/mediafs_drive.h"

class ControlDrive : public MediaDrive {
protected:
    void SetUp() override
    {
        MediaDrive::SetUp();
        if (HasFatalFailure()) return;
        control_ = CreateFileA("\\\\.\\ZarFsDevice0", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(control_, INVALID_HANDLE_VALUE);
    }
    void TearDown() override
    {
        if (control_ != INVALID_HANDLE_VALUE) CloseHandle(control_);
        MediaDrive::TearDown();
    }
    NTSTATUS Control(ULONG code, void* in, ULONG inLength, void* out, ULONG outLength, ULONG_PTR* information = nullptr,
                     HANDLE device = nullptr)
    {
        IO_STATUS_BLOCK iosb{};
        NTSTATUS status = NtDeviceIoControlFile(device ? device : control_, nullptr, nullptr, nullptr, &iosb, code, in,
                                                inLength, out, outLength);
        if (information) *information = iosb.Information;
        return status;
    }
    // A record whose first u32 is a file's handle, sent in and out.
    template <typename Record>
    NTSTATUS FileControl(ULONG code, HANDLE file, Record* record, ULONG_PTR* information = nullptr)
    {
        record->Handle = ULONG(reinterpret_cast<ULONG_PTR>(file));
        return Control(code, record, sizeof *record, record, sizeof *record, information);
    }
    ZAR_FILE_INFO Entry(HANDLE file)
    {
        ULONG handle = ULONG(reinterpret_cast<ULONG_PTR>(file));
        ZAR_FILE_INFO entry{};
        EXPECT_EQ(Control(IOCTL_ZARFS_GET_FILE_ENTRY, &handle, 4, &entry, sizeof entry), STATUS_SUCCESS);
        return entry;
    }
    ULONGLONG FreeBlocks()
    {
        ULONGLONG total = 0, free = 0;
        ZarFsHwGetVolumeSpaceInfo(MediaVolume(), &total, &free);
        return free;
    }
    HANDLE control_ = INVALID_HANDLE_VALUE;
};
