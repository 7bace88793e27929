// A client program of a machine host that reaches board 0 only through its
// control codes: "setup" runs the FPGA download and the set-up after it, as
// the media drive's driver and the board benchmarks do; "fields N" waits for
// N fields. One line of output says how it went.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "include/zarkd.h"
#include "platform/win32/w32_host.h"
#include "platform/win32/win32.h"

namespace {

bool Control(HANDLE board, ULONG code, void* in, DWORD inBytes, void* out, DWORD outBytes, const char* what)
{
    DWORD bytes = 0;
    if (DeviceIoControl(board, code, in, inBytes, out, outBytes, &bytes, nullptr)) return true;
    std::printf("%s failed: error %lu\n", what, static_cast<unsigned long>(GetLastError()));
    return false;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) return 2;
    if (!w32host::IsClient()) {
        std::printf("not a client of a machine host\n");
        return 1;
    }
    HANDLE board = CreateFileA("\\\\.\\KIVZAR0", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (board == INVALID_HANDLE_VALUE) {
        std::printf("board 0 did not open: error %lu\n", static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    int rc = 0;
    if (std::strcmp(argv[1], "setup") == 0) {
        ULONG flex[4] = {0, 0, 0, 0};
        if (Control(board, IOCTL_ZAR_FLEX_DOWNLOAD, flex, sizeof flex, flex, sizeof flex, "the FPGA download") &&
            Control(board, IOCTL_ZAR_POST_FPGA_INIT, nullptr, 0, nullptr, 0, "the set-up after the download"))
            std::printf("set up\n");
        else
            rc = 1;
    } else if (std::strcmp(argv[1], "fields") == 0 && argc > 2) {
        const int fields = std::atoi(argv[2]);
        int field = 0;
        for (; field < fields; ++field) {
            ULONG parity = 2;
            if (!Control(board, IOCTL_ZAR_SYNCHRONIZE_EXECUTION, &parity, sizeof parity, &parity, sizeof parity,
                         "the field wait"))
                break;
        }
        if (field == fields)
            std::printf("%d fields\n", fields);
        else
            rc = 1;
    } else {
        rc = 2;
    }
    std::fflush(stdout);
    CloseHandle(board);
    return rc;
}
