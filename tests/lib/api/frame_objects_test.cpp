// Handle objects and the exception-packet queue of the library's frame, on
// a machine of their own (their locks, semaphore and mutex are the
// kernel's).
#include <atomic>
#include <vector>

#include "lib/api/zar_app.h"
#include "lib/api/zar_connection.h"
#include "lib/api/zar_exceptions.h"
#include "lib/api/zar_handles.h"
#include "lib/api/zar_option.h"
#include "tests/lib/api/fake_board.h"
#include "tests/platform/win32/w32_machine.h"

namespace {

std::atomic<int> destroyed{0};

class TestItem : public CHandleObject {
public:
    ~TestItem() override { ++destroyed; }
};
class TestStream : public CHandleObject {};

// Runs 'body' on 'threads' Win32 threads at once and waits for all of them.
template <class Body>
void OnThreads(int threads, Body body)
{
    struct Start {
        Body* body;
        HANDLE go;
    } start{&body, CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    auto run = [](LPVOID p) -> DWORD {
        auto* s = static_cast<Start*>(p);
        WaitForSingleObject(s->go, INFINITE);
        (*s->body)();
        return 0;
    };
    std::vector<HANDLE> handles;
    for (int i = 0; i < threads; ++i) handles.push_back(CreateThread(nullptr, 0, run, &start, 0, nullptr));
    SetEvent(start.go);
    WaitForMultipleObjects(DWORD(handles.size()), handles.data(), TRUE, INFINITE);
    for (HANDLE h : handles) CloseHandle(h);
    CloseHandle(start.go);
}

TEST(HandleObjects, AHandleIsACounterAndDereferencingItTwiceIsRefused)
{
    destroyed = 0;
    auto* item = new TestItem;
    const uint32_t handle = item->Handle();
    EXPECT_NE(handle, 0u);
    EXPECT_NE(handle, uint32_t(reinterpret_cast<uintptr_t>(item)));
    EXPECT_EQ(CHandleObject::DereferenceHandle(handle), ZAR_OK);
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(CHandleObject::DereferenceHandle(handle), ZAR_E_BAD_HANDLE);
    EXPECT_EQ(destroyed, 1);
}

TEST(HandleObjects, UnknownValuesAndStaleHandlesAreRefusedEvenWhenTheMemoryIsReused)
{
    auto* first = new TestItem;
    const uint32_t stale = first->Handle();
    ASSERT_EQ(CHandleObject::DereferenceHandle(stale), ZAR_OK);
    auto* second = new TestItem;  // likely in the memory the first had
    EXPECT_NE(second->Handle(), stale);
    for (uint32_t value : {0u, 0xFFFFFFFFu, 1u, stale, second->Handle() + 1000})
        EXPECT_EQ(CHandleObject::DereferenceHandle(value), ZAR_E_BAD_HANDLE) << value;
    CHandleObject* found = nullptr;
    EXPECT_FALSE(CHandleObject::LookupHandle(stale, &found));
    EXPECT_EQ(CHandleObject::DereferenceHandle(second->Handle()), ZAR_OK);
}

TEST(HandleObjects, ALookupOfTheWrongClassFindsNothingAndKeepsNoReference)
{
    auto* stream = new TestStream;
    {
        CHandleRef<TestItem> asItem(stream->Handle());
        EXPECT_FALSE(asItem);
        CHandleRef<TestStream> asStream(stream->Handle());
        ASSERT_TRUE(asStream);
        EXPECT_EQ(stream->Lookups(), 1);
    }
    EXPECT_EQ(stream->Lookups(), 0);
    EXPECT_EQ(stream->References(), 1);
    EXPECT_EQ(CHandleObject::DereferenceHandle(stream->Handle()), ZAR_OK);
}

TEST(HandleObjects, AnObjectInUseOutlivesItsLastDereferenceAndGoesWithTheUser)
{
    destroyed = 0;
    auto* item = new TestItem;
    const uint32_t handle = item->Handle();
    {
        CHandleRef<TestItem> inUse(handle);
        ASSERT_TRUE(inUse);
        EXPECT_EQ(CHandleObject::DereferenceHandle(handle), ZAR_OK);
        EXPECT_EQ(destroyed, 0);
        EXPECT_EQ(CHandleObject::DereferenceHandle(handle), ZAR_E_BAD_HANDLE);  // already left the map
        EXPECT_EQ(inUse->References(), 0);
    }
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(CHandleObject::DereferenceHandle(handle), ZAR_E_BAD_HANDLE);
}

TEST(HandleObjects, RacingDereferencesAndLookupsDeleteEachObjectExactlyOnce)
{
    destroyed = 0;
    constexpr int kRounds = 200;
    const size_t before = CHandleObject::LiveHandles();
    for (int round = 0; round < kRounds; ++round) {
        auto* item = new TestItem;
        item->Reference();  // two owners, each dropping one
        const uint32_t handle = item->Handle();
        std::atomic<int> refused{0};
        OnThreads(4, [&] {
            CHandleRef<TestItem> look(handle);  // a user beside the two owners
            if (CHandleObject::DereferenceHandle(handle) != ZAR_OK) ++refused;
        });
        // Four dereferences of two references: two refused however the
        // lookups interleave, and one deletion, after the last user.
        ASSERT_EQ(refused, 2) << "round " << round;
        ASSERT_EQ(destroyed, round + 1) << "round " << round;
    }
    EXPECT_EQ(CHandleObject::LiveHandles(), before);
}

ZAR_EXCEPTION_PACKET Packet(uint32_t n) { return ZAR_EXCEPTION_PACKET{n, n * 2, 1, 0x10000 + n, n, {n, 0, 0, 0}}; }

TEST(ExceptionQueue, ThirtyThreePacketsKeepTheFirstThirtyTwoInOrder)
{
    CExceptionPacketQueue* queue = CExceptionPacketQueue::Create();
    ASSERT_NE(queue, nullptr);
    for (uint32_t n = 0; n < 32; ++n) ASSERT_EQ(queue->PutPacket(Packet(n)), 1);
    EXPECT_EQ(queue->PutPacket(Packet(32)), 0);
    for (uint32_t n = 0; n < 32; ++n) ASSERT_EQ(WaitForSingleObject(queue->Semaphore(), 0), WAIT_OBJECT_0) << n;
    EXPECT_EQ(WaitForSingleObject(queue->Semaphore(), 0), WAIT_TIMEOUT);  // the dropped one counted nothing
    for (uint32_t n = 0; n < 32; ++n) {
        ZAR_EXCEPTION_PACKET got{};
        ASSERT_EQ(queue->GetPacket(&got), 1);
        EXPECT_EQ(got.Kind, n);
        EXPECT_EQ(got.Stream, 0x10000 + n);
    }
    ZAR_EXCEPTION_PACKET none{};
    EXPECT_EQ(queue->GetPacket(&none), 0);
    delete queue;
}

TEST(ExceptionQueue, PacketsComeOutInOrderAcrossTheWrap)
{
    CExceptionPacketQueue* queue = CExceptionPacketQueue::Create();
    ASSERT_NE(queue, nullptr);
    uint32_t next = 0, expected = 0;
    for (int batch : {20, 25, 30}) {
        for (int i = 0; i < batch; ++i) ASSERT_EQ(queue->PutPacket(Packet(next++)), 1);
        for (int i = 0; i < batch; ++i) {
            ZAR_EXCEPTION_PACKET got{};
            ASSERT_EQ(queue->GetPacket(&got), 1);
            ASSERT_EQ(got.Kind, expected++);
            EXPECT_EQ(WaitForSingleObject(queue->Semaphore(), 0), WAIT_OBJECT_0);
        }
    }
    delete queue;
}

TEST(ExceptionQueue, PostersOnManyThreadsLoseNothingWhileThereIsRoom)
{
    CExceptionPacketQueue* queue = CExceptionPacketQueue::Create();
    ASSERT_NE(queue, nullptr);
    std::atomic<uint32_t> next{0};
    OnThreads(4, [&] {
        for (int i = 0; i < 8; ++i) queue->PutPacket(Packet(next++));
    });
    std::vector<bool> seen(32, false);
    ZAR_EXCEPTION_PACKET got{};
    while (queue->GetPacket(&got)) seen.at(got.Kind) = true;
    for (uint32_t n = 0; n < 32; ++n) EXPECT_TRUE(seen[n]) << n;
    delete queue;
}

// ---- Board connections and device requests ----

class DeviceRequests : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        static bool installed = false;
        if (!installed) fakeboard::Install(7);
        installed = true;
    }
    void SetUp() override { fakeboard::ResetOrders(); }
};

