// Benchmark: the wave driver streaming through WinMM. Two figures:
//  - latency: fields from a waveOutWrite (the device running, its queue
//    empty) until the samples play out of the board's play buffer, seen on
//    the mixer's Wave VU meter polled once a field;
//  - cost: the host time a field takes while wave-out plays and wave-in
//    records at 48 kHz stereo (two buffers of each queued ahead), against
//    an idle field of the same machine, both on the virtual clock.
// Everything goes through WinMM and ZARWAV.dll (from the build's library
// folder) on a machine this program boots with ZARKD and the kernel wave
// service's stand-in.

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "bench/bench_board.h"
#include "bench/bench_host.h"
#include "mmddk.h"

namespace {

constexpr DWORD kRate = 48000;
constexpr DWORD kFieldFrames = 801;  // a field of 48 kHz at 59.94 fields a second

std::string LibraryFolder()
{
    char path[4096] = {};
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    return n <= 0 ? std::string() : (std::filesystem::path(std::string(path, size_t(n))).parent_path().parent_path() / "lib").string();
}

LONG WaveMeter(HMIXER mixer)
{
    LONG value[2] = {};
    MIXERCONTROLDETAILS d{sizeof d, 7, 2, {}, sizeof(LONG), value};
    mixerGetControlDetailsA(reinterpret_cast<HMIXEROBJ>(mixer), &d, MIXER_OBJECTF_HMIXER);
    return std::max(value[0], value[1]);
}

struct Buffers {
    std::vector<std::vector<int16_t>> data;
    std::vector<WAVEHDR> headers;
    Buffers(size_t count, DWORD frames, int16_t level) : data(count, std::vector<int16_t>(2 * frames)), headers(count)
    {
        for (size_t i = 0; i < count; ++i) {
            for (DWORD n = 0; n < frames; ++n)
                data[i][2 * n] = data[i][2 * n + 1] = int16_t(level * std::sin(2 * M_PI * 1000.0 * n / kRate));
            headers[i] = MakeHeader(reinterpret_cast<LPSTR>(data[i].data()), 4 * frames);
        }
    }
};

}  // namespace

