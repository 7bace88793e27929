// Every export of the library's table walked through its frame: a closed
// board handle, an unknown item or stream handle, a record one byte short
// and a read-only record are refused with nothing written, the stream and
// item handles of the insert calls are tested for their classes, and the
// exports whose work is not built yet fail with -1 and one debug line that
// names them. The library's own archive runs in this program, on a machine
// with a stand-in board.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "include/zardll.h"
#include "lib/api/zar_app.h"
#include "include/zarply.h"
#include "lib/api/zar_export_table.h"
#include "lib/play/zar_play_item.h"
#include "platform/host/embedded_machine.h"
#include "sim/pci_layouts.h"
#include "tests/lib/api/fake_board.h"

namespace {

constexpr uint32_t kBoard = 7;
constexpr uint32_t kUnknownHandle = 0x7FFFFFF0;

std::string folder;
CZarDll* app = nullptr;

class MachineEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        folder = (std::filesystem::temp_directory_path() / ("zardll-table-" + std::to_string(getpid()))).string();
        std::filesystem::remove_all(folder);
        std::filesystem::create_directories(folder);
        embedded::MachineOptions options;
        options.folder = folder;
        options.pci = sim::BuildTopology(sim::BoardsLayout(1)).topology;
        std::string why;
        ASSERT_TRUE(embedded::BootMachine(options, &why)) << why;
        fakeboard::Install(kBoard);
        fakeboard::SetFileSystemLink(true);
        // The library as its loader sets it up; linked into this program, it
        // is made here, once the machine runs.
        app = new CZarDll;
        ASSERT_TRUE(app->InitInstance());
    }
    void TearDown() override
    {
        app->ExitInstance();
        delete app;
        embedded::ShutdownMachine();
        std::filesystem::remove_all(folder);
    }
};
const bool registered = (::testing::AddGlobalTestEnvironment(new MachineEnvironment), true);

// ---- The table as the tests walk it ----

enum class Shape { OPEN, B, BR, BV, BRR, BVR, BRV, BRRV, BRVV, BRRR, BVRV, BRVR, BRVRV, BSI, BDV, BID, DB, R, RV, V, VV, VVV, VVVV, VR, XR, YUV };
enum class Group { FRAME, PLAY, DEVICE, AUDIO, MEDIA, PENDING, LATER };

struct Row {
    const char* name;
    Shape shape;
    Group group;
    uint32_t size;
    uint32_t older;
    void (*function)();
};

