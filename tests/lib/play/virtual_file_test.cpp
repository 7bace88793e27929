// The clip files with no storage: black of any length (uncompressed or the
// built-in empty picture, sent to the board from host memory), and the
// callback clip that plays whatever field of whatever clip item the
// application names; clip items over each of them and over the live rings.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "lib/api/zar_connection.h"
#include "lib/play/zar_callback_file.h"
#include "lib/play/zar_clip_item.h"
#include "lib/play/zar_empty_field.h"
#include "lib/play/zar_live_sink_file.h"
#include "lib/play/zar_live_source_file.h"
#include "lib/play/zar_live_source_record.h"
#include "lib/play/zar_live_source_sync.h"
#include "lib/play/zar_play_item.h"
#include "lib/play/zar_virtual_black_file.h"
#include "tests/drivers/mediafs/mediafs_machine.h"
#include "tests/lib/play/memory_clip_file.h"

namespace {

constexpr uint32_t kSlot = 0x2000;  // board memory the test reads fields back from, in 512-byte units

struct HostBuffer {
    explicit HostBuffer(size_t n) : bytes(static_cast<uint8_t*>(VirtualAlloc(nullptr, n, MEM_COMMIT, PAGE_READWRITE))) {}
    ~HostBuffer() { VirtualFree(bytes, 0, MEM_RELEASE); }
    uint8_t* bytes;
};

void ReleaseFile(CZarFile* f) { f->Release(); }
using FilePtr = std::unique_ptr<CZarFile, void (*)(CZarFile*)>;

class VirtualClip : public MediaFsMachine {
protected:
    void SetUp() override
    {
        MediaFsMachine::SetUp();
        if (HasFatalFailure()) return;
        connection_ = std::make_unique<CBoardConnection>(0);
        ASSERT_NE(connection_->m_hBoard, INVALID_HANDLE_VALUE);
        ASSERT_TRUE(CZarFile::CreateFieldSyncMutex(0));
    }
    void TearDown() override
    {
        connection_.reset();
        MediaFsMachine::TearDown();
    }
    bool ReadBoard(uint8_t* host, uint32_t sectors)
    {
        ZAR_DISK_REQUEST r{};
        r.Operation = ZAR_DISK_OP_SDRAM_READ;
        r.BlockCount = sectors;
        r.AccessMode = ZAR_DISK_ACCESS_1;
        r.OwnsScsi = 1;
        r.SdramAddress = kSlot * 512;
        r.UserBuffer = uint32_t(reinterpret_cast<uintptr_t>(host));
        r.UserBufferLength = sectors * 512;
        DWORD returned = 0;
        return DeviceIoControl(connection_->m_hBoard, IOCTL_ZAR_DISK_REQUEST, &r, sizeof r, &r, sizeof r, &returned,
                               nullptr) &&
               r.ScsiStatus == 0;
    }
    std::unique_ptr<CBoardConnection> connection_;
};

}  // namespace

TEST_F(VirtualClip, UncompressedBlackAndItsKeyReachTheBoardAsStudioBlackAndOpaqueWhite)
{
    const size_t registered = CZarFile::OpenClipFiles();
    for (bool key : {false, true}) {
        FilePtr file(new CZarVirtualBlackFile(connection_.get(), 1000, 684, key), ReleaseFile);
        auto* black = static_cast<CZarVirtualBlackFile*>(file.get());
        EXPECT_EQ(CZarFile::OpenClipFiles(), registered);  // no path, never registered
        ASSERT_EQ(file->Standard(), 525u);
        EXPECT_EQ(file->GetFrameCount(), 1000u);
        EXPECT_EQ(file->GetAccessMode(), uint32_t(GENERIC_READ));
        EXPECT_EQ(file->IsFillUncompressed(), 1u);
        EXPECT_EQ(file->GetFillFieldSize(1999), 684u);
        ZAR_FIELD_LOCATION* node = nullptr;
        ASSERT_EQ(file->GetFillNode(77, &node), ZAR_OK);
        EXPECT_EQ(node->used, 684);
        EXPECT_EQ(node->padding, 0);
        const uint8_t* data = nullptr;
        uint32_t bytes = 0;
        ASSERT_EQ(black->GetFieldData(&data, &bytes), ZAR_OK);
        EXPECT_EQ(bytes, 350208u);
        // Cb, Y, Cr, Y: neutral chroma, luma 16 (black) or 235 (a full key).
        const uint8_t pair[4] = {0x80, uint8_t(key ? 0xEB : 0x10), 0x80, uint8_t(key ? 0xEB : 0x10)};
        HostBuffer back(350208);
        std::memset(back.bytes, 0x55, 350208);
        ASSERT_EQ(file->FillFieldToBoard(3, kSlot), ZAR_OK);
        ASSERT_TRUE(ReadBoard(back.bytes, 684));
        for (uint32_t i = 0; i < 350208; i += 4) {
            ASSERT_EQ(std::memcmp(back.bytes + i, pair, 4), 0) << "byte " << i << (key ? " of the key" : "");
        }
        ASSERT_EQ(file->FillFieldToBoardSync(4, kSlot, 1, 0), ZAR_OK);
    }
}

