// The board's two JPEG codecs and the JPEG path around them: each codec is a
// single-chip baseline JPEG codec with a 1 KB byte-wide register file reached
// through three board registers; per field it compresses the video input into
// the board's SDRAM or decompresses a field from SDRAM into the board's output.
// The compression is real (libjpeg-turbo), with the tables the driver loads.
//
// What this unit assumes where the driver's side leaves the hardware open:
//
// Register access
// - Ports (board registers): codec 0 at 0xA404 address high, 0xA408 address
//   low, 0xA40C data; codec 1 at 0xA414/0xA418/0xA41C. Each address port
//   keeps the low byte written (0xA408 <- 0x100 latches 0x00); the register
//   number is (high & 3) * 256 + low. A data write stores its low byte; a
//   data read returns the register in bits 0-7 and 0 above. The address does
//   not advance by itself. The address ports read back what they latched.
// - Read-only registers: 0x08 status (bits 6-7 the process count, 0 else),
//   0x17-0x19 the compressed bit count of the last field (most significant
//   byte first), 0x22 the identification kCodecId. Writes to them are kept
//   in the file but do not show. Everything else reads as written.
// - Register 0x00 bit 7 is the load strobe: the codec takes its field
//   geometry, marker segments and tables from the file (SOF 0x60, SOS 0x7A,
//   DRI 0xC0, DQT 0xCC, DHT 0x1D4, APP 0x380, COM 0x3C0) and the bit reads
//   back 0. A file that does not describe a 720-sample 4:2:2 field of the
//   board's line count with 8-bit tables is refused: the codec stays
//   unloaded and processes no fields (traced).
// - Register 0x03 selects the optional marker segments a compressed field
//   carries: bit 3 restart interval (DRI; without it no restarts are coded),
//   bit 4 Huffman tables, bit 5 quantisation tables, bit 6 comment, bit 7
//   application segment. The record programme's 0xA2 gives SOI, APP0, DQT,
//   SOF0, SOS, data, EOI: a field any baseline decoder reads with the
//   standard Huffman tables. Bits 0-2 are kept and have no effect.
// - The bit count is the entropy-coded data between the scan header and EOI,
//   in bits (a multiple of 8). With the markers of 0xA2 the driver's size
//   estimate (bits/8 + 8 + SOF + SOS + APP0 + DQT) is 4 bytes above the
//   field as stored, so fields laid end to end never overlap.
//
// Codec control 0xB880 (both codecs share bits 2-3)
// - Bit 2 is the reset, active low: while it is clear both codecs are held
//   in reset (register file cleared but for the id, writes lost, unloaded,
//   process count 0). Bit 3 runs the codecs' field engine: fields are
//   processed only while bits 2 and 3 are both set. Power-on leaves 0xB880
//   at 0: held in reset until the driver's reset sequence ends with both set.
// - Bits 0 and 1: the real-time bit of codec 0 and codec 1.
//
// Per field (on the field clock; a field is processed during the field
// period after the one in which the driver set it up)
// - At each field start a codec first finishes the field latched at the
//   previous start, then latches for the field now beginning: its real-time
//   bit, its SDRAM address register (0xA800 / 0xA810: bits 0-12 the block,
//   bit 15 uncompressed), its scale (register 0x11-0x12) and its direction
//   (codec 0: 0xB900 bit 0 set = encode; codec 1 always decodes). A field is
//   processed only when the codec is loaded, running and its real-time bit
//   was set when the field was latched; each processed field advances the
//   process count by one (mod 4). So the interrupt routine of field k reads
//   the size of the field it set up at field k - 2.
// - Encode: the video input's field of the period is compressed into SDRAM
//   in the record bank bit 12 of the latched block names (the parity banks
//   of Sdram, 4,096 blocks each), at bits 0-11, wrapping inside the bank: a
//   recording never runs into the other parity's fields or the play ring.
//   Decode: the field at
//   the latched block is decompressed into the board output of that codec
//   and that parity. The stream's own tables are used; where a stream lacks
//   them the codec's loaded tables are used (quantisation scaled as below).
//   A stream that is not a 720 x lines 4:2:2 baseline field, or is corrupt,
//   is counted as a decode error and leaves the output field as it stood.
// - Uncompressed (bit 15): the active lines pass untouched in the board's
//   line format, 684 blocks at 525 lines or 810 at 625 (see video_io.h).
//
// Scale and the expected-size table (designed together)
// - Quantiser direction: index 0 is the coarsest, 31 the finest. The 16-bit
//   scale (register 0x11) multiplies the loaded quantisation tables in units
//   of 1/64: step = clamp(round(table x scale / 64), 1, 255). The driver's
//   scale table (1280 at index 0 down to 9 at index 31) therefore makes the
//   compressed size grow with the index, which is what every rule of the
//   rate control needs: the feedback step lowers the index when a field is
//   too big, index 31 is the end for fields that stay too small and 0 for
//   fields that stay too big, and the table falls with the index.
// - Activity (0x4400 read): the JPEG path measures the luminance and
//   chrominance detail of every input field while 0x4400 bit 0 is set: the
//   sum of absolute differences of neighbouring samples (luminance across
//   and down, chrominance across) on every fourth line pair, divided by 64,
//   at most 65535 (flat 0, the test pattern about 11,000, heavy noise
//   saturates). Setting bit 0 restarts the measurement: the register reads
//   0 until a whole field has been measured; with bit 0 clear it reads 0.
//   The measure is of the video input, whatever the codecs do.
// - Size law: a field of activity A compressed at index q comes out at about
//   E(A, q) = b[q] + a[q] x A bytes (kSizeLaw, fitted by least relative
//   error to this codec's sizes on fields from flat through textured and
//   edged to noisy at 525 lines; within 25 % on the test pattern, up to
//   about 45 % on the hardest of those fields). b is about 4,000 bytes at
//   every index: the headers and a flat field's blocks.
// - Expected-size table, row r (upper size / 5), index q: the activity at
//   which index q gives a field of S(r) = (5r + 2) x 512 bytes:
//   (S(r) - b[q]) / a[q], at least 0, at most 65535, and never above the
//   entry of the index before it. With the rate control's reading (climb
//   from 16 while the next entry is still at least the measured activity,
//   else fall from 15 until the activity is below the entry), the choice is
//   the finest index whose expected size for this field is within the row's
//   size. The activity floor of 1000 is a nearly flat field; rows whose size
//   even a flat field passes end in zeros, as do rows 0 and 1 at every index.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sdram.h"
#include "trace.h"
#include "video_io.h"

