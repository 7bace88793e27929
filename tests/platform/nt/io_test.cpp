// I/O manager: a small test driver served through the system-call seam and
// kernel-to-kernel requests. Covers the transfer methods and the copy-back
// rule, bad user buffers, cancel of a pending request, a process's end
// running cleanup and close, start-I/O order, completion routines up a
// device stack, synchronous handles, work items, the error log and the
// kernel trace.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/nt/clock.h"
#include "platform/nt/kd_trace.h"
#include "platform/nt/kernel.h"
#include "platform/nt/machine.h"
#include "platform/nt/machine_internal.h"
#include "platform/nt/nt_internal.h"
#include "platform/nt/nt_syscall.h"

namespace {

ULONG Ioctl(ULONG function, ULONG method) { return CTL_CODE(FILE_DEVICE_UNKNOWN, function, method, FILE_ANY_ACCESS); }
enum : ULONG { kEcho = 0x800, kPend = 0x801, kQueue = 0x802, kPendThenFail = 0x803 };

// What the test driver saw and did.
struct DriverLog {
    std::vector<std::string> events;  // "create", "cleanup", "close", "startio:N", ...
    PVOID systemBuffer, userBuffer, type3, mdlAddress;
    std::vector<UCHAR> mdlData;
    NTSTATUS echoStatus = STATUS_SUCCESS;
    PIRP held = nullptr;  // the pending request of kPend
    PFILE_OBJECT createdFile = nullptr;
    std::u16string createdName;
    PEPROCESS createdOwner = nullptr;
    PDEVICE_OBJECT device = nullptr, direct = nullptr;
    bool pendReads = false;
    PIO_WORKITEM work = nullptr;
} g;

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS DispatchCreate(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    g.events.push_back("create");
    g.createdFile = s->FileObject;
    g.createdName.assign(s->FileObject->FileName.Buffer, s->FileObject->FileName.Length / 2);
    g.createdOwner = s->FileObject->OwnerProcess;
    if (g.createdName == u"\\refuse") return Complete(irp, STATUS_ACCESS_DENIED);
    return Complete(irp, STATUS_SUCCESS, FILE_OPENED);
}

void CancelHeld(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    g.events.push_back("cancel");
    if (g.held == irp) g.held = nullptr;
    Complete(irp, STATUS_CANCELLED);
}

NTSTATUS DispatchCleanup(PDEVICE_OBJECT, PIRP irp)
{
    g.events.push_back("cleanup");
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS DispatchClose(PDEVICE_OBJECT, PIRP irp)
{
    g.events.push_back("close");
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS DispatchControl(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    ULONG code = s->Parameters.DeviceIoControl.IoControlCode;
    ULONG inLength = s->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outLength = s->Parameters.DeviceIoControl.OutputBufferLength;
    switch ((code >> 2) & 0xFFF) {
    case kEcho: {
        g.systemBuffer = irp->AssociatedIrp.SystemBuffer;
        g.userBuffer = irp->UserBuffer;
        g.type3 = s->Parameters.DeviceIoControl.Type3InputBuffer;
        g.mdlAddress = irp->MdlAddress;
        g.mdlData.clear();
        auto method = METHOD_FROM_CTL_CODE(code);
        // Output byte i is input byte (i mod input length) + 1.
        const UCHAR* in = method == METHOD_NEITHER ? static_cast<const UCHAR*>(g.type3)
                                                   : static_cast<const UCHAR*>(g.systemBuffer);
        UCHAR* out = nullptr;
        if (method == METHOD_BUFFERED) out = static_cast<UCHAR*>(g.systemBuffer);
        else if (method == METHOD_OUT_DIRECT && irp->MdlAddress)
            out = static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
        else if (method == METHOD_NEITHER) out = static_cast<UCHAR*>(irp->UserBuffer);
        if (method == METHOD_IN_DIRECT && irp->MdlAddress) {
            auto* p = static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
            g.mdlData.assign(p, p + MmGetMdlByteCount(irp->MdlAddress));
            return Complete(irp, g.echoStatus, 0);
        }
        std::vector<UCHAR> copy(in, in + inLength);
        for (ULONG i = 0; out && i < outLength; i++) out[i] = UCHAR(copy[i % inLength] + 1);
        return Complete(irp, g.echoStatus, outLength);
    }
    case kPend:
        IoMarkIrpPending(irp);
        g.held = irp;
        IoSetCancelRoutine(irp, CancelHeld);
        if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
            g.held = nullptr;
            Complete(irp, STATUS_CANCELLED);
        }
        return STATUS_PENDING;
    case kPendThenFail:
        IoMarkIrpPending(irp);
        Complete(irp, STATUS_INVALID_PARAMETER);
        return STATUS_PENDING;
    case kQueue: {
        ULONG key = inLength >= 4 ? *static_cast<ULONG*>(irp->AssociatedIrp.SystemBuffer) : 0;
        IoMarkIrpPending(irp);
        IoStartPacket(device, irp, outLength ? &key : nullptr, nullptr);
        return STATUS_PENDING;
    }
    }
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
}

void StartIo(PDEVICE_OBJECT, PIRP irp)
{
    ULONG key = *static_cast<ULONG*>(irp->AssociatedIrp.SystemBuffer);
    g.events.push_back("startio:" + std::to_string(key));
}

// Ends the packet StartIo holds, as a DPC would, and starts the next.
void FinishCurrentPacket(PDEVICE_OBJECT device, bool byKey = false)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    PIRP irp = device->CurrentIrp;
    if (byKey) IoStartNextPacketByKey(device, FALSE, 0);
    else IoStartNextPacket(device, FALSE);
    Complete(irp, STATUS_SUCCESS);
    KeLowerIrql(old);
}

void CompleteFromWorker(PDEVICE_OBJECT, PVOID context)
{
    auto* irp = static_cast<PIRP>(context);
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    std::memset(irp->AssociatedIrp.SystemBuffer, 'w', s->Parameters.Read.Length);
    g.events.push_back("worker");
    Complete(irp, STATUS_SUCCESS, s->Parameters.Read.Length);
}

// Reads fill the buffer with the byte offset's low byte; the buffered
// device pends them and finishes on a system worker when asked to.
NTSTATUS DispatchRead(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    ULONG length = s->Parameters.Read.Length;
    if (device == g.direct) {
        auto* p = static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
        std::memset(p, int(s->Parameters.Read.ByteOffset.LowPart & 0xFF), length);
        return Complete(irp, STATUS_SUCCESS, length);
    }
    if (g.pendReads) {
        IoMarkIrpPending(irp);
        IoQueueWorkItem(g.work, CompleteFromWorker, DelayedWorkQueue, irp);
        return STATUS_PENDING;
    }
    std::memset(irp->AssociatedIrp.SystemBuffer, int(s->Parameters.Read.ByteOffset.LowPart & 0xFF), length);
    return Complete(irp, STATUS_SUCCESS, length);
}

void Unload(PDRIVER_OBJECT driver)
{
    g.events.push_back("unload");
    while (driver->DeviceObject) IoDeleteDevice(driver->DeviceObject);
    UNICODE_STRING link = RTL_CONSTANT_STRING(u"\\??\\IOTEST0");
    IoDeleteSymbolicLink(&link);
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
    driver->MajorFunction[IRP_MJ_READ] = DispatchRead;
    driver->DriverStartIo = StartIo;
    driver->DriverUnload = Unload;
    UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\Device\\IoTest0");
    NTSTATUS s = IoCreateDevice(driver, 64, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &g.device);
    if (!NT_SUCCESS(s)) return s;
    g.device->Flags |= DO_BUFFERED_IO;
    UNICODE_STRING direct = RTL_CONSTANT_STRING(u"\\Device\\IoTestDirect");
    s = IoCreateDevice(driver, 0, &direct, FILE_DEVICE_UNKNOWN, 0, FALSE, &g.direct);
    if (!NT_SUCCESS(s)) return s;
    g.direct->Flags |= DO_DIRECT_IO;
    UNICODE_STRING link = RTL_CONSTANT_STRING(u"\\??\\IOTEST0");
    return IoCreateSymbolicLink(&link, &name);
}

ULONG BugCheckOf(const std::function<void()>& f)
{
    auto previous = KeSetBugCheckHandler([](const KeBugCheckError& e) { throw e; });
    ULONG code = 0;
    try {
        f();
    } catch (const KeBugCheckError& e) {
        code = e.code;
    }
    KeSetBugCheckHandler(previous);
    return code;
}

class Io : public ::testing::Test {
protected:
    void SetUp() override
    {
        ObInitialize();
        nt::ClockStart(nt::ClockMode::Virtual);
        g = DriverLog{};
        ASSERT_EQ(IoCreateDriver(u"IoTestDrv", DriverEntry, &driver_), STATUS_SUCCESS);
        g.work = IoAllocateWorkItem(g.device);
    }
    void TearDown() override
    {
        if (g.work) IoFreeWorkItem(g.work);
        nt::IoUnloadDriver(u"IoTestDrv");
        ObShutdown();
        nt::ClockStop();
    }