TEST_F(VirtualClip, CompressedBlackIsTheEmptyPictureInItsFieldSpaceWithNeverNegativePadding)
{
    struct Case {
        uint32_t sectors;
        uint16_t padding;
    } cases[] = {{500, 491}, {9, 0}, {5, 0}, {1, 0}};
    const EmptyFieldImage empty = GetEmptyFieldImage(false, false);
    for (const Case& c : cases) {
        FilePtr file(new CZarVirtualBlackFile(connection_.get(), 10, c.sectors, false), ReleaseFile);
        ZAR_FIELD_LOCATION* node = nullptr;
        ASSERT_EQ(file->GetFillNode(0, &node), ZAR_OK);
        EXPECT_EQ(node->used, 9) << c.sectors;
        EXPECT_EQ(node->padding, c.padding) << c.sectors;
        EXPECT_EQ(file->IsFillUncompressed(), 0u);
        EXPECT_EQ(file->GetFillFieldSize(0), 9u);
    }
    FilePtr file(new CZarVirtualBlackFile(connection_.get(), 10, 500, false), ReleaseFile);
    std::vector<uint8_t> read(4608);
    EXPECT_EQ(file->ReadFillField(0, read.data(), 4607), ZAR_E_BAD_ARGUMENT);
    ASSERT_EQ(file->ReadFillField(0, read.data(), 4608), ZAR_OK);
    EXPECT_EQ(std::memcmp(read.data(), empty.bytes, 4608), 0);
    HostBuffer back(4608);
    ASSERT_EQ(file->FillFieldToBoard(0, kSlot), ZAR_OK);
    ASSERT_TRUE(ReadBoard(back.bytes, 9));
    EXPECT_EQ(std::memcmp(back.bytes, empty.bytes, 4608), 0);

    // What a file without storage cannot do.
    ZAR_FIELD_LOCATION* node = nullptr;
    EXPECT_EQ(file->CreateFill(9, 10, 0, 0), ZAR_E_DRIVER);
    EXPECT_EQ(file->OpenForAccess(GENERIC_READ), ZAR_E_DRIVER);
    EXPECT_EQ(file->CheckFieldWrite(0, 9), ZAR_E_DRIVER);
    EXPECT_EQ(file->GetKeyNode(0, &node), ZAR_E_DRIVER);
    EXPECT_EQ(file->KeyFieldToBoard(0, kSlot), ZAR_E_DRIVER);
    uint32_t target, block, sectors;
    EXPECT_EQ(file->GetFieldPlacement(0, &target, &block, &sectors), 0);
    EXPECT_EQ(file->IsKeyUncompressed(), 0u);
    EXPECT_EQ(file->CreateSideFile(0), 0);

    // Without a board the field does not go anywhere.
    FilePtr alone(new CZarVirtualBlackFile(nullptr, 10, 500, false), ReleaseFile);
    EXPECT_EQ(alone->FillFieldToBoard(0, kSlot), ZAR_E_DRIVER);
}

namespace {

// A play item that is not a clip item, of any type it claims.
class OtherItem : public CPlayItem {
public:
    explicit OtherItem(uint32_t type) : m_type(type) {}
    uint32_t GetType() const override { return m_type; }
    uint32_t m_type;
};

// Context: the handle to name; fields map to field + 1 of it.
uint32_t MapToHandle(uint32_t context, uint32_t field, uint32_t* item, uint32_t* itemField)
{
    *item = context;
    *itemField = field + 1;
    return 1;
}
uint32_t MapNothing(uint32_t, uint32_t, uint32_t*, uint32_t*) { return 0; }

// Field k of the file has 10 + k sectors filled with the byte k.
std::vector<uint16_t> GrowingSizes(uint32_t fields)
{
    std::vector<uint16_t> sizes;
    for (uint32_t k = 0; k < fields; ++k) sizes.push_back(uint16_t(10 + k));
    return sizes;
}

}  // namespace

