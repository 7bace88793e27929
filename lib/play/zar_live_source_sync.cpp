// The live source's field and audio clocks, under one lock: the transfer
// thread maps fields, the audio reads align, the status export copies.

#include "zar_live_source_sync.h"

#include <algorithm>

#include "include/zarkd.h"
#include "zar_connection.h"

namespace {

bool BoardFieldCounter(CBoardConnection* connection, uint32_t channel, uint32_t* counter)
{
    if (!connection) return false;
    uint32_t status[76] = {};  // ZAR_PLAYLIST_STATUS: the unit in, the field counter at byte 40
    status[0] = channel;
    DWORD returned = 0;
    if (!SendDeviceRequest(connection->m_hBoard, IOCTL_ZAR_JPEG_GET_PLAYLIST_STATUS, status, sizeof status, status,
                           sizeof status, &returned, nullptr))
        return false;
    *counter = status[10];
    return true;
}

}  // namespace

CSysLiveSourceSync::CSysLiveSourceSync(CBoardConnection* connection) : m_connection(connection), m_counter(BoardFieldCounter)
{
}

void CSysLiveSourceSync::Start()
{
    const uint32_t s0 = m_status.Settings[0], s1 = m_status.Settings[1], s2 = m_status.Settings[2];
    m_status = ZAR_LIVE_SOURCE_STATUS{};
    m_status.Settings[0] = s0;
    m_status.Settings[1] = s1;
    m_status.Settings[2] = s2;
    m_status.AutomaticLag = 1;
    m_status.GivenReadPosition = ~0ull;
    m_status.AllowedLag = 2;
    m_status.LastFrame = 0xFFFFFFFFu;
    m_started = false;
    m_repeatRun = 0;
    m_lastPosition = ~0ull;
}

void CSysLiveSourceSync::Enable(const uint32_t settings[3], uint32_t channel)
{
    std::lock_guard<std::mutex> hold(m_lock);
    std::copy(settings, settings + 3, m_status.Settings);
    m_channel = channel;
    Start();
}

void CSysLiveSourceSync::Disable()
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_status = ZAR_LIVE_SOURCE_STATUS{};
    m_started = false;
}

void CSysLiveSourceSync::SetSettings(const uint32_t settings[3])
{
    std::lock_guard<std::mutex> hold(m_lock);
    std::copy(settings, settings + 3, m_status.Settings);
}

void CSysLiveSourceSync::GetSettings(uint32_t settings[3]) const
{
    std::lock_guard<std::mutex> hold(m_lock);
    std::copy(m_status.Settings, m_status.Settings + 3, settings);
}

ZAR_LIVE_SOURCE_STATUS CSysLiveSourceSync::Status() const
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_status;
}

uint32_t CSysLiveSourceSync::MapField(uint32_t n, ZAR_LIVE_RING_HEADER* ring, uint32_t slots)
{
    std::lock_guard<std::mutex> hold(m_lock);
    const uint32_t parity = n & 1, frame = n / 2;
    const bool newFrame = frame != m_status.LastFrame;
    const uint32_t write = liveRing::Load(ring->WriteCount);
    if (!m_started) {
        m_read = write;
        m_started = true;
    }
    m_status.Slots = slots;
    m_status.WriteCount = write;
    m_status.Dropped = liveRing::Load(ring->Dropped);
    if (m_read == write) {
        liveRing::Store(ring->FieldOffset, 0);
        m_status.FieldOffset = 0;
        if (newFrame) {
            ++m_status.UnderRuns;
            if (m_status.LastAdvanced) ++m_status.Stalls;
            m_status.LastAdvanced = 0;
            m_status.LastFrame = frame;
        }
        m_status.ReadCount = m_read;
        return slots;
    }
    if (newFrame) {
        const uint32_t lagFrames = m_status.Settings[0] ? m_status.Settings[0] : m_status.AutomaticLag;
        const uint32_t allowed = std::min<uint64_t>(2ull * lagFrames + 2, slots - 4);
        m_status.AllowedLag = allowed;
        // A writer that ran further ahead than the ring holds (it never
        // does: it stops at N - 2) would hand out slots it has refilled.
        if (write - m_read > slots) m_read = (write - slots + 2) & ~1u;
        const uint32_t backlog = (write - m_read) & ~1u;
        bool advanced = false;
        if (backlog < allowed) {
            ++m_status.Repeats;
            if (++m_repeatRun > allowed) {
                m_read = write & ~1u;
                m_repeatRun = 0;
            }
        } else {
            m_read += 2;
            m_repeatRun = 0;
            advanced = true;
            uint32_t counter = 0;
            if (m_counter && m_counter(m_connection, m_channel, &counter)) {
                m_status.FieldOffset = n - counter;
                liveRing::Store(ring->FieldOffset, m_status.FieldOffset);
            }
        }
        if (!advanced && m_status.LastAdvanced) ++m_status.Stalls;
        m_status.LastAdvanced = advanced ? 1 : 0;
        m_status.LastFrame = frame;
        liveRing::Store(ring->ReadCount, m_read);
    }
    m_status.ReadCount = m_read;
    return (m_read | parity) & (slots - 1);
}

