// Device requests end to end: Win32 calls in user mode, the kernel's I/O
// manager, and a small driver defined here that completes each request the
// way the caller orders (status, bytes, fill), holds requests pending until
// the test completes them, and serves the direct and neither methods.
#include <atomic>
#include <cstring>

#include "w32_machine.h"

namespace {

constexpr ULONG IOCTL_T_BUFFERED = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG IOCTL_T_IN_DIRECT = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_IN_DIRECT, FILE_ANY_ACCESS);
constexpr ULONG IOCTL_T_OUT_DIRECT = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);
constexpr ULONG IOCTL_T_NEITHER = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_NEITHER, FILE_ANY_ACCESS);
constexpr ULONG IOCTL_T_HOLD = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x804, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr LONGLONG kHoldReadOffset = 0x10000;

// A buffered request's order: fill the output with 'fill' and complete with
// 'status' reporting 'information' bytes.
struct Order {
    NTSTATUS status;
    ULONG information;
    UCHAR fill;
    UCHAR pad[3];
};

// ---- The test driver ----

std::atomic<PIRP> held{nullptr};

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void CancelHeld(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    PIRP expected = irp;
    held.compare_exchange_strong(expected, nullptr);
    Complete(irp, STATUS_CANCELLED, 0);
}

NTSTATUS Hold(PIRP irp)
{
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, CancelHeld);
    held = irp;
    return STATUS_PENDING;
}

NTSTATUS Open(PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS, 0); }

