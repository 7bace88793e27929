// Clip items over an in-memory clip file: the range rules, the mapping of
// output fields to source fields, sub-range items, the field operations and
// frame export.
#include <gtest/gtest.h>

#include <set>

#include "lib/play/zar_clip_item.h"
#include "tests/lib/play/memory_clip_file.h"
#include "tests/platform/win32/w32_machine.h"

namespace {

constexpr uint32_t kFrames = 10;

std::vector<uint16_t> Sizes(uint32_t frames, uint16_t sectors = 20)
{
    return std::vector<uint16_t>(2 * frames, sectors);
}

struct Opened {
    CClipItem* item = nullptr;
    int32_t result = 0;
    ~Opened()
    {
        if (item) item->Release();
    }
};

ZAR_CLIP_ITEM_PARAMS Params(uint32_t set, double speed = 1.0)
{
    ZAR_CLIP_ITEM_PARAMS p{};
    p.Set = set;
    p.Speed = speed;
    return p;
}

void Open(Opened& o, const ZAR_CLIP_ITEM_PARAMS& p, uint32_t frames = kFrames)
{
    o.item = new CClipItem;
    o.result = o.item->OpenFile(new MemoryClipFile(Sizes(frames)), p, GENERIC_READ);
}

std::vector<uint32_t> Map(const CClipItem& item, uint32_t count)
{
    std::vector<uint32_t> out;
    for (uint32_t n = 0; n < count; ++n) out.push_back(item.MapToSourceFrame(n));
    return out;
}

}  // namespace

