// The clip files with no storage: black of any length (uncompressed or the
// built-in empty picture, sent to the board from host memory), and the
// callback clip that plays whatever field of whatever clip item the
// application names.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "lib/api/zar_connection.h"
#include "lib/play/zar_callback_file.h"
#include "lib/play/zar_empty_field.h"
#include "lib/play/zar_play_item.h"
#include "lib/play/zar_virtual_black_file.h"
#include "tests/drivers/mediafs/mediafs_machine.h"

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

// A clip item stand-in: its field operations record what they were asked.
class FakeClipItem : public CPlayItem {
public:
    explicit FakeClipItem(uint32_t type) : m_type(type) {}
    uint32_t GetType() const override { return m_type; }
    uint32_t m_type;
    ZAR_FIELD_LOCATION location{{7, 8}, 3, 1};
    uint32_t lastField = 0xFFFFFFFF;
};

FakeClipItem* Fake(CPlayItem* item) { return static_cast<FakeClipItem*>(item); }

const ZAR_CLIP_ITEM_FIELD_OPS kFakeOps = {
    [](CPlayItem* i, uint32_t f, ZAR_FIELD_LOCATION** node) {
        Fake(i)->lastField = f;
        *node = &Fake(i)->location;
        return int32_t(ZAR_OK);
    },
    [](CPlayItem* i, uint32_t f, uint32_t, uint32_t) { return int32_t((Fake(i)->lastField = f, ZAR_OK)); },
    [](CPlayItem* i, uint32_t f, uint32_t, uint32_t, uint32_t) { return int32_t((Fake(i)->lastField = f, ZAR_OK)); },
    [](CPlayItem* i, uint32_t f, void*, uint32_t) { return int32_t((Fake(i)->lastField = f, ZAR_OK)); },
    [](CPlayItem* i, uint32_t f) { return (Fake(i)->lastField = f, 3u); },
    [](CPlayItem* i, uint32_t f, uint32_t*, uint32_t*, uint32_t*) { return int32_t((Fake(i)->lastField = f, 1)); },
    [](CPlayItem*) { return 1u; },
    [](CPlayItem* i, uint32_t f) { return (Fake(i)->lastField = f, 1u); },
};

// Context: the handle to name; fields map to field + 100 of it.
uint32_t MapToHandle(uint32_t context, uint32_t field, uint32_t* item, uint32_t* itemField)
{
    *item = context;
    *itemField = field + 100;
    return 1;
}
uint32_t MapNothing(uint32_t, uint32_t, uint32_t*, uint32_t*) { return 0; }

}  // namespace

TEST(CallbackClip, EveryFieldOperationRunsOnTheNamedClipItemAtItsMappedField)
{
    CZarCallbackFile::SetClipItemOps(&kFakeOps);
    auto* clip = new FakeClipItem(CZarCallbackFile::kClipItemType);
    auto* audio = new FakeClipItem(101);
    CZarCallbackFile file(nullptr, MapToHandle, clip->Handle(), 50);
    EXPECT_EQ(file.GetFrameCount(), 50u);
    ZAR_FIELD_LOCATION* node = nullptr;
    ASSERT_EQ(file.GetFillNode(5, &node), ZAR_OK);
    EXPECT_EQ(node, &clip->location);
    EXPECT_EQ(clip->lastField, 105u);
    EXPECT_EQ(file.FillFieldToBoard(6, kSlot), ZAR_OK);
    EXPECT_EQ(clip->lastField, 106u);
    EXPECT_EQ(file.FillFieldToBoardSync(7, kSlot), ZAR_OK);
    EXPECT_EQ(clip->lastField, 107u);
    EXPECT_EQ(file.ReadFillField(8, nullptr, 0), ZAR_OK);
    EXPECT_EQ(clip->lastField, 108u);
    EXPECT_EQ(file.GetFillFieldSize(9), 3u);
    uint32_t target, block, sectors;
    EXPECT_EQ(file.GetFieldPlacement(10, &target, &block, &sectors), 1);
    EXPECT_EQ(file.IsFillUncompressed(), 1u);
    EXPECT_EQ(clip->lastField, 110u);
    EXPECT_EQ(file.GetFieldParity(12), 1u);
    EXPECT_EQ(clip->lastField, 112u);
    EXPECT_EQ(file.OpenForAccess(GENERIC_READ), ZAR_E_DRIVER);
    EXPECT_EQ(file.WriteAt(*node, nullptr, 0), ZAR_E_DRIVER);
    EXPECT_EQ(clip->Lookups(), 0);  // each operation let go of the item

    // An item that is not a clip item, a released handle: -9.
    CZarCallbackFile onAudio(nullptr, MapToHandle, audio->Handle(), 50);
    EXPECT_EQ(onAudio.GetFillNode(0, &node), ZAR_E_BAD_HANDLE);
    const uint32_t gone = clip->Handle();
    clip->Release();
    EXPECT_EQ(file.FillFieldToBoard(0, kSlot), ZAR_E_BAD_HANDLE);
    EXPECT_EQ(CZarCallbackFile(nullptr, MapToHandle, gone, 50).GetFillFieldSize(0), uint32_t(ZAR_E_BAD_HANDLE));
    audio->Release();
}

TEST(CallbackClip, ACallbackThatMapsNothingOrNamesNoHandleGivesMinus90)
{
    CZarCallbackFile::SetClipItemOps(&kFakeOps);
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