    static HANDLE Open(const std::u16string& path, ULONG options = FILE_SYNCHRONOUS_IO_NONALERT,
                       NTSTATUS expect = STATUS_SUCCESS)
    {
        UNICODE_STRING name = {USHORT(path.size() * 2), USHORT(path.size() * 2), const_cast<PWSTR>(path.data())};
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        HANDLE h = nullptr;
        IO_STATUS_BLOCK iosb{};
        EXPECT_EQ(NtCreateFile(&h, GENERIC_READ | GENERIC_WRITE, &oa, &iosb, nullptr, 0, 0, FILE_OPEN, options,
                               nullptr, 0),
                  expect);
        return h;
    }
    static HANDLE Event()
    {
        HANDLE h;
        EXPECT_EQ(NtCreateEvent(&h, EVENT_ALL_ACCESS, nullptr, NotificationEvent, FALSE), STATUS_SUCCESS);
        return h;
    }
    static bool Signalled(HANDLE event)
    {
        LARGE_INTEGER zero{};
        return NtWaitForSingleObject(event, FALSE, &zero) == STATUS_SUCCESS;
    }

    PDRIVER_OBJECT driver_ = nullptr;
};

TEST_F(Io, OpenParsesThroughTheLinkAndFailedCreateSendsNoClose)
{
    HANDLE h = Open(u"\\??\\IOTEST0\\sub\\name");
    EXPECT_EQ(g.createdName, u"\\sub\\name");
    EXPECT_EQ(g.createdOwner, PsGetCurrentProcess());
    EXPECT_EQ(g.createdFile->GrantedAccess & FILE_READ_DATA, ACCESS_MASK(FILE_READ_DATA));
    EXPECT_EQ(NtClose(h), STATUS_SUCCESS);
    EXPECT_EQ(g.events, (std::vector<std::string>{"create", "cleanup", "close"}));

    g.events.clear();
    Open(u"\\DosDevices\\iotest0\\refuse", 0, STATUS_ACCESS_DENIED);
    EXPECT_EQ(g.events, (std::vector<std::string>{"create"}));
    Open(u"\\??\\NOSUCH", 0, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(g.device->ReferenceCount, 0);
}

TEST_F(Io, UnloadWaitsForTheLastOpenFileOfTheDriversDevices)
{
    HANDLE buffered = Open(u"\\??\\IOTEST0");
    HANDLE direct = Open(u"\\Device\\IoTestDirect");
    g.events.clear();
    IoFreeWorkItem(g.work);
    g.work = nullptr;
    ASSERT_EQ(nt::IoUnloadDriver(u"IoTestDrv"), STATUS_SUCCESS);
    EXPECT_TRUE(g.events.empty());  // the unload routine never runs under an open file
    Open(u"\\??\\IOTEST0", 0, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(nt::IoUnloadDriver(u"IoTestDrv"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(NtClose(buffered), STATUS_SUCCESS);
    EXPECT_EQ(g.events, (std::vector<std::string>{"cleanup", "close"}));
    EXPECT_EQ(NtClose(direct), STATUS_SUCCESS);
    EXPECT_EQ(g.events, (std::vector<std::string>{"cleanup", "close", "cleanup", "close", "unload"}));
    // Loaded again under the same names once the old one is gone.
    ASSERT_EQ(IoCreateDriver(u"IoTestDrv", DriverEntry, &driver_), STATUS_SUCCESS);
    g.work = IoAllocateWorkItem(g.device);
}

TEST_F(Io, TransferMethodsFollowNtBufferRules)
{
    HANDLE h = Open(u"\\??\\IOTEST0");
    UCHAR in[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    struct Case {
        ULONG method;
        bool systemBuffer, mdl, pointersPassed;
    } cases[] = {
        {METHOD_BUFFERED, true, false, false},
        {METHOD_IN_DIRECT, true, true, false},
        {METHOD_OUT_DIRECT, true, true, false},
        {METHOD_NEITHER, false, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.method);
        UCHAR out[12];
        std::memset(out, 0xEE, sizeof(out));
        IO_STATUS_BLOCK iosb{};
        ASSERT_EQ(NtDeviceIoControlFile(h, nullptr, nullptr, nullptr, &iosb, Ioctl(kEcho, c.method), in, sizeof(in),
                                        out, sizeof(out)),
                  STATUS_SUCCESS);
        EXPECT_EQ(g.systemBuffer != nullptr, c.systemBuffer);
        EXPECT_EQ(g.systemBuffer != in && g.systemBuffer != out, true);
        EXPECT_EQ(g.mdlAddress != nullptr, c.mdl);
        EXPECT_EQ(g.type3 == in, c.pointersPassed);
        EXPECT_EQ(g.userBuffer == out, c.pointersPassed || c.method == METHOD_BUFFERED);
        if (c.method == METHOD_IN_DIRECT) {
            // The output buffer is the driver's to read through the MDL.
            EXPECT_EQ(g.mdlData, std::vector<UCHAR>(sizeof(out), 0xEE));
            continue;
        }
        EXPECT_EQ(iosb.Information, sizeof(out));
        for (size_t i = 0; i < sizeof(out); i++) EXPECT_EQ(out[i], in[i % sizeof(in)] + 1) << i;
    }
    NtClose(h);
}

TEST_F(Io, BufferedOutputCopiedBackOnSuccessAndWarningsOnly)
{
    HANDLE h = Open(u"\\??\\IOTEST0");
    struct Case {
        NTSTATUS status;
        bool copied;
    } cases[] = {{STATUS_SUCCESS, true}, {STATUS_BUFFER_OVERFLOW, true}, {STATUS_INVALID_PARAMETER, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(NtStatusName(c.status));
        g.echoStatus = c.status;
        UCHAR in[4] = {10, 20, 30, 40}, out[4] = {};
        IO_STATUS_BLOCK iosb{STATUS_PENDING, 99};
        EXPECT_EQ(NtDeviceIoControlFile(h, nullptr, nullptr, nullptr, &iosb, Ioctl(kEcho, METHOD_BUFFERED), in, 4,
                                        out, 4),
                  c.status);
        EXPECT_EQ(out[0], c.copied ? 11 : 0);
        // A synchronous failure reports only through the return value.
        EXPECT_EQ(iosb.Status, c.copied ? c.status : STATUS_PENDING);
    }
    NtClose(h);
}

TEST_F(Io, BadUserBuffersFailWithAccessViolation)
{
    HANDLE h = Open(u"\\??\\IOTEST0");
    // A page that faults on any access and stays reserved, so no other
    // mapping can land on its address while the test runs.
    void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(page, MAP_FAILED);
    UCHAR good[16] = {};
    IO_STATUS_BLOCK iosb{};
    for (ULONG method : {METHOD_BUFFERED, METHOD_OUT_DIRECT}) {
        SCOPED_TRACE(method);
        EXPECT_EQ(NtDeviceIoControlFile(h, nullptr, nullptr, nullptr, &iosb, Ioctl(kEcho, method), page, 16, good,
                                        16),
                  STATUS_ACCESS_VIOLATION);
        EXPECT_EQ(NtDeviceIoControlFile(h, nullptr, nullptr, nullptr, &iosb, Ioctl(kEcho, method), good, 16, page,
                                        16),
                  STATUS_ACCESS_VIOLATION);
    }
    EXPECT_EQ(NtDeviceIoControlFile(h, nullptr, nullptr, nullptr, static_cast<PIO_STATUS_BLOCK>(page), Ioctl(kEcho, METHOD_BUFFERED), good, 4,
                                    good, 4),
              STATUS_SUCCESS);  // a bad status block is not the machine's problem
    NtClose(h);
    munmap(page, 4096);
}

// A request that was marked pending and then failed reports through the
// status block, the event and the APC only on an asynchronous handle; a
// synchronous one hands the caller the status alone.
TEST_F(Io, FailedPendingRequestTouchesTheStatusBlockOnlyOnAnAsynchronousHandle)
{
    struct Case {
        const char* what;
        ULONG options;
        NTSTATUS returned;
        bool reported;  // status block written and event set
    } cases[] = {
        {"synchronous handle", FILE_SYNCHRONOUS_IO_NONALERT, STATUS_INVALID_PARAMETER, false},
        {"asynchronous handle", 0, STATUS_PENDING, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        HANDLE h = Open(u"\\??\\IOTEST0", c.options);
        HANDLE e = Event();
        IO_STATUS_BLOCK iosb{STATUS_ALERTED, 99};
        EXPECT_EQ(NtDeviceIoControlFile(h, e, nullptr, nullptr, &iosb, Ioctl(kPendThenFail, METHOD_BUFFERED), nullptr,
                                        0, nullptr, 0),
                  c.returned);
        EXPECT_EQ(iosb.Status, c.reported ? STATUS_INVALID_PARAMETER : STATUS_ALERTED);
        EXPECT_EQ(iosb.Information, c.reported ? 0u : 99u);
        EXPECT_EQ(Signalled(e), c.reported);
        NtClose(e);
        NtClose(h);
    }
}

// A file object is a waitable object: the I/O manager clears it when a
// request is issued on it and signals it when the request completes.
TEST_F(Io, WaitingOnAFileHandleEndsWhenARequestOnItCompletes)
{
    HANDLE h = Open(u"\\??\\IOTEST0", 0);  // asynchronous handle
    HANDLE other = Event();
    IO_STATUS_BLOCK iosb{STATUS_PENDING, 0};
    ASSERT_EQ(NtDeviceIoControlFile(h, nullptr, nullptr, nullptr, &iosb, Ioctl(kPend, METHOD_BUFFERED), nullptr, 0,
                                    nullptr, 0),
              STATUS_PENDING);
    LARGE_INTEGER zero{};
    EXPECT_EQ(NtWaitForSingleObject(h, FALSE, &zero), STATUS_TIMEOUT);
    HANDLE both[] = {other, h};
    EXPECT_EQ(NtWaitForMultipleObjects(2, both, WaitAny, FALSE, &zero), STATUS_TIMEOUT);
    PIRP irp = g.held;
    ASSERT_NE(irp, nullptr);
    g.held = nullptr;
    ASSERT_NE(IoSetCancelRoutine(irp, nullptr), nullptr);
    Complete(irp, STATUS_SUCCESS, 0);
    EXPECT_EQ(NtWaitForSingleObject(h, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(NtWaitForMultipleObjects(2, both, WaitAny, FALSE, &zero), STATUS_WAIT_0 + 1);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    NtClose(other);
    NtClose(h);
}

// An IRP the I/O manager allocates says so in its allocation flags, and
// keeps them when reused.
TEST_F(Io, AllocatedIrpsAreMarkedAsAllocatedAtTheirSize)
{
    PIRP irp = IoAllocateIrp(2, FALSE);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(irp->AllocationFlags, IRP_ALLOCATED_FIXED_SIZE);
    IoReuseIrp(irp, STATUS_SUCCESS);
    EXPECT_EQ(irp->AllocationFlags, IRP_ALLOCATED_FIXED_SIZE);
    IoFreeIrp(irp);
}

TEST_F(Io, PendingRequestCancelledThroughItsCancelRoutine)
{
    HANDLE h = Open(u"\\??\\IOTEST0", 0);  // asynchronous handle
    HANDLE event = Event();
    IO_STATUS_BLOCK iosb{STATUS_SUCCESS, 5};
    EXPECT_EQ(NtDeviceIoControlFile(h, event, nullptr, nullptr, &iosb, Ioctl(kPend, METHOD_BUFFERED), nullptr, 0,
                                    nullptr, 0),
              STATUS_PENDING);
    ASSERT_NE(g.held, nullptr);
    EXPECT_FALSE(Signalled(event));
    IO_STATUS_BLOCK cancelIosb{};
    EXPECT_EQ(NtCancelIoFile(h, &cancelIosb), STATUS_SUCCESS);
    EXPECT_EQ(g.held, nullptr);
    EXPECT_TRUE(Signalled(event));
    EXPECT_EQ(iosb.Status, STATUS_CANCELLED);  // a pending failure is reported through the block
    NtClose(event);
    NtClose(h);
}

TEST_F(Io, EndingAProcessCancelsItsRequestsThenCleansUpAndCloses)
{
    PEPROCESS process = PsCreateUserProcess("app");
    PKTHREAD self = KeGetCurrentThread();
    PEPROCESS before = PsGetThreadProcess(self);
    PsSetThreadProcess(self, process);
    HANDLE h = Open(u"\\??\\IOTEST0", 0);
    IO_STATUS_BLOCK iosb{};
    EXPECT_EQ(NtDeviceIoControlFile(h, nullptr, nullptr, nullptr, &iosb, Ioctl(kPend, METHOD_BUFFERED), nullptr, 0,
                                    nullptr, 0),
              STATUS_PENDING);
    EXPECT_EQ(g.createdOwner, process);
    PsSetThreadProcess(self, before);
    ObReferenceObject(process);
    PsTerminateUserProcess(process, STATUS_SUCCESS);
    EXPECT_EQ(g.events, (std::vector<std::string>{"create", "cancel", "cleanup", "close"}));
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(process, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    ObDereferenceObject(process);
}

TEST_F(Io, StartIoServesPacketsInArrivalOrderOrByKey)
{
    HANDLE h = Open(u"\\??\\IOTEST0", 0);
    IO_STATUS_BLOCK iosb[4]{};
    auto queue = [&](int i, ULONG key, bool byKey) {
        EXPECT_EQ(NtDeviceIoControlFile(h, nullptr, nullptr, nullptr, &iosb[i], Ioctl(kQueue, METHOD_BUFFERED), &key,
                                        4, nullptr, byKey ? 1 : 0),
                  STATUS_PENDING);
    };
    queue(0, 7, false);
    queue(1, 3, false);
    queue(2, 5, false);
    EXPECT_EQ(g.events.back(), "startio:7");  // the idle device starts the first at once
    FinishCurrentPacket(g.device);
    FinishCurrentPacket(g.device);
    FinishCurrentPacket(g.device);
    EXPECT_EQ(g.device->CurrentIrp, nullptr);
    EXPECT_EQ(g.events, (std::vector<std::string>{"create", "startio:7", "startio:3", "startio:5"}));
    EXPECT_EQ(iosb[2].Status, STATUS_SUCCESS);

    g.events.clear();
    queue(0, 9, true);
    queue(1, 6, true);
    queue(2, 2, true);
    queue(3, 6, true);
    for (int i = 0; i < 4; i++) FinishCurrentPacket(g.device, true);
    EXPECT_EQ(g.events, (std::vector<std::string>{"startio:9", "startio:2", "startio:6", "startio:6"}));
    NtClose(h);
}

// ---- A three-device stack for completion routines ----

std::vector<std::string> completions;
PDEVICE_OBJECT midDevice;
NTSTATUS Record(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    const char* who = static_cast<const char*>(context);
    completions.push_back(std::string(who) + (device == g.device ? "@top" : "@mid") +
                          (irp->PendingReturned ? "+pending" : ""));
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    return std::string(who) == "stop" ? STATUS_MORE_PROCESSING_REQUIRED : STATUS_CONTINUE_COMPLETION;
}

TEST_F(Io, CompletionRoutinesRunBottomUpWithTheirOwnDevice)
{
    // mid (over direct) and top (g.device) pass requests down with a
    // completion routine; the bottom pends, the test completes it.
    static PIRP bottomIrp;
    static const char* topContext;
    bottomIrp = nullptr;
    completions.clear();
    driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [](PDEVICE_OBJECT device, PIRP irp) -> NTSTATUS {
        if (device == g.direct) {
            IoMarkIrpPending(irp);
            bottomIrp = irp;
            return STATUS_PENDING;
        }
        IoCopyCurrentIrpStackLocationToNext(irp);
        bool top = device == g.device;
        IoSetCompletionRoutine(irp, Record, const_cast<char*>(top ? topContext : "mid"), TRUE, TRUE, TRUE);
        return IoCallDriver(top ? midDevice : g.direct, irp);
    };
    PDEVICE_OBJECT mid;
    ASSERT_EQ(IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &mid), STATUS_SUCCESS);
    midDevice = mid;
    ASSERT_EQ(IoAttachDeviceToDeviceStack(mid, g.direct), g.direct);
    ASSERT_EQ(IoAttachDeviceToDeviceStack(g.device, g.direct), mid);
    EXPECT_EQ(g.device->StackSize, 3);

    for (const char* ctx : {"top", "stop"}) {
        SCOPED_TRACE(ctx);
        topContext = ctx;
        completions.clear();
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        PIRP irp = IoBuildDeviceIoControlRequest(Ioctl(1, METHOD_NEITHER), g.device, nullptr, 0, nullptr, 0, TRUE,
                                                 &event, &iosb);
        EXPECT_EQ(IoCallDriver(g.device, irp), STATUS_PENDING);
        ASSERT_EQ(bottomIrp, irp);
        Complete(irp, STATUS_SUCCESS, 42);
        EXPECT_EQ(completions, (std::vector<std::string>{"mid@mid+pending", std::string(ctx) + "@top+pending"}));
        if (std::string(ctx) == "stop") {
            // The top driver kept the packet: nothing was reported yet.
            EXPECT_EQ(KeReadStateEvent(&event), 0);
            EXPECT_EQ(BugCheckOf([&] { IoFreeIrp(irp); IoCompleteRequest(irp, IO_NO_INCREMENT); }),
                      ULONG(MULTIPLE_IRP_COMPLETE_REQUESTS));
            continue;
        }
        EXPECT_NE(KeReadStateEvent(&event), 0);
        EXPECT_EQ(iosb.Information, 42u);
    }
    IoDetachDevice(mid);
    IoDetachDevice(g.direct);
    IoDeleteDevice(mid);
}

TEST_F(Io, SynchronousHandleWaitsForPendingReadAndKeepsPosition)
{
    HANDLE h = Open(u"\\Device\\IoTest0");
    g.pendReads = true;  // finished by a system worker thread
    UCHAR buffer[10] = {};
    IO_STATUS_BLOCK iosb{};
    EXPECT_EQ(NtReadFile(h, nullptr, nullptr, nullptr, &iosb, buffer, 10, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(g.events.back(), "worker");
    EXPECT_EQ(buffer[9], 'w');
    FILE_POSITION_INFORMATION pos{};
    EXPECT_EQ(NtQueryInformationFile(h, &iosb, &pos, sizeof(pos), FilePositionInformation), STATUS_SUCCESS);
    EXPECT_EQ(pos.CurrentByteOffset.QuadPart, 10);
    NtClose(h);

    // Direct I/O: the driver writes the caller's pages; the offset comes
    // from the file position.
    h = Open(u"\\Device\\IoTestDirect");
    pos.CurrentByteOffset.QuadPart = 0x41;
    EXPECT_EQ(NtSetInformationFile(h, &iosb, &pos, sizeof(pos), FilePositionInformation), STATUS_SUCCESS);
    EXPECT_EQ(NtReadFile(h, nullptr, nullptr, nullptr, &iosb, buffer, 4, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(buffer[0], 0x41);
    EXPECT_EQ(NtReadFile(h, nullptr, nullptr, nullptr, &iosb, buffer, 4, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(buffer[3], 0x45);
    NtClose(h);
}

TEST_F(Io, KernelCallerGetsDeviceByNameAndBuildsRequests)
{
    UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\Device\\IoTest0");
    PFILE_OBJECT file;
    PDEVICE_OBJECT device;
    ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &device), STATUS_SUCCESS);
    EXPECT_EQ(device, g.device);
    EXPECT_EQ(g.createdOwner, PsInitialSystemProcess);
    EXPECT_EQ(g.events, (std::vector<std::string>{"create", "cleanup"}));  // its handle is already gone
    UCHAR in[3] = {1, 2, 3}, out[6] = {};
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(Ioctl(kEcho, METHOD_BUFFERED), device, in, 3, out, 6, FALSE, &event,
                                             &iosb);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_SUCCESS);
    EXPECT_EQ(out[5], 4);
    EXPECT_EQ(iosb.Information, 6u);
    ObDereferenceObject(file);
    EXPECT_EQ(g.events.back(), "close");
}

TEST_F(Io, ErrorLogEntryBecomesAnEventLogRecord)
{
    auto folder = std::filesystem::temp_directory_path() / ("io-test-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    nt::EventLogOpen(folder.string());
    nt::EventLogClear();
    const char16_t text[] = u"disk 3";
    UCHAR size = UCHAR(sizeof(IO_ERROR_LOG_PACKET) + 4 + sizeof(text));
    EXPECT_EQ(IoAllocateErrorLogEntry(g.device, 241), nullptr);
    auto* p = static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(g.device, size));
    ASSERT_NE(p, nullptr);
    p->ErrorCode = NTSTATUS(0xC0040007);
    p->UniqueErrorValue = 77;
    p->DumpDataSize = 8;
    p->DumpData[0] = 0x11223344;
    p->DumpData[1] = 0x55667788;
    p->NumberOfStrings = 1;
    p->StringOffset = USHORT(sizeof(IO_ERROR_LOG_PACKET) + 4);
    std::memcpy(reinterpret_cast<char*>(p) + p->StringOffset, text, sizeof(text));
    IoWriteErrorLogEntry(p);
    auto records = nt::EventLogRead();
    nt::EventLogCloseFile();
    std::filesystem::remove_all(folder);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].source, u"IoTestDrv");
    EXPECT_EQ(records[0].eventId, 0xC0040007u);
    EXPECT_EQ(records[0].type, 1);
    EXPECT_EQ(records[0].uniqueValue, 77u);
    EXPECT_EQ(records[0].strings, std::vector<std::u16string>{u"disk 3"});
    ASSERT_EQ(records[0].data.size(), 8u);
    EXPECT_EQ(records[0].data[0], 0x44);
}

}  // namespace

namespace {
std::vector<std::string> TraceLines;
void CatchTraceLine(const char* line) { TraceLines.push_back(line); }
}  // namespace

TEST(KernelTrace, TopicsByName)
{
    struct {
        const char* text;
        ULONG topics;
    } cases[] = {
        {"", 0},
        {"irp", KD_TRACE_IRP},
        {"irp,dpc", KD_TRACE_IRP | KD_TRACE_DPC},
        {"wait int", KD_TRACE_WAIT | KD_TRACE_INT},
        {"all", KD_TRACE_ALL},
        {"irps,dp,,bogus", 0},  // only whole words count
        {"dpc,", KD_TRACE_DPC},
    };
    for (const auto& c : cases) EXPECT_EQ(KdTraceTopicsFromText(c.text), c.topics) << c.text;
}

// One line per call, its return, completion and cancel, naming the IRP, the
// major function, the status and the IRQL; nothing while the topic is off.
TEST_F(Io, TraceShowsEachCallCompletionAndCancelOnlyWhileOn)
{
    TraceLines.clear();
    KdSetTraceSink(CatchTraceLine);
    HANDLE h = Open(u"\\??\\IOTEST0", 0);
    EXPECT_TRUE(TraceLines.empty());  // off by default

    KdSetTraceTopics(KD_TRACE_IRP);
    HANDLE event = Event();
    IO_STATUS_BLOCK iosb{};
    EXPECT_EQ(NtDeviceIoControlFile(h, event, nullptr, nullptr, &iosb, Ioctl(kPend, METHOD_BUFFERED), nullptr, 0,
                                    nullptr, 0),
              STATUS_PENDING);
    IO_STATUS_BLOCK cancelIosb{};
    EXPECT_EQ(NtCancelIoFile(h, &cancelIosb), STATUS_SUCCESS);
    KdSetTraceTopics(0);
    NtClose(event);
    NtClose(h);
    KdSetTraceSink(nullptr);

    std::vector<std::string> kinds;
    for (const std::string& line : TraceLines) {
        EXPECT_EQ(line.rfind("ktrace irp: ", 0), 0u) << line;
        EXPECT_NE(line.find(" irql "), std::string::npos) << line;
        kinds.push_back(line.substr(12, line.find(' ', 12) - 12));
    }
    EXPECT_EQ(kinds, (std::vector<std::string>{"call", "call", "cancel", "complete"}));
    ASSERT_EQ(TraceLines.size(), 4u);
    EXPECT_NE(TraceLines[0].find(" DEVICE_CONTROL device "), std::string::npos) << TraceLines[0];
    EXPECT_NE(TraceLines[1].find("returned 0x00000103"), std::string::npos) << TraceLines[1];
    EXPECT_NE(TraceLines[2].find("cancel routine called"), std::string::npos) << TraceLines[2];
    EXPECT_NE(TraceLines[3].find("DEVICE_CONTROL status 0xC0000120"), std::string::npos) << TraceLines[3];
}
