// A board as the demo's sections use it: \\.\KIVZAR<n> opened from user
// mode, and one control code at a time, a failure printed with what failed.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "win32.h"

class DemoBoard {
public:
    explicit DemoBoard(unsigned long index)
    {
        const std::string name = "\\\\.\\KIVZAR" + std::to_string(index);
        handle_ = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (handle_ == INVALID_HANDLE_VALUE) openError_ = GetLastError();
    }
    ~DemoBoard()
    {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    }
    DemoBoard(const DemoBoard&) = delete;
    DemoBoard& operator=(const DemoBoard&) = delete;

    // False after printing why the board did not open.
    bool Open() const
    {
        if (handle_ == INVALID_HANDLE_VALUE)
            std::printf("  the board did not open (error %lu)\n", static_cast<unsigned long>(openError_));
        return handle_ != INVALID_HANDLE_VALUE;
    }
    bool Call(uint32_t code, const char* what, const void* in, uint32_t inBytes, void* out = nullptr,
              uint32_t outBytes = 0)
    {
        DWORD bytes = 0;
        if (DeviceIoControl(handle_, code, const_cast<void*>(in), inBytes, out, outBytes, &bytes, nullptr))
            return true;
        std::printf("  %s failed: error %lu\n", what, static_cast<unsigned long>(GetLastError()));
        return false;
    }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    DWORD openError_ = 0;
};
