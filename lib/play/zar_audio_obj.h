// An audio source of a play-list item: the base reads 16-bit samples at the
// board's output rate for any sample position, whatever the source's own
// rate, width and channel count, applying the item's in and out points,
// speed, reverse, fades and the application's filter. A source class
// supplies only Open, Read and Close in its own sample frames.
#pragma once

#include <cstdint>
#include <vector>

#include "zar_audio_interp.h"
#include "zar_frame_time.h"

enum : int32_t {
    ZAR_E_AUDIO_OPEN = -50,    // the source cannot be opened
    ZAR_E_AUDIO_FORMAT = -51,  // its format is unusable
    ZAR_E_AUDIO_READ = -52,    // a read failed
};

// The application's filter, called on every block read: (context, samples,
// stride, count, position in output samples).
using ZarAudioFilterCallback = void (*)(uint32_t context, int16_t* samples, uint32_t stride, uint32_t count,
                                        int64_t position);

struct CAudioUserFilterParams {
    uint32_t context = 0;
    ZarAudioFilterCallback callback = nullptr;
    bool IsSet() const { return callback != nullptr; }
};

// What a source's Open reports of it.
struct ZAR_AUDIO_SOURCE_FORMAT {
    uint32_t rate = 0;        // 0: follows the output rate
    int64_t length = 0;       // sample frames; 0: endless
    uint32_t blockAlign = 0;  // bytes a sample frame
    uint32_t is16 = 0;
    uint32_t stereo = 0;
};

// A PCM format a source can be played from: 1 or 2 channels, 1,000 to
// 384,000 samples a second, 8 or 16 bits.
bool IsUsablePcmFormat(uint32_t channels, uint32_t rate, uint32_t bits);

class CAudioObj {
public:
    static constexpr double kEndlessOutFrames = 100000.0;
    static constexpr uint32_t kMinRate = 1000;
    static constexpr uint32_t kMaxRate = 384000;

    CAudioObj() = default;
    virtual ~CAudioObj() = default;
    CAudioObj(const CAudioObj&) = delete;
    CAudioObj& operator=(const CAudioObj&) = delete;

    // The source's own operations, in its sample frames.
    virtual int32_t Open(ZAR_AUDIO_SOURCE_FORMAT* format) = 0;
    virtual int32_t Read(int64_t position, uint32_t frames, uint32_t bytes, void* buffer, uint32_t outputRate) = 0;
    virtual int32_t Close() = 0;

    // Opens the source once for a cue of 'framesPerSecond'; an out point of
    // zero becomes the source's end.
    int32_t Prepare(double framesPerSecond);
    void Unprepare();
    bool IsOpen() const { return m_open; }

    // 'count' samples from 'position' (output samples from the in point)
    // at 'outputRate', written every 'stride' samples: 0, the source's read
    // error (the range is then silence), -1 for an exact-speed item not at
    // +-1, -2 for a rate out of range or a speed that moves no source sample.
    int32_t ReadSamples(int64_t position, uint32_t count, uint32_t outputRate, int16_t* buffer, uint32_t stride);

    // -2 unless 0 or 1.
    int32_t SetReverse(uint32_t reverse);
    void SetQuality(uint32_t quality);
    void SetExactSpeed(uint32_t exact) { m_exactSpeed = exact; }
    void SetFades(uint32_t fadeIn, uint32_t fadeOut)
    {
        m_fadeIn = fadeIn;
        m_fadeOut = fadeOut;
    }
    // -2 for a speed of zero, not a number, or one that would move less
    // than a source sample a second at the known rate.
    int32_t SetSpeed(double speed);
    void SetInPoint(CFrameTime in);
    void SetOutPoint(CFrameTime out);
    void SetFilter(const CAudioUserFilterParams& filter) { m_filter = filter; }
    // The channel a stereo source plays on a track: 0 left, 1 right.
    void SetChannel(uint32_t right) { m_right = right != 0; }

    uint32_t Reverse() const { return m_reverse; }
    uint32_t Quality() const { return m_quality; }
    uint32_t ExactSpeed() const { return m_exactSpeed; }
    uint32_t FadeIn() const { return m_fadeIn; }
    uint32_t FadeOut() const { return m_fadeOut; }
    double Speed() const { return m_speed; }
    CFrameTime InPoint() const { return m_in; }
    CFrameTime OutPoint() const { return m_out; }
    const CAudioUserFilterParams& Filter() const { return m_filter; }
    const ZAR_AUDIO_SOURCE_FORMAT& Format() const { return m_format; }
    // As the last read computed them.
    uint32_t Order() const { return m_order; }
    int32_t Step() const { return m_step; }
    int64_t Length() const { return m_length; }

    // Source samples a second of output: the source rate scaled by the
    // speed (0 when that moves nothing).
    static int32_t ComputeStep(uint32_t sourceRate, double speed, bool exact);
    // 2 x quality adjusted by how many source samples an output sample
    // spans, 0-4.
    static uint32_t ComputeOrder(uint32_t quality, uint32_t step, uint32_t outputRate);

private:
    bool Recompute(uint32_t outputRate);
    int32_t ReadRun(int64_t u, uint32_t count, int direction, int16_t* out, uint32_t stride);
    void Decode(const uint8_t* bytes, uint32_t frames, int16_t* out) const;
    void ApplyFades(int64_t position, uint32_t count, int16_t* buffer, uint32_t stride) const;

    bool m_open = false;
    CFrameTime m_in;
    CFrameTime m_out;
    double m_speed = 1.0;
    double m_frameRate = 0.0;
    uint32_t m_outputRate = 0;
    uint32_t m_quality = 1;
    uint32_t m_exactSpeed = 0;
    CAudioUserFilterParams m_filter;
    uint32_t m_fadeIn = 0;
    uint32_t m_fadeOut = 0;
    CAudioInterp m_interp;
    uint32_t m_order = 0;
    bool m_right = false;
    uint32_t m_reverse = 0;
    bool m_rateFollowsOutput = false;
    bool m_endless = false;
    int32_t m_step = 0;
    int64_t m_length = 0;
    int64_t m_inSample = 0;
    int64_t m_outSample = 0;
    ZAR_AUDIO_SOURCE_FORMAT m_format;
    std::vector<uint8_t> m_raw;
    std::vector<int16_t> m_decoded;
};
