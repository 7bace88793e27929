// The board's audio: the bridge's two audio interfaces with their play and
// record DMA channels, the four DSPs that carry the eight play tracks, the
// board logic's track gains and the mix, the VU peak registers and the
// AC'97 codec's register file.
//
// What this unit assumes where the driver's side leaves the hardware open
// (the layout is in include/zar_audio_hw.h, shared with the driver):
// - One sample frame every 1/48,000 s while an interface is on; the unit
//   works in ticks of 240 frames, so DMA addresses and interrupts move in
//   5 ms steps on the machine's clock.
// - A play DMA reads 16-bit samples through its page table from base up to
//   the protection address, then wraps to base (or stops, one-shot). Its
//   progress interrupt latches each time the address crosses a boundary of
//   the page register's limit, and at the wrap or the stop.
// - A track's signal is its sample x trim (gain 1, 0x1FFFF unity) x level
//   (section 4, Q13); the equaliser sections and de-emphasis are kept as
//   written and not applied. Each track then goes to the mix through its
//   two board gains (4095 unity). The mix is what a loop-back records.
// - The record input follows the audio control register: 0x08 hears the
//   mix, 0x04 the digital input (silence here), neither the analogue input
//   (a test's generator, silence without one).
// - A DSP takes a command word as two writes of the data register (low
//   half first) while it is selected, stores the 18-bit value at the 14-bit
//   address and raises its interrupt 2 us later; any write of the
//   acknowledge register ends it. A DSP can be made silent (never
//   interrupts) for tests.
// - The codec's registers answer the two-read protocol: a read returns what
//   the previous read fetched and fetches the register read. Its busy bit
//   in the board status is clear unless a test holds it.
// - The VU peaks hold max |sample| >> 7 (0-255) since the last restart.
// - An injected play FIFO underflow stays latched in the secondary status
//   until a play channel is started again (a start or a resynchronisation
//   empties the FIFO), so the next progress interrupt reports it.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "board_regs.h"
#include "platform/hw/hw.h"
#include "saa7146.h"
#include "trace.h"

namespace sim {

class AudioUnit {
public:
    AudioUnit(Saa7146& bridge, BoardRegs& regs);

    void Attach(hw::Host* host) { host_ = host; }
    void Reset();

    // The analogue input: a sample for (frame, side 0 left / 1 right).
    using Generator = std::function<int16_t(uint64_t frame, int side)>;
    void SetAnalogueInput(Generator generator) { analogue_ = std::move(generator); }
    // Faults a test may inject.
    void InjectPlayUnderflow();                  // latches the FIFO error until a play channel restarts
    void SetDspSilent(int dsp, bool silent) { dsps_[dsp & 3].silent = silent; }
    void SetCodecStuckBusy(bool stuck);

    // Inspection.
    uint32_t DspRegister(int dsp, uint32_t address) const { return dsps_[dsp & 3].memory[address & 0x3FFF]; }
    struct DspCommandRecord {
        int dsp;
        uint32_t address, value;
    };
    const std::vector<DspCommandRecord>& DspLog() const { return dspLog_; }
    uint16_t CodecRegister(uint32_t index) const { return codec_[(index & 0x7E) >> 1]; }
    // Every frame of the mix (left, right) since the last clear, when kept.
    void KeepMix(bool on) { keepMix_ = on; }
    const std::vector<int16_t>& Mix() const { return mix_; }
    uint64_t Frames() const { return frames_; }

    Trace& GetTrace() { return trace_; }

private:
    struct Channel {
        uint32_t base = 0, prot = 0, page = 0, address = 0, currentRegister = 0, irq = 0, mc1Bit = 0;
        bool running = false;
        // A window of the channel's linear space read or written in one go.
        uint32_t cacheStart = 0, cacheLength = 0;
        std::array<uint8_t, 4096> cache{};
        bool dirty = false;
    };
    struct Dsp {
        std::array<uint32_t, 1 << 14> memory{};
        bool silent = false;
    };

    void OnMc1(uint32_t written);
    void OnInterfaceControl();
    void StartChannel(Channel& c, uint32_t baseReg, uint32_t protReg, uint32_t pageReg);
    void ScheduleTick();
    void Tick();
    bool Active() const;
    bool ReadSample(Channel& c, int16_t* sample);
    bool WriteSample(Channel& c, int16_t sample);
    void Advance(Channel& c);
    void Flush(Channel& c);
    bool LoadCache(Channel& c);
    void UpdateGains();
    void Peak(uint8_t& peak, int32_t sample) const;
    void WriteVuRegisters();

    void DspData(uint16_t value);
    void DspAck();
    uint16_t CodecRead(uint32_t address);
    void CodecWrite(uint32_t address, uint16_t value);
    void CodecReset();

    Saa7146& bridge_;
    BoardRegs& regs_;
    hw::Host* host_ = nullptr;
    Trace trace_{"audio"};

    Channel playA_, playB_, record_;
    uint64_t tickEvent_ = 0;
    uint64_t startNs_ = 0, frames_ = 0, framesAtStart_ = 0;
    double gainLeft_[8]{}, gainRight_[8]{}, trackGain_[8]{};
    uint8_t trackPeak_[8]{}, mixPeak_[2]{}, recordPeak_[2]{};
    Generator analogue_;
    bool keepMix_ = false;
    std::vector<int16_t> mix_;

    std::array<Dsp, 4> dsps_;
    uint32_t dspLow_ = 0;
    bool dspHaveLow_ = false;
    uint64_t dspEvent_ = 0;
    std::vector<DspCommandRecord> dspLog_;

    std::array<uint16_t, 64> codec_{};
    uint16_t codecLatch_ = 0;
    bool codecStuck_ = false;
};

}  // namespace sim
