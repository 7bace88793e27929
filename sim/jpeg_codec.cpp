#include "jpeg_codec.h"

#include <algorithm>
#include <csetjmp>
#include <cstdlib>
#include <cstdio>
#include <cstring>

#include <jpeglib.h>
#include <jerror.h>

#include "board_regs.h"

namespace sim {

namespace {

constexpr int kZigzag[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
                             12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
                             35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
                             58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// Size law E(A, q) = b[q] + a[q] * A bytes, fitted to this codec (see the
// header); b is what a flat field costs, a how each unit of activity adds.
struct SizeLaw {
    double b, a;
};
constexpr SizeLaw kSizeLaw[32] = {
    {4005, 0.0413}, {4031, 0.0440}, {4090, 0.0602}, {4100, 0.1002}, {4033, 0.1609}, {3940, 0.2426},
    {3893, 0.3395}, {3841, 0.4450}, {3854, 0.5636}, {3853, 0.6872}, {3896, 0.8204}, {3939, 0.9594},
    {3957, 1.0940}, {3949, 1.2365}, {3969, 1.3939}, {3969, 1.5460}, {3972, 1.6842}, {3976, 1.8325},
    {3987, 1.9902}, {3998, 2.1677}, {4000, 2.3538}, {4006, 2.5100}, {4005, 2.5927}, {4002, 2.7797},
    {3997, 2.8406}, {3996, 2.9989}, {3992, 3.0943}, {3988, 3.2741}, {3980, 3.3757}, {3970, 3.5724},
    {3959, 3.7105}, {3954, 3.9472},
};

// Where an encoded field goes: bit 12 of the latched block names the
// parity's record bank, bits 0-11 the block in it.
constexpr uint32_t kRecordBankBit = 0x1000;
uint32_t RecordBankMode(uint32_t block) { return Sdram::RecordBankMode((block & kRecordBankBit) ? 1 : 0); }
uint32_t RecordBankBlock(uint32_t block) { return block & (kRecordBankBit - 1); }

}  // namespace

namespace jpeg {

double ExpectedFieldBytes(uint32_t activity, int quantiser)
{
    const SizeLaw& l = kSizeLaw[std::clamp(quantiser, 0, 31)];
    return l.b + l.a * activity;
}

const std::array<ExpectedSizeRow, kTableRows>& ExpectedSizeTable()
{
    static const std::array<ExpectedSizeRow, kTableRows> table = [] {
        std::array<ExpectedSizeRow, kTableRows> t{};
        for (int row = 0; row < kTableRows; ++row) {
            double previous = 65535;
            for (int q = 0; q < kQuantisers; ++q) {
                const SizeLaw& l = kSizeLaw[q];
                double a = (double(RowBytes(row)) - l.b) / l.a;
                a = std::clamp(a, 0.0, previous);
                t[row][q] = uint32_t(a);
                previous = t[row][q];
            }
        }
        // Rows 0 and 1 stand for fields no picture comes down to.
        for (int row = 0; row < 2; ++row) t[row].fill(0);
        return t;
    }();
    return table;
}

uint32_t Activity(const VideoField& f)
{
    constexpr int W = VideoGeometry::kWidth, C = VideoGeometry::kChromaWidth;
    const int lines = f.Geometry().activeLines;
    uint32_t sum = 0;
    for (int line = 0; line + 1 < lines; line += 4) {
        const uint8_t* y = f.Y() + line * W;
        const uint8_t* below = y + W;
        for (int x = 0; x + 1 < W; ++x) sum += uint32_t(std::abs(y[x + 1] - y[x])) + uint32_t(std::abs(below[x] - y[x]));
        const uint8_t* cb = f.Cb() + line * C;
        const uint8_t* cr = f.Cr() + line * C;
        for (int x = 0; x + 1 < C; ++x) sum += uint32_t(std::abs(cb[x + 1] - cb[x])) + uint32_t(std::abs(cr[x + 1] - cr[x]));
    }
    return std::min<uint32_t>(sum / 64, 0xFFFF);
}

}  // namespace jpeg

// --- The compression engine ---------------------------------------------

// What a load took from the register file.
struct CodecSetup {
    int lines = 0, width = 0;
    uint8_t componentId[3] = {};
    int quantTable[3] = {};
    int dcTable[3] = {}, acTable[3] = {};
    bool quantDefined[4] = {};
    uint8_t quant[4][64] = {};  // natural order
    struct Huff {
        bool defined = false;
        uint8_t bits[17] = {};
        uint8_t values[256] = {};
    } dc[4], ac[4];
    uint16_t restartInterval = 0;
    uint8_t markers = 0;
    int appMarker = 0;
    std::vector<uint8_t> app, com;
};

namespace {

struct ErrorManager {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

void ErrorExit(j_common_ptr c)
{
    auto* e = reinterpret_cast<ErrorManager*>(c->err);
    (*c->err->format_message)(c, e->message);
    std::longjmp(e->jump, 1);
}

void Quiet(j_common_ptr, int) {}

// Destination: a growing vector.
struct VectorDestination {
    jpeg_destination_mgr pub;
    std::vector<uint8_t>* out;
};

void DestInit(j_compress_ptr c)
{
    auto* d = reinterpret_cast<VectorDestination*>(c->dest);
    d->pub.next_output_byte = d->out->data();
    d->pub.free_in_buffer = d->out->size();
}

boolean DestEmpty(j_compress_ptr c)
{
    auto* d = reinterpret_cast<VectorDestination*>(c->dest);
    size_t used = d->out->size();
    d->out->resize(used * 2);
    d->pub.next_output_byte = d->out->data() + used;
    d->pub.free_in_buffer = d->out->size() - used;
    return TRUE;
}

void DestTerm(j_compress_ptr c)
{
    auto* d = reinterpret_cast<VectorDestination*>(c->dest);
    d->out->resize(d->out->size() - d->pub.free_in_buffer);
}

// Source: the SDRAM ring, read a piece at a time from the field's block.
struct SdramSource {
    jpeg_source_mgr pub;
    const Sdram* sdram;
    uint32_t block;
    uint32_t offset;
    uint32_t limit;
    uint8_t buffer[16384];
};

void SourceInit(j_decompress_ptr) {}

boolean SourceFill(j_decompress_ptr c)
{
    auto* s = reinterpret_cast<SdramSource*>(c->src);
    static const uint8_t kEoi[2] = {0xFF, JPEG_EOI};
    if (s->offset >= s->limit) {
        // Past anything a field may occupy: end the stream as libjpeg expects.
        WARNMS(c, JWRN_JPEG_EOF);
        s->pub.next_input_byte = kEoi;
        s->pub.bytes_in_buffer = 2;
        return TRUE;
    }
    uint32_t n = std::min<uint32_t>(sizeof s->buffer, s->limit - s->offset);
    s->sdram->Read(s->block, Sdram::kModeRing, s->offset, s->buffer, n);
    s->offset += n;
    s->pub.next_input_byte = s->buffer;
    s->pub.bytes_in_buffer = n;
    return TRUE;
}

void SourceSkip(j_decompress_ptr c, long count)
{
    auto* s = reinterpret_cast<SdramSource*>(c->src);
    while (count > long(s->pub.bytes_in_buffer)) {
        count -= long(s->pub.bytes_in_buffer);
        SourceFill(c);
    }
    s->pub.next_input_byte += count;
    s->pub.bytes_in_buffer -= size_t(count);
}

void SourceTerm(j_decompress_ptr) {}

void ScaledQuant(const uint8_t* table, uint16_t scale, unsigned int* out)
{
    const uint32_t s = std::max<uint32_t>(scale, 1);
    for (int i = 0; i < 64; ++i)
        out[i] = std::clamp<uint32_t>((table[i] * s + jpeg::kScaleUnity / 2) / jpeg::kScaleUnity, 1, 255);
}

void SetHuff(j_common_ptr c, JHUFF_TBL*& slot, const CodecSetup::Huff& h)
{
    if (!h.defined) return;
    if (!slot) slot = jpeg_alloc_huff_table(c);
    std::memcpy(slot->bits, h.bits, sizeof h.bits);
    std::memcpy(slot->huffval, h.values, sizeof h.values);
}

}  // namespace

class JpegEngine {
public:
    JpegEngine()
    {
        c_.err = jpeg_std_error(&cerr_.pub);
        cerr_.pub.error_exit = ErrorExit;
        cerr_.pub.emit_message = Quiet;
        jpeg_create_compress(&c_);
        dest_.pub.init_destination = DestInit;
        dest_.pub.empty_output_buffer = DestEmpty;
        dest_.pub.term_destination = DestTerm;
        c_.dest = &dest_.pub;

        d_.err = jpeg_std_error(&derr_.pub);
        derr_.pub.error_exit = ErrorExit;
        derr_.pub.emit_message = Quiet;
        jpeg_create_decompress(&d_);
        src_ = std::make_unique<SdramSource>();
        src_->pub.init_source = SourceInit;
        src_->pub.fill_input_buffer = SourceFill;
        src_->pub.skip_input_data = SourceSkip;
        src_->pub.resync_to_restart = jpeg_resync_to_restart;
        src_->pub.term_source = SourceTerm;
        d_.src = &src_->pub;
    }
    ~JpegEngine()
    {
        jpeg_destroy_compress(&c_);
        jpeg_destroy_decompress(&d_);
    }

