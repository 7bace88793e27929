#include "audio.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "include/zar_audio_hw.h"

namespace sim {

namespace {

using namespace zar_audio_hw;

constexpr uint32_t kTickFrames = 240;
constexpr uint64_t kDspAnswerNs = 2000;
constexpr uint32_t kPage = 4096;

uint64_t FramesToNs(uint64_t frames) { return frames * 1000000000ull / kSampleRate; }

int16_t Clamp16(double v)
{
    if (v > 32767.0) return 32767;
    if (v < -32768.0) return -32768;
    return int16_t(std::lround(v));
}

}  // namespace

AudioUnit::AudioUnit(Saa7146& bridge, BoardRegs& regs) : bridge_(bridge), regs_(regs)
{
    playA_.currentRegister = kPlayACurrent;
    playA_.irq = kIrqPlayA;
    playA_.mc1Bit = kMc1PlayADma;
    playB_.currentRegister = kPlayBCurrent;
    playB_.irq = kIrqPlayB;
    playB_.mc1Bit = kMc1PlayBDma;
    record_.currentRegister = kRecordCurrent;
    record_.irq = kIrqRecord;
    record_.mc1Bit = kMc1RecordDma;

    bridge_.OnRegisterWrite(saa7146::kMc1, [this](uint32_t written) { OnMc1(written); });
    bridge_.OnRegisterWrite(kInterfaceControl, [this](uint32_t) { OnInterfaceControl(); });
    // The bridge's master reset stops its DMA; the units behind it keep their state.
    bridge_.OnRegistersReset([this] {
        for (Channel* c : {&playA_, &playB_, &record_}) c->running = false;
    });

    regs_.MapRange(kRegCodecBase, kRegCodecLast, [this](uint32_t a) { return CodecRead(a); },
                   [this](uint32_t a, uint16_t v) { CodecWrite(a, v); });
    regs_.MapRange(kRegDspData, kRegDspData, nullptr, [this](uint32_t, uint16_t v) { DspData(v); });
    regs_.MapRange(kRegDspAck, kRegDspAck, nullptr, [this](uint32_t, uint16_t) { DspAck(); });
    regs_.MapRange(kRegVuRestart, kRegVuRestart, nullptr, [this](uint32_t, uint16_t) {
        std::memset(trackPeak_, 0, sizeof(trackPeak_));
        std::memset(mixPeak_, 0, sizeof(mixPeak_));
        std::memset(recordPeak_, 0, sizeof(recordPeak_));
    });
    regs_.MapRange(kRegVuTracks, kRegVuMix + 3, [this](uint32_t a) -> uint16_t {
        uint32_t offset = a - kRegVuTracks;
        if (offset & 3) return 0;
        if (a == kRegVuMix) return uint16_t(mixPeak_[0] | (mixPeak_[1] << 8));
        if (a == kRegVuRecord) return uint16_t(recordPeak_[0] | (recordPeak_[1] << 8));
        uint32_t t = offset / 4;
        return uint16_t(trackPeak_[t] | (trackPeak_[t + 4] << 8));
    }, nullptr);
    CodecReset();
}

void AudioUnit::Reset()
{
    std::lock_guard lock(bridge_.Lock());
    for (Channel* c : {&playA_, &playB_, &record_}) {
        c->running = false;
        c->cacheLength = 0;
        c->dirty = false;
    }
    if (host_ && tickEvent_) host_->Cancel(tickEvent_);
    if (host_ && dspEvent_) host_->Cancel(dspEvent_);
    tickEvent_ = dspEvent_ = 0;
    for (Dsp& d : dsps_) d.memory.fill(0);
    dspHaveLow_ = false;
    dspLog_.clear();
    std::memset(trackPeak_, 0, sizeof(trackPeak_));
    std::memset(mixPeak_, 0, sizeof(mixPeak_));
    std::memset(recordPeak_, 0, sizeof(recordPeak_));
    CodecReset();
    mix_.clear();
    trace_("reset");
}

void AudioUnit::InjectPlayUnderflow()
{
    std::lock_guard lock(bridge_.Lock());
    bridge_.SetSecondaryStatus(kSsrPlayUnderflow, true);
    trace_("play FIFO underflow");
}

void AudioUnit::SetCodecStuckBusy(bool stuck)
{
    std::lock_guard lock(bridge_.Lock());
    codecStuck_ = stuck;
    regs_.SetStatusBits(kStatusCodecBusy, stuck);
}

// ---- DMA channels ----

void AudioUnit::StartChannel(Channel& c, uint32_t baseReg, uint32_t protReg, uint32_t pageReg)
{
    c.base = bridge_.Active(baseReg);
    c.prot = bridge_.Active(protReg);
    c.page = bridge_.Active(pageReg);
    c.address = c.base;
    c.cacheLength = 0;
    c.dirty = false;
    c.running = c.prot > c.base;
    bridge_.SetActive(c.currentRegister, c.address);
    // A play channel's start empties its FIFO: the underflow it latched is over.
    if (c.mc1Bit != kMc1RecordDma) bridge_.SetSecondaryStatus(kSsrPlayUnderflow, false);
    // A one-shot channel reports its start as well as its end.
    if (c.running && (c.page & kPageStopAtEnd)) bridge_.RaiseStatus(c.irq);
    trace_("DMA 0x%x start base 0x%x prot 0x%x page 0x%x", c.mc1Bit, c.base, c.prot, c.page);
}

void AudioUnit::OnMc1(uint32_t)
{
    uint32_t mc1 = bridge_.Active(saa7146::kMc1);
    struct {
        Channel* c;
        uint32_t base, prot, page;
    } channels[] = {{&playA_, kPlayABase, kPlayAProt, kPlayAPage},
                    {&playB_, kPlayBBase, kPlayBProt, kPlayBPage},
                    {&record_, kRecordBase, kRecordProt, kRecordPage}};
    for (auto& ch : channels) {
        bool on = (mc1 & ch.c->mc1Bit) != 0;
        if (on && !ch.c->running) StartChannel(*ch.c, ch.base, ch.prot, ch.page);
        if (!on && ch.c->running) {
            Flush(*ch.c);
            ch.c->running = false;
            trace_("DMA 0x%x stop at 0x%x", ch.c->mc1Bit, ch.c->address);
        }
    }
    ScheduleTick();
}

void AudioUnit::OnInterfaceControl() { ScheduleTick(); }

bool AudioUnit::Active() const
{
    uint32_t on = bridge_.Active(kInterfaceControl) & (kInterface1On | kInterface2On);
    return on != 0 && (playA_.running || playB_.running || record_.running);
}

void AudioUnit::ScheduleTick()
{
    if (!host_ || tickEvent_ || !Active()) return;
    startNs_ = host_->Now();
    framesAtStart_ = frames_;
    tickEvent_ = host_->Schedule(startNs_ + FramesToNs(kTickFrames), [this] { Tick(); });
}

bool AudioUnit::LoadCache(Channel& c)
{
    if (c.address >= c.cacheStart && c.address < c.cacheStart + c.cacheLength) return true;
    Flush(c);
    uint32_t offset = c.address & (kPage - 1);
    uint32_t bus = c.address;
    if (c.page & kPageMappingEnable) {
        uint32_t entry = 0;
        if (!host_->DmaRead((c.page & ~(kPage - 1)) + 4 * (c.address / kPage), &entry, 4)) return false;
        bus = (entry & ~(kPage - 1)) + offset;
    }
    uint32_t length = std::min(kPage - offset, c.prot - c.address);
    c.cacheStart = c.address;
    c.cacheLength = 0;
    if (c.mc1Bit != kMc1RecordDma && !host_->DmaRead(bus, c.cache.data(), length)) return false;
    c.cacheLength = length;
    return true;
}

void AudioUnit::Flush(Channel& c)
{
    if (!c.dirty) return;
    c.dirty = false;
    uint32_t length = c.address > c.cacheStart ? std::min(c.address - c.cacheStart, c.cacheLength) : c.cacheLength;
    uint32_t bus = c.cacheStart;
    if (c.page & kPageMappingEnable) {
        uint32_t entry = 0;
        if (!host_->DmaRead((c.page & ~(kPage - 1)) + 4 * (c.cacheStart / kPage), &entry, 4)) return;
        bus = (entry & ~(kPage - 1)) + (c.cacheStart & (kPage - 1));
    }
    host_->DmaWrite(bus, c.cache.data(), length);
}

void AudioUnit::Advance(Channel& c)
{
    c.address += 2;
    uint32_t limit = (c.page >> kPageLimitShift) & kPageLimitMask;
    bool raise = false;
    if (c.address >= c.prot) {
        Flush(c);
        raise = true;
        if (c.page & kPageStopAtEnd) {
            c.running = false;
        } else {
            c.address = c.base;
        }
        c.cacheLength = 0;
    } else if (limit != 0 && limit < 15 && (c.address & ((1u << (limit + 5)) - 1)) == 0) {
        raise = true;
    }
    if (!raise) return;
    Flush(c);
    bridge_.SetActive(c.currentRegister, c.address);
    bridge_.RaiseStatus(c.irq);
}

bool AudioUnit::ReadSample(Channel& c, int16_t* sample)
{
    *sample = 0;
    if (!c.running) return false;
    if (LoadCache(c)) std::memcpy(sample, &c.cache[c.address - c.cacheStart], 2);
    Advance(c);
    return true;
}

bool AudioUnit::WriteSample(Channel& c, int16_t sample)
{
    if (!c.running) return false;
    if (!(c.dirty && c.address == c.cacheStart + c.cacheLength && (c.address & (kPage - 1)) != 0)) {
        Flush(c);
        c.cacheStart = c.address;
        c.cacheLength = 0;
    }
    std::memcpy(&c.cache[c.cacheLength], &sample, 2);
    c.cacheLength += 2;
    c.dirty = true;
    Advance(c);
    return true;
}

void AudioUnit::UpdateGains()
{
    for (uint32_t t = 0; t < 8; ++t) {
        const Dsp& d = dsps_[t & 3];
        uint32_t channel = (t >> 2) & 1;
        double trim = double(d.memory[kDspGain[0][channel]]) / kDspUnityTrim;
        double level = double(d.memory[DspSectionAddress(4, channel)]) / kDspUnityLevel;
        trackGain_[t] = trim * level;
        gainLeft_[t] = double(regs_.Peek(kRegTrackGainLeft + 8 * t)) / kTrackGainUnity;
        gainRight_[t] = double(regs_.Peek(kRegTrackGainRight + 8 * t)) / kTrackGainUnity;
    }
}

void AudioUnit::Peak(uint8_t& peak, int32_t sample) const
{
    uint32_t p = std::min<uint32_t>(255, uint32_t(std::abs(sample)) >> 7);
    if (p > peak) peak = uint8_t(p);
}

void AudioUnit::Tick()
{
    std::lock_guard lock(bridge_.Lock());
    tickEvent_ = 0;
    uint32_t interfaces = bridge_.Active(kInterfaceControl);
    uint32_t list1[kSlotEntries], list2[kSlotEntries];
    uint32_t n1 = 0, n2 = 0;
    for (uint32_t i = 0; i < kSlotEntries; ++i) {
        list1[i] = bridge_.Active(kSlotList1 + 4 * i);
        list2[i] = bridge_.Active(kSlotList2 + 4 * i);
    }
    auto length = [](const uint32_t* list) {
        for (uint32_t i = 0; i < kSlotEntries; ++i)
            if (list[i] & kSlotEnd) return i + 1;
        return 0u;
    };
    if (interfaces & kInterface1On) n1 = length(list1);
    if (interfaces & kInterface2On) n2 = length(list2);
    uint16_t control = regs_.Peek(kRegAudioControl);
    UpdateGains();

    for (uint32_t f = 0; f < kTickFrames; ++f, ++frames_) {
        int16_t track[8] = {};
        for (uint32_t i = 0; i < n1; ++i)
            if ((list1[i] & kSlotKindMask) == kSlotPlay) ReadSample(playA_, &track[(list1[i] >> kSlotLineShift) & 7]);
        for (uint32_t i = 0; i < n2; ++i)
            if ((list2[i] & kSlotKindMask) == kSlotPlay) ReadSample(playB_, &track[(list2[i] >> kSlotLineShift) & 7]);
        double left = 0, right = 0;
        for (uint32_t t = 0; t < 8; ++t) {
            double s = track[t] * trackGain_[t];
            Peak(trackPeak_[t], Clamp16(s));
            left += s * gainLeft_[t];
            right += s * gainRight_[t];
        }
        int16_t mix[2] = {Clamp16(left), Clamp16(right)};
        Peak(mixPeak_[0], mix[0]);
        Peak(mixPeak_[1], mix[1]);
        if (keepMix_) {
            mix_.push_back(mix[0]);
            mix_.push_back(mix[1]);
        }
        int16_t in[2] = {0, 0};
        if (control & kAudioControlSourceLoop) {
            in[0] = mix[0];
            in[1] = mix[1];
        } else if (!(control & kAudioControlSourceDigital) && analogue_) {
            in[0] = analogue_(frames_, 0);
            in[1] = analogue_(frames_, 1);
        }
        Peak(recordPeak_[0], in[0]);
        Peak(recordPeak_[1], in[1]);
        for (uint32_t i = 0; i < n2; ++i)
            if ((list2[i] & kSlotKindMask) == kSlotRecord) WriteSample(record_, in[(list2[i] >> kSlotLineShift) & 1]);
    }
    for (Channel* c : {&playA_, &playB_, &record_}) {
        if (c->mc1Bit == kMc1RecordDma) Flush(*c);
        bridge_.SetActive(c->currentRegister, c->address);
    }
    if (Active()) {
        tickEvent_ = host_->Schedule(startNs_ + FramesToNs(frames_ - framesAtStart_ + kTickFrames), [this] { Tick(); });
    }
}

// ---- DSPs ----

void AudioUnit::DspData(uint16_t value)
{
    if (!dspHaveLow_) {
        dspLow_ = value;
        dspHaveLow_ = true;
        return;
    }
    dspHaveLow_ = false;
    uint32_t word = dspLow_ | (uint32_t(value) << 16);
    uint32_t select = regs_.Peek(kRegDspSelect) & 0xFF;
    int dsp = -1;
    for (int i = 0; i < 4; ++i)
        if (select == kDspSelectCode[i]) dsp = i;
    uint32_t address = word & ((1u << kDspAddressBits) - 1);
    uint32_t v = word >> kDspAddressBits;
    if (dsp >= 0) {
        dsps_[dsp].memory[address] = v;
        dspLog_.push_back({dsp, address, v});
        trace_("DSP %d [0x%04x] := 0x%05x", dsp, address, v);
        if (dsps_[dsp].silent) return;
    }
    if (!host_ || dspEvent_) return;
    dspEvent_ = host_->Schedule(host_->Now() + kDspAnswerNs, [this] {
        std::lock_guard lock(bridge_.Lock());
        dspEvent_ = 0;
        regs_.SetSourceAsserted(BoardIrqSource::Dsp, true);
    });
}

void AudioUnit::DspAck() { regs_.SetSourceAsserted(BoardIrqSource::Dsp, false); }

// ---- codec ----

void AudioUnit::CodecReset()
{
    codec_.fill(0);
    auto set = [this](uint32_t index, uint16_t v) { codec_[index >> 1] = v; };
    set(0x02, 0x8000);
    set(0x04, 0x8000);
    set(0x06, 0x8000);
    set(0x0C, 0x8008);
    set(0x0E, 0x8008);
    for (uint32_t r = 0x10; r <= 0x18; r += 2) set(r, 0x8808);
    set(0x1C, 0x8000);
    set(0x7C, 0x4352);
    set(0x7E, 0x5900);
}

uint16_t AudioUnit::CodecRead(uint32_t address)
{
    uint16_t value = codecLatch_;
    uint32_t index = ((address - kRegCodecBase) >> 1) & 0x7E;
    codecLatch_ = codec_[index >> 1];
    return value;
}

void AudioUnit::CodecWrite(uint32_t address, uint16_t value)
{
    uint32_t index = ((address - kRegCodecBase) >> 1) & 0x7E;
    trace_("codec [0x%02x] := 0x%04x", index, value);
    if (index == 0x00) {
        CodecReset();
        return;
    }
    if (index >= 0x7C) return;  // vendor id
    codec_[index >> 1] = value;
}

}  // namespace sim