TEST(CallbackClip, EveryFieldOperationReadsTheNamedClipItemsMappedField)
{
    // The item starts at frame 2 (field 4) and is 20 fields long; the
    // callback maps field f to item field f + 1, that is to file field f + 5.
    auto* memory = new MemoryClipFile(GrowingSizes(30));
    memory->m_uncompressed = 1;
    auto* clip = new CClipItem;
    ZAR_CLIP_ITEM_PARAMS p{};
    p.Set = ZAR_CLIP_SET_RANGE;
    p.InFrame = 2;
    p.Length = 20;
    ASSERT_EQ(clip->OpenFile(memory, p, GENERIC_READ), ZAR_OK);

    CZarCallbackFile file(nullptr, MapToHandle, clip->Handle(), 50);
    EXPECT_EQ(file.GetFrameCount(), 50u);
    ZAR_FIELD_LOCATION* node = nullptr;
    ASSERT_EQ(file.GetFillNode(5, &node), ZAR_OK);
    EXPECT_EQ(node->used, 20);
    EXPECT_EQ(file.FillFieldToBoard(6, kSlot), ZAR_OK);
    EXPECT_EQ(file.FillFieldToBoardSync(7, kSlot + 1), ZAR_OK);
    ASSERT_EQ(memory->Loads().size(), 2u);
    EXPECT_EQ(memory->Loads()[0].field, 11u);
    EXPECT_EQ(memory->Loads()[0].block, kSlot);
    EXPECT_EQ(memory->Loads()[1].field, 12u);
    EXPECT_EQ(memory->Loads()[1].block, kSlot + 1);
    std::vector<uint8_t> data(40 * 512, 0xEE);
    ASSERT_EQ(file.ReadFillField(8, data.data(), uint32_t(data.size())), ZAR_OK);
    EXPECT_EQ(data[0], 13);
    EXPECT_EQ(data[23 * 512 - 1], 13);
    EXPECT_EQ(file.GetFillFieldSize(9), 24u);
    uint32_t target = 0, block = 0, sectors = 0;
    EXPECT_EQ(file.GetFieldPlacement(10, &target, &block, &sectors), 1);
    EXPECT_EQ(sectors, 25u);
    EXPECT_EQ(file.IsFillUncompressed(), 1u);
    EXPECT_EQ(file.GetFieldParity(12), 1u);
    EXPECT_EQ(file.GetFieldParity(11), 0u);
    // The item's own length bounds what the callback can reach.
    EXPECT_EQ(file.GetFillFieldSize(19), uint32_t(ZAR_E_DRIVER));
    EXPECT_EQ(file.ReadFillField(19, data.data(), uint32_t(data.size())), ZAR_E_DRIVER);
    EXPECT_EQ(file.OpenForAccess(GENERIC_READ), ZAR_E_DRIVER);
    EXPECT_EQ(file.WriteAt(*node, nullptr, 0), ZAR_E_DRIVER);
    EXPECT_EQ(clip->Lookups(), 0);  // each operation let go of the item

    // A callback clip over a callback item: the item is found by its file.
    auto* outer = new CClipItem;
    ASSERT_EQ(outer->CreateCallback(MapToHandle, clip->Handle(), 10), ZAR_OK);
    EXPECT_TRUE(outer->IsCallbackClip());
    EXPECT_FALSE(clip->IsCallbackClip());
    EXPECT_EQ(outer->GetFieldSize(0), 15);  // outer field 0 -> item field 1 -> file field 5
    outer->Release();

    // An item that is not a clip item (whatever type it claims), a
    // released handle: -9.
    for (uint32_t type : {101u, CClipItem::kType}) {
        auto* other = new OtherItem(type);
        CZarCallbackFile onOther(nullptr, MapToHandle, other->Handle(), 50);
        EXPECT_EQ(onOther.GetFillNode(0, &node), ZAR_E_BAD_HANDLE) << type;
        EXPECT_EQ(other->Lookups(), 0);
        other->Release();
    }
    const uint32_t gone = clip->Handle();
    clip->Release();
    EXPECT_EQ(file.FillFieldToBoard(0, kSlot), ZAR_E_BAD_HANDLE);
    EXPECT_EQ(CZarCallbackFile(nullptr, MapToHandle, gone, 50).GetFillFieldSize(0), uint32_t(ZAR_E_BAD_HANDLE));
}