    // The compressor's settings that change only with a load.
    bool Configure(const CodecSetup& s)
    {
        setup_ = s;
        if (setjmp(cerr_.jump)) {
            error_ = cerr_.message;
            return false;
        }
        c_.image_width = JDIMENSION(s.width);
        c_.image_height = JDIMENSION(s.lines);
        c_.input_components = 3;
        c_.in_color_space = JCS_YCbCr;
        jpeg_set_defaults(&c_);
        jpeg_set_colorspace(&c_, JCS_YCbCr);
        c_.raw_data_in = TRUE;
        c_.write_JFIF_header = FALSE;
        c_.write_Adobe_marker = FALSE;
        c_.optimize_coding = FALSE;
        c_.dct_method = JDCT_ISLOW;
        c_.restart_interval = (s.markers & jpeg::kMarkerDri) ? s.restartInterval : 0;
        for (int i = 0; i < 3; ++i) {
            jpeg_component_info& ci = c_.comp_info[i];
            ci.component_id = s.componentId[i];
            ci.h_samp_factor = i == 0 ? 2 : 1;
            ci.v_samp_factor = 1;
            ci.quant_tbl_no = s.quantTable[i];
            ci.dc_tbl_no = s.dcTable[i];
            ci.ac_tbl_no = s.acTable[i];
        }
        for (int t = 0; t < 4; ++t) {
            SetHuff(reinterpret_cast<j_common_ptr>(&c_), c_.dc_huff_tbl_ptrs[t], s.dc[t]);
            SetHuff(reinterpret_cast<j_common_ptr>(&c_), c_.ac_huff_tbl_ptrs[t], s.ac[t]);
        }
        return true;
    }

