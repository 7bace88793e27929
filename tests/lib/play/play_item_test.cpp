// Items and streams: the whole-frame rule of the entry array, references
// held by entries, and the query bodies.
#include <cstring>

#include "lib/api/zar_handles.h"
#include "lib/play/zar_play_item.h"
#include "tests/platform/win32/w32_machine.h"

namespace {

int destroyed = 0;

class TestItem : public CPlayItem {
public:
    explicit TestItem(uint32_t fields, std::u16string name = {}) : CPlayItem(fields, std::move(name)) {}
    ~TestItem() override { ++destroyed; }
    uint32_t GetType() const override { return 7; }
};

class TestStream : public CPlayStream {};

// A stream with one item of 'fields' at 'position'; the item's handle kept by the stream alone.
TestItem* Place(CPlayStream& stream, uint32_t fields, uint32_t position)
{
    auto* item = new TestItem(fields);
    EXPECT_EQ(stream.InsertItem(item, position), ZAR_OK);
    item->Release();
    return item;
}

std::vector<uint32_t> Positions(const CPlayStream& stream)
{
    std::vector<uint32_t> p;
    for (const auto& e : stream.Entries()) p.push_back(e.position);
    return p;
}

}  // namespace

TEST(PlayStreams, ItemsNeverShareAFrame)
{
    struct Case {
        uint32_t position, fields;
        int32_t result;
        const char* what;
    } cases[] = {
        {110, 10, 0, "back to back after: starts where the item at 100 ends"},
        {90, 10, 0, "back to back before: ends where it starts"},
        {108, 10, -1, "one frame of overlap at the end"},
        {92, 10, -1, "one frame of overlap at the start"},
        {101, 2, -1, "the other field of a frame that is taken"},
        {109, 4, -1, "second field of the last frame"},
        {111, 4, 0, "second field of the frame after the last"},
        {98, 2, 0, "the frame just before"},
        {104, 2, -1, "inside"},
        {0, 1000, -1, "around it"},
        {0xFFFFFF00, 0x200, -1, "past the last field of the time line"},
        {0xFFFFFF00, 0xFE, 0, "up to the last frame of the time line"},
    };
    for (const Case& c : cases) {
        TestStream stream;
        Place(stream, 10, 100);
        auto* item = new TestItem(c.fields);
        EXPECT_EQ(stream.InsertItem(item, c.position), c.result) << c.what;
        const size_t expected = c.result == 0 ? 2 : 1;
        EXPECT_EQ(stream.Entries().size(), expected) << c.what;
        EXPECT_EQ(item->References(), c.result == 0 ? 2 : 1) << c.what << ": a refused insert takes no reference";
        item->Release();
    }
}

TEST(PlayStreams, TheHundredAndFirstInsertKeepsTheOrder)
{
    TestStream stream;
    // Placed in a scrambled order over 150 frames.
    for (uint32_t i = 0; i < 150; ++i) Place(stream, 2, ((i * 37) % 150) * 2);
    ASSERT_EQ(stream.Entries().size(), 150u);
    EXPECT_GE(stream.Entries().capacity(), 150u);
    for (uint32_t i = 0; i < 150; ++i) EXPECT_EQ(stream.Entries()[i].position, i * 2);
}

TEST(PlayStreams, AnItemOnAStreamIsRefusedByAnotherAndByItsOwn)
{
    destroyed = 0;
    auto* a = new TestStream;
    TestStream b;
    auto* item = new TestItem(4);
    ASSERT_EQ(a->InsertItem(item, 0), ZAR_OK);
    EXPECT_EQ(b.InsertItem(item, 100), ZAR_E_ITEM_ON_STREAM);
    EXPECT_EQ(a->InsertItem(item, 100), ZAR_E_ITEM_ON_STREAM);
    EXPECT_TRUE(b.IsEmpty());
    EXPECT_EQ(item->References(), 2);
    // The stream's death detaches the item the application still holds; it may then stand elsewhere.
    a->Release();
    EXPECT_EQ(destroyed, 0);
    EXPECT_EQ(item->References(), 1);
    EXPECT_EQ(b.InsertItem(item, 100), ZAR_OK);
    EXPECT_TRUE(b.RemoveItem(item));
    EXPECT_FALSE(b.RemoveItem(item));
    item->Release();
    EXPECT_EQ(destroyed, 1);
}

TEST(PlayStreams, RepositionMovesOrLeavesTheItemWhereItWas)
{
    TestStream stream;
    Place(stream, 10, 0);
    TestItem* moving = Place(stream, 10, 20);
    Place(stream, 10, 40);
    EXPECT_EQ(stream.RepositionItem(moving, 34), 0) << "overlaps the item at 40";
    EXPECT_EQ(Positions(stream), (std::vector<uint32_t>{0, 20, 40}));
    EXPECT_EQ(stream.RepositionItem(moving, 50), 1);
    EXPECT_EQ(Positions(stream), (std::vector<uint32_t>{0, 40, 50}));
    EXPECT_EQ(moving->References(), 1) << "the entry's reference only";
    TestStream other;
    EXPECT_EQ(other.RepositionItem(moving, 0), 0);
}