struct PendingSender {
    HANDLE device;
    BOOL result = FALSE;
    static DWORD Run(LPVOID p)
    {
        auto* s = static_cast<PendingSender*>(p);
        DWORD returned = 0;
        s->result = SendDeviceRequest(s->device, fakeboard::kHoldCode, nullptr, 0, nullptr, 0, &returned, nullptr);
        return 0;
    }
};

void WaitUntilHeld()
{
    while (!fakeboard::held.load()) Sleep(1);
}

TEST_F(DeviceRequests, WithoutOverlappedARequestWaitsUntilTheDriverCompletesIt)
{
    HANDLE device = OpenBoardDevice(kBoardDevicePrefix, 7);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    PendingSender sender{device};
    HANDLE thread = CreateThread(nullptr, 0, PendingSender::Run, &sender, 0, nullptr);
    WaitUntilHeld();
    EXPECT_EQ(WaitForSingleObject(thread, 100), WAIT_TIMEOUT) << "returned while the request was pending";
    ASSERT_TRUE(fakeboard::CompleteHeld());
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(sender.result);
    CloseHandle(thread);
    CloseHandle(device);
}

TEST_F(DeviceRequests, WithTheCallersOverlappedAPendingRequestReturnsAtOnceAsSuccess)
{
    HANDLE device = OpenBoardDevice(kBoardDevicePrefix, 7);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD returned = 0;
    EXPECT_TRUE(SendDeviceRequest(device, fakeboard::kHoldCode, nullptr, 0, nullptr, 0, &returned, &overlapped));
    EXPECT_EQ(overlapped.Internal, ULONG_PTR(STATUS_PENDING));
    WaitUntilHeld();
    ASSERT_TRUE(fakeboard::CompleteHeld());
    EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, INFINITE), WAIT_OBJECT_0);
    // A request the driver refuses is a failure in both forms.
    fakeboard::orders.allFail = true;
    ResetEvent(overlapped.hEvent);
    EXPECT_FALSE(SendDeviceRequest(device, IOCTL_ZAR_GET_BOARD_STATE, nullptr, 0, &returned, 4, &returned, &overlapped));
    EXPECT_FALSE(SendDeviceRequest(device, IOCTL_ZAR_GET_BOARD_STATE, nullptr, 0, &returned, 4, &returned, nullptr));
    CloseHandle(overlapped.hEvent);
    CloseHandle(device);
}