    // Compresses 'in' at 'scale' into 'out'; false with error_ on failure.
    bool Encode(const VideoField& in, uint16_t scale, std::vector<uint8_t>& out)
    {
        constexpr int W = VideoGeometry::kWidth, C = VideoGeometry::kChromaWidth;
        if (out.size() < (1u << 20)) out.resize(1u << 20);
        dest_.out = &out;
        JSAMPROW rows[3][DCTSIZE];
        JSAMPARRAY planes[3] = {rows[0], rows[1], rows[2]};
        if (setjmp(cerr_.jump)) {
            jpeg_abort_compress(&c_);
            error_ = cerr_.message;
            return false;
        }
        unsigned int quant[64];
        for (int t = 0; t < 4; ++t) {
            if (!setup_.quantDefined[t]) continue;
            ScaledQuant(setup_.quant[t], scale, quant);
            jpeg_add_quant_table(&c_, t, quant, 100, TRUE);
            c_.quant_tbl_ptrs[t]->sent_table = (setup_.markers & jpeg::kMarkerDqt) ? FALSE : TRUE;
        }
        for (int t = 0; t < 4; ++t) {
            boolean sent = (setup_.markers & jpeg::kMarkerDht) ? FALSE : TRUE;
            if (c_.dc_huff_tbl_ptrs[t]) c_.dc_huff_tbl_ptrs[t]->sent_table = sent;
            if (c_.ac_huff_tbl_ptrs[t]) c_.ac_huff_tbl_ptrs[t]->sent_table = sent;
        }
        jpeg_start_compress(&c_, FALSE);
        if ((setup_.markers & jpeg::kMarkerApp) && !setup_.app.empty())
            jpeg_write_marker(&c_, setup_.appMarker, setup_.app.data(), unsigned(setup_.app.size()));
        if ((setup_.markers & jpeg::kMarkerCom) && !setup_.com.empty())
            jpeg_write_marker(&c_, JPEG_COM, setup_.com.data(), unsigned(setup_.com.size()));
        while (c_.next_scanline < c_.image_height) {
            const int line = int(c_.next_scanline);
            for (int i = 0; i < DCTSIZE; ++i) {
                rows[0][i] = const_cast<uint8_t*>(in.Y()) + (line + i) * W;
                rows[1][i] = const_cast<uint8_t*>(in.Cb()) + (line + i) * C;
                rows[2][i] = const_cast<uint8_t*>(in.Cr()) + (line + i) * C;
            }
            jpeg_write_raw_data(&c_, planes, DCTSIZE);
        }
        jpeg_finish_compress(&c_);
        return true;
    }

