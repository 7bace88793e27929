// A client process of a machine host that uses the board's mixer through
// WinMM, for the wave driver's test across processes:
//   zarwav_client listen   opens the mixer with a callback, says
//                          "listening", then "heard <control> <left>" for
//                          the first change it hears (the CD volume's left
//                          channel as this process reads it then)
//   zarwav_client set      sets the CD volume to 0x6000/0x2000, says "set"
#include <cstdio>
#include <cstring>
#include <string>

#include "mmddk.h"

namespace {

HANDLE heard;
DWORD control = ~0u;

void CALLBACK OnChange(HANDLE, UINT message, DWORD_PTR, DWORD_PTR id, DWORD_PTR)
{
    if (message != MM_MIXM_CONTROL_CHANGE || control != ~0u) return;
    control = DWORD(id);
    SetEvent(heard);
}

DWORD CdLeft(HMIXER mixer)
{
    DWORD v[2] = {};
    MIXERCONTROLDETAILS d{sizeof d, 8, 2, {}, sizeof(DWORD), v};
    mixerGetControlDetailsA(reinterpret_cast<HMIXEROBJ>(mixer), &d, MIXER_OBJECTF_HMIXER);
    return v[0];
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string what = argc > 1 ? argv[1] : "";
    heard = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HMIXER mixer = nullptr;
    if (mixerOpen(&mixer, 0, DWORD_PTR(&OnChange), 0, CALLBACK_FUNCTION) != MMSYSERR_NOERROR) {
        HMODULE module = LoadLibraryA("ZARWAV.dll");
        std::printf("no mixer (%u mixers; the library %s, error %lu)\n", mixerGetNumDevs(),
                    module != nullptr ? "loads" : "does not load", static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    if (what == "listen") {
        std::printf("listening\n");
        std::fflush(stdout);
        if (WaitForSingleObject(heard, 60000) != WAIT_OBJECT_0) {
            std::printf("heard nothing\n");
            return 1;
        }
        std::printf("heard %lu %lu\n", static_cast<unsigned long>(control), static_cast<unsigned long>(CdLeft(mixer)));
    } else if (what == "set") {
        DWORD v[2] = {0x6000, 0x2000};
        MIXERCONTROLDETAILS d{sizeof d, 8, 2, {}, sizeof(DWORD), v};
        if (mixerSetControlDetails(reinterpret_cast<HMIXEROBJ>(mixer), &d, MIXER_OBJECTF_HMIXER) != MMSYSERR_NOERROR) {
            std::printf("not set\n");
            return 1;
        }
        std::printf("set\n");
    }
    std::fflush(stdout);
    mixerClose(mixer);
    // The drivers let go while this process still talks to its machine: a
    // library's detach at exit comes after the main thread's connection to
    // the host has closed, and its calls would then end the process.
    mmReloadDrivers();
    return 0;
}
