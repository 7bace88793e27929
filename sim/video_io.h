// The board's video in and out as the JPEG path sees them: the input that
// feeds the recording codec (a built-in test pattern, or frames from a file)
// and the output that the playing codecs' decoded fields form, which can be
// captured as pictures.
//
// What this unit assumes where the driver's side leaves the hardware open:
// - A field is held planar, 8-bit YCbCr 4:2:2: a 720-sample luminance plane
//   and two 360-sample chrominance planes, as many lines as the codec's field
//   (248 at 525 lines, 288 at 625). The codecs read and write these planes
//   directly, which is what keeps a field's encode and decode free of
//   per-sample work outside the JPEG library.
// - At 525 lines a field has 243 active lines but the codec's field is 248
//   (a multiple of the 8-line block height): field lines 0-242 carry the
//   picture and lines 243-247 are black. An uncompressed field keeps only the
//   243 active lines (684 blocks), so nothing is lost by the padding. At 625
//   lines all 288 lines are active.
// - An uncompressed field in board memory is the board's line format: UYVY
//   (Cb Y0 Cr Y1), 1,440 bytes a line, active lines only.
// - Samples are JFIF YCbCr (full range) when pictures are converted to and
//   from RGB; the test pattern uses studio levels (black 16, white 235).
// - A frame is two fields woven line by line, the parity-1 field on the
//   frame's even lines (0, 2, 4, ...).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace sim {

struct VideoGeometry {
    static constexpr int kWidth = 720;
    static constexpr int kChromaWidth = 360;
    static constexpr int kLineBytes = 1440;  // UYVY
    int standard = 525;
    int codecLines = 248;   // lines of the codec's field
    int activeLines = 243;  // lines of picture in it

    static VideoGeometry Of(int standard)
    {
        VideoGeometry g;
        g.standard = standard == 625 ? 625 : 525;
        g.codecLines = g.standard == 625 ? 288 : 248;
        g.activeLines = g.standard == 625 ? 288 : 243;
        return g;
    }
    int FrameLines() const { return activeLines * 2; }
    // Bytes of one uncompressed field in the board's line format.
    uint32_t RawBytes() const { return uint32_t(activeLines) * kLineBytes; }
    // Its size in 512-byte blocks: 684 at 525 lines, 810 at 625.
    uint32_t RawBlocks() const { return (RawBytes() + 511) / 512; }
};

class VideoField {
public:
    explicit VideoField(VideoGeometry g = VideoGeometry::Of(525)) { Resize(g); }
    void Resize(VideoGeometry g);
    void Fill(uint8_t y, uint8_t cb, uint8_t cr);

    const VideoGeometry& Geometry() const { return geometry_; }
    int Lines() const { return geometry_.codecLines; }
    uint8_t* Y() { return y_.data(); }
    uint8_t* Cb() { return cb_.data(); }
    uint8_t* Cr() { return cr_.data(); }
    const uint8_t* Y() const { return y_.data(); }
    const uint8_t* Cb() const { return cb_.data(); }
    const uint8_t* Cr() const { return cr_.data(); }

    // The active lines in the board's line format and back; the lines below
    // the active ones are left black by Unpack.
    void PackUyvy(uint8_t* out) const;
    void UnpackUyvy(const uint8_t* in);

    bool operator==(const VideoField& o) const { return y_ == o.y_ && cb_ == o.cb_ && cr_ == o.cr_; }

private:
    VideoGeometry geometry_;
    std::vector<uint8_t> y_, cb_, cr_;
};

// Peak signal-to-noise ratio in dB of all three planes (active lines only);
// 99 when identical.
double Psnr(const VideoField& a, const VideoField& b);

class VideoFeed {
public:
    explicit VideoFeed(int standard = 525);

    void SetStandard(int standard);
    const VideoGeometry& Geometry() const { return geometry_; }

    // The built-in pattern: colour bars, a multiburst, a ramp and a patch of
    // fine texture, the same every frame.
    void UseTestPattern();
    // The same pattern moving: 'frames' frames (played in a loop), frame k
    // shifted right by k x 'step' samples, wrapping around the line. A step
    // is taken even so that the chrominance moves with the luminance.
    void UseMovingTestPattern(int frames, int step);
    // Frames from a file: a JPEG, PPM or BMP picture (one frame, placed at the
    // top left, cropped or padded with black), or raw UYVY frames (.uyvy or
    // .yuv, 720 x 486 or 576 each) played in a loop. False with a reason when
    // the file cannot be used; the input is then unchanged.
    bool LoadFile(const std::string& path, std::string* error = nullptr);

    // The field that arrives as field number 'field' (two fields a frame).
    const VideoField& Field(uint64_t field) const;
    // The same, kept as it is for its holder when the input changes later.
    std::shared_ptr<const VideoField> HoldField(uint64_t field) const;
    size_t FrameCount() const { return fields_->size() / 2; }

private:
    bool AddRgbFrame(const uint8_t* rgb, int width, int height, std::vector<VideoField>& fields, std::string* error);
    void Publish(std::vector<VideoField> fields);

    VideoGeometry geometry_;
    // Parity-1 field, then parity-0 field, per frame. Never changed once
    // published: a new input replaces the whole set.
    std::shared_ptr<const std::vector<VideoField>> fields_;
};

class VideoOutput {
public:
    static constexpr int kSources = 2;  // one per playing codec

    explicit VideoOutput(int standard = 525);
    void SetStandard(int standard);
    const VideoGeometry& Geometry() const { return geometry_; }

    // Where a codec decodes the field of a parity.
    VideoField& Field(int source, int parity) { return fields_[source & 1][parity & 1]; }
    const VideoField& Field(int source, int parity) const { return fields_[source & 1][parity & 1]; }
    uint64_t FieldsShown(int source) const { return shown_[source & 1]; }
    void CountShown(int source) { ++shown_[source & 1]; }

    // A unit that keys something over the output (the time-code chip's
    // burn-in window) draws into a copy of each field before it is shown.
    using Keyer = std::function<void(int parity, VideoField& field)>;
    void SetKeyer(Keyer keyer) { keyer_ = std::move(keyer); }
    const Keyer& GetKeyer() const { return keyer_; }

    // The source's last two fields as an RGB frame (720 x 486 or 576).
    std::vector<uint8_t> FrameRgb(int source) const;
    // Writes that frame as a picture: .ppm or .bmp, or .jpg/.jpeg.
    bool Capture(int source, const std::string& path, std::string* error = nullptr) const;

private:
    VideoGeometry geometry_;
    VideoField fields_[kSources][2];
    uint64_t shown_[kSources] = {0, 0};
    Keyer keyer_;
};

}  // namespace sim