    // Decompresses the stream at 'block' into 'out'; the codec's own tables
    // (at 'scale') stand in for tables the stream does not carry.
    bool Decode(const Sdram& sdram, uint32_t block, uint32_t limit, uint16_t scale, VideoField& out)
    {
        constexpr int W = VideoGeometry::kWidth, C = VideoGeometry::kChromaWidth;
        src_->sdram = &sdram;
        src_->block = block;
        src_->offset = 0;
        src_->limit = limit;
        src_->pub.bytes_in_buffer = 0;
        src_->pub.next_input_byte = nullptr;
        JSAMPROW rows[3][DCTSIZE];
        JSAMPARRAY planes[3] = {rows[0], rows[1], rows[2]};
        if (setjmp(derr_.jump)) {
            jpeg_abort_decompress(&d_);
            error_ = derr_.message;
            return false;
        }
        unsigned int quant[64];
        for (int t = 0; t < 4; ++t) {
            if (!setup_.quantDefined[t]) continue;
            if (!d_.quant_tbl_ptrs[t]) d_.quant_tbl_ptrs[t] = jpeg_alloc_quant_table(reinterpret_cast<j_common_ptr>(&d_));
            ScaledQuant(setup_.quant[t], scale, quant);
            for (int i = 0; i < 64; ++i) d_.quant_tbl_ptrs[t]->quantval[i] = UINT16(quant[i]);
        }
        for (int t = 0; t < 4; ++t) {
            SetHuff(reinterpret_cast<j_common_ptr>(&d_), d_.dc_huff_tbl_ptrs[t], setup_.dc[t]);
            SetHuff(reinterpret_cast<j_common_ptr>(&d_), d_.ac_huff_tbl_ptrs[t], setup_.ac[t]);
        }
        jpeg_read_header(&d_, TRUE);
        if (d_.image_width != JDIMENSION(W) || d_.image_height != JDIMENSION(out.Lines()) || d_.num_components != 3 ||
            d_.comp_info[0].h_samp_factor != 2 || d_.comp_info[0].v_samp_factor != 1 ||
            d_.comp_info[1].h_samp_factor != 1 || d_.comp_info[1].v_samp_factor != 1 ||
            d_.comp_info[2].h_samp_factor != 1 || d_.comp_info[2].v_samp_factor != 1) {
            std::snprintf(derr_.message, sizeof derr_.message, "not a %d x %d 4:2:2 field (%u x %u, %d components)", W,
                          out.Lines(), unsigned(d_.image_width), unsigned(d_.image_height), d_.num_components);
            std::longjmp(derr_.jump, 1);
        }
        d_.raw_data_out = TRUE;
        d_.do_fancy_upsampling = FALSE;
        d_.dct_method = JDCT_ISLOW;
        d_.out_color_space = JCS_YCbCr;
        jpeg_start_decompress(&d_);
        while (d_.output_scanline < d_.output_height) {
            const int line = int(d_.output_scanline);
            for (int i = 0; i < DCTSIZE; ++i) {
                rows[0][i] = out.Y() + (line + i) * W;
                rows[1][i] = out.Cb() + (line + i) * C;
                rows[2][i] = out.Cr() + (line + i) * C;
            }
            jpeg_read_raw_data(&d_, planes, DCTSIZE);
        }
        const long warnings = d_.err->num_warnings;
        jpeg_finish_decompress(&d_);
        if (warnings) {
            error_ = "corrupt or truncated field";
            return false;
        }
        return true;
    }

