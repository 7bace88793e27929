// The board's audio hardware as both the driver and the simulated board see
// it: the bridge's two audio interfaces with their DMA channels and
// time-slot lists, and the board registers of the audio units behind DEBI.
//
// A time-slot list is 16 dwords; an interface walks its list once per
// sample frame, from entry 0 to the entry that carries the end bit. A play
// entry takes the next 16-bit sample from the interface's play DMA and
// sends it to the DSP input of the track it names; a record entry puts the
// next 16-bit sample of the record input (side 0 left, 1 right) into the
// record DMA. So a bank buffer holds one 16-bit sample per play entry and
// frame, interleaved in list order.
#pragma once

#include <cstdint>

namespace zar_audio_hw {

// ---- bridge registers (byte offsets in the register window) ----
inline constexpr uint32_t kInterfaceControl = 0x54;   // bits below switch the interfaces on
inline constexpr uint32_t kInterface1On = 0x1;
inline constexpr uint32_t kInterface2On = 0x2;
// The DMA channels: play bank A on interface 1, record and play bank B on
// interface 2. Base and protection are addresses in the channel's linear
// space (mapped through the page table); the current address reads back
// in the same space.
inline constexpr uint32_t kPlayABase = 0xA0, kPlayAProt = 0xA4, kPlayAPage = 0xA8;
inline constexpr uint32_t kRecordBase = 0xAC, kRecordProt = 0xB0, kRecordPage = 0xB4;
inline constexpr uint32_t kPlayBBase = 0xB8, kPlayBProt = 0xBC, kPlayBPage = 0xC0;
inline constexpr uint32_t kPlayACurrent = 0x12C;
inline constexpr uint32_t kPlayBCurrent = 0x134;
inline constexpr uint32_t kRecordCurrent = 0x138;
// MC1 enable bits of the three channels (with their write-enable bits 16 up).
inline constexpr uint32_t kMc1RecordDma = 0x01;
inline constexpr uint32_t kMc1PlayBDma = 0x02;
inline constexpr uint32_t kMc1PlayADma = 0x08;
// Page register: bus address of the page table (4 KB aligned) in bits
// 12-31, the mapping enable, the progress limit and the one-shot stop.
inline constexpr uint32_t kPageMappingEnable = 0x800;
inline constexpr uint32_t kPageLimitShift = 4;        // interrupt each 2^(limit+5) bytes; 15: only at the end
inline constexpr uint32_t kPageLimitMask = 0xF;
inline constexpr uint32_t kPageStopAtEnd = 0x08;      // one-shot: stop at the protection address
inline constexpr uint32_t kPageLooping = kPageMappingEnable | 0x70;   // every 4 KB, wraps to base
inline constexpr uint32_t kPageOneShot = kPageMappingEnable | 0xF8;   // once at the end, then stops
// Time-slot lists.
inline constexpr uint32_t kSlotList1 = 0x140;
inline constexpr uint32_t kSlotList2 = 0x180;
inline constexpr uint32_t kSlotEntries = 16;
inline constexpr uint32_t kSlotEnd = 0x80000000;
inline constexpr uint32_t kSlotKindMask = 0x3;
inline constexpr uint32_t kSlotPlay = 0x1;
inline constexpr uint32_t kSlotRecord = 0x2;
inline constexpr uint32_t kSlotLineShift = 4;         // play: track 0-7; record: side 0-1
inline constexpr uint32_t kSlotLineMask = 0xF;
inline constexpr uint32_t PlaySlot(uint32_t track) { return kSlotPlay | (track << kSlotLineShift); }
inline constexpr uint32_t RecordSlot(uint32_t side) { return kSlotRecord | (side << kSlotLineShift); }
// Secondary status: the audio FIFO error bits.
inline constexpr uint32_t kSsrAudioFifoError = 0x280;
inline constexpr uint32_t kSsrPlayUnderflow = 0x080;

// Interrupt status bits of the three channels' progress.
inline constexpr uint32_t kIrqPlayA = 0x1000;
inline constexpr uint32_t kIrqPlayB = 0x4000;
inline constexpr uint32_t kIrqRecord = 0x8000;

// The sample rate of the board's audio clock in the model; the driver
// never depends on it.
inline constexpr uint32_t kSampleRate = 48000;

// ---- board registers behind DEBI ----
inline constexpr uint32_t kRegAudioControl = 0xB820;  // 0x10 play path, 0x20 record, 0x04/0x08 source
inline constexpr uint32_t kAudioControlPlayPath = 0x10;
inline constexpr uint32_t kAudioControlRecord = 0x20;
inline constexpr uint32_t kAudioControlSourceDigital = 0x04;
inline constexpr uint32_t kAudioControlSourceLoop = 0x08;   // record hears the play mix
// Codec (AC'97 registers at 0x8400 + 2 x index); busy in the board status.
inline constexpr uint32_t kRegCodecBase = 0x8400;
inline constexpr uint32_t kRegCodecLast = 0x84FE;
inline constexpr uint16_t kStatusCodecBusy = 0x100;
// DSPs.
inline constexpr uint32_t kRegDspSelect = 0x8C04;     // select code of DSP 0-3: 14, 13, 11, 7; 255 none
inline constexpr uint32_t kRegDspControl = 0x8C08;
inline constexpr uint32_t kRegDspData = 0x8C10;       // a command word: low half, then high half
inline constexpr uint32_t kRegDspAck = 0x8D00;        // any write ends the DSP's interrupt
inline constexpr uint32_t kDspSelectNone = 255;
inline constexpr uint32_t kDspSelectCode[4] = {14, 13, 11, 7};
inline constexpr uint32_t kDspAddressBits = 14;
inline constexpr uint32_t kDspValueMask = 0x3FFFF;
inline constexpr uint32_t DspCommand(uint32_t address, uint32_t value)
{
    return (address & ((1u << kDspAddressBits) - 1)) | ((value & kDspValueMask) << kDspAddressBits);
}
// DSP register addresses (channel 0 / channel 1).
inline constexpr uint32_t kDspDeemphasis[2] = {0x21C0, 0x1C0};
inline constexpr uint32_t kDspGain[4][2] = {{0x24C0, 0x4C0}, {0x25C0, 0x5C0}, {0xC0, 0x20C0}, {0x3FC0, 0x1FC0}};
inline constexpr uint32_t kDspSections = 5;
inline constexpr uint32_t DspSectionAddress(uint32_t section, uint32_t channel)
{
    return ((((section + 2) * 5 + (channel == 0 ? 32 : 0)) * 256) ^ 192) & 0x3FFF;
}
inline constexpr uint32_t kDspUnityLevel = 8192;       // section 4 (the track's level), Q13
inline constexpr uint32_t kDspUnityTrim = 0x1FFFF;     // gain 1 (the trim)
// Board (FPGA) track gains after the DSPs: 4095 is unity.
inline constexpr uint32_t kRegTrackGainLeft = 0x8800;  // + 8 x track
inline constexpr uint32_t kRegTrackGainRight = 0x8804;
inline constexpr uint32_t kTrackGainUnity = 4095;
// VU peaks: tracks 0-3 at 0x9800 + 4 x (track mod 4), byte track div 4;
// the mix (play pairs 8, 9) at 0x9814 and the record pair at 0x9810, bytes
// 0 and 1. A write to the restart register clears them all.
inline constexpr uint32_t kRegVuTracks = 0x9800;
inline constexpr uint32_t kRegVuRecord = 0x9810;
inline constexpr uint32_t kRegVuMix = 0x9814;
inline constexpr uint32_t kRegVuRestart = 0x8C40;

}  // namespace zar_audio_hw
