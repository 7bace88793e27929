#include "video_io.h"

#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>

namespace sim {

namespace {

using Handle = std::unique_ptr<void, int (*)(tjhandle)>;

Handle Compressor() { return Handle(tjInitCompress(), tjDestroy); }
Handle Decompressor() { return Handle(tjInitDecompress(), tjDestroy); }

void SetError(std::string* error, std::string text)
{
    if (error) *error = std::move(text);
}

std::string LowerExtension(const std::string& path)
{
    size_t dot = path.rfind('.');
    std::string ext = dot == std::string::npos ? "" : path.substr(dot + 1);
    for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
    return ext;
}

// A whole frame as planes, for conversions with the JPEG library.
struct FramePlanes {
    int lines;
    std::vector<uint8_t> y, cb, cr;
    explicit FramePlanes(int l)
        : lines(l), y(size_t(l) * VideoGeometry::kWidth), cb(size_t(l) * VideoGeometry::kChromaWidth),
          cr(size_t(l) * VideoGeometry::kChromaWidth)
    {}
};

// Frame line 2k belongs to the parity-1 field, 2k + 1 to the parity-0 field.
void Split(const FramePlanes& f, VideoField& parity1, VideoField& parity0)
{
    const int active = parity1.Geometry().activeLines;
    constexpr int W = VideoGeometry::kWidth, C = VideoGeometry::kChromaWidth;
    for (int line = 0; line < active; ++line) {
        for (int p = 0; p < 2; ++p) {
            VideoField& dst = p == 0 ? parity1 : parity0;
            int src = 2 * line + p;
            std::memcpy(dst.Y() + line * W, &f.y[size_t(src) * W], W);
            std::memcpy(dst.Cb() + line * C, &f.cb[size_t(src) * C], C);
            std::memcpy(dst.Cr() + line * C, &f.cr[size_t(src) * C], C);
        }
    }
}

void Weave(const VideoField& parity1, const VideoField& parity0, FramePlanes& f)
{
    const int active = parity1.Geometry().activeLines;
    constexpr int W = VideoGeometry::kWidth, C = VideoGeometry::kChromaWidth;
    for (int line = 0; line < active; ++line) {
        for (int p = 0; p < 2; ++p) {
            const VideoField& src = p == 0 ? parity1 : parity0;
            int dst = 2 * line + p;
            std::memcpy(&f.y[size_t(dst) * W], src.Y() + line * W, W);
            std::memcpy(&f.cb[size_t(dst) * C], src.Cb() + line * C, C);
            std::memcpy(&f.cr[size_t(dst) * C], src.Cr() + line * C, C);
        }
    }
}

uint8_t Clamp8(double v) { return uint8_t(std::clamp(std::lround(v), 0L, 255L)); }

// Studio-level bars, multiburst, ramp and texture, generated once.
void BuildPattern(const VideoGeometry& g, VideoField& parity1, VideoField& parity0)
{
    constexpr int W = VideoGeometry::kWidth, C = VideoGeometry::kChromaWidth;
    FramePlanes f(g.FrameLines());
    // 75 % bars: white, yellow, cyan, green, magenta, red, blue (Y, Cb, Cr).
    static const uint8_t bars[7][3] = {{180, 128, 128}, {162, 44, 142}, {131, 156, 44}, {112, 72, 58},
                                       {84, 184, 198},  {65, 100, 212}, {35, 212, 114}};
    uint32_t noise = 12345;
    for (int line = 0; line < f.lines; ++line) {
        double v = double(line) / f.lines;
        for (int x = 0; x < W; ++x) {
            uint8_t y, cb = 128, cr = 128;
            if (v < 0.6) {
                const uint8_t* b = bars[std::min(6, x * 7 / W)];
                y = b[0], cb = b[1], cr = b[2];
            } else if (x < W / 2) {
                // Multiburst: six packets of rising frequency.
                int packet = x * 6 / (W / 2);
                double cycles = 0.02 + 0.06 * packet;  // cycles a sample
                y = Clamp8(126 + 80 * std::sin(2 * M_PI * cycles * x));
            } else if (v < 0.8) {
                y = uint8_t(16 + (x - W / 2) * 219 / (W / 2 - 1));  // ramp
            } else {
                noise = noise * 1103515245u + 12345u;
                int t = int((noise >> 16) & 63) - 32;
                double wave = 30 * std::sin(x * 0.11) * std::cos(line * 0.23);
                y = Clamp8(120 + wave + t);
                cb = Clamp8(128 + t / 2);
                cr = Clamp8(128 - t / 2);
            }
            f.y[size_t(line) * W + x] = y;
            if ((x & 1) == 0) {
                f.cb[size_t(line) * C + x / 2] = cb;
                f.cr[size_t(line) * C + x / 2] = cr;
            }
        }
    }
    Split(f, parity1, parity0);
}

}  // namespace

// --- VideoField ---------------------------------------------------------

void VideoField::Resize(VideoGeometry g)
{
    geometry_ = g;
    y_.assign(size_t(g.codecLines) * VideoGeometry::kWidth, 16);
    cb_.assign(size_t(g.codecLines) * VideoGeometry::kChromaWidth, 128);
    cr_.assign(size_t(g.codecLines) * VideoGeometry::kChromaWidth, 128);
}

void VideoField::Fill(uint8_t y, uint8_t cb, uint8_t cr)
{
    std::fill(y_.begin(), y_.end(), y);
    std::fill(cb_.begin(), cb_.end(), cb);
    std::fill(cr_.begin(), cr_.end(), cr);
}

// The raw path's only per-sample work: the board's line format is
// interleaved, the codec's planes are not.
void VideoField::PackUyvy(uint8_t* out) const
{
    const size_t pairs = size_t(geometry_.activeLines) * VideoGeometry::kChromaWidth;
    const uint8_t *y = y_.data(), *cb = cb_.data(), *cr = cr_.data();
    for (size_t i = 0; i < pairs; ++i) {
        out[4 * i] = cb[i];
        out[4 * i + 1] = y[2 * i];
        out[4 * i + 2] = cr[i];
        out[4 * i + 3] = y[2 * i + 1];
    }
}

void VideoField::UnpackUyvy(const uint8_t* in)
{
    const size_t pairs = size_t(geometry_.activeLines) * VideoGeometry::kChromaWidth;
    uint8_t *y = y_.data(), *cb = cb_.data(), *cr = cr_.data();
    for (size_t i = 0; i < pairs; ++i) {
        cb[i] = in[4 * i];
        y[2 * i] = in[4 * i + 1];
        cr[i] = in[4 * i + 2];
        y[2 * i + 1] = in[4 * i + 3];
    }
    const size_t lumaEnd = size_t(geometry_.activeLines) * VideoGeometry::kWidth;
    std::fill(y_.begin() + lumaEnd, y_.end(), 16);
    std::fill(cb_.begin() + pairs, cb_.end(), 128);
    std::fill(cr_.begin() + pairs, cr_.end(), 128);
}

double Psnr(const VideoField& a, const VideoField& b)
{
    const int active = std::min(a.Geometry().activeLines, b.Geometry().activeLines);
    double sum = 0;
    size_t n = 0;
    auto add = [&](const uint8_t* p, const uint8_t* q, size_t count) {
        for (size_t i = 0; i < count; ++i) {
            double d = double(p[i]) - q[i];
            sum += d * d;
        }
        n += count;
    };
    add(a.Y(), b.Y(), size_t(active) * VideoGeometry::kWidth);
    add(a.Cb(), b.Cb(), size_t(active) * VideoGeometry::kChromaWidth);
    add(a.Cr(), b.Cr(), size_t(active) * VideoGeometry::kChromaWidth);
    if (sum == 0) return 99.0;
    return 10 * std::log10(255.0 * 255.0 / (sum / double(n)));
}

// --- VideoFeed ---------------------------------------------------------

VideoFeed::VideoFeed(int standard) : geometry_(VideoGeometry::Of(standard)) { UseTestPattern(); }

void VideoFeed::SetStandard(int standard)
{
    if (VideoGeometry::Of(standard).standard == geometry_.standard) return;
    geometry_ = VideoGeometry::Of(standard);
    UseTestPattern();  // frames of the other standard no longer fit
}

void VideoFeed::UseTestPattern()
{
    std::vector<VideoField> fields(2, VideoField(geometry_));
    BuildPattern(geometry_, fields[0], fields[1]);
    Publish(std::move(fields));
}

void VideoFeed::UseMovingTestPattern(int frames, int step)
{
    UseTestPattern();
    const std::vector<VideoField>& still = *fields_;
    constexpr int W = VideoGeometry::kWidth, C = VideoGeometry::kChromaWidth;
    const int lumaStep = step & ~1;
    std::vector<VideoField> fields;
    for (int k = 0; k < std::max(frames, 1); ++k) {
        const int shift = int((int64_t(k) * lumaStep) % W + W) % W;
        for (const VideoField& from : still) {
            VideoField to(geometry_);
            for (int line = 0; line < from.Lines(); ++line) {
                auto rotate = [line, shift](const uint8_t* src, uint8_t* dst, int width, int by) {
                    std::rotate_copy(src + line * width, src + line * width + (width - by), src + (line + 1) * width,
                                     dst + line * width);
                };
                rotate(from.Y(), to.Y(), W, shift);
                rotate(from.Cb(), to.Cb(), C, shift / 2);
                rotate(from.Cr(), to.Cr(), C, shift / 2);
            }
            fields.push_back(std::move(to));
        }
    }
    Publish(std::move(fields));
}

void VideoFeed::Publish(std::vector<VideoField> fields)
{
    fields_ = std::make_shared<const std::vector<VideoField>>(std::move(fields));
}

const VideoField& VideoFeed::Field(uint64_t field) const
{
    // Field numbers count from 1 with the first field odd (parity 1).
    uint64_t frame = field == 0 ? 0 : (field - 1) / 2;
    int half = field == 0 ? 1 : int((field - 1) & 1);
    return (*fields_)[size_t(frame % FrameCount()) * 2 + size_t(half)];
}

std::shared_ptr<const VideoField> VideoFeed::HoldField(uint64_t field) const
{
    return std::shared_ptr<const VideoField>(fields_, &Field(field));
}

bool VideoFeed::AddRgbFrame(const uint8_t* rgb, int width, int height, std::vector<VideoField>& fields,
                            std::string* error)
{
    constexpr int W = VideoGeometry::kWidth;
    const int lines = geometry_.FrameLines();
    std::vector<uint8_t> canvas(size_t(W) * lines * 3, 0);
    for (int line = 0; line < std::min(lines, height); ++line)
        std::memcpy(&canvas[size_t(line) * W * 3], rgb + size_t(line) * width * 3, size_t(std::min(W, width)) * 3);
    FramePlanes f(lines);
    unsigned char* planes[3] = {f.y.data(), f.cb.data(), f.cr.data()};
    int strides[3] = {W, VideoGeometry::kChromaWidth, VideoGeometry::kChromaWidth};
    Handle tj = Compressor();
    if (!tj || tjEncodeYUVPlanes(tj.get(), canvas.data(), W, W * 3, lines, TJPF_RGB, planes, strides, TJSAMP_422, 0) != 0) {
        SetError(error, std::string("colour conversion failed: ") + tjGetErrorStr2(tj.get()));
        return false;
    }
    fields.emplace_back(geometry_);
    fields.emplace_back(geometry_);
    Split(f, fields[fields.size() - 2], fields.back());
    return true;
}

bool VideoFeed::LoadFile(const std::string& path, std::string* error)
{
    // Built aside: the input stays as it was when the file cannot be used.
    std::vector<VideoField> fields;
    auto fail = [&](std::string why) {
        SetError(error, path + ": " + why);
        return false;
    };
    const std::string ext = LowerExtension(path);
    if (ext == "uyvy" || ext == "yuv") {
        std::ifstream in(path, std::ios::binary);
        if (!in) return fail("cannot open");
        const size_t frameBytes = size_t(geometry_.FrameLines()) * VideoGeometry::kLineBytes;
        const size_t fieldBytes = geometry_.RawBytes();
        std::vector<uint8_t> frame(frameBytes), field(fieldBytes);
        while (in.read(reinterpret_cast<char*>(frame.data()), std::streamsize(frameBytes))) {
            for (int p = 0; p < 2; ++p) {
                for (int line = 0; line < geometry_.activeLines; ++line)
                    std::memcpy(&field[size_t(line) * VideoGeometry::kLineBytes],
                                &frame[size_t(2 * line + p) * VideoGeometry::kLineBytes], VideoGeometry::kLineBytes);
                fields.emplace_back(geometry_);
                fields.back().UnpackUyvy(field.data());
            }
        }
        if (fields.empty()) return fail("shorter than one frame");
    } else if (ext == "jpg" || ext == "jpeg") {
        std::ifstream in(path, std::ios::binary);
        if (!in) return fail("cannot open");
        std::vector<unsigned char> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        Handle tj = Decompressor();
        int width = 0, height = 0, subsamp = 0, colorspace = 0;
        if (!tj || data.empty() ||
            tjDecompressHeader3(tj.get(), data.data(), data.size(), &width, &height, &subsamp, &colorspace) != 0)
            return fail("not a JPEG picture");
        std::vector<uint8_t> rgb(size_t(width) * height * 3);
        if (tjDecompress2(tj.get(), data.data(), data.size(), rgb.data(), width, width * 3, height, TJPF_RGB, 0) != 0)
            return fail(std::string("cannot decode: ") + tjGetErrorStr2(tj.get()));
        if (!AddRgbFrame(rgb.data(), width, height, fields, error)) return fail("conversion failed");
    } else {
        int width = 0, height = 0, format = TJPF_RGB;
        unsigned char* rgb = tjLoadImage(path.c_str(), &width, 1, &height, &format, 0);
        if (!rgb) return fail(std::string("cannot load: ") + tjGetErrorStr2(nullptr));
        bool ok = AddRgbFrame(rgb, width, height, fields, error);
        tjFree(rgb);
        if (!ok) return fail("conversion failed");
    }
    Publish(std::move(fields));
    return true;
}

// --- VideoOutput --------------------------------------------------------

VideoOutput::VideoOutput(int standard) { SetStandard(standard); }

void VideoOutput::SetStandard(int standard)
{
    geometry_ = VideoGeometry::Of(standard);
    for (auto& source : fields_)
        for (VideoField& f : source) f.Resize(geometry_);
}

namespace {

// The source's two fields woven, with what a keyer draws over them.
void WeaveShown(const VideoOutput& out, int source, FramePlanes& f)
{
    if (!out.GetKeyer()) {
        Weave(out.Field(source, 1), out.Field(source, 0), f);
        return;
    }
    VideoField odd = out.Field(source, 1), even = out.Field(source, 0);
    out.GetKeyer()(1, odd);
    out.GetKeyer()(0, even);
    Weave(odd, even, f);
}

}  // namespace

std::vector<uint8_t> VideoOutput::FrameRgb(int source) const
{
    constexpr int W = VideoGeometry::kWidth;
    FramePlanes f(geometry_.FrameLines());
    WeaveShown(*this, source, f);
    std::vector<uint8_t> rgb(size_t(W) * f.lines * 3);
    const unsigned char* planes[3] = {f.y.data(), f.cb.data(), f.cr.data()};
    int strides[3] = {W, VideoGeometry::kChromaWidth, VideoGeometry::kChromaWidth};
    Handle tj = Decompressor();
    if (!tj || tjDecodeYUVPlanes(tj.get(), planes, strides, TJSAMP_422, rgb.data(), W, W * 3, f.lines, TJPF_RGB, 0) != 0)
        rgb.clear();
    return rgb;
}

bool VideoOutput::Capture(int source, const std::string& path, std::string* error) const
{
    constexpr int W = VideoGeometry::kWidth;
    const std::string ext = LowerExtension(path);
    if (ext == "jpg" || ext == "jpeg") {
        FramePlanes f(geometry_.FrameLines());
        WeaveShown(*this, source, f);
        const unsigned char* planes[3] = {f.y.data(), f.cb.data(), f.cr.data()};
        int strides[3] = {W, VideoGeometry::kChromaWidth, VideoGeometry::kChromaWidth};
        Handle tj = Compressor();
        unsigned char* jpeg = nullptr;
        unsigned long size = 0;
        if (!tj || tjCompressFromYUVPlanes(tj.get(), planes, W, strides, f.lines, TJSAMP_422, &jpeg, &size, 95, 0) != 0) {
            SetError(error, std::string("cannot encode: ") + tjGetErrorStr2(tj.get()));
            return false;
        }
        FILE* out = std::fopen(path.c_str(), "wb");
        bool ok = out && std::fwrite(jpeg, 1, size, out) == size;
        if (out) ok = std::fclose(out) == 0 && ok;
        tjFree(jpeg);
        if (!ok) SetError(error, path + ": cannot write");
        return ok;
    }
    std::vector<uint8_t> rgb = FrameRgb(source);
    if (rgb.empty() || tjSaveImage(path.c_str(), rgb.data(), W, 0, geometry_.FrameLines(), TJPF_RGB, 0) != 0) {
        SetError(error, path + ": cannot write (" + tjGetErrorStr2(nullptr) + ")");
        return false;
    }
    return true;
}

}  // namespace sim