namespace sim {

class BoardRegs;

namespace jpeg {
// Board registers.
inline constexpr uint32_t kPortBase[2] = {0xA404, 0xA414};  // +0 high, +4 low, +8 data
inline constexpr uint32_t kCodecControl = 0xB880;
inline constexpr uint32_t kDirection = 0xB900;
inline constexpr uint32_t kSdramAddress[2] = {0xA800, 0xA810};
inline constexpr uint32_t kPathControl = 0x4400;

inline constexpr uint16_t kControlRealtime0 = 0x1;
inline constexpr uint16_t kControlRealtime1 = 0x2;
inline constexpr uint16_t kControlResetN = 0x4;
inline constexpr uint16_t kControlRun = 0x8;
inline constexpr uint16_t kAddressBlockMask = 0x1FFF;
inline constexpr uint16_t kAddressUncompressed = 0x8000;
inline constexpr uint16_t kDirectionEncode = 0x1;
inline constexpr uint16_t kPathMeasure = 0x1;

// The register file.
inline constexpr uint32_t kRegisterFileSize = 1024;
inline constexpr uint32_t kRegMode = 0x00;
inline constexpr uint32_t kRegMarkers = 0x03;
inline constexpr uint32_t kRegStatus = 0x08;
inline constexpr uint32_t kRegScale = 0x11;     // 16 bits
inline constexpr uint32_t kRegBitCount = 0x17;  // 24 bits
inline constexpr uint32_t kRegId = 0x22;
inline constexpr uint32_t kRegSof = 0x60;
inline constexpr uint32_t kRegSos = 0x7A;
inline constexpr uint32_t kRegDri = 0xC0;
inline constexpr uint32_t kRegDqt = 0xCC;
inline constexpr uint32_t kRegDht = 0x1D4;
inline constexpr uint32_t kRegApp = 0x380;
inline constexpr uint32_t kRegCom = 0x3C0;
inline constexpr uint8_t kModeLoad = 0x80;
inline constexpr uint8_t kMarkerDri = 0x08, kMarkerDht = 0x10, kMarkerDqt = 0x20, kMarkerCom = 0x40,
                         kMarkerApp = 0x80;
inline constexpr uint8_t kCodecId = 0x5C;
inline constexpr int kScaleUnity = 64;

// The driver's quantiser index to scale.
inline constexpr uint16_t kQuantiserScale[32] = {1280, 1123, 821, 567, 395, 285, 212, 163, 129, 104, 85,
                                                 71,   61,   52,  45,  39,  35,  31,  28,  25,  22,  20,
                                                 19,   17,   16,  15,  14,  13,  12,  11,  10,  9};

inline constexpr int kTableRows = 128;
inline constexpr int kQuantisers = 32;
using ExpectedSizeRow = std::array<uint32_t, kQuantisers>;
// The 128 x 32 table the rate control compares the activity with.
const std::array<ExpectedSizeRow, kTableRows>& ExpectedSizeTable();
// The size law behind it: bytes of a field of activity A at index q.
double ExpectedFieldBytes(uint32_t activity, int quantiser);
// The bytes a row stands for.
inline uint32_t RowBytes(int row) { return uint32_t(5 * row + 2) * 512; }

// The path's measure of a field's detail (what 0x4400 reads back).
uint32_t Activity(const VideoField& field);
}  // namespace jpeg

class JpegEngine;

class JpegCodec {
public:
    JpegCodec(int index, Sdram& sdram);
    ~JpegCodec();
    JpegCodec(const JpegCodec&) = delete;
    JpegCodec& operator=(const JpegCodec&) = delete;