TEST(CallbackClip, ACallbackThatMapsNothingOrNamesNoHandleGivesMinus90)
{
    for (uint32_t handle : {0u, 0xFFFFFFFFu}) {
        CZarCallbackFile file(nullptr, MapToHandle, handle, 50);
        ZAR_FIELD_LOCATION* node = nullptr;
        uint32_t target, block, sectors;
        EXPECT_EQ(file.GetFillNode(0, &node), -90);
        EXPECT_EQ(file.FillFieldToBoard(0, kSlot), -90);
        EXPECT_EQ(file.FillFieldToBoardSync(0, kSlot), -90);
        EXPECT_EQ(file.ReadFillField(0, nullptr, 0), -90);
        EXPECT_EQ(file.GetFillFieldSize(0), uint32_t(-90));
        EXPECT_EQ(file.GetFieldPlacement(0, &target, &block, &sectors), -90);
        EXPECT_EQ(file.IsFillUncompressed(), 0u);
    }
    CZarCallbackFile none(nullptr, MapNothing, 0, 50);
    ZAR_FIELD_LOCATION* node = nullptr;
    EXPECT_EQ(none.GetFillNode(3, &node), -90);
}

// ---- clip items over the files with no storage ----

namespace {

struct ItemPtr {
    CClipItem* item;
    explicit ItemPtr(CBoardConnection* connection) : item(new CClipItem(connection)) {}
    ~ItemPtr() { item->Release(); }
    CClipItem* operator->() const { return item; }
};

uint32_t MapToZero(uint32_t, uint32_t, uint32_t* item, uint32_t* itemField)
{
    *item = 0;
    *itemField = 0;
    return 1;
}

}  // namespace

TEST_F(VirtualClip, VirtualItemsPlayBlackOrTheUserFrameOverTheirWholeLength)
{
    for (uint32_t kind : {0u, 3u}) {
        ItemPtr black(connection_.get());
        ASSERT_EQ(black->CreateVirtual(kind, CZarVirtualBlackFile::kUncompressedSectors525, 7), ZAR_OK) << kind;
        EXPECT_EQ(black->Length(), 14u);
        EXPECT_EQ(black->In(), 0u);
        EXPECT_EQ(black->Out(), 14u);
        EXPECT_TRUE(black->Name().empty());
        EXPECT_FALSE(black->IsKey());
        auto* file = dynamic_cast<CZarVirtualBlackFile*>(black->File());
        ASSERT_NE(file, nullptr);
        // Kind 3 is the key picture: opaque white, not black.
        const uint32_t word = *reinterpret_cast<const uint32_t*>(file->Image());
        EXPECT_EQ(word, kind == 3 ? CZarVirtualBlackFile::kKeyWord : CZarVirtualBlackFile::kBlackWord) << kind;
        EXPECT_EQ(black->FieldToBoard(13, kSlot), ZAR_OK);
        EXPECT_EQ(black->GetFieldSize(14), ZAR_E_DRIVER);
    }

    // Kind 2: the clip the board's shared record names, looped over its
    // first frame for the whole length.
    const std::u16string path = u"C:\\frames\\user.clp";
    ItemPtr unnamed(connection_.get());
    EXPECT_EQ(unnamed->CreateVirtual(2, 20, 5), ZAR_E_BAD_ARGUMENT);  // no shared record
    auto shared = std::make_unique<ZAR_BOARD_SHARED>();
    connection_->m_pShared = shared.get();
    EXPECT_EQ(unnamed->CreateVirtual(2, 20, 5), ZAR_E_BAD_ARGUMENT);  // no name in it
    std::copy(path.begin(), path.end(), shared->UserVirtualFrame);
    auto* clip = new MemoryClipFile(GrowingSizes(8), nullptr, path);
    {
        ItemPtr user(connection_.get());
        ASSERT_EQ(user->CreateVirtual(2, 20, 5), ZAR_OK);
        EXPECT_EQ(user->File(), clip);
        EXPECT_EQ(clip->opens, 1u);
        EXPECT_EQ(user->Name(), path);
        EXPECT_EQ(user->Length(), 10u);
        EXPECT_EQ(user->Flags() & ZAR_CLIP_ITEM_LOOP, ZAR_CLIP_ITEM_LOOP);
        for (uint32_t n : {0u, 1u, 8u, 9u}) EXPECT_EQ(user->GetFieldSize(n), int32_t(10 + (n & 1))) << n;
    }
    clip->Release();
    connection_->m_pShared = nullptr;
}