#define ZAR_TEST_ROW(group, name, shape, type, size, older) \
    {#name, Shape::shape, Group::group, size, older, reinterpret_cast<void (*)()>(&name)},
const Row kRows[] = {ZAR_EXPORT_TABLE(ZAR_TEST_ROW)};
#undef ZAR_TEST_ROW

bool TakesBoard(Shape s)
{
    switch (s) {
    case Shape::OPEN:
    case Shape::DB:
    case Shape::R:
    case Shape::RV:
    case Shape::V:
    case Shape::VV:
    case Shape::VVV:
    case Shape::VVVV:
    case Shape::VR:
    case Shape::XR:  // one exception queue for every board: the handle is not used
    case Shape::YUV: return false;
    default: return true;
    }
}
bool TakesObject(Shape s) { return s == Shape::V || s == Shape::VV || s == Shape::VVV || s == Shape::VVVV || s == Shape::VR; }

// Calls the export with the board handle, the object handle, the record and
// a scratch area for any further pointer.
int32_t Call(const Row& row, ZAR_BOARD board, uint32_t object, void* record, void* scratch)
{
    auto f = row.function;
    switch (row.shape) {
    case Shape::OPEN: return reinterpret_cast<int32_t (*)(uint32_t, ZAR_BOARD*)>(f)(kBoard, static_cast<ZAR_BOARD*>(record));
    case Shape::B: return reinterpret_cast<int32_t (*)(ZAR_BOARD)>(f)(board);
    case Shape::BR:
    case Shape::BSI:
    case Shape::XR: return reinterpret_cast<int32_t (*)(ZAR_BOARD, void*)>(f)(board, record);
    case Shape::BV: return reinterpret_cast<int32_t (*)(ZAR_BOARD, uint32_t)>(f)(board, 0);
    case Shape::BRR: return reinterpret_cast<int32_t (*)(ZAR_BOARD, void*, void*)>(f)(board, record, scratch);
    case Shape::BVR: return reinterpret_cast<int32_t (*)(ZAR_BOARD, uint32_t, void*)>(f)(board, 0, record);
    case Shape::BRV: return reinterpret_cast<int32_t (*)(ZAR_BOARD, void*, uint32_t)>(f)(board, record, 0);
    case Shape::BRRV: return reinterpret_cast<int32_t (*)(ZAR_BOARD, void*, void*, uint32_t)>(f)(board, record, scratch, 0);
    case Shape::BRVV: return reinterpret_cast<int32_t (*)(ZAR_BOARD, void*, uint32_t, uint32_t)>(f)(board, record, 0, 0);
    case Shape::BRRR:
        return reinterpret_cast<int32_t (*)(ZAR_BOARD, void*, void*, void*)>(f)(board, record, scratch, scratch);
    case Shape::BVRV: return reinterpret_cast<int32_t (*)(ZAR_BOARD, uint32_t, void*, uint32_t)>(f)(board, 0, record, 0);
    case Shape::BRVR: return reinterpret_cast<int32_t (*)(ZAR_BOARD, void*, uint32_t, void*)>(f)(board, record, 0, scratch);
    case Shape::BRVRV:
        return reinterpret_cast<int32_t (*)(ZAR_BOARD, void*, uint32_t, void*, uint32_t)>(f)(board, record, 0, scratch, 0);
    case Shape::BDV: return reinterpret_cast<int32_t (*)(ZAR_BOARD, double, uint32_t)>(f)(board, 0.0, 0);
    case Shape::BID: return reinterpret_cast<int32_t (*)(ZAR_BOARD, int32_t, double)>(f)(board, 0, 1.0);
    case Shape::DB:
        return reinterpret_cast<int32_t (*)(uint32_t, uint32_t, double*, double*)>(f)(0, 0, nullptr, nullptr);
    case Shape::R: return reinterpret_cast<int32_t (*)(void*)>(f)(record);
    case Shape::RV: return reinterpret_cast<int32_t (*)(void*, uint32_t)>(f)(record, 0);
    case Shape::V: return reinterpret_cast<int32_t (*)(uint32_t)>(f)(object);
    case Shape::VV: return reinterpret_cast<int32_t (*)(uint32_t, uint32_t)>(f)(object, 0);
    case Shape::VVV: return reinterpret_cast<int32_t (*)(uint32_t, uint32_t, uint32_t)>(f)(object, 0, 0);
    case Shape::VVVV: return reinterpret_cast<int32_t (*)(uint32_t, uint32_t, uint32_t, uint32_t)>(f)(object, 0, 0, 0);
    case Shape::VR: return reinterpret_cast<int32_t (*)(uint32_t, void*)>(f)(object, record);
    case Shape::YUV: return reinterpret_cast<int32_t (*)(uint32_t, uint32_t, const void*, void*)>(f)(0, 0, scratch, scratch);
    }
    return 0;
}

// Two pages: the first readable and writable, the second not accessible, so
// that a record ending at the page's end is one whose next byte faults.
class GuardedPages {
public:
    GuardedPages()
    {
        base_ = static_cast<uint8_t*>(mmap(nullptr, 2 * kPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        mprotect(base_ + kPage, kPage, PROT_NONE);
    }
    ~GuardedPages() { munmap(base_, 2 * kPage); }
    GuardedPages(const GuardedPages&) = delete;
    GuardedPages& operator=(const GuardedPages&) = delete;
    // 'bytes' at the end of the first page, filled with 'fill'.
    uint8_t* Tail(size_t bytes, uint8_t fill)
    {
        mprotect(base_, kPage, PROT_READ | PROT_WRITE);
        std::memset(base_, fill, kPage);
        return base_ + kPage - bytes;
    }
    void ReadOnly() { mprotect(base_, kPage, PROT_READ); }
    // True when every byte of the first page is still 'fill'.
    bool Untouched(uint8_t fill) const
    {
        for (size_t i = 0; i < kPage; ++i)
            if (base_[i] != fill) return false;
        return true;
    }

private:
    static constexpr size_t kPage = 4096;
    uint8_t* base_;
};

class TestItem : public CPlayItem {
public:
    TestItem() : CPlayItem(10) {}
    uint32_t GetType() const override { return 1; }
};

class ExportTable : public ::testing::Test {
protected:
    void SetUp() override
    {
        fakeboard::ResetOrders();
        stream_ = new CPlayStream;
        item_ = new TestItem;
        ASSERT_EQ(ZarDcOpenEx(kBoard, &board_), ZAR_OK);
    }
    void TearDown() override
    {
        stream_->Release();
        item_->Release();
        ZarDcClose(board_);
    }
    ZAR_BOARD board_ = nullptr;
    CPlayStream* stream_ = nullptr;
    TestItem* item_ = nullptr;
    uint8_t scratch_[4096] = {};
};

TEST(ExportTableRows, TheTableHoldsTheLibrarysExportsOnceEach)
{
    EXPECT_EQ(std::size(kRows), 281u);
    for (size_t i = 0; i < std::size(kRows); ++i)
        for (size_t j = i + 1; j < std::size(kRows); ++j) EXPECT_STRNE(kRows[i].name, kRows[j].name);
}

TEST_F(ExportTable, AClosedBoardHandleOrAnUnknownObjectIsRefusedAndNothingIsWritten)
{
    ZAR_BOARD closed = nullptr;
    ASSERT_EQ(ZarDcOpenEx(kBoard, &closed), ZAR_OK);
    ASSERT_EQ(ZarDcClose(closed), ZAR_OK);
    for (const Row& row : kRows) {
        if (!TakesBoard(row.shape) && !TakesObject(row.shape) && row.shape != Shape::R) continue;
        if (std::strcmp(row.name, "ZarPlyIsStreamEmpty") == 0) continue;  // answers 1 ("empty") for any unknown handle
        SCOPED_TRACE(row.name);
        uint8_t record[1200];
        std::memset(record, 0xA5, sizeof record);
        std::memcpy(record, &kUnknownHandle, sizeof kUnknownHandle);
        if (row.shape == Shape::BSI) {
            const ZAR_STREAM_ITEM entry{stream_->Handle(), item_->Handle(), 0};
            std::memcpy(record, &entry, sizeof entry);
        }
        uint8_t before[sizeof record];
        std::memcpy(before, record, sizeof record);
        EXPECT_EQ(Call(row, closed, kUnknownHandle, record, scratch_), ZAR_E_BAD_HANDLE);
        EXPECT_EQ(std::memcmp(record, before, sizeof record), 0);
    }
}

TEST_F(ExportTable, ARecordShortByOneByteOrReadOnlyIsRefusedAndNothingIsWritten)
{
    ZAR_BOARD older = nullptr;
    ASSERT_EQ(ZarDcOpen(kBoard, &older), ZAR_OK);
    GuardedPages pages;
    for (const Row& row : kRows) {
        if (row.size == 0 || row.shape == Shape::XR) continue;
        SCOPED_TRACE(row.name);
        for (ZAR_BOARD handle : {board_, older}) {
            const uint32_t size = handle == older && row.older ? row.older : row.size;
            uint8_t* shortRecord = pages.Tail(size - 1, 0x5A);
            EXPECT_EQ(Call(row, handle, kUnknownHandle, shortRecord, scratch_), ZAR_E_BAD_ARGUMENT);
            EXPECT_TRUE(pages.Untouched(0x5A));
            uint8_t* readOnly = pages.Tail(size, 0x5A);
            pages.ReadOnly();
            EXPECT_EQ(Call(row, handle, kUnknownHandle, readOnly, scratch_), ZAR_E_BAD_ARGUMENT);
        }
    }
    ZarDcClose(older);
}

TEST_F(ExportTable, SwappedStreamAndItemHandlesAreRefusedByEveryInsertRemoveAndReposition)
{
    size_t walked = 0;
    for (const Row& row : kRows) {
        if (row.shape != Shape::BSI) continue;
        SCOPED_TRACE(row.name);
        ZAR_STREAM_ITEM swapped{item_->Handle(), stream_->Handle(), 0};
        EXPECT_EQ(Call(row, board_, 0, &swapped, scratch_), ZAR_E_BAD_HANDLE);
        ZAR_STREAM_ITEM unknownItem{stream_->Handle(), kUnknownHandle, 0};
        EXPECT_EQ(Call(row, board_, 0, &unknownItem, scratch_), ZAR_E_BAD_HANDLE);
        ++walked;
    }
    EXPECT_EQ(walked, 39u);
    EXPECT_TRUE(stream_->IsEmpty());
}

TEST_F(ExportTable, AnExportNotBuiltYetFailsWithMinusOneAndOneDebugLineNamingIt)
{
    for (const Row& row : kRows) {
        if (row.group != Group::LATER && row.group != Group::PENDING) continue;
        SCOPED_TRACE(row.name);
        std::memset(scratch_, 0, sizeof scratch_);
        uint8_t record[1200] = {};
        const uint32_t stream = stream_->Handle();
        std::memcpy(record, &stream, sizeof stream);
        if (row.shape == Shape::BSI) {
            const ZAR_STREAM_ITEM entry{stream_->Handle(), item_->Handle(), 0};
            std::memcpy(record, &entry, sizeof entry);
        }
        testing::internal::CaptureStderr();
        const int32_t result = Call(row, board_, stream, record, scratch_);
        const std::string line = testing::internal::GetCapturedStderr();
        EXPECT_EQ(result, ZAR_E_DRIVER);
        EXPECT_EQ(line, std::string(row.name) + ": not available in this version of the library\n");
    }
}

}  // namespace
