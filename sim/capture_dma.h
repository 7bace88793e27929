// The bridge's video DMA 1 with its scaler, and the bridge's second
// register program processor (RPS1): the board's live input, scaled, into
// host memory through a page table.
//
// What this unit assumes where the driver's side leaves the chip open:
// - A field is transferred whole when it ends: at the start of each field
//   the field that just ended goes to BASE_ODD1 (parity 1) or BASE_EVEN1
//   (parity 0), while MC1 bit 6 is set. A base equal to PROT_ADDR1 is not
//   written. Line k goes to base + k x pitch; with a negative pitch the base
//   is the end of the image and line k goes to base + (k + 1) x pitch. A
//   line that would cross the protection address stops the field.
// - BASE_PAGE1 bit 11 turns the page table on (the address's bits 12-31
//   index a table of 32-bit bus addresses at BASE_PAGE1's page, each entry's page taken), bit 3 stops
//   the DMA: the unit then clears MC1 bit 6 at the next field start.
// - The bridge's video port carries the board's video: the fields codec 0
//   decodes once it has played (as the programme output takes them), else
//   the input. So a ring paced with the play captures the clip played.
// - The scaler is simple: the source window is NUM_LINE_BYTE1 (pixels in
//   bits 0-11, lines + 2 in bits 16-27, centred horizontally, the top crop
//   below the field's first line); the output width comes from the
//   horizontal prescale and fine scale, the output lines from the vertical
//   scale; each output pixel takes the nearest source pixel.
// - CLIP_FORMAT_CTRL bits 24-26 choose the pixel: 2 BGRA (alpha 255), 1 BGR,
//   0 Cb Y Cr Y, 3 RGB 5-5-5 (masks 0x7C00, 0x3E0, 0x1F), 4 RGB 5-5-5 with
//   green one bit up (0xF800, 0x7C0, 0x1F), as the preview's surface
//   formats 3 and 4 read them; colour as ITU-R BT.601 studio range. The
//   driver gives the 5-6-5 format the code of Cb Y Cr Y (0), so a 5-6-5
//   capture arrives as Cb Y Cr Y. The colour controls are not applied.
// - An injected overflow sets SSR bit 11 and latches ISR bit 9 for the next
//   transferred field; the next field without one clears SSR bit 11.
// - RPS1 runs while MC1 bit 13 is set, from the address in 0x108, and knows
//   four commands: 0x0 clear event (no effect), 0x2 pause until one of the
//   low-24-bit events (bit 2 a frame begins, bit 8 a field begins), 0x4
//   upload the low 11 bits' register groups, 0x8 jump to the next word. At
//   each field start it runs until it pauses; a pause passes once a field.
#pragma once

#include <cstdint>

#include "trace.h"

namespace sim {

class Saa7146;
class VideoFeed;
class VideoOutput;

namespace capture {
inline constexpr uint32_t kBaseOdd1 = 0x00, kBaseEven1 = 0x04, kProtAddr1 = 0x08, kPitch1 = 0x0C;
inline constexpr uint32_t kBasePage1 = 0x10, kNumLineByte1 = 0x14;
inline constexpr uint32_t kHpsCtrl = 0x5C, kHpsVScale = 0x60, kHpsHPrescale = 0x68, kHpsHScale = 0x6C;
inline constexpr uint32_t kClipFormat = 0x78;
inline constexpr uint32_t kRpsAddr1 = 0x108;
inline constexpr uint32_t kMc1Dma1 = 0x40, kMc1Rps1 = 0x2000;
inline constexpr uint32_t kPageMmu = 0x800, kPageStop = 0x8;
inline constexpr uint32_t kSsrOverflow = 0x800, kIsrOverflow = 0x200;
}  // namespace capture

class CaptureDma {
public:
    CaptureDma(Saa7146& bridge, VideoFeed& input, VideoOutput& played) : bridge_(bridge), input_(input), played_(played)
    {
    }

    void Reset();
    // The start of field 'field' of 'parity' (after the count moved on).
    void OnField(uint64_t field, int parity);

    void InjectOverflow() { overflowPending_ = true; }
    uint64_t FieldsTransferred() const { return transferred_; }
    uint64_t RpsUploads() const { return rpsUploads_; }
    // The output size the scaler registers give (for tests).
    void OutputSize(int* width, int* lines) const;

    Trace& GetTrace() { return trace_; }

private:
    void Transfer(uint64_t field, int parity);
    void RunRps(int parity);
    bool HostWrite(uint32_t linear, const uint8_t* data, uint32_t length);

    Saa7146& bridge_;
    VideoFeed& input_;
    VideoOutput& played_;
    bool overflowPending_ = false;
    bool rpsRunning_ = false;
    uint32_t rpsPc_ = 0;
    uint64_t transferred_ = 0;
    uint64_t rpsUploads_ = 0;
    Trace trace_{"capture-dma"};
};

}  // namespace sim
