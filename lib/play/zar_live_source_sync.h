// The live source's clock: which ring slot the field the board is about to
// play comes from, and how far the live audio is read behind its writer.
// The reader advances a whole frame at a time when the ring holds more
// than the allowed lag, repeats its frame while it holds less (jumping to
// the newest frame after too many repeats), and plays the empty field when
// nothing new has come. Its figures are the live source's status record.
#pragma once

#include <cstdint>
#include <mutex>

#include "zar_live_ring.h"

class CBoardConnection;

#pragma pack(push, 4)
struct ZAR_LIVE_SOURCE_STATUS {
    uint64_t AudioWriterPosition;
    uint32_t AudioRingSamples;
    uint64_t AudioFrameOffset;
    uint32_t FrameOffsetChanges;
    uint64_t ReturnedReadPosition;
    uint32_t LastReadSamples;
    uint32_t MostReadSamples;
    uint32_t AutomaticLag;
    uint64_t GivenReadPosition;
    uint32_t SteppedBackSamples;
    uint32_t NoLongerHeld;
    uint32_t NotYetWritten;
    uint64_t TotalSteppedBack;
    uint64_t TotalNoLongerHeld;
    int64_t TotalNotYetWritten;
    uint32_t Slots;
    uint32_t WriteCount;
    uint32_t ReadCount;
    uint32_t Dropped;
    uint32_t LastAdvanced;
    uint32_t Stalls;
    uint32_t AllowedLag;
    uint32_t UnderRuns;
    uint32_t Repeats;
    uint32_t LastFrame;
    uint32_t FieldOffset;
    uint32_t Settings[3];
};
#pragma pack(pop)
static_assert(sizeof(ZAR_LIVE_SOURCE_STATUS) == 144);
static_assert(offsetof(ZAR_LIVE_SOURCE_STATUS, AudioFrameOffset) == 12);
static_assert(offsetof(ZAR_LIVE_SOURCE_STATUS, GivenReadPosition) == 44);
static_assert(offsetof(ZAR_LIVE_SOURCE_STATUS, TotalNotYetWritten) == 80);
static_assert(offsetof(ZAR_LIVE_SOURCE_STATUS, Slots) == 88);
static_assert(offsetof(ZAR_LIVE_SOURCE_STATUS, Settings) == 132);

class CSysLiveSourceSync {
public:
    // The board's field counter for a channel; replaceable for tests.
    using FieldCounter = bool (*)(CBoardConnection* connection, uint32_t channel, uint32_t* counter);

    explicit CSysLiveSourceSync(CBoardConnection* connection = nullptr);

    // Takes the three sync settings and the video channel and starts the
    // figures afresh.
    void Enable(const uint32_t settings[3], uint32_t channel);
    // Clears the figures, the settings and the automatic lag.
    void Disable();
    void SetSettings(const uint32_t settings[3]);
    void GetSettings(uint32_t settings[3]) const;
    ZAR_LIVE_SOURCE_STATUS Status() const;
    void SetFieldCounter(FieldCounter counter) { m_counter = counter; }

    // The slot of field n of the playing clip in a ring of N slots (the
    // reader's validated N); N for the empty field.
    uint32_t MapField(uint32_t n, ZAR_LIVE_RING_HEADER* ring, uint32_t slots);

    // A live audio read of c samples at P (moved by the frame offset and
    // the audio offset) against a writer at W with a ring of R samples at
    // r samples a second: 0 when the read stepped back (the source then
    // plays silence), else 1.
    uint32_t AlignAudio(uint64_t writer, uint32_t ringSamples, uint32_t rate, uint64_t* position, uint32_t count,
                        ZAR_LIVE_RING_HEADER* ring, double frameRate);

private:
    void Start();

    CBoardConnection* m_connection;
    FieldCounter m_counter;
    mutable std::mutex m_lock;  // guards everything below
    ZAR_LIVE_SOURCE_STATUS m_status{};
    uint32_t m_channel = 0;
    bool m_started = false;   // the reader has taken its first read count
    uint32_t m_read = 0;
    uint32_t m_repeatRun = 0;  // consecutive repeated frames
    uint64_t m_lastPosition = ~0ull;
};
