// A machine with ZARKD loaded, its board initialised and TANDRELKD loaded
// over it, on the virtual clock; the stream devices opened from user mode
// as an application opens them (\\.\Zar0<stream>), each request's NTSTATUS
// read back from its OVERLAPPED.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "include/tandrelkd.h"
#include "tests/drivers/board/zarkd_ioctl_machine.h"

class TandrelMachine : public ZarkdIoctlMachine {
protected:
    void SetUp() override
    {
        ZarkdIoctlMachine::SetUp();
        if (HasFatalFailure()) return;
        ULONG io[4] = {0, 0, 0, 0};
        ASSERT_EQ(Send(IOCTL_ZAR_FLEX_DOWNLOAD, io, sizeof(io), io, sizeof(io)).status, STATUS_SUCCESS);
        ASSERT_EQ(Send(IOCTL_ZAR_POST_FPGA_INIT, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
        ext_->VinMonitorPaused = TRUE;
        // The simulated chip hands a looped LTC frame to the reader three
        // fields after the generator's field for it: the delay the machine's
        // registry sets (LTCReaderDelayFields 3), so a read frame starts on
        // the first field of a frame.
        ext_->TimeCode.Streams[ZAR_STREAM_LTC_READER].Delay = -3;
        BeforeTandrel();
        ASSERT_EQ(InstallDriver(u"TANDRELKD", "TANDRELKD.sys"), STATUS_SUCCESS);
        if (LoadTandrel()) {
            ASSERT_EQ(LoadDriver(u"TANDRELKD"), STATUS_SUCCESS);
        }
    }

    void TearDown() override
    {
        for (HANDLE h : opened_) CloseHandle(h);
        opened_.clear();
        ZarkdIoctlMachine::TearDown();
    }

    // Hooks for tests that change the board before the driver binds.
    virtual void BeforeTandrel() {}
    virtual bool LoadTandrel() const { return true; }

    sim::Board& Board() { return *built_.boards[0]; }

    HANDLE Open(const char* stream, bool write)
    {
        std::string path = std::string("\\\\.\\Zar0") + stream;
        HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | (write ? DWORD(GENERIC_WRITE) : DWORD(0)), FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (h != INVALID_HANDLE_VALUE) opened_.push_back(h);
        return h;
    }
    void Close(HANDLE h)
    {
        for (size_t i = 0; i < opened_.size(); ++i)
            if (opened_[i] == h) opened_.erase(opened_.begin() + long(i));
        CloseHandle(h);
    }

    Result Control(HANDLE h, ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength)
    {
        OVERLAPPED& ov = overlapped_.emplace_back();
        ov.hEvent = event_;
        ResetEvent(event_);
        DWORD bytes = 0;
        if (!DeviceIoControl(h, code, const_cast<void*>(in), inLength, out, outLength, &bytes, &ov) &&
            GetLastError() == ERROR_IO_PENDING)
            WaitForSingleObject(event_, INFINITE);
        return {static_cast<NTSTATUS>(ov.Internal), static_cast<ULONG>(ov.InternalHigh)};
    }
    template <class T>
    Result Control(HANDLE h, ULONG code, const T& in)
    {
        T copy = in;
        return Control(h, code, &copy, sizeof copy, nullptr, 0);
    }
    // A sample (12 bytes) of a device.
    TANDREL_SAMPLE Sample(HANDLE h)
    {
        TANDREL_SAMPLE s{};
        EXPECT_EQ(Control(h, IOCTL_TANDREL_SMPTE12M_GET_SAMPLE, nullptr, 0, &s, sizeof s).status, STATUS_SUCCESS);
        return s;
    }
    uint32_t Handle(HANDLE h) { return uint32_t(reinterpret_cast<uintptr_t>(h)); }

    void RunFields(uint64_t fields)
    {
        uint64_t target = Board().Clock().FieldCount() + fields;
        while (Board().Clock().FieldCount() < target) nt::ClockRunFor(1000000);
        nt::ClockRunUntilIdle();
    }

    std::vector<HANDLE> opened_;
};

// Frames since midnight of a time code at a rate (non-drop).
inline int32_t Frames(int h, int m, int s, int f, int fps) { return ((h * 60 + m) * 60 + s) * fps + f; }
