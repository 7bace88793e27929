// Eight audio tracks from the board's data server for a benchmark, through
// the board's control codes alone: eight slots of a tone per track in both
// banks, looped, played at a fixed speed with the 16-tap filter.
//
// The control block and the slots are VirtualAlloc memory: the driver reads
// them, and a client of a machine host shares that memory with the host.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "include/zarkd.h"
#include "include/zarkd_audio.h"
#include "platform/win32/win32.h"

class AudioFeed {
public:
    static constexpr ULONG kSlots = 8, kSlotFrames = 8192, kBankTracks = 4;
    static constexpr ULONG kNormalSpeed = 48000;

    AudioFeed() : memory_(VirtualAlloc(nullptr, kBytes, MEM_COMMIT, PAGE_READWRITE)) {}
    ~AudioFeed()
    {
        if (memory_ != nullptr) VirtualFree(memory_, 0, MEM_RELEASE);
        for (HANDLE e : events_)
            if (e != nullptr) CloseHandle(e);
        if (semaphore_ != nullptr) CloseHandle(semaphore_);
    }
    AudioFeed(const AudioFeed&) = delete;
    AudioFeed& operator=(const AudioFeed&) = delete;

    // Prepared, filled and playing at 'speed' (frames a second; 48,000 is
    // 1x). False after saying which control code failed.
    bool Start(HANDLE board, LONG speed)
    {
        if (memory_ == nullptr) return false;
        std::memset(memory_, 0, kBytes);
        for (HANDLE& e : events_) e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        semaphore_ = CreateSemaphoreA(nullptr, 0, 1 << 20, nullptr);
        ULONG handles[6];
        for (int i = 0; i < 6; ++i) handles[i] = Address(events_[i]);
        if (!Control(board, IOCTL_ZAR_AUD_REGISTER_EVENTS, handles, sizeof handles)) return false;
        ULONG* control = static_cast<ULONG*>(memory_);
        ZAR_DSRV_PREPARE p{};
        for (ULONG s = 0; s < kSlots; ++s) {
            for (ULONG f = 0; f < kSlotFrames; ++f)
                for (ULONG t = 0; t < 2 * kBankTracks; ++t)
                    Slot(s)[(t / kBankTracks) * kSlotFrames * kBankTracks + f * kBankTracks + t % kBankTracks] =
                        SHORT(8000 * std::sin(0.01 * (t + 1) * double(s * kSlotFrames + f)));
            LONGLONG position = LONGLONG(s) * kSlotFrames;
            std::memcpy(&control[(288 + 8 * s) / 4], &position, 8);
            control[(896 + 32 * s) / 4] = 1;
            p.SlotBuffer[s] = Address(Slot(s));
        }
        p.ControlBlock = Address(control);
        p.TrackMask = 0xFF;
        p.Sources = 1;
        p.Slots = kSlots;
        p.BankABytes = p.BankBBytes = kSlotFrames * kBankTracks * 2;
        p.BankBOffset = kSlotFrames * kBankTracks;
        p.BankATracks = p.BankBTracks = kBankTracks;
        p.LoopEnd = LONGLONG(kSlots) * kSlotFrames;
        p.NormalSpeed = kNormalSpeed;
        p.VariSpeed = 1;
        p.Loop = 1;
        p.BaseFilter = 1;
        p.Semaphore = Address(semaphore_);
        ZAR_AUDIO_PLAY_COMMAND play{};
        play.FixedSpeed = 1;
        play.EndField = 0x7FFFFFFF;
        play.Wait = 1;
        return Control(board, IOCTL_ZAR_AUD_DSRV_PREP_PLAY, &p, sizeof p) && SetSpeed(board, speed) &&
               Control(board, IOCTL_ZAR_AUD_DSRV_INIT_BUFFERS, nullptr, 0) &&
               Control(board, IOCTL_ZAR_AUD_DSRV_START_PLAY, &play, sizeof play);
    }
    // At once, with no ramp.
    bool SetSpeed(HANDLE board, LONG speed)
    {
        LONG request[2] = {speed, 1};
        return Control(board, IOCTL_ZAR_AUD_DSRV_SET_SPEED, request, sizeof request);
    }
    // Running, and the speed it runs at.
    bool Status(HANDLE board, LONG* speedNow)
    {
        ULONG status[4] = {};
        if (!Control(board, IOCTL_ZAR_AUD_DSRV_GET_CURRENT_STATUS, status, 16, status, 16)) return false;
        *speedNow = LONG(status[3]);
        return status[0] != 0;
    }
    bool Stop(HANDLE board) { return Control(board, IOCTL_ZAR_AUD_DSRV_STOP_PLAY, nullptr, 0); }

private:
    static constexpr size_t kSlotSamples = 2 * kSlotFrames * kBankTracks;
    static constexpr size_t kBytes = ZAR_DSRV_CONTROL_BYTES + kSlots * kSlotSamples * sizeof(SHORT);

    static ULONG Address(const void* p) { return ULONG(reinterpret_cast<uintptr_t>(p)); }
    static bool Control(HANDLE board, ULONG code, void* in, ULONG inLength, void* out = nullptr, ULONG outLength = 0)
    {
        DWORD bytes = 0;
        if (DeviceIoControl(board, code, in, inLength, out, outLength, &bytes, nullptr)) return true;
        std::fprintf(stderr, "the data server's control code 0x%lx failed: error %lu\n",
                     static_cast<unsigned long>(code), static_cast<unsigned long>(GetLastError()));
        return false;
    }
    SHORT* Slot(ULONG s) const
    {
        return reinterpret_cast<SHORT*>(static_cast<uint8_t*>(memory_) + ZAR_DSRV_CONTROL_BYTES) + s * kSlotSamples;
    }

    void* memory_;
    HANDLE events_[6] = {};
    HANDLE semaphore_ = nullptr;
};
