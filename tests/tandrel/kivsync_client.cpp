// A client program of a machine host that reads time code through KivSync:
// board 0 set up through its control codes, then the LTC generator started
// at 10:00:00;00 and 100 frames read back in order from the LTC reader's
// captures.
// One line of output says how it went.
#include <cstdio>
#include <string>
#include <vector>

#include "include/kivsync.h"
#include "include/zarkd.h"
#include "platform/win32/w32_host.h"
#include "platform/win32/win32.h"

namespace {

int Fail(const char* what)
{
    std::printf("%s failed: error %lu\n", what, static_cast<unsigned long>(GetLastError()));
    return 1;
}

}  // namespace

int main()
{
    if (!w32host::IsClient()) {
        std::printf("not a client of a machine host\n");
        return 1;
    }
    HANDLE board = CreateFileA("\\\\.\\KIVZAR0", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD bytes = 0;
    ULONG flex[4] = {0, 0, 0, 0};
    if (board == INVALID_HANDLE_VALUE ||
        !DeviceIoControl(board, IOCTL_ZAR_FLEX_DOWNLOAD, flex, sizeof flex, flex, sizeof flex, &bytes, nullptr) ||
        !DeviceIoControl(board, IOCTL_ZAR_POST_FPGA_INIT, nullptr, 0, nullptr, 0, &bytes, nullptr))
        return Fail("the board's set-up");
    KIV_HANDLE generator = nullptr, reader = nullptr;
    if (!KivSync_Open("\\\\.\\Zar0LTCGenerator", &generator) || !KivSync_Open("\\\\.\\Zar0LTCReader", &reader))
        return Fail("opening the LTC streams");
    TANDREL_SAMPLE from{0, 0, 29};
    HANDLE captures = CreateSemaphoreA(nullptr, 0, 100000, nullptr);
    if (!KivSmpte12m_GetSampleFromString(nullptr, &from, "10:00:00;00") || !KivLtcGenerator_SetGain(generator, -6) ||
        !KivSmpte12mOutput_PrepareToGenerate(generator, &from) ||
        !KivSmpte12mInput_EnableCapture(reader, uint32_t(reinterpret_cast<uintptr_t>(captures))) ||
        !KivSync_Start(reader))
        return Fail("preparing the generator and the reader");
    Sleep(200);
    if (!KivSync_Start(generator)) return Fail("the generator's start");
    std::vector<std::string> frames;
    const DWORD giveUp = GetTickCount() + 30000;
    while (frames.size() < 100 && GetTickCount() < giveUp) {
        if (WaitForSingleObject(captures, 1000) != WAIT_OBJECT_0) continue;
        TANDREL_SAMPLE s{};
        if (!KivSmpte12mInput_GetCapturedSample(reader, &s)) continue;
        if ((s.Flags & TANDREL_FLAG_INVALID) || s.Frame < from.Frame) continue;
        char text[12];
        if (!KivSmpte12m_PutSampleToString(nullptr, &s, text)) return Fail("formatting a sample");
        if (frames.empty() || frames.back() != text) frames.push_back(text);
    }
    KivSync_Stop(generator);
    KivSync_Close(generator);
    KivSync_Close(reader);
    if (frames.size() < 100) {
        std::printf("only %zu frames read back\n", frames.size());
        return 1;
    }
    for (size_t i = 1; i < frames.size(); ++i) {
        TANDREL_SAMPLE a{0, 0, 29}, b{0, 0, 29};
        KivSmpte12m_GetSampleFromString(nullptr, &a, frames[i - 1].c_str());
        KivSmpte12m_GetSampleFromString(nullptr, &b, frames[i].c_str());
        // On the real clock a late field can cost the reader a frame; the
        // order is what must hold.
        if (b.Frame <= a.Frame) {
            std::printf("%s came after %s\n", frames[i].c_str(), frames[i - 1].c_str());
            return 1;
        }
    }
    std::printf("100 frames in order from %s\n", frames.front().c_str());
    return 0;
}