int main(int argc, char** argv)
{
    PrintHowRun("wave_stream");
    const uint64_t fields = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 300;
    BenchMachine machine("zar-bench-wave");
    // The kernel wave service's stand-in loads after the board driver it leans on.
    if (!machine.Start("wave_stream", sim::BoardsLayout(1), {"ZARKD", "ZARWAV"}) || !machine.SetUpBoard()) return 1;
    if (machine.Client()) {
        std::fprintf(stderr, "wave_stream: runs on a machine of its own\n");
        return 1;
    }
    // The baseline: idle fields of the same board, before any wave device.
    RunFields(30);
    const FieldsCost idle = RunFields(fields);
    HKEY key = nullptr;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, kMmDriversKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    for (const char* value : {"wave", "mixer"}) RegSetValueExA(key, value, 0, REG_SZ, reinterpret_cast<const BYTE*>("ZARWAV.dll"), 11);
    RegCloseKey(key);
    ::setenv("ZAR_DLL_PATH", LibraryFolder().c_str(), 1);
    if (waveOutGetNumDevs() == 0) {
        std::fprintf(stderr, "wave_stream: WinMM lists no wave device (ZARWAV.dll did not load)\n");
        return 1;
    }
    HMIXER mixer = nullptr;
    mixerOpen(&mixer, 0, 0, 0, 0);
    std::vector<DWORD> items{0, 0, 0, 0, 0, 1, 0, 0, 0, 0};  // record the play mix looped back
    MIXERCONTROLDETAILS d{sizeof d, 4, 1, {}, sizeof(DWORD), items.data()};
    d.cMultipleItems = 10;
    mixerSetControlDetails(reinterpret_cast<HMIXEROBJ>(mixer), &d, MIXER_OBJECTF_HMIXER);

    WAVEFORMATEX f{WAVE_FORMAT_PCM, 2, kRate, kRate * 4, 4, 16, 0};
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HWAVEOUT out = nullptr;
    HWAVEIN in = nullptr;
    if (waveOutOpen(&out, 0, &f, DWORD_PTR(event), 0, CALLBACK_EVENT) != MMSYSERR_NOERROR ||
        waveInOpen(&in, 0, &f, DWORD_PTR(event), 0, CALLBACK_EVENT) != MMSYSERR_NOERROR) {
        std::fprintf(stderr, "wave_stream: the wave devices did not open\n");
        return 1;
    }

    // Latency: a silent buffer gets the device running and played out; then
    // a tone written into the empty queue, the meter read each field.
    Buffers silent(1, 4 * kFieldFrames, 0), tone(1, 8 * kFieldFrames, 16000);
    waveOutPrepareHeader(out, &silent.headers[0], sizeof(WAVEHDR));
    waveOutPrepareHeader(out, &tone.headers[0], sizeof(WAVEHDR));
    std::vector<int> latencies;
    for (int run = 0; run < 5; ++run) {
        waveOutWrite(out, &silent.headers[0], sizeof(WAVEHDR));
        while (!(silent.headers[0].dwFlags & WHDR_DONE)) WaitForSingleObject(event, 1000);
        for (int i = 0; i < 6 && WaveMeter(mixer) > 100; ++i) machine.NextField();
        waveOutWrite(out, &tone.headers[0], sizeof(WAVEHDR));
        int waited = 0;
        while (WaveMeter(mixer) < 1000 && waited < 120) {
            machine.NextField();
            ++waited;
        }
        latencies.push_back(waited);
        while (!(tone.headers[0].dwFlags & WHDR_DONE)) WaitForSingleObject(event, 1000);
    }

    // Cost: both directions streaming, buffers of a field each, kept queued.
    Buffers play(3, kFieldFrames, 12000), rec(3, kFieldFrames, 0);
    for (WAVEHDR& h : play.headers) waveOutPrepareHeader(out, &h, sizeof h);
    for (WAVEHDR& h : rec.headers) {
        waveInPrepareHeader(in, &h, sizeof h);
        waveInAddBuffer(in, &h, sizeof h);
    }
    waveInStart(in);
    for (WAVEHDR& h : play.headers) waveOutWrite(out, &h, sizeof h);
    uint64_t played = 0, recorded = 0;
    const FieldsCost streaming = MeasureFields([&] {
        const double until = MachineSeconds() + fields * kFieldPeriod;
        while (MachineSeconds() < until) {
            WaitForSingleObject(event, 100);
            for (WAVEHDR& h : play.headers)
                if (h.dwFlags & WHDR_DONE) {
                    ++played;
                    waveOutWrite(out, &h, sizeof h);
                }
            for (WAVEHDR& h : rec.headers)
                if (h.dwFlags & WHDR_DONE) {
                    ++recorded;
                    h.dwFlags &= ~WHDR_DONE;
                    waveInAddBuffer(in, &h, sizeof h);
                }
        }
    });
    waveOutReset(out);
    waveInReset(in);
    waveOutClose(out);
    waveInClose(in);
    mixerClose(mixer);
    CloseHandle(event);
    mmReloadDrivers();

    std::sort(latencies.begin(), latencies.end());
    std::printf("wave stream: 48 kHz stereo 16-bit, buffers of one field (801 frames), 525 lines\n");
    std::printf("  latency from waveOutWrite to the Wave VU meter (fields, 5 runs): min %d, median %d, max %d\n",
                latencies.front(), latencies[latencies.size() / 2], latencies.back());
    std::printf("  a field, idle / streaming out and in (%llu buffers played, %llu recorded in %.0f fields):\n",
                static_cast<unsigned long long>(played), static_cast<unsigned long long>(recorded), streaming.fields);
    std::printf("    host time %.0f / %.0f us (x%.2f); the board's interrupt and its DPCs %.0f / %.0f us (x%.2f)\n",
                idle.HostMicroseconds(), streaming.HostMicroseconds(),
                idle.HostMicroseconds() > 0 ? streaming.HostMicroseconds() / idle.HostMicroseconds() : 0.0,
                idle.DriverMicroseconds(), streaming.DriverMicroseconds(),
                idle.DriverMicroseconds() > 0 ? streaming.DriverMicroseconds() / idle.DriverMicroseconds() : 0.0);
    return 0;
}