TEST(PlayStreams, TheQueriesReportEntriesAndRefuseItemsOfOtherStreams)
{
    auto* stream = new TestStream;
    auto* other = new TestStream;
    ZAR_STREAM_QUERY q{};
    q.Stream = stream->Handle();
    EXPECT_EQ(PlyStreamQuery(&q, false), ZAR_OK);
    EXPECT_EQ(q.Count, 0u);
    EXPECT_EQ(q.First, 0u);
    EXPECT_EQ(q.End, 0u);
    EXPECT_EQ(q.Item, 0xFFFFFFFFu);

    TestItem* first = Place(*stream, 10, 6);
    TestItem* last = Place(*stream, 7, 20);
    TestItem* elsewhere = Place(*other, 4, 0);
    q = {};
    q.Stream = stream->Handle();
    q.Item = last->Handle();
    EXPECT_EQ(PlyStreamQuery(&q, false), ZAR_OK);
    EXPECT_EQ(q.Count, 2u);
    EXPECT_EQ(q.First, 6u);
    EXPECT_EQ(q.End, 27u);
    EXPECT_EQ(q.Position, 20u);
    EXPECT_EQ(q.RangeStart, 0u);
    EXPECT_EQ(q.RangeEnd, 7u);

    q.Item = elsewhere->Handle();
    EXPECT_EQ(PlyStreamQuery(&q, false), ZAR_E_BAD_HANDLE);
    q.Item = other->Handle();  // a stream is not an item
    EXPECT_EQ(PlyStreamQuery(&q, false), ZAR_E_BAD_HANDLE);

    q = {};
    q.Stream = stream->Handle();
    q.Index = 0;
    EXPECT_EQ(PlyStreamQuery(&q, true), ZAR_OK);
    EXPECT_EQ(q.Item, first->Handle());
    EXPECT_EQ(q.Position, 6u);
    q.Index = 2;
    EXPECT_EQ(PlyStreamQuery(&q, true), -1);
    q.Stream = first->Handle();
    EXPECT_EQ(PlyStreamQuery(&q, false), ZAR_E_BAD_HANDLE);
    EXPECT_EQ(PlyStreamQuery(nullptr, false), ZAR_E_BAD_ARGUMENT);

    EXPECT_EQ(PlyIsStreamEmpty(stream->Handle()), 0);
    uint32_t flags = 5;
    EXPECT_EQ(PlySetStreamModeFlags(stream->Handle(), 2), ZAR_E_BAD_ARGUMENT);
    EXPECT_EQ(PlySetStreamModeFlags(stream->Handle(), 1), ZAR_OK);
    EXPECT_EQ(PlyGetStreamModeFlags(stream->Handle(), &flags), ZAR_OK);
    EXPECT_EQ(flags, 1u);
    EXPECT_EQ(PlyGetStreamModeFlags(stream->Handle(), nullptr), ZAR_E_BAD_ARGUMENT);
    EXPECT_EQ(PlyGetStreamModeFlags(first->Handle(), &flags), ZAR_E_BAD_HANDLE);

    // Releasing the streams releases their items; a closed handle reads as empty.
    const uint32_t handle = stream->Handle();
    const uint32_t itemHandle = first->Handle();
    EXPECT_EQ(CHandleObject::DereferenceHandle(handle), ZAR_OK);
    EXPECT_EQ(PlyIsStreamEmpty(handle), 1);
    ZAR_ITEM_QUERY iq{itemHandle, 0, 0, 0, 0};
    EXPECT_EQ(PlyItemQuery(&iq), ZAR_E_BAD_HANDLE) << "the stream held the item's last reference";
    other->Release();
}

TEST(PlayStreams, AnItemQueryGivesTypeFramesReferencesAndTheNameInTheAnsiCodePage)
{
    auto* item = new TestItem(11, u"C:\\clips\\caf\u00e9.kiv");
    TestStream stream;
    ASSERT_EQ(stream.InsertItem(item, 0), ZAR_OK);
    char name[64];
    std::memset(name, 'x', sizeof name);
    ZAR_ITEM_QUERY q{item->Handle(), 0, uint32_t(uintptr_t(name)), 0, 0};
    EXPECT_EQ(PlyItemQuery(&q), ZAR_OK);
    EXPECT_EQ(q.Type, 7u);
    EXPECT_EQ(q.Frames, 5u);
    EXPECT_EQ(q.References, 2u);
    EXPECT_STREQ(name, "C:\\clips\\caf\xe9.kiv");
    q.NameBuffer = 0;
    EXPECT_EQ(PlyItemQuery(&q), ZAR_OK);
    // Dereferenced by the application while on a stream: it lives until the stream drops it.
    destroyed = 0;
    EXPECT_EQ(CHandleObject::DereferenceHandle(item->Handle()), ZAR_OK);
    EXPECT_EQ(destroyed, 0);
    EXPECT_TRUE(stream.RemoveItem(item));
    EXPECT_EQ(destroyed, 1);
}