uint32_t CSysLiveSourceSync::AlignAudio(uint64_t writer, uint32_t ringSamples, uint32_t rate, uint64_t* position,
                                        uint32_t count, ZAR_LIVE_RING_HEADER* ring, double frameRate)
{
    std::lock_guard<std::mutex> hold(m_lock);
    const bool moved = *position != m_lastPosition;
    bool steppedBack = false;
    if (moved) {
        m_lastPosition = *position;
        const uint32_t read = ring ? liveRing::Load(ring->ReadCount) : m_read;
        const uint32_t dropped = ring ? liveRing::Load(ring->Dropped) : 0;
        // Frames the video is behind the audio's count. Before the first
        // frame is handled there is no video to follow: no offset, where
        // the difference with "no frame" would move the read by years.
        const int64_t f = m_status.LastFrame == 0xFFFFFFFFu
                              ? 0
                              : int64_t(read / 2) - int64_t(m_status.LastFrame) + int64_t(dropped);
        steppedBack = f < int64_t(m_status.AudioFrameOffset);
        m_status.SteppedBackSamples = steppedBack ? count : 0;
        if (uint64_t(f) != m_status.AudioFrameOffset) {
            m_status.AudioFrameOffset = uint64_t(f);
            ++m_status.FrameOffsetChanges;
        }
        if (count > m_status.MostReadSamples) {
            m_status.MostReadSamples = count;
            if (rate != 0) {
                const uint32_t lag = uint32_t(double(count) * frameRate * 1.5 / rate);
                m_status.AutomaticLag = std::max(m_status.AutomaticLag, lag);
            }
        }
    }
    m_status.GivenReadPosition = *position;
    if (rate != 0 && frameRate > 0)
        *position += uint64_t(int64_t(double(int64_t(m_status.AudioFrameOffset)) * rate / frameRate));
    *position += uint64_t(m_status.Settings[1]) | uint64_t(m_status.Settings[2]) << 32;
    m_status.AudioWriterPosition = writer;
    m_status.AudioRingSamples = ringSamples;
    m_status.ReturnedReadPosition = *position;
    m_status.LastReadSamples = count;
    if (moved) {
        if (steppedBack) {
            m_status.TotalSteppedBack += count;
            m_status.NoLongerHeld = 0;
            m_status.NotYetWritten = 0;
        } else {
            const int64_t p = int64_t(*position), w = int64_t(writer), c = count;
            const int64_t lost = std::clamp<int64_t>(w - ringSamples - p, 0, c);
            const int64_t ahead = std::clamp<int64_t>(p + c - w, 0, c);
            m_status.NoLongerHeld = uint32_t(lost);
            m_status.NotYetWritten = uint32_t(ahead);
            m_status.TotalNoLongerHeld += uint64_t(lost);
            m_status.TotalNotYetWritten += ahead;
        }
    }
    return steppedBack ? 0 : 1;
}