TEST_F(DeviceRequests, AConnectionNamesItsBoardsDevicesAndEventByTheBoardsDigit)
{
    EXPECT_EQ(BoardObjectName(kBoardDevicePrefix, 3), "\\\\.\\KIVZAR3");
    EXPECT_EQ(BoardObjectName(kFileSystemDevicePrefix, 3), "\\\\.\\ZarFsDevice3");
    EXPECT_EQ(BoardObjectName(kIoDevicePrefix, 3), "\\\\.\\ZARIO3");
    EXPECT_EQ(BoardObjectName(ZAR_ABORT_EVENT_PREFIX, 3), "KIVZARRECEVENTABORT3");
    const size_t before = CBoardConnection::CountInList();
    {
        fakeboard::SetFileSystemLink(false);
        CBoardConnection connection(7);  // the fake board, no file system, no option
        EXPECT_NE(connection.m_hBoard, INVALID_HANDLE_VALUE);
        EXPECT_EQ(connection.m_hFileSystem, INVALID_HANDLE_VALUE);
        EXPECT_EQ(connection.m_hIo, INVALID_HANDLE_VALUE);
        EXPECT_NE(connection.m_hAbortEvent, nullptr);
        HANDLE abort = OpenEventA(SYNCHRONIZE, FALSE, "KIVZARRECEVENTABORT7");
        EXPECT_NE(abort, nullptr) << "the abort event is named for the board";
        if (abort) CloseHandle(abort);
        // Without the option every request on its device fails.
        uint32_t state = 0;
        EXPECT_FALSE(SendOptionRequest(connection, 0x222054, &state, sizeof state));
        EXPECT_EQ(CBoardConnection::CountInList(), before + 1);
        const auto* head = reinterpret_cast<const ZAR_BOARD_CONNECTION_HEAD*>(connection.AsHandle());
        EXPECT_EQ(head->Board, 7u);
        EXPECT_EQ(head->BoardDevice, uint32_t(uintptr_t(connection.m_hBoard)));
        EXPECT_EQ(head->IoDevice, 0xFFFFFFFFu);
    }
    EXPECT_EQ(CBoardConnection::CountInList(), before);
    {
        CBoardConnection nothing(5);  // no device of board 5 exists: nothing opened, nothing closed
        EXPECT_EQ(nothing.m_hBoard, INVALID_HANDLE_VALUE);
    }
    EXPECT_EQ(CBoardConnection::CountInList(), before);
}

TEST_F(DeviceRequests, AConnectionEndsItsWorkersByTheAbortEventAndJoinsThem)
{
    struct Worker {
        static DWORD Run(LPVOID p)
        {
            WaitForSingleObject(static_cast<HANDLE>(p), INFINITE);
            return 7;
        }
    };
    HANDLE thread = nullptr;
    {
        CBoardConnection connection(7);
        ResetEvent(connection.m_hAbortEvent);
        HANDLE abortForWorker = OpenEventA(SYNCHRONIZE, FALSE, "KIVZARRECEVENTABORT7");
        ASSERT_NE(abortForWorker, nullptr);
        thread = CreateThread(nullptr, 0, Worker::Run, abortForWorker, 0, nullptr);
        HANDLE kept = nullptr;
        DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(), &kept, 0, FALSE, 2);
        connection.AddWorker(thread);
        thread = kept;
    }
    // The destructor returned only once the worker had ended by itself.
    DWORD code = 0;
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 7u);
    CloseHandle(thread);
}

TEST_F(DeviceRequests, WaitingForAWorkersEndGivesUpAfterThreeSeconds)
{
    struct Worker {
        static DWORD Run(LPVOID p)
        {
            WaitForSingleObject(static_cast<HANDLE>(p), INFINITE);
            return 0;
        }
    };
    HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = CreateThread(nullptr, 0, Worker::Run, stop, 0, nullptr);
    const DWORD start = GetTickCount();
    EXPECT_EQ(CZarDll::WaitForThreadEnd(thread), 0);
    EXPECT_GE(GetTickCount() - start, 3000u);
    SetEvent(stop);
    EXPECT_EQ(CZarDll::WaitForThreadEnd(thread), 1);  // which closed the handle
    CloseHandle(stop);
}

}  // namespace
