#include "video_chips.h"

namespace sim {

using namespace video_chips;

void VideoChip::Reset()
{
    regs_.fill(0);
    ResetPointer();
    trace_("power-on");
}

void VideoChip::WriteRegister(uint8_t reg, uint8_t value)
{
    regs_[reg] = value;
    trace_("reg 0x%02x := 0x%02x", reg, value);
}

VideoDecoder::VideoDecoder(VideoInput input, int sourceStandard)
    : VideoChip("decoder"), input_(input), sourceStandard_(sourceStandard)
{
}

void VideoDecoder::SetInput(VideoInput input, int sourceStandard)
{
    input_ = input;
    sourceStandard_ = sourceStandard;
    trace_("input %s, %d lines", input == VideoInput::Absent ? "absent" : input == VideoInput::Locked ? "locked" : "noisy",
           sourceStandard);
}

uint8_t VideoDecoder::Status() const
{
    if (input_ == VideoInput::Absent) return kStatusNoLock;
    return uint8_t(kStatusInterlaced | (sourceStandard_ == 525 ? kStatus60Hz : 0));
}

uint8_t VideoDecoder::Quality() const
{
    return input_ == VideoInput::Locked ? 0 : kQualityUnstable;
}

uint8_t VideoDecoder::ReadRegister(uint8_t reg)
{
    if (reg == kDecoderStatus) return Status();
    if (reg == kDecoderQuality) return Quality();
    return regs_[reg];
}

void VideoDecoder::WriteRegister(uint8_t reg, uint8_t value)
{
    if (reg == kDecoderStatus || reg == kDecoderQuality) {
        trace_("write 0x%02x to read-only status 0x%02x dropped", value, reg);
        return;
    }
    VideoChip::WriteRegister(reg, value);
}

}  // namespace sim
