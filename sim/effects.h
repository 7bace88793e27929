// The board's effect units behind DEBI: the two proc amps, the mixer (mix
// effects, DVE key, downstream key, master fade, preview, M2 route), the
// graphics frame stores A and B with their memory, and the DVE's register
// file; and the board's programme output composed from them each field.
//
// What this unit assumes where the driver's side leaves the hardware open:
// - The units' registers (proc amps and mixer 0x5400-0x5494, graphics read
//   0x547C-0x54A4 and write windows 0x5004-0x5020, 0x4C04-0x4D00, frame
//   transfer 0x5800, DVE 0xC000-0xDC04) are plain registers of the board's
//   file that read back as written; with the log on, every write to them is
//   recorded with the field it came in. The DVE's geometry, the wipe patterns and the M2 route are
//   only recorded: nothing on the driver's side gives them a meaning.
// - 0x5474 has three roles in the driver: the JPEG codecs' control bits
//   (0-1), the video input's set-up and lock bits (0, 1, 2, 4), and store
//   B's read control with the grab strobe (0, 2-5). This model takes it as
//   the input path's register: bits 0-2 and 4 belong to the input path, and
//   bit 0 also routes the input into store B's write buffer (a grab) on
//   every field it is set while no BRS transfer has the store; store B's
//   read control is bit 3 (frame read, or the field in mode 3) and bit 5
//   (buffer 2). Store B's read-out is not composed into the programme, so
//   only the grab has an effect here.
// - 0x4C08 bit 8 is store B's write buffer (0 buffer 1, 1 buffer 2), as the
//   BRS channel sets it; bit 9 is its busy/write-enable bit. The graphics
//   loader's "write enable" in bit 8 is thus overruled by the BRS command's
//   buffer word at each pass. 0x5008: bit 9 write buffer, bit 10 busy.
// - Channels 402 and 403 are the mixer's DVE key (0x5488-0x5494, level
//   0x544C) and the downstream key (0x5450-0x545C, level 0x5460).
// - A store holds two buffers of 2,048 rows x 256 pixels-pairs' worth of
//   32-bit pixels (Cb, Y, Cr, key; 524,288 pixels), addressed in pixel pairs
//   as row x 128 + column. An image line is 720 pixels (1,536 in the wide
//   layout); a frame's second field lies 1,024 rows after its first.
// - BRS lines land in the store whose busy bit is set (A before B), at its
//   write window, one line after the other; a transfer with no store busy
//   (kinds 0 and 1) is only counted.
// - Read-out: a store shows the buffer its control's bit 5 selects (buffer 2
//   when set); a parity-1 field reads from the read address, a parity-0
//   field from 1,024 rows further when the control's bit 4 is set (frame
//   read), else from the read address too.
// - Programme output each field: the field decoded by codec 0 when it has
//   played, else the input; proc amp 0 applied (registers 0-4: luma gain
//   /128, chroma gain /128, black level around 16, Cb and Cr offsets as
//   signed bytes; 255 in register 0 with 0 in register 1 is the matte:
//   luma register 2, Cb and Cr registers 3 and 4 less 128); store A keyed
//   over it by the pixel's key times the downstream key level (0x5460,
//   0-128); then the master fade (0x5464: 255 full picture, 0 black).
// - The programme is drawn only when something reads it: each field keeps
//   its source and the registers it was shown with, and is drawn from them
//   at the first read, exactly as it would have been at its field. Its
//   source stays as it was until then: the input's fields are held, codec
//   0's output field is drawn from before the codec decodes into it again
//   (the board says when), and a keyed field is drawn before a BRS line
//   changes store A. Whoever writes codec 0's output fields directly (a
//   test) reads the programme first if it wants the field shown before.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "trace.h"
#include "video_io.h"