    int Index() const { return index_; }

    // The three ports: 0 address high, 1 address low, 2 data.
    uint16_t PortRead(int port);
    void PortWrite(int port, uint16_t value);

    // The register file as the chip answers it.
    uint8_t ReadRegister(uint32_t reg) const;
    void WriteRegister(uint32_t reg, uint8_t value);

    // Back to the state of power-on; while held, writes are lost.
    void Reset();
    void SetHeld(bool held) { held_ = held; }
    bool Loaded() const { return loaded_; }
    const std::string& LoadError() const { return loadError_; }
    int FieldLines() const;
    // The board's standard decides the field a load must describe.
    void SetStandard(int standard);

    // One field's work, as the path hands it over.
    struct FieldJob {
        bool encode = false;
        bool uncompressed = false;
        uint32_t block = 0;
        uint16_t scale = 0;
        const VideoField* input = nullptr;  // encode
        VideoField* output = nullptr;       // decode
    };
    void Process(const FieldJob& job);

    uint32_t ProcessCount() const { return processCount_; }  // not wrapped
    uint32_t BitCount() const { return bitCount_; }
    uint32_t StoredBytes() const { return storedBytes_; }    // of the last encoded field
    uint64_t FieldsEncoded() const { return encoded_; }
    uint64_t FieldsDecoded() const { return decoded_; }
    uint64_t DecodeErrors() const { return decodeErrors_; }
    const std::string& LastError() const { return lastError_; }

    // The codec's compression and decompression outside the field timing:
    // encode a field at a scale into 'out' (the whole stream); decode a
    // stream from SDRAM at a block. Used by Process, tests and the benchmark.
    bool EncodeField(const VideoField& in, uint16_t scale, std::vector<uint8_t>& out, uint32_t* dataBytes = nullptr);
    bool DecodeFromSdram(uint32_t block, uint16_t scale, VideoField& out);

    Trace& GetTrace() { return trace_; }

private:
    void Load();

    int index_;
    Sdram& sdram_;
    std::array<uint8_t, jpeg::kRegisterFileSize> file_{};
    uint8_t addressHigh_ = 0, addressLow_ = 0;
    bool loaded_ = false;
    bool held_ = false;
    int expectedLines_ = 248;
    std::string loadError_;
    uint32_t processCount_ = 0;
    uint32_t bitCount_ = 0;
    uint32_t storedBytes_ = 0;
    uint64_t encoded_ = 0, decoded_ = 0, decodeErrors_ = 0;
    std::string lastError_;
    std::vector<uint8_t> stream_;  // scratch of the field being encoded
    std::unique_ptr<JpegEngine> engine_;
    Trace trace_;
};

// The board's JPEG path: both codecs behind their ports, the shared codec
// control, the path control with its activity readback, and the per-field
// timing between the video input, SDRAM and the output.
class JpegPath {
public:
    JpegPath(BoardRegs& regs, Sdram& sdram, VideoFeed& input, VideoOutput& output);

    // Power-on: codec control 0 (both codecs held in reset), measure off.
    void PowerOn();
    // The field clock's start of field 'field' (parity 'parity').
    void OnField(uint64_t field, int parity);
    // Whether codec 'codec' decodes at the next start of field, and into its
    // output field of which parity.
    bool Decodes(int codec, int* parity) const;

    JpegCodec& Codec(int index) { return *codecs_[index & 1]; }
    uint16_t CodecControl() const { return control_; }
    uint16_t ActivityReadback() const;

    Trace& GetTrace() { return trace_; }

private:
    struct Latch {
        bool active = false;
        JpegCodec::FieldJob job;
        int parity = 0;
        uint64_t field = 0;
    };
    void WriteControl(uint16_t value);
    void WritePathControl(uint16_t value);

    BoardRegs& regs_;
    Sdram& sdram_;
    VideoFeed& input_;
    VideoOutput& output_;
    std::unique_ptr<JpegCodec> codecs_[2];
    Latch latch_[2];
    uint16_t control_ = 0;
    uint16_t pathControl_ = 0;
    bool measuring_ = false;  // bit 0 was set for the whole field now ending
    uint32_t activity_ = 0;
    Trace trace_{"jpeg-path"};
};

}  // namespace sim
