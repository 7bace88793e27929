// Empty-field pictures, made once a process: a uniform black field needs
// no real coder, only the first block's DC and an end of block for every
// block, so the images carry Huffman tables of just those codes. A comment
// segment brings each image to its exact size.

#include "zar_empty_field.h"

#include <cstring>
#include <vector>

#include "platform/win32/win32.h"

namespace {

constexpr uint32_t kWidth = 720;
constexpr uint8_t kQuant = 16;
constexpr int kBlack = 16;  // studio-range black

class BitWriter {
public:
    explicit BitWriter(std::vector<uint8_t>& out) : out_(out) {}
    void Put(uint32_t bits, int count)
    {
        for (int i = count - 1; i >= 0; --i) {
            byte_ = uint8_t(byte_ << 1 | ((bits >> i) & 1));
            if (++filled_ == 8) Flush();
        }
    }
    void Finish()
    {
        while (filled_ != 0) Put(1, 1);  // padded with ones
    }

private:
    void Flush()
    {
        out_.push_back(byte_);
        if (byte_ == 0xFF) out_.push_back(0);  // stuffed
        byte_ = 0;
        filled_ = 0;
    }
    std::vector<uint8_t>& out_;
    uint8_t byte_ = 0;
    int filled_ = 0;
};

void Segment(std::vector<uint8_t>& out, uint8_t marker, const std::vector<uint8_t>& body)
{
    const size_t length = body.size() + 2;
    out.insert(out.end(), {0xFF, marker, uint8_t(length >> 8), uint8_t(length)});
    out.insert(out.end(), body.begin(), body.end());
}

std::vector<uint8_t> MakeImage(bool key, bool is625)
{
    const uint32_t lines = is625 ? 288 : 243;
    const uint32_t size = is625 ? 5120 : 4608;
    // The luma DC of a black block, quantised, and its size category.
    const int dc = 8 * (kBlack - 128) / kQuant;
    int category = 0;
    for (int v = dc < 0 ? -dc : dc; v != 0; v >>= 1) ++category;
    const uint32_t dcBits = uint32_t(dc < 0 ? dc + (1 << category) - 1 : dc);

    std::vector<uint8_t> head = {0xFF, 0xD8};
    Segment(head, 0xE0, {'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0});
    std::vector<uint8_t> tail;
    std::vector<uint8_t> quant(65, kQuant);
    quant[0] = 0;
    Segment(tail, 0xDB, quant);
    Segment(tail, 0xC0, {8, uint8_t(lines >> 8), uint8_t(lines), uint8_t(kWidth >> 8), uint8_t(kWidth & 0xFF), 3,
                         1, 0x21, 0, 2, 0x11, 0, 3, 0x11, 0});
    // Luma DC: "00" difference 0, "01" the first block's category; the
    // others: "0" for difference 0 and for the end of block.
    std::vector<uint8_t> tables;
    auto table = [&tables](uint8_t id, int codeLength, std::vector<uint8_t> symbols) {
        tables.push_back(id);
        for (int l = 1; l <= 16; ++l) tables.push_back(l == codeLength ? uint8_t(symbols.size()) : 0);
        tables.insert(tables.end(), symbols.begin(), symbols.end());
    };
    table(0x00, 2, {0, uint8_t(category)});
    table(0x01, 1, {0});
    table(0x10, 1, {0});
    table(0x11, 1, {0});
    Segment(tail, 0xC4, tables);
    Segment(tail, 0xDA, {3, 1, 0x00, 2, 0x11, 3, 0x11, 0, 63, 0});
    BitWriter bits(tail);
    const uint32_t mcus = (kWidth / 16) * ((lines + 7) / 8);
    for (uint32_t m = 0; m < mcus; ++m) {
        for (int y = 0; y < 2; ++y) {
            if (m == 0 && y == 0) {
                bits.Put(1, 2);
                bits.Put(dcBits, category);
            } else {
                bits.Put(0, 2);
            }
            bits.Put(0, 1);  // end of block
        }
        bits.Put(0, 4);      // Cb and Cr: difference 0, end of block
    }
    bits.Finish();
    tail.insert(tail.end(), {0xFF, 0xD9});

    const char* text = key ? "empty key field" : "empty fill field";
    std::vector<uint8_t> comment(text, text + std::strlen(text));
    const size_t fixed = head.size() + tail.size() + 4;
    if (fixed + comment.size() > size) return {};
    comment.resize(size - fixed, 0);
    Segment(head, 0xFE, comment);
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

struct Images {
    Images()
    {
        // Memory a disk request may name: a client of a machine host shares
        // VirtualAlloc's memory with it.
        memory = static_cast<uint8_t*>(VirtualAlloc(nullptr, 4 * kSlot, MEM_COMMIT, PAGE_READWRITE));
        if (memory == nullptr) return;
        for (int i = 0; i < 4; ++i) {
            std::vector<uint8_t> image = MakeImage(i & 1, i & 2);
            if (image.empty()) continue;
            std::memcpy(memory + i * kSlot, image.data(), image.size());
            lengths[i] = uint32_t(image.size());
        }
    }
    static constexpr uint32_t kSlot = 8192;
    uint8_t* memory = nullptr;
    uint32_t lengths[4] = {};
};

}  // namespace

EmptyFieldImage GetEmptyFieldImage(bool key, bool is625)
{
    static Images* images = new Images;  // kept for the process: requests may name it until the end
    const int i = (key ? 1 : 0) | (is625 ? 2 : 0);
    const uint32_t length = images->lengths[i];
    return {length && images->memory ? images->memory + i * Images::kSlot : nullptr, is625 ? 5120u : 4608u,
            is625 ? 10u : 9u};
}