NTSTATUS Control(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    const ULONG in = s->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG out = s->Parameters.DeviceIoControl.OutputBufferLength;
    auto* system = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    switch (s->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_T_BUFFERED: {
        if (in < sizeof(Order)) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
        Order order;
        std::memcpy(&order, system, sizeof order);
        std::memset(system, order.fill, out);
        return Complete(irp, order.status, order.information);
    }
    case IOCTL_T_HOLD: return Hold(irp);
    case IOCTL_T_IN_DIRECT: {
        // The device reads the caller's second buffer in place: count its 0x5A bytes.
        auto* data = static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
        ULONG count = 0;
        for (ULONG i = 0; i < out; ++i) count += data[i] == 0x5A;
        return Complete(irp, STATUS_SUCCESS, count);
    }
    case IOCTL_T_OUT_DIRECT: {
        auto* data = static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
        for (ULONG i = 0; i < out; ++i) data[i] = static_cast<UCHAR>(i);
        return Complete(irp, STATUS_SUCCESS, out);
    }
    case IOCTL_T_NEITHER: {
        // The caller's own pointers: probe, then copy the input reversed.
        auto* from = static_cast<const UCHAR*>(s->Parameters.DeviceIoControl.Type3InputBuffer);
        auto* to = static_cast<UCHAR*>(irp->UserBuffer);
        const ULONG n = in < out ? in : out;
        NTSTATUS status = SehTry([&] {
            ProbeForRead(from, in, 1);
            ProbeForWrite(to, out, 1);
            for (ULONG i = 0; i < n; ++i) to[i] = from[in - 1 - i];
        });
        return Complete(irp, status, NT_SUCCESS(status) ? n : 0);
    }
    default: return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

NTSTATUS Read(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    const LONGLONG offset = s->Parameters.Read.ByteOffset.QuadPart;
    if (offset == kHoldReadOffset) return Hold(irp);
    auto* data = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    for (ULONG i = 0; i < s->Parameters.Read.Length; ++i) data[i] = static_cast<UCHAR>(offset + i);
    return Complete(irp, STATUS_SUCCESS, s->Parameters.Read.Length);
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\Device\\W32Test");
    UNICODE_STRING link = RTL_CONSTANT_STRING(u"\\??\\W32Test");
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) return status;
    driver->MajorFunction[IRP_MJ_CREATE] = Open;
    driver->MajorFunction[IRP_MJ_CLEANUP] = Open;
    driver->MajorFunction[IRP_MJ_CLOSE] = Open;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Control;
    driver->MajorFunction[IRP_MJ_READ] = Read;
    return STATUS_SUCCESS;
}

// Completes the held request as the hardware would, from the test.
void CompleteHeld(NTSTATUS status, ULONG information, UCHAR fill)
{
    PIRP irp = held.exchange(nullptr);
    ASSERT_NE(irp, nullptr) << "no request is held";
    ASSERT_NE(IoSetCancelRoutine(irp, nullptr), nullptr) << "the held request is being cancelled";
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    ULONG length = s->MajorFunction == IRP_MJ_READ ? s->Parameters.Read.Length
                                                    : s->Parameters.DeviceIoControl.OutputBufferLength;
    std::memset(irp->AssociatedIrp.SystemBuffer, fill, length);
    Complete(irp, status, information);
}

// A thread that waits (on the machine clock) until a request is held, then
// completes it.
struct Completer {
    NTSTATUS status;
    ULONG information;
    UCHAR fill;
    static DWORD Run(LPVOID p)
    {
        auto* c = static_cast<Completer*>(p);
        while (!held.load()) Sleep(1);
        Sleep(20);
        CompleteHeld(c->status, c->information, c->fill);
        return 0;
    }
};

class DeviceRequest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        static bool created = false;
        if (!created) {
            PDRIVER_OBJECT driver;
            ASSERT_EQ(IoCreateDriver(u"W32Test", DriverEntry, &driver), STATUS_SUCCESS);
            created = true;
        }
    }
    void SetUp() override
    {
        sync_ = CreateFileA("\\\\.\\W32Test", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        async_ = CreateFileA("\\\\.\\W32Test", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, nullptr);
        ASSERT_NE(sync_, INVALID_HANDLE_VALUE) << GetLastError();
        ASSERT_NE(async_, INVALID_HANDLE_VALUE) << GetLastError();
        event_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    void TearDown() override
    {
        EXPECT_EQ(held.load(), nullptr) << "a test left a request held";
        CloseHandle(event_);
        CloseHandle(async_);
        CloseHandle(sync_);
    }
    HANDLE sync_ = INVALID_HANDLE_VALUE, async_ = INVALID_HANDLE_VALUE, event_ = nullptr;
};

TEST_F(DeviceRequest, BufferedOutputIsCopiedBackOnSuccessAndWarningButNotOnError)
{
    struct Case {
        const char* what;
        NTSTATUS status;
        ULONG information;
        BOOL result;
        DWORD error;
        DWORD copied;
    } cases[] = {
        {"success", STATUS_SUCCESS, 16, TRUE, 0, 16},
        {"success with nothing returned", STATUS_SUCCESS, 0, TRUE, 0, 0},
        {"the whole record", STATUS_SUCCESS, 104, TRUE, 0, 104},
        {"warning: buffer overflow", STATUS_BUFFER_OVERFLOW, 8, FALSE, ERROR_MORE_DATA, 8},
        {"error: invalid parameter", STATUS_INVALID_PARAMETER, 16, FALSE, ERROR_INVALID_PARAMETER, 0},
        {"error: device not ready", STATUS_DEVICE_NOT_READY, 4, FALSE, ERROR_NOT_READY, 0},
        {"error: a Win32 error carried in a status", static_cast<NTSTATUS>(0xC0070000 | ERROR_BUSY), 4, FALSE,
         ERROR_BUSY, 0},
    };
    for (bool overlapped : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.what) + (overlapped ? " (overlapped)" : " (synchronous)"));
            Order order{c.status, c.information, 0xA5, {}};
            UCHAR out[104];
            std::memset(out, 0xEE, sizeof out);
            DWORD returned = 0xDEAD;
            OVERLAPPED ov{};
            ov.hEvent = event_;
            SetLastError(0x1234);
            BOOL ok = DeviceIoControl(overlapped ? async_ : sync_, IOCTL_T_BUFFERED, &order, sizeof order, out,
                                      sizeof out, &returned, overlapped ? &ov : nullptr);
            EXPECT_EQ(ok, c.result);
            if (!c.result) {
                EXPECT_EQ(GetLastError(), c.error);
            }
            EXPECT_EQ(returned, c.copied);
            for (DWORD i = 0; i < sizeof out; ++i)
                ASSERT_EQ(out[i], i < c.copied ? 0xA5 : 0xEE) << "byte " << i;
            if (overlapped) {
                EXPECT_EQ(static_cast<NTSTATUS>(ov.Internal), c.status);
                DWORD transferred = 0;
                EXPECT_EQ(GetOverlappedResult(async_, &ov, &transferred, FALSE), c.result);
            }
        }
    }
}