TEST(ClipItem, SetRangeTakesTheRangeTheParameterBlockNames)
{
    const uint32_t F = kFrames;
    struct Case {
        const char* what;
        ZAR_CLIP_ITEM_PARAMS params;
        int32_t result;
        uint32_t in, out, length;
        double phase;
    };
    auto with = [](ZAR_CLIP_ITEM_PARAMS p, uint32_t inFrame, uint16_t phase, uint32_t length, uint32_t out = 0) {
        p.InFrame = inFrame;
        p.Phase = phase;
        p.Length = length;
        p.OutField = out;
        return p;
    };
    const Case cases[] = {
        {"whole clip", Params(0), 0, 0, 2 * F, 2 * F, 0},
        {"speed 2, no range", Params(ZAR_CLIP_SET_SPEED, 2.0), 0, 0, 2 * F, F, 0},
        {"speed 0 is a still of field 0", Params(ZAR_CLIP_SET_SPEED, 0.0), 0, 0, 2 * F, 2 * F, 0},
        {"out point only", with(Params(ZAR_CLIP_SET_OUT), 0, 0, 0, 8), 0, 0, 8, 8, 0},
        {"out point past the clip", with(Params(ZAR_CLIP_SET_OUT), 0, 0, 0, 2 * F + 1), ZAR_E_BAD_ARGUMENT, 0, 0, 0, 0},
        {"in point and length", with(Params(ZAR_CLIP_SET_RANGE), 2, 0, 6), 0, 4, 10, 6, 0},
        {"phase 0x8000: the second field", with(Params(ZAR_CLIP_SET_RANGE), 2, 0x8000, 6), 0, 5, 11, 6, 0},
        {"phase fraction", with(Params(ZAR_CLIP_SET_RANGE), 1, 0x4000, 4), 0, 2, 6, 4, 0.5},
        {"length past the clip is cut", with(Params(ZAR_CLIP_SET_RANGE), 8, 0, 40), 0, 16, 2 * F, 40, 0},
        {"length 1 is refused", with(Params(ZAR_CLIP_SET_RANGE), 0, 0, 1), ZAR_E_BAD_ARGUMENT, 0, 0, 0, 0},
        {"in and out", with(Params(ZAR_CLIP_SET_RANGE | ZAR_CLIP_SET_OUT), 1, 0, 4, 9), 0, 2, 9, 4, 0},
        {"out not above in", with(Params(ZAR_CLIP_SET_RANGE | ZAR_CLIP_SET_OUT), 3, 0, 4, 6), ZAR_E_BAD_ARGUMENT, 0, 0, 0, 0},
        {"reverse whole clip", Params(ZAR_CLIP_SET_SPEED, -1.0), 0, 2 * F, 0, 2 * F, 0},
        {"reverse at 2", Params(ZAR_CLIP_SET_SPEED, -2.0), 0, 2 * F, 0, F, 0},
        {"reverse from frame 5", with(Params(ZAR_CLIP_SET_RANGE | ZAR_CLIP_SET_SPEED, -1.0), 5, 0, 6), 0, 10, 4, 6, 0},
        {"reverse in below 2", with(Params(ZAR_CLIP_SET_RANGE | ZAR_CLIP_SET_SPEED, -1.0), 0, 0, 4), ZAR_E_BAD_ARGUMENT, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Opened o;
        Open(o, c.params);
        ASSERT_EQ(o.result, c.result);
        if (c.result != 0) continue;
        EXPECT_EQ(o.item->In(), c.in);
        EXPECT_EQ(o.item->Out(), c.out);
        EXPECT_EQ(o.item->Length(), c.length);
        EXPECT_DOUBLE_EQ(o.item->Phase(), c.phase);
    }
}

TEST(ClipItem, OutputFieldsMapToTheSourceFieldsOfSpeedRepeatAndParity)
{
    struct Case {
        const char* what;
        double speed;
        uint32_t inFrame;
        uint16_t phase;
        uint32_t repeat;
        uint32_t flags;
        std::vector<uint32_t> expected;
    };
    const Case cases[] = {
        {"speed 1", 1.0, 0, 0, 1, 0, {0, 1, 2, 3, 4, 5}},
        {"speed 2 keeps the output parity", 2.0, 0, 0, 1, 0, {0, 3, 4, 7, 8, 11}},
        {"speed 0 holds field 0", 0.0, 0, 0, 1, 0, {0, 0, 0, 0, 0, 0}},
        {"repeat 3: frames 0 and 3", 1.0, 0, 0, 3, 0, {0, 1, 0, 1, 0, 1, 6, 7, 6, 7, 6, 7}},
        {"second field start moves on a field at speed 1", 1.0, 0, 0x8000, 1, 0, {2, 3, 4, 5}},
        {"fixed first field", 1.0, 0, 0, 1, ZAR_CLIP_ITEM_FIXED_PARITY, {0, 0, 2, 2}},
        {"fixed second field", 1.0, 0, 0, 1, ZAR_CLIP_ITEM_FIXED_PARITY | ZAR_CLIP_ITEM_SECOND_FIELD, {1, 1, 3, 3}},
        {"no parity correction", 1.0, 0, 0x8000, 1, ZAR_CLIP_ITEM_NO_PARITY_FIX, {1, 2, 3, 4}},
        {"half speed: each source field twice", 0.5, 1, 0, 1, 0, {2, 2, 3, 3, 4, 4, 5, 5}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ZAR_CLIP_ITEM_PARAMS p = Params(ZAR_CLIP_SET_SPEED | ZAR_CLIP_SET_RANGE | ZAR_CLIP_SET_REPEAT, c.speed);
        p.InFrame = c.inFrame;
        p.Phase = c.phase;
        p.Length = 16;
        p.Repeat = c.repeat;
        p.Flags = c.flags;
        Opened o;
        Open(o, p);
        ASSERT_EQ(o.result, 0);
        EXPECT_EQ(Map(*o.item, uint32_t(c.expected.size())), c.expected);
    }
}

TEST(ClipItem, ParityIsCorrectedAtSpeedOneButNotOnTheLastFrame)
{
    // In on the second field of frame 8: the last frame's fields stay as mapped.
    ZAR_CLIP_ITEM_PARAMS p = Params(ZAR_CLIP_SET_RANGE);
    p.InFrame = 8;
    p.Phase = 0x8000;
    p.Length = 3;
    Opened o;
    Open(o, p);
    ASSERT_EQ(o.result, 0);
    ASSERT_EQ(o.item->Out(), 2 * kFrames);
    EXPECT_EQ(Map(*o.item, 3), (std::vector<uint32_t>{18, 18, 19}));
}

TEST(ClipItem, PositionsPastTheEndClampWithoutLoop)
{
    struct Case {
        const char* what;
        double speed;
        uint32_t flags;
        uint32_t n;
        uint32_t expected;
    };
    const Case cases[] = {
        {"forward stops on the last field", 1.0, 0, 50, 2 * kFrames - 1},
        {"reverse stops one field before the out point", -1.0, ZAR_CLIP_ITEM_NO_PARITY_FIX, 50, 0},
        {"reverse flag 64 stops on the out point", -1.0, ZAR_CLIP_ITEM_REVERSE_TO_OUT | ZAR_CLIP_ITEM_NO_PARITY_FIX, 50, 4},
        {"reverse without flag 64 ends one before", -1.0, ZAR_CLIP_ITEM_NO_PARITY_FIX, 51, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ZAR_CLIP_ITEM_PARAMS p = Params(ZAR_CLIP_SET_SPEED | ZAR_CLIP_SET_OUT, c.speed);
        p.OutField = c.speed < 0 && (c.flags & ZAR_CLIP_ITEM_REVERSE_TO_OUT) ? 4 : (c.speed < 0 ? 0 : 2 * kFrames);
        p.Flags = c.flags;
        Opened o;
        Open(o, p);
        ASSERT_EQ(o.result, 0);
        EXPECT_EQ(o.item->MapToSourceFrame(c.n), c.expected);
    }
    // Reverse without flag 64 and an out point above 0 ends one field before it.
    ZAR_CLIP_ITEM_PARAMS p = Params(ZAR_CLIP_SET_SPEED | ZAR_CLIP_SET_OUT, -1.0);
    p.OutField = 4;
    p.Flags = ZAR_CLIP_ITEM_NO_PARITY_FIX;
    Opened o;
    Open(o, p);
    ASSERT_EQ(o.result, 0);
    EXPECT_EQ(o.item->MapToSourceFrame(100), 3u);
}

TEST(ClipItem, ALoopStaysInsideItsRangeAndCoversItAtEverySpeed)
{
    for (double speed : {0.5, 1.0, 1.5, 2.0, -0.5, -1.0, -1.5}) {
        SCOPED_TRACE(speed);
        // Frames 2 to 7 forward; reverse from frame 7 down to field 4.
        ZAR_CLIP_ITEM_PARAMS p = Params(ZAR_CLIP_SET_SPEED | ZAR_CLIP_SET_RANGE | ZAR_CLIP_SET_OUT, speed);
        p.InFrame = speed > 0 ? 2 : 7;
        p.OutField = speed > 0 ? 14 : 4;
        p.Length = 40;
        p.Flags = ZAR_CLIP_ITEM_LOOP | ZAR_CLIP_ITEM_NO_PARITY_FIX | ZAR_CLIP_ITEM_REVERSE_TO_OUT;
        Opened o;
        Open(o, p);
        ASSERT_EQ(o.result, 0);
        const uint32_t low = 4, high = 14;
        std::set<uint32_t> seen;
        for (uint32_t n = 0; n < 400; ++n) {
            const uint32_t s = o.item->MapToSourceFrame(n);
            ASSERT_GE(s, low) << "output field " << n;
            ASSERT_LT(s, high) << "output field " << n;
            seen.insert(s);
        }
        // Every field of the range comes round (at 2 and -1.5 only every other or third one can).
        const size_t fields = high - low;
        EXPECT_GE(seen.size(), std::abs(speed) > 1.2 ? fields / 2 : fields);
    }
}

TEST(ClipItem, ASubRangeItemMapsAsTheItemDoesFromItsStart)
{
    struct Case {
        const char* what;
        double speed;
        uint32_t repeat, flags;
        uint32_t from, to;
    };
    const Case cases[] = {
        {"speed 1", 1.0, 1, 0, 4, 10},
        {"speed 2", 2.0, 1, 0, 2, 8},
        {"half speed", 0.5, 1, 0, 6, 14},
        {"repeat 3 from inside a repeat", 1.0, 3, 0, 4, 16},
        {"looping at 1.5", 1.5, 1, ZAR_CLIP_ITEM_LOOP, 6, 30},
        {"reverse", -1.0, 1, 0, 4, 10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ZAR_CLIP_ITEM_PARAMS p = Params(ZAR_CLIP_SET_SPEED | ZAR_CLIP_SET_RANGE | ZAR_CLIP_SET_REPEAT, c.speed);
        p.InFrame = c.speed > 0 ? 1 : 9;
        p.Length = 32;
        p.Repeat = c.repeat;
        p.Flags = c.flags | ZAR_CLIP_ITEM_NO_PARITY_FIX;
        Opened o;
        Open(o, p);
        ASSERT_EQ(o.result, 0);
        CPlayItem* made = nullptr;
        ASSERT_EQ(o.item->BuildSubRange({c.from, c.to}, &made), 0);
        auto* sub = static_cast<CClipItem*>(made);
        EXPECT_EQ(sub->Length(), c.to - c.from);
        EXPECT_EQ(sub->File(), o.item->File());
        EXPECT_EQ(sub->Stream(), nullptr);
        for (uint32_t n = 0; n < c.to - c.from; ++n)
            EXPECT_EQ(sub->MapToSourceFrame(n), o.item->MapToSourceFrame(c.from + n)) << "field " << n;
        sub->Release();
    }
}

TEST(ClipItem, SubRangesOutsideTheItemAreRefused)
{
    Opened o;
    Open(o, Params(0), 4);  // 8 fields
    ASSERT_EQ(o.result, 0);
    CPlayItem* made = reinterpret_cast<CPlayItem*>(1);
    for (ZAR_ITEM_RANGE r : {ZAR_ITEM_RANGE{2, 10}, ZAR_ITEM_RANGE{4, 4}, ZAR_ITEM_RANGE{6, 2}}) {
        EXPECT_EQ(o.item->BuildSubRange(r, &made), ZAR_E_BAD_ARGUMENT) << r.start << "-" << r.end;
        EXPECT_EQ(made, nullptr);
    }
    // A sub-range holds its own reference on the shared file.
    ASSERT_EQ(o.item->BuildSubRange({0, 9}, &made), 0);
    EXPECT_EQ(o.item->File()->References(), 2);
    made->Release();
    EXPECT_EQ(o.item->File()->References(), 1);
}

TEST(ClipItem, FieldOperationsReachTheFilesFieldsAndStopAtTheLength)
{
    auto* file = new MemoryClipFile({10, 11, 12, 13, 14, 15});
    CClipItem item;
    ZAR_CLIP_ITEM_PARAMS p = Params(ZAR_CLIP_SET_RANGE);
    p.InFrame = 1;
    p.Length = 4;
    ASSERT_EQ(item.OpenFile(file, p, GENERIC_READ), 0);
    EXPECT_EQ(file->opens, 1u);
    EXPECT_EQ(item.GetFieldSize(0), 12);
    EXPECT_EQ(item.GetFieldSize(3), 15);
    EXPECT_EQ(item.GetFieldSize(4), ZAR_E_DRIVER);
    EXPECT_EQ(item.FieldToBoard(4, 0), ZAR_E_DRIVER);
    ZAR_FIELD_LOCATION* node = nullptr;
    // Beyond the end: the last frame's field of the same parity.
    ASSERT_EQ(item.GetFieldNode(9, &node), 0);
    EXPECT_EQ(node->used, 15);
    ASSERT_EQ(item.GetFieldNode(8, &node), 0);
    EXPECT_EQ(node->used, 14);
    ASSERT_EQ(item.FieldToBoard(1, 77), 0);
    ASSERT_EQ(file->Loads().size(), 1u);
    EXPECT_EQ(file->Loads()[0].field, 3u);
    EXPECT_EQ(file->Loads()[0].block, 77u);
}

TEST(ClipItem, ExportShowsMissingFieldsAsBlack)
{
    // Frame 0 has no fields recorded.
    auto* file = new MemoryClipFile({0, 0, 20, 20});
    CClipItem item;
    ASSERT_EQ(item.OpenFile(file, Params(0), GENERIC_READ), 0);
    const int32_t lines = 486;
    std::vector<uint32_t> image(720 * 2 * lines / 4, 0xDEADBEEF);
    ASSERT_EQ(item.ExportFrame(0, ZAR_HOST_YUV422, image.data(), lines), 0);
    for (size_t k = 0; k < image.size(); ++k) ASSERT_EQ(image[k], kYuvBlack) << k;
    // The same black in a host RGB format, bottom-up.
    std::vector<uint8_t> rgb(720 * 4 * lines, 0x55);
    ASSERT_EQ(item.ExportFrame(0, ZAR_HOST_BGRA, rgb.data(), -lines), 0);
    EXPECT_EQ(rgb[0], 0);
    EXPECT_EQ(rgb[3], 255);
    EXPECT_EQ(rgb[rgb.size() - 2], 0);
    EXPECT_EQ(item.ExportFrame(0, 5, image.data(), lines), ZAR_E_BAD_ARGUMENT);
    EXPECT_EQ(item.ExportFrame(2, ZAR_HOST_YUV422, image.data(), lines), ZAR_E_DRIVER);
}

TEST(ClipItem, ModifyChecksTheNewRangeAgainstTheItem)
{
    Opened o;
    Open(o, Params(0));
    ASSERT_EQ(o.result, 0);
    struct Case {
        const char* what;
        uint32_t set, inFrame, length, out;
        int32_t result;
    } cases[] = {
        {"in past the clip", ZAR_CLIP_SET_RANGE, kFrames, 4, 0, ZAR_E_BAD_ARGUMENT},
        {"zero length", ZAR_CLIP_SET_RANGE, 1, 0, 0, ZAR_E_BAD_ARGUMENT},
        {"out not above in", ZAR_CLIP_SET_OUT, 0, 0, 0, ZAR_E_BAD_ARGUMENT},
        {"new in keeps the out point", ZAR_CLIP_SET_RANGE, 3, 6, 0, 0},
        {"new out", ZAR_CLIP_SET_OUT, 0, 0, 12, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ZAR_CLIP_ITEM_PARAMS p = Params(c.set);
        p.InFrame = c.inFrame;
        p.Length = c.length;
        p.OutField = c.out;
        EXPECT_EQ(o.item->Modify(p), c.result);
    }
    EXPECT_EQ(o.item->In(), 6u);
    EXPECT_EQ(o.item->Out(), 12u);
    EXPECT_EQ(o.item->Length(), 6u);
}