    const std::string& Error() const { return error_; }

private:
    jpeg_compress_struct c_{};
    jpeg_decompress_struct d_{};
    ErrorManager cerr_{}, derr_{};
    VectorDestination dest_{};
    std::unique_ptr<SdramSource> src_;
    CodecSetup setup_;
    std::string error_;
};

// --- One codec ----------------------------------------------------------

JpegCodec::JpegCodec(int index, Sdram& sdram)
    : index_(index), sdram_(sdram), engine_(std::make_unique<JpegEngine>()),
      trace_(index == 0 ? "jpeg0" : "jpeg1")
{
    Reset();
}

JpegCodec::~JpegCodec() = default;

void JpegCodec::SetStandard(int standard) { expectedLines_ = VideoGeometry::Of(standard).codecLines; }

void JpegCodec::Reset()
{
    file_.fill(0);
    addressHigh_ = addressLow_ = 0;
    loaded_ = false;
    loadError_ = "not loaded";
    processCount_ = 0;
    bitCount_ = 0;
    trace_("reset");
}

int JpegCodec::FieldLines() const { return (file_[jpeg::kRegSof + 5] << 8) | file_[jpeg::kRegSof + 6]; }

uint16_t JpegCodec::PortRead(int port)
{
    switch (port) {
    case 0: return addressHigh_;
    case 1: return addressLow_;
    case 2: return ReadRegister(((addressHigh_ & 3u) << 8) | addressLow_);
    }
    return 0;
}

void JpegCodec::PortWrite(int port, uint16_t value)
{
    switch (port) {
    case 0: addressHigh_ = uint8_t(value); break;
    case 1: addressLow_ = uint8_t(value); break;
    case 2: WriteRegister(((addressHigh_ & 3u) << 8) | addressLow_, uint8_t(value)); break;
    }
}

uint8_t JpegCodec::ReadRegister(uint32_t reg) const
{
    reg &= jpeg::kRegisterFileSize - 1;
    switch (reg) {
    case jpeg::kRegStatus: return uint8_t((processCount_ & 3) << 6);
    case jpeg::kRegBitCount: return uint8_t(bitCount_ >> 16);
    case jpeg::kRegBitCount + 1: return uint8_t(bitCount_ >> 8);
    case jpeg::kRegBitCount + 2: return uint8_t(bitCount_);
    case jpeg::kRegId: return jpeg::kCodecId;
    case jpeg::kRegMode: return uint8_t(file_[reg] & ~jpeg::kModeLoad);
    }
    return file_[reg];
}

void JpegCodec::WriteRegister(uint32_t reg, uint8_t value)
{
    if (held_) return;
    reg &= jpeg::kRegisterFileSize - 1;
    file_[reg] = value;
    if (reg == jpeg::kRegMode && (value & jpeg::kModeLoad)) Load();
}

namespace {

uint16_t Be16(const uint8_t* p) { return uint16_t((p[0] << 8) | p[1]); }

// A marker segment of the register file: its marker word, its length and
// its payload inside [at, end).
bool Segment(const uint8_t* file, uint32_t at, uint32_t end, uint16_t marker, const uint8_t*& payload, uint32_t& length,
             std::string& why)
{
    char text[96];
    if (Be16(file + at) != marker) {
        std::snprintf(text, sizeof text, "no marker 0x%04x at 0x%03x", marker, at);
        why = text;
        return false;
    }
    length = Be16(file + at + 2);
    if (length < 2 || at + 2 + length > end) {
        std::snprintf(text, sizeof text, "segment 0x%04x at 0x%03x too long (%u)", marker, at, length);
        why = text;
        return false;
    }
    payload = file + at + 4;
    length -= 2;
    return true;
}

bool ParseSetup(const uint8_t* file, int expectedLines, CodecSetup& s, std::string& why)
{
    const uint8_t* p;
    uint32_t n;
    // Frame header: 8-bit, lines x 720, three components 2x1, 1x1, 1x1.
    if (!Segment(file, jpeg::kRegSof, jpeg::kRegSos, 0xFFC0, p, n, why)) return false;
    if (n != 15 || p[0] != 8 || p[5] != 3) return why = "frame header is not 8-bit with 3 components", false;
    s.lines = Be16(p + 1);
    s.width = Be16(p + 3);
    if (s.width != VideoGeometry::kWidth || s.lines != expectedLines)
        return why = "field of " + std::to_string(s.width) + " x " + std::to_string(s.lines) + ", board needs 720 x " +
                     std::to_string(expectedLines),
               false;
    for (int i = 0; i < 3; ++i) {
        s.componentId[i] = p[6 + 3 * i];
        uint8_t sampling = p[7 + 3 * i];
        if (sampling != (i == 0 ? 0x21 : 0x11)) return why = "sampling is not 4:2:2", false;
        s.quantTable[i] = p[8 + 3 * i];
        if (s.quantTable[i] > 3) return why = "bad quantisation table number", false;
    }
    // Scan header: the same three components in order, full spectrum.
    if (!Segment(file, jpeg::kRegSos, jpeg::kRegDri, 0xFFDA, p, n, why)) return false;
    if (n != 10 || p[0] != 3) return why = "scan header is not one 3-component scan", false;
    for (int i = 0; i < 3; ++i) {
        if (p[1 + 2 * i] != s.componentId[i]) return why = "scan components differ from the frame's", false;
        s.dcTable[i] = p[2 + 2 * i] >> 4;
        s.acTable[i] = p[2 + 2 * i] & 15;
        if (s.dcTable[i] > 3 || s.acTable[i] > 3) return why = "bad Huffman table number", false;
    }
    if (p[7] != 0 || p[8] != 63 || p[9] != 0) return why = "scan is not baseline sequential", false;
    // Restart interval.
    if (Segment(file, jpeg::kRegDri, jpeg::kRegDqt, 0xFFDD, p, n, why) && n == 2) s.restartInterval = Be16(p);
    // Quantisation tables, 8-bit, zig-zag in the file.
    if (!Segment(file, jpeg::kRegDqt, jpeg::kRegDht, 0xFFDB, p, n, why)) return false;
    for (uint32_t at = 0; at < n;) {
        if (at + 65 > n || (p[at] >> 4) != 0 || (p[at] & 15) > 3) return why = "quantisation tables malformed", false;
        int t = p[at] & 15;
        for (int i = 0; i < 64; ++i) s.quant[t][kZigzag[i]] = p[at + 1 + i];
        s.quantDefined[t] = true;
        at += 65;
    }
    // Huffman tables.
    if (!Segment(file, jpeg::kRegDht, jpeg::kRegApp, 0xFFC4, p, n, why)) return false;
    for (uint32_t at = 0; at < n;) {
        if (at + 17 > n) return why = "Huffman tables malformed", false;
        int cls = p[at] >> 4, id = p[at] & 15;
        uint32_t count = 0;
        for (int i = 1; i <= 16; ++i) count += p[at + i];
        if (cls > 1 || id > 3 || count > 256 || at + 17 + count > n) return why = "Huffman tables malformed", false;
        CodecSetup::Huff& h = cls == 0 ? s.dc[id] : s.ac[id];
        h.defined = true;
        h.bits[0] = 0;
        std::memcpy(h.bits + 1, p + at + 1, 16);
        std::memcpy(h.values, p + at + 17, count);
        at += 17 + count;
    }
    for (int i = 0; i < 3; ++i)
        if (!s.quantDefined[s.quantTable[i]] || !s.dc[s.dcTable[i]].defined || !s.ac[s.acTable[i]].defined)
            return why = "a component's table is not loaded", false;
    // Application and comment segments, when their area holds one.
    if ((file[jpeg::kRegApp] == 0xFF) && (file[jpeg::kRegApp + 1] & 0xF0) == 0xE0 &&
        Segment(file, jpeg::kRegApp, jpeg::kRegCom, Be16(file + jpeg::kRegApp), p, n, why)) {
        s.appMarker = file[jpeg::kRegApp + 1];
        s.app.assign(p, p + n);
    }
    if (Segment(file, jpeg::kRegCom, jpeg::kRegisterFileSize, 0xFFFE, p, n, why)) s.com.assign(p, p + n);
    s.markers = file[jpeg::kRegMarkers];
    why.clear();
    return true;
}

}  // namespace

void JpegCodec::Load()
{
    const int expected = expectedLines_;
    CodecSetup setup;
    std::string why;
    loaded_ = ParseSetup(file_.data(), expected, setup, why) && engine_->Configure(setup);
    if (!loaded_ && why.empty()) why = engine_->Error();
    loadError_ = why;
    if (loaded_) trace_("loaded: 720 x %d, markers 0x%02x", setup.lines, setup.markers);
    else trace_("load refused: %s", why.c_str());
}

bool JpegCodec::EncodeField(const VideoField& in, uint16_t scale, std::vector<uint8_t>& out, uint32_t* dataBytes)
{
    if (!loaded_ || in.Lines() != FieldLines()) {
        lastError_ = loaded_ ? "input field has the wrong line count" : "not loaded";
        return false;
    }
    if (!engine_->Encode(in, scale, out)) {
        lastError_ = engine_->Error();
        return false;
    }
    if (dataBytes) {
        // The entropy-coded data runs from the end of the scan header to EOI.
        size_t at = 2;
        while (at + 4 <= out.size() && out[at] == 0xFF && out[at + 1] != 0xDA) at += 2 + Be16(&out[at + 2]);
        size_t start = at + 2 + (at + 4 <= out.size() ? Be16(&out[at + 2]) : 0);
        *dataBytes = uint32_t(out.size() >= start + 2 ? out.size() - start - 2 : 0);
    }
    return true;
}

bool JpegCodec::DecodeFromSdram(uint32_t block, uint16_t scale, VideoField& out)
{
    if (!loaded_ || out.Lines() != FieldLines()) {
        lastError_ = loaded_ ? "output field has the wrong line count" : "not loaded";
        return false;
    }
    // A field never runs past what the ring holds.
    if (!engine_->Decode(sdram_, block % Sdram::kRingBlocks, Sdram::kRingBlocks * Sdram::kBlockSize, scale, out)) {
        lastError_ = engine_->Error();
        return false;
    }
    return true;
}

void JpegCodec::Process(const FieldJob& job)
{
    ++processCount_;
    const VideoGeometry& g = job.encode ? job.input->Geometry() : job.output->Geometry();
    if (job.encode) {
        if (job.uncompressed) {
            stream_.resize(g.RawBytes());
            job.input->PackUyvy(stream_.data());
            sdram_.Write(RecordBankBlock(job.block), RecordBankMode(job.block), 0, stream_.data(), g.RawBytes());
            storedBytes_ = g.RawBytes();
            bitCount_ = std::min<uint32_t>(g.RawBytes() * 8, 0xFFFFFF);
        } else {
            uint32_t data = 0;
            if (!EncodeField(*job.input, job.scale, stream_, &data)) {
                trace_("encode failed: %s", lastError_.c_str());
                bitCount_ = 0;
                return;
            }
            sdram_.Write(RecordBankBlock(job.block), RecordBankMode(job.block), 0, stream_.data(),
                         uint32_t(stream_.size()));
            storedBytes_ = uint32_t(stream_.size());
            bitCount_ = std::min<uint32_t>(data * 8, 0xFFFFFF);
        }
        ++encoded_;
        trace_("encoded field at block %u, scale %u, %u bytes, %u bits", job.block, job.scale, storedBytes_, bitCount_);
        return;
    }
    if (job.uncompressed) {
        stream_.resize(g.RawBytes());
        sdram_.Read(job.block, Sdram::kModeRing, 0, stream_.data(), g.RawBytes());
        job.output->UnpackUyvy(stream_.data());
    } else if (!DecodeFromSdram(job.block, job.scale, *job.output)) {
        ++decodeErrors_;
        trace_("decode of block %u failed: %s", job.block, lastError_.c_str());
        return;
    }
    ++decoded_;
    trace_("decoded field at block %u%s", job.block, job.uncompressed ? " (uncompressed)" : "");
}

// --- The path -----------------------------------------------------------

JpegPath::JpegPath(BoardRegs& regs, Sdram& sdram, VideoFeed& input, VideoOutput& output)
    : regs_(regs), sdram_(sdram), input_(input), output_(output)
{
    for (int c = 0; c < 2; ++c) {
        codecs_[c] = std::make_unique<JpegCodec>(c, sdram_);
        codecs_[c]->SetStandard(input_.Geometry().standard);
        const uint32_t base = jpeg::kPortBase[c];
        regs_.MapRange(
            base, base + 8, [this, c, base](uint32_t a) { return (a - base) % 4 ? uint16_t(0) : codecs_[c]->PortRead(int(a - base) / 4); },
            [this, c, base](uint32_t a, uint16_t v) {
                if ((a - base) % 4 == 0) codecs_[c]->PortWrite(int(a - base) / 4, v);
            });
    }
    regs_.MapRange(
        jpeg::kCodecControl, jpeg::kCodecControl, [this](uint32_t) { return control_; },
        [this](uint32_t, uint16_t v) { WriteControl(v); });
    regs_.MapRange(
        jpeg::kPathControl, jpeg::kPathControl, [this](uint32_t) { return ActivityReadback(); },
        [this](uint32_t, uint16_t v) { WritePathControl(v); });
    PowerOn();
}

void JpegPath::PowerOn()
{
    control_ = 0;
    pathControl_ = 0;
    measuring_ = false;
    activity_ = 0;
    for (int c = 0; c < 2; ++c) {
        codecs_[c]->Reset();
        codecs_[c]->SetHeld(true);
        latch_[c] = {};
    }
}

void JpegPath::WriteControl(uint16_t value)
{
    control_ = value;
    trace_("codec control := 0x%04x", value);
    const bool held = !(value & jpeg::kControlResetN);
    for (int c = 0; c < 2; ++c) {
        if (held) {
            codecs_[c]->Reset();
            latch_[c].active = false;
        }
        codecs_[c]->SetHeld(held);
    }
}

void JpegPath::WritePathControl(uint16_t value)
{
    const bool was = pathControl_ & jpeg::kPathMeasure;
    pathControl_ = value;
    if ((value & jpeg::kPathMeasure) && !was) {
        // A new measurement: nothing to read until a whole field was seen.
        activity_ = 0;
        measuring_ = false;
    }
    if (!(value & jpeg::kPathMeasure)) measuring_ = false;
    trace_("path control := 0x%04x", value);
}

uint16_t JpegPath::ActivityReadback() const { return (pathControl_ & jpeg::kPathMeasure) ? uint16_t(activity_) : 0; }

bool JpegPath::Decodes(int codec, int* parity) const
{
    const Latch& l = latch_[codec & 1];
    if (!l.active || l.job.encode) return false;
    *parity = l.parity;
    return true;
}

void JpegPath::OnField(uint64_t field, int parity)
{
    // The field that ends now was field - 1.
    const VideoField& ended = input_.Field(field - 1);
    for (int c = 0; c < 2; ++c) {
        Latch& l = latch_[c];
        if (!l.active) continue;
        l.active = false;
        if (l.job.encode) l.job.input = &ended;
        else l.job.output = &output_.Field(c, l.parity);
        codecs_[c]->Process(l.job);
        if (!l.job.encode) output_.CountShown(c);
    }
    if (measuring_) activity_ = jpeg::Activity(ended);
    measuring_ = (pathControl_ & jpeg::kPathMeasure) != 0;

    // Latch for the field now beginning.
    const bool running = (control_ & (jpeg::kControlResetN | jpeg::kControlRun)) == (jpeg::kControlResetN | jpeg::kControlRun);
    for (int c = 0; c < 2; ++c) {
        Latch& l = latch_[c];
        JpegCodec& codec = *codecs_[c];
        const bool realtime = control_ & (c == 0 ? jpeg::kControlRealtime0 : jpeg::kControlRealtime1);
        l.active = running && realtime && codec.Loaded();
        if (!l.active) continue;
        const uint16_t address = regs_.Peek(jpeg::kSdramAddress[c]);
        l.job = {};
        l.job.encode = c == 0 && (regs_.Peek(jpeg::kDirection) & jpeg::kDirectionEncode);
        l.job.uncompressed = (address & jpeg::kAddressUncompressed) != 0;
        l.job.block = address & jpeg::kAddressBlockMask;
        l.job.scale = uint16_t((codec.ReadRegister(jpeg::kRegScale) << 8) | codec.ReadRegister(jpeg::kRegScale + 1));
        l.parity = parity;
        l.field = field;
        trace_("codec %d latched field %llu: %s block %u%s scale %u", c, (unsigned long long)field,
               l.job.encode ? "encode" : "decode", l.job.block, l.job.uncompressed ? " uncompressed" : "", l.job.scale);
    }
}

}  // namespace sim