TEST_F(DeviceRequest, DirectAndNeitherMethodsWorkOnTheCallersBuffers)
{
    UCHAR data[3 * 4096];
    std::memset(data, 0, sizeof data);
    for (DWORD i = 100; i < sizeof data; i += 100) data[i] = 0x5A;  // spans three pages
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(sync_, IOCTL_T_IN_DIRECT, nullptr, 0, data, sizeof data, &returned, nullptr));
    EXPECT_EQ(returned, (sizeof data - 1) / 100);

    UCHAR out[300];
    ASSERT_TRUE(DeviceIoControl(sync_, IOCTL_T_OUT_DIRECT, nullptr, 0, out, sizeof out, &returned, nullptr));
    EXPECT_EQ(returned, sizeof out);
    for (DWORD i = 0; i < sizeof out; ++i) ASSERT_EQ(out[i], static_cast<UCHAR>(i));

    const char in[] = "abcdef";
    char reversed[6] = {};
    ASSERT_TRUE(DeviceIoControl(sync_, IOCTL_T_NEITHER, const_cast<char*>(in), 6, reversed, 6, &returned, nullptr));
    EXPECT_EQ(returned, 6u);
    EXPECT_EQ(std::string(reversed, 6), "fedcba");
    // A bad pointer reaches the driver as it is; its probe refuses it.
    EXPECT_FALSE(DeviceIoControl(sync_, IOCTL_T_NEITHER, const_cast<char*>(in), 6,
                                 reinterpret_cast<void*>(0xFFFFF000), 6, &returned, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_NOACCESS);
}

TEST_F(DeviceRequest, PendingRequestEndsThroughTheEventAndGetOverlappedResult)
{
    for (bool fails : {false, true}) {
        SCOPED_TRACE(fails ? "completed with an error" : "completed with success");
        UCHAR out[32];
        std::memset(out, 0xEE, sizeof out);
        OVERLAPPED ov{};
        ov.hEvent = event_;
        SetEvent(event_);  // the request must clear it
        DWORD returned = 0xDEAD;
        EXPECT_FALSE(DeviceIoControl(async_, IOCTL_T_HOLD, nullptr, 0, out, sizeof out, &returned, &ov));
        EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
        EXPECT_EQ(WaitForSingleObject(event_, 0), WAIT_TIMEOUT);
        DWORD transferred = 0xDEAD;
        EXPECT_FALSE(GetOverlappedResult(async_, &ov, &transferred, FALSE));
        EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);

        CompleteHeld(fails ? STATUS_IO_DEVICE_ERROR : STATUS_SUCCESS, fails ? 0 : 12, 0x3C);
        EXPECT_EQ(WaitForSingleObject(event_, 1000), WAIT_OBJECT_0);
        EXPECT_EQ(GetOverlappedResult(async_, &ov, &transferred, TRUE), fails ? FALSE : TRUE);
        if (fails) {
            EXPECT_EQ(GetLastError(), ERROR_IO_DEVICE);
        }
        EXPECT_EQ(transferred, fails ? 0u : 12u);
        for (DWORD i = 0; i < sizeof out; ++i) ASSERT_EQ(out[i], !fails && i < 12 ? 0x3C : 0xEE) << "byte " << i;
    }
}