namespace sim {

class BoardRegs;

namespace fx {
inline constexpr uint32_t kProcAmp0 = 0x5400;
inline constexpr uint32_t kProcAmp1 = 0x5414;
inline constexpr uint32_t kDveKeyLevel = 0x544C;
inline constexpr uint32_t kDownstreamKeyLevel = 0x5460;
inline constexpr uint32_t kMasterFade = 0x5464;
inline constexpr uint32_t kPreview = 0x5470;
inline constexpr uint32_t kStoreBControl = 0x5474;
inline constexpr uint32_t kStoreAColumn = 0x547C;
inline constexpr uint32_t kStoreARow = 0x5480;
inline constexpr uint32_t kStoreAControl = 0x5484;
inline constexpr uint32_t kStoreBColumn = 0x549C;
inline constexpr uint32_t kStoreBRowHigh = 0x54A0;
inline constexpr uint32_t kStoreBRow = 0x54A4;
inline constexpr uint32_t kStoreAWriteRow = 0x5004;
inline constexpr uint32_t kStoreAWrite = 0x5008;
inline constexpr uint32_t kStoreBWriteRow = 0x4C04;
inline constexpr uint32_t kStoreBWrite = 0x4C08;
inline constexpr uint32_t kFrameTransfer = 0x5800;
inline constexpr uint32_t kDveFirst = 0xC000;
inline constexpr uint32_t kDveLast = 0xDC04;

inline constexpr uint16_t kGrab = 0x1;
inline constexpr uint16_t kReadFrame = 0x10;
inline constexpr uint16_t kReadBuffer2 = 0x20;
inline constexpr uint16_t kAWriteBuffer2 = 0x200, kABusy = 0x400, kWide = 0x800;
inline constexpr uint16_t kBWriteBuffer2 = 0x100, kBBusy = 0x200;

inline constexpr uint32_t kStorePixels = 524288;
inline constexpr uint32_t kSecondFieldPixels = 1024 * 256;
}  // namespace fx

struct FxWrite {
    uint64_t field;
    uint32_t address;
    uint16_t value;
};

class EffectUnits {
public:
    EffectUnits(BoardRegs& regs, int standard);
    void Reset();

    // Once per field, after the codecs: grabs, and keeps what the programme
    // shows this field.
    void OnField(uint64_t field, int parity, const VideoField& played, bool playedValid,
                 std::shared_ptr<const VideoField> input);
    // Codec 0 is about to decode into its output field of 'parity'.
    void BeforePlayedChanges(int parity);
    // A BRS line (from the bridge's DMA 3).
    void OnBrsLine(const uint8_t* data, uint32_t bytes, uint32_t line);

    // A store's pixel (Cb | Y << 8 | Cr << 16 | key << 24) at a pixel address.
    uint32_t StorePixel(int store, int buffer, uint32_t pixel) const;
    uint16_t Register(uint32_t address) const;

    // The register log: every write to the units, stamped with its field.
    void EnableLog(bool on) { logging_ = on; }
    const std::vector<FxWrite>& Log() const { return log_; }
    void ClearLog() { log_.clear(); }
    uint64_t BrsLinesIgnored() const { return brsIgnored_; }

    // The programme output's last fields (drawn now where they were not yet),
    // and as a picture.
    const VideoOutput& Programme() const;
    bool Capture(const std::string& path, std::string* error = nullptr) const
    {
        return Programme().Capture(0, path, error);
    }

    Trace& GetTrace() { return trace_; }

private:
    void Write(uint32_t address, uint16_t value);
    uint32_t* StoreLine(int store, int buffer, uint32_t pixel);
    void Grab(const VideoField& input, int parity);
    // What a programme field shows, kept until it is drawn.
    struct Shown {
        bool waiting = false;
        const VideoField* played = nullptr;       // codec 0's output field, or
        std::shared_ptr<const VideoField> input;  // the input's
        uint8_t procAmp[5] = {};
        uint16_t keyLevel = 0, storeAControl = 0, storeARow = 0, storeAColumn = 0, fade = 0;
    };
    static bool Keyed(const Shown& s);
    void Draw(int parity) const;  // composeLock_ held
    void KeyStore(VideoField& f, int parity, const Shown& s) const;

    BoardRegs& regs_;
    std::vector<uint32_t> stores_[2][2];
    std::vector<FxWrite> log_;
    bool logging_ = false;
    uint64_t field_ = 0;
    uint64_t brsIgnored_ = 0;
    // Guards shown_ and the programme's fields: fields are kept on the
    // machine's clock and drawn by whoever reads them.
    mutable std::mutex composeLock_;
    mutable Shown shown_[2];
    mutable VideoOutput programme_;
    Trace trace_{"effects"};
};

}  // namespace sim