TEST_F(VirtualClip, CreatorsRefuseUnknownKindsNoFramesAndNoCallback)
{
    struct Case {
        const char* what;
        int32_t (*create)(CClipItem&);
        int32_t expected;
    } cases[] = {
        {"virtual kind 1", [](CClipItem& i) { return i.CreateVirtual(1, 20, 5); }, ZAR_E_DRIVER},
        {"virtual kind 4", [](CClipItem& i) { return i.CreateVirtual(4, 20, 5); }, ZAR_E_DRIVER},
        {"black of no frames", [](CClipItem& i) { return i.CreateVirtual(0, 20, 0); }, ZAR_E_BAD_ARGUMENT},
        {"black of 2^31 frames", [](CClipItem& i) { return i.CreateVirtual(0, 20, 0x80000000u); },
         ZAR_E_BAD_ARGUMENT},
        {"callback of none", [](CClipItem& i) { return i.CreateCallback(nullptr, 0, 5); }, ZAR_E_BAD_ARGUMENT},
        {"callback of no frames", [](CClipItem& i) { return i.CreateCallback(MapToZero, 0, 0); },
         ZAR_E_BAD_ARGUMENT},
        {"memory file of no frames", [](CClipItem& i) { return i.CreateMemfile("ItemRingA", "ItemRingAEv", 20, 8, 0); },
         ZAR_E_BAD_ARGUMENT},
        {"memory file of 6 slots", [](CClipItem& i) { return i.CreateMemfile("ItemRingB", "ItemRingBEv", 20, 6, 5); },
         ZAR_E_BAD_ARGUMENT},
    };
    for (const Case& c : cases) {
        ItemPtr item(connection_.get());
        EXPECT_EQ(c.create(*item.item), c.expected) << c.what;
        EXPECT_EQ(item->Length(), 0u) << c.what;
    }
    ItemPtr callback(connection_.get());
    ASSERT_EQ(callback->CreateCallback(MapToZero, 0, 6), ZAR_OK);
    EXPECT_EQ(callback->Length(), 12u);
    EXPECT_EQ(callback->Out(), 12u);
    EXPECT_TRUE(callback->Name().empty());
    EXPECT_EQ(callback->GetFieldSize(0), CZarCallbackFile::kNothingMapped);
}

TEST_F(VirtualClip, AMemoryFileItemWritesTheRingALiveSourceItemReads)
{
    ItemPtr sink(connection_.get());
    ASSERT_EQ(sink->CreateMemfile("ItemRing", "ItemRingEvent", 20, 8, 100), ZAR_OK);
    EXPECT_EQ(sink->Length(), 200u);
    EXPECT_EQ(sink->Out(), 200u);
    EXPECT_NE(dynamic_cast<CSysLiveSinkVideoFile*>(sink->File()), nullptr);
    // One writer a ring.
    ItemPtr second(connection_.get());
    EXPECT_EQ(second->CreateMemfile("ItemRing", "ItemRingEvent2", 20, 8, 100), ZAR_E_DRIVER);

    CSysLiveSourceSync sync(connection_.get());
    CSysLiveSourceRecord queue;
    ItemPtr source(connection_.get());
    ASSERT_EQ(source->CreateLiveSource(&sync, &queue, "ItemRing", 50), ZAR_OK);
    EXPECT_EQ(source->Length(), 100u);
    EXPECT_EQ(source->Out(), 100u);
    auto* file = dynamic_cast<CSysLiveSourceVideoFile*>(source->File());
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->Slots(), 8u);

    ItemPtr noRing(connection_.get());
    EXPECT_EQ(noRing->CreateLiveSource(&sync, nullptr, "ItemRingNone", 50), ZAR_E_DRIVER);
    EXPECT_EQ(noRing->CreateLiveSource(&sync, nullptr, "ItemRing", 0), ZAR_E_BAD_ARGUMENT);
    EXPECT_EQ(noRing->Length(), 0u);
}