TEST_F(DeviceRequest, WithoutOverlappedOnAnOverlappedHandleTheCallWaitsForTheEnd)
{
    Completer completer{STATUS_SUCCESS, 4, 0x11};
    HANDLE thread = CreateThread(nullptr, 0, Completer::Run, &completer, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    UCHAR out[8] = {};
    DWORD returned = 0;
    const DWORD start = GetTickCount();
    EXPECT_TRUE(DeviceIoControl(async_, IOCTL_T_HOLD, nullptr, 0, out, sizeof out, &returned, nullptr));
    EXPECT_GE(GetTickCount() - start, 20u);
    EXPECT_EQ(returned, 4u);
    EXPECT_EQ(out[3], 0x11);
    EXPECT_EQ(out[4], 0);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    CloseHandle(thread);
}

// Without an event in the OVERLAPPED the file handle itself is what ends
// the wait: it is signalled when the request on it ends.
TEST_F(DeviceRequest, AnOverlappedHandleIsSignalledWhenItsRequestEnds)
{
    OVERLAPPED ov{};
    UCHAR out[8] = {};
    EXPECT_FALSE(DeviceIoControl(async_, IOCTL_T_HOLD, nullptr, 0, out, sizeof out, nullptr, &ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_EQ(WaitForSingleObject(async_, 0), WAIT_TIMEOUT);
    HANDLE both[] = {event_, async_};
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_TIMEOUT);
    CompleteHeld(STATUS_SUCCESS, 5, 0x77);
    EXPECT_EQ(WaitForSingleObject(async_, 1000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 1000), WAIT_OBJECT_0 + 1);
    DWORD transferred = 0;
    EXPECT_TRUE(GetOverlappedResult(async_, &ov, &transferred, TRUE));
    EXPECT_EQ(transferred, 5u);
    EXPECT_EQ(out[4], 0x77);
}

// The caller's event says the request ended, whatever its status block
// still holds.
TEST_F(DeviceRequest, GetOverlappedResultTrustsASignalledEvent)
{
    OVERLAPPED ov{};
    ov.Internal = static_cast<ULONG_PTR>(STATUS_PENDING);
    ov.InternalHigh = 0xABCD;
    ov.hEvent = event_;
    SetEvent(event_);
    DWORD transferred = 0;
    EXPECT_TRUE(GetOverlappedResult(async_, &ov, &transferred, TRUE));
    EXPECT_EQ(transferred, 0xABCDu);
}

TEST_F(DeviceRequest, CancelIoEndsAHeldRequestAsAborted)
{
    OVERLAPPED ov{};
    ov.hEvent = event_;
    UCHAR out[4];
    EXPECT_FALSE(DeviceIoControl(async_, IOCTL_T_HOLD, nullptr, 0, out, sizeof out, nullptr, &ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_TRUE(CancelIo(async_));
    DWORD transferred = 0xDEAD;
    EXPECT_FALSE(GetOverlappedResult(async_, &ov, &transferred, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(transferred, 0u);
}

struct Completion {
    int calls = 0;
    DWORD error = 0xDEAD, bytes = 0xDEAD;
    LPOVERLAPPED overlapped = nullptr;
};
Completion completion;
void OnRead(DWORD error, DWORD bytes, LPOVERLAPPED ov)
{
    completion.calls++;
    completion.error = error;
    completion.bytes = bytes;
    completion.overlapped = ov;
}

TEST_F(DeviceRequest, ReadFileExCompletionRunsOnlyInAnAlertableWait)
{
    completion = {};
    UCHAR buffer[8] = {};
    OVERLAPPED ov{};
    ov.Offset = 0x20;
    ASSERT_TRUE(ReadFileEx(async_, buffer, sizeof buffer, &ov, OnRead));
    EXPECT_EQ(WaitForSingleObject(event_, 10), WAIT_TIMEOUT);  // not alertable
    Sleep(10);
    EXPECT_EQ(completion.calls, 0);
    EXPECT_EQ(SleepEx(10, TRUE), WAIT_IO_COMPLETION);
    EXPECT_EQ(completion.calls, 1);
    EXPECT_EQ(completion.error, ERROR_SUCCESS);
    EXPECT_EQ(completion.bytes, sizeof buffer);
    EXPECT_EQ(completion.overlapped, &ov);
    EXPECT_EQ(buffer[0], 0x20);
    EXPECT_EQ(buffer[7], 0x27);

    // Pending: the routine runs when the request ends during the wait.
    completion = {};
    Completer completer{STATUS_SUCCESS, 3, 0x77};
    HANDLE thread = CreateThread(nullptr, 0, Completer::Run, &completer, 0, nullptr);
    OVERLAPPED pending{};
    pending.Offset = static_cast<DWORD>(kHoldReadOffset);
    ASSERT_TRUE(ReadFileEx(async_, buffer, sizeof buffer, &pending, OnRead));
    EXPECT_EQ(WaitForSingleObjectEx(event_, INFINITE, TRUE), WAIT_IO_COMPLETION);
    EXPECT_EQ(completion.calls, 1);
    EXPECT_EQ(completion.bytes, 3u);
    EXPECT_EQ(completion.overlapped, &pending);
    EXPECT_EQ(buffer[2], 0x77);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
}

TEST_F(DeviceRequest, BadHandlesAndMissingDevicesFailWithTheirErrors)
{
    DWORD returned;
    Order order{STATUS_SUCCESS, 0, 0, {}};
    EXPECT_FALSE(DeviceIoControl(INVALID_HANDLE_VALUE, IOCTL_T_BUFFERED, &order, sizeof order, nullptr, 0,
                                 &returned, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    // An event is no device.
    EXPECT_FALSE(DeviceIoControl(event_, IOCTL_T_BUFFERED, &order, sizeof order, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(DeviceIoControl(sync_, CTL_CODE(FILE_DEVICE_UNKNOWN, 0x8FF, METHOD_BUFFERED, FILE_ANY_ACCESS),
                                 nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);

    EXPECT_EQ(CreateFileA("\\\\.\\NoSuchDevice", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    HANDLE h = CreateFileA("\\\\.\\W32Test", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(CloseHandle(h));
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

}  // namespace
