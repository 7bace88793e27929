// One machine, many processes: this test program boots a machine with a
// small driver, serves it as a machine host, and starts client programs
// (host_client) that attach to it. Named objects, handles, device requests
// and the end of a client process are checked across the processes.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/host/host_server.h"
#include "platform/nt/kernel.h"
#include "platform/nt/machine.h"
#include "platform/nt/nt_internal.h"
#include "platform/nt/nt_syscall.h"
#include "platform/win32/w32_host.h"
#include "platform/win32/win32.h"
#include "tests/platform/host/child_process.h"
#include "tests/platform/host/host_test_driver.h"

namespace {

// ---- The driver ----

std::mutex pendingLock;
std::vector<PIRP> pending;
std::vector<PIRP> held;  // out-direct requests the test writes into
std::vector<PIRP> dmaQueue;  // transfers the engine has not started
struct HeldRing {
    PIRP irp;
    std::vector<PMDL> pieces;
};
std::vector<HeldRing> rings;

void UnlockRing(HeldRing& ring)
{
    for (PMDL mdl : ring.pieces) {
        MmUnlockPages(mdl);
        IoFreeMdl(mdl);
    }
    ring.pieces.clear();
}

void CancelRing(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    HeldRing ring{irp, {}};
    {
        std::lock_guard<std::mutex> g(pendingLock);
        for (auto it = rings.begin(); it != rings.end(); ++it)
            if (it->irp == irp) {
                ring = *it;
                rings.erase(it);
                break;
            }
    }
    UnlockRing(ring);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}
std::atomic<int> cleanups{0}, cancels{0};

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void CancelPending(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    {
        std::lock_guard<std::mutex> g(pendingLock);
        std::erase(pending, irp);
        std::erase(held, irp);
        std::erase(dmaQueue, irp);
    }
    cancels++;
    Complete(irp, STATUS_CANCELLED, 0);
}

NTSTATUS Open(PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS, 0); }

NTSTATUS Cleanup(PDEVICE_OBJECT, PIRP irp)
{
    cleanups++;
    return Complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS Control(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    const ULONG in = s->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG out = s->Parameters.DeviceIoControl.OutputBufferLength;
    auto* system = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    switch (s->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_HT_ECHO_BUFFERED: {
        if (in != 64 || out != 64) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
        UCHAR copy[64];
        std::memcpy(copy, system, 64);
        for (int i = 0; i < 64; i++) system[i] = copy[63 - i];
        return Complete(irp, STATUS_SUCCESS, 64);
    }
    case IOCTL_HT_ECHO_IN_DIRECT: {
        auto* data = static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
        bool same = in == out && std::memcmp(data, system, in) == 0;
        return Complete(irp, same ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL, same ? out : 0);
    }
    case IOCTL_HT_ECHO_OUT_DIRECT: {
        auto* data = static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
        for (ULONG i = 0; i < out && i < in; i++) data[i] = system[in - 1 - i];
        return Complete(irp, STATUS_SUCCESS, out);
    }
    case IOCTL_HT_ECHO_NEITHER: {
        auto* from = static_cast<const UCHAR*>(s->Parameters.DeviceIoControl.Type3InputBuffer);
        auto* to = static_cast<UCHAR*>(irp->UserBuffer);
        NTSTATUS status = SehTry([&] {
            ProbeForRead(from, in, 1);
            ProbeForWrite(to, out, 1);
            for (ULONG i = 0; i < in && i < out; i++) to[i] = from[in - 1 - i];
        });
        return Complete(irp, status, NT_SUCCESS(status) ? out : 0);
    }
    case IOCTL_HT_PEND: {
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, CancelPending);
        std::lock_guard<std::mutex> g(pendingLock);
        pending.push_back(irp);
        return STATUS_PENDING;
    }
    case IOCTL_HT_POKE: {
        auto* from = static_cast<const ULONG_PTR*>(s->Parameters.DeviceIoControl.Type3InputBuffer);
        volatile ULONG onStack = 0;
        NTSTATUS status = SehTry([&] {
            ProbeForRead(from, sizeof *from, 1);
            auto* word = *from == HT_POKE_OWN_STACK ? const_cast<ULONG*>(&onStack) : reinterpret_cast<ULONG*>(*from);
            ProbeForWrite(word, sizeof *word, 1);
            *word = 0x600D;
        });
        return Complete(irp, status, 0);
    }
    case IOCTL_HT_HOLD_OUT_DIRECT: {
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, CancelPending);
        std::lock_guard<std::mutex> g(pendingLock);
        held.push_back(irp);
        return STATUS_PENDING;
    }
    case IOCTL_HT_HOLD_RING: {
        if (in < 2 * sizeof(ULONG)) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
        auto* record = reinterpret_cast<ULONG*>(system);
        auto* ring = reinterpret_cast<UCHAR*>(ULONG_PTR(record[0]));
        const ULONG length = record[1];
        constexpr ULONG kPiece = 16u << 20;  // within what one MDL describes
        HeldRing held{irp, {}};
        for (ULONG done = 0; done < length; done += kPiece) {
            PMDL mdl = IoAllocateMdl(ring + done, std::min(kPiece, length - done), FALSE, FALSE, nullptr);
            NTSTATUS status = mdl ? SehTry([&] { MmProbeAndLockPages(mdl, irp->RequestorMode, IoWriteAccess); })
                                  : STATUS_INSUFFICIENT_RESOURCES;
            if (!NT_SUCCESS(status)) {
                if (mdl) IoFreeMdl(mdl);
                UnlockRing(held);
                return Complete(irp, status, 0);
            }
            held.pieces.push_back(mdl);
        }
        if (held.pieces.empty()) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, CancelRing);
        std::lock_guard<std::mutex> g(pendingLock);
        rings.push_back(held);
        return STATUS_PENDING;
    }
    case IOCTL_HT_DMA: {
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, CancelPending);
        std::lock_guard<std::mutex> g(pendingLock);
        dmaQueue.push_back(irp);
        return STATUS_PENDING;
    }
    default: return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

// The machine's shutdown unloads the driver, so its objects go with the
// machine.
void Unload(PDRIVER_OBJECT driver)
{
    UNICODE_STRING link = RTL_CONSTANT_STRING(u"\\??\\HostTest");
    IoDeleteSymbolicLink(&link);
    while (driver->DeviceObject) IoDeleteDevice(driver->DeviceObject);
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\Device\\HostTest");
    UNICODE_STRING link = RTL_CONSTANT_STRING(u"\\??\\HostTest");
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) return status;
    driver->MajorFunction[IRP_MJ_CREATE] = Open;
    driver->MajorFunction[IRP_MJ_CLEANUP] = Cleanup;
    driver->MajorFunction[IRP_MJ_CLOSE] = Open;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Control;
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}

size_t PendingCount()
{
    std::lock_guard<std::mutex> g(pendingLock);
    return pending.size();
}

// Completes every held request with 'value' as its output.
void CompletePending(ULONG value)
{
    std::vector<PIRP> irps;
    {
        std::lock_guard<std::mutex> g(pendingLock);
        irps.swap(pending);
    }
    for (PIRP irp : irps) {
        if (!IoSetCancelRoutine(irp, nullptr)) continue;  // being cancelled
        std::memcpy(irp->AssociatedIrp.SystemBuffer, &value, sizeof value);
        Complete(irp, STATUS_SUCCESS, sizeof value);
    }
}

size_t HeldCount()
{
    std::lock_guard<std::mutex> g(pendingLock);
    return held.size();
}

// A DPC writes 'value' into the first word of the held request's locked
// buffer, as a board's interrupt path fills a capture or record ring.
KDPC ringDpc;
std::atomic<bool> ringWritten{false};

void WriteRing(PKDPC, PVOID context, PVOID irp, PVOID)
{
    auto* mdl = static_cast<PIRP>(irp)->MdlAddress;
    auto* data = static_cast<ULONG*>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
    __atomic_store_n(data, ULONG(reinterpret_cast<ULONG_PTR>(context)), __ATOMIC_RELEASE);
    ringWritten = true;
}

void WriteHeldByDpc(ULONG value)
{
    PIRP irp;
    {
        std::lock_guard<std::mutex> g(pendingLock);
        irp = held.front();
    }
    ringWritten = false;
    KeInitializeDpc(&ringDpc, WriteRing, reinterpret_cast<PVOID>(ULONG_PTR(value)));
    KeInsertQueueDpc(&ringDpc, irp, nullptr);
}

void CompleteHeld()
{
    std::vector<PIRP> irps;
    {
        std::lock_guard<std::mutex> g(pendingLock);
        irps.swap(held);
    }
    for (PIRP irp : irps)
        if (IoSetCancelRoutine(irp, nullptr)) Complete(irp, STATUS_SUCCESS, 4096);
}

// The transfer engine: takes each queued transfer once it cannot be
// cancelled any more, fills its whole locked buffer 'passes' times (a
// board's DMA, which runs to its end whoever waits for it) and completes it.
struct DmaEngine {
    std::atomic<bool> stop{false};
    std::atomic<int> started{0}, finished{0};
    int passes = 4;
    std::thread thread;
    explicit DmaEngine(int passesEach) : passes(passesEach), thread([this] { Run(); }) {}
    ~DmaEngine()
    {
        stop = true;
        thread.join();
    }
    void Run()
    {
        while (!stop || !Idle()) {
            PIRP irp = nullptr;
            {
                std::lock_guard<std::mutex> g(pendingLock);
                if (!dmaQueue.empty()) {
                    irp = dmaQueue.front();
                    dmaQueue.erase(dmaQueue.begin());
                }
            }
            if (!irp) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            if (!IoSetCancelRoutine(irp, nullptr)) continue;  // being cancelled
            started++;
            auto* data = static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
            ULONG length = MmGetMdlByteCount(irp->MdlAddress);
            for (int pass = 0; pass < passes; pass++) std::memset(data, 0x40 + pass, length);
            Complete(irp, STATUS_SUCCESS, length);
            finished++;
        }
    }
    bool Idle()
    {
        std::lock_guard<std::mutex> g(pendingLock);
        return dmaQueue.empty();
    }
};

// A driver image built into the host for the service manager to load: its
// device is there while it is loaded.
std::atomic<int> serviceDriverLoads{0};

void ServiceDriverUnload(PDRIVER_OBJECT driver)
{
    UNICODE_STRING link = RTL_CONSTANT_STRING(u"\\??\\HostSvc");
    IoDeleteSymbolicLink(&link);
    while (driver->DeviceObject) IoDeleteDevice(driver->DeviceObject);
}

NTSTATUS ServiceDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\Device\\HostSvc");
    UNICODE_STRING link = RTL_CONSTANT_STRING(u"\\??\\HostSvc");
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    driver->MajorFunction[IRP_MJ_CREATE] = Open;
    driver->MajorFunction[IRP_MJ_CLOSE] = Open;
    driver->DriverUnload = ServiceDriverUnload;
    serviceDriverLoads++;
    return STATUS_SUCCESS;
}
NT_REGISTER_DRIVER_IMAGE("HostSvc.sys", ServiceDriverEntry);

// ---- The machine host ----

std::string folder;

class HostEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        w32host::StayEmbedded();
        folder = (std::filesystem::temp_directory_path() / ("host-test-" + std::to_string(getpid()))).string();
        std::filesystem::remove_all(folder);
        nt::MachineOptions options;
        options.folder = folder;
        options.clock = nt::ClockMode::Real;  // clients wait in real time
        options.loadDrivers = false;
        ASSERT_EQ(nt::Machine::Boot(options), STATUS_SUCCESS);
        PDRIVER_OBJECT driver;
        ASSERT_EQ(IoCreateDriver(u"HostTest", DriverEntry, &driver), STATUS_SUCCESS);
        std::string why;
        ASSERT_TRUE(host::StartServer(nt::Machine::Folder(), &why)) << why;
        folder = nt::Machine::Folder();
    }
    void TearDown() override
    {
        host::StopServer();
        if (nt::Machine::Running()) nt::Machine::Shutdown();
        std::filesystem::remove_all(folder);
    }
};
const bool registered = (::testing::AddGlobalTestEnvironment(new HostEnvironment), true);

hosttest::Child Client(std::vector<std::string> args) { return hosttest::Child(HOST_CLIENT_PATH, args, folder); }

TEST(MachineHost, SocketIsTheOwnersOnly)
{
    struct stat st;
    ASSERT_EQ(::stat((folder + "/host.sock").c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(MachineHost, NamedEventSetInOneClientReleasesAWaitInAnother)
{
    // The test's own process makes the event, so the waiter finds it made.
    HANDLE made = CreateEventA(nullptr, TRUE, FALSE, "HostTestGo");
    ASSERT_NE(made, nullptr);
    hosttest::Child waiter = Client({"wait", "HostTestGo", "60000"});
    ASSERT_TRUE(waiter.Started());
    ASSERT_TRUE(hosttest::Eventually([] { return host::ClientProcessCount() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(WaitForSingleObject(made, 0), WAIT_TIMEOUT);
    hosttest::Child setter = Client({"set", "HostTestGo"});
    EXPECT_EQ(setter.Line(), "set");
    EXPECT_EQ(waiter.Line(), "signalled");
    EXPECT_EQ(waiter.Wait(), 0);
    EXPECT_EQ(setter.Wait(), 0);
    // And the drivers' side sees the same object: the test's handle is signalled.
    EXPECT_EQ(WaitForSingleObject(made, 0), WAIT_OBJECT_0);
    CloseHandle(made);
}

TEST(MachineHost, WaitInAClientTimesOut)
{
    hosttest::Child waiter = Client({"wait", "HostTestNever", "300"});
    EXPECT_EQ(waiter.Line(), "timeout");
    EXPECT_EQ(waiter.Wait(), 1);
}

TEST(MachineHost, HandleValuesOfOneClientAreInvalidInAnother)
{
    hosttest::Child holder = Client({"hold", "HostTestStop"});
    std::string value = holder.Line();
    ASSERT_FALSE(value.empty());
    hosttest::Child poker = Client({"poke", value});
    EXPECT_EQ(poker.Line(), "error " + std::to_string(ERROR_INVALID_HANDLE));
    EXPECT_EQ(poker.Wait(), 0);
    HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, "HostTestStop");
    SetEvent(stop);
    EXPECT_EQ(holder.Line(), "untouched");
    EXPECT_EQ(holder.Wait(), 0);
    CloseHandle(stop);
}

void NothingDpc(PKDPC, PVOID, PVOID, PVOID) {}

ULONGLONG UnchargedDpcs()
{
    SYSTEM_INTERRUPT_RUN_TIME records[16];
    ULONG needed = 0;
    EXPECT_EQ(NtQuerySystemInformation(SystemInterruptRunTimeInformation, records, sizeof records, &needed),
              STATUS_SUCCESS);
    for (ULONG i = 0; i < needed / sizeof records[0]; ++i)
        if (records[i].Vector == 0) return records[i].Dpcs;
    return 0;
}

TEST(MachineHost, AClientReadsTheKernelsInterruptAccounts)
{
    // DPCs a thread queues are charged to no vector (vector 0).
    static KDPC dpc;
    KeInitializeDpc(&dpc, NothingDpc, nullptr);
    for (int i = 0; i < 5; ++i) {
        KeInsertQueueDpc(&dpc, nullptr, nullptr);
        KeFlushQueuedDpcs();
    }
    const ULONGLONG before = UnchargedDpcs();
    ASSERT_GE(before, 5u);
    hosttest::Child client = Client({"runtimes"});
    const std::string line = client.Line();
    ASSERT_EQ(line.rfind("dpcs ", 0), 0u) << line;
    const ULONGLONG seen = std::strtoull(line.c_str() + 5, nullptr, 10);
    EXPECT_GE(seen, before);
    EXPECT_LE(seen, UnchargedDpcs());
    EXPECT_EQ(client.Wait(), 0);
}

TEST(MachineHost, SemaphoreCountsAcrossTheProcessAndTheHost)
{
    HANDLE s = CreateSemaphoreA(nullptr, 2, 1000, "HostTestCount");
    hosttest::Child counter = Client({"count", "HostTestCount", "3"});
    EXPECT_EQ(counter.Line(), "count 5");
    EXPECT_EQ(counter.Wait(), 0);
    CloseHandle(s);
}

TEST(MachineHost, ASectionIsSharedByTwoClientsAndADriver)
{
    hosttest::Child writer = Client({"put", "HostTestShared", "0", "from the first", "HostTestSectionDone", "200"});
    ASSERT_EQ(writer.Line(), "put");
    hosttest::Child reader = Client({"get", "HostTestShared", "0"});
    EXPECT_EQ(reader.Line(), "from the first");
    EXPECT_EQ(reader.Wait(), 0);
    // A driver's view of the same section, in kernel mode.
    UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\BaseNamedObjects\\HostTestShared");
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE section;
    ASSERT_EQ(ZwOpenSection(&section, SECTION_ALL_ACCESS, &oa), STATUS_SUCCESS);
    PVOID base = nullptr;
    SIZE_T size = 0;
    ASSERT_EQ(ZwMapViewOfSection(section, NtCurrentProcess(), &base, 0, 0, nullptr, &size, ViewShare, 0,
                                 PAGE_READWRITE),
              STATUS_SUCCESS);
    EXPECT_STREQ(static_cast<char*>(base), "from the first");
    std::strcpy(static_cast<char*>(base) + 200, "from the driver");
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, "HostTestSectionDone");
    SetEvent(done);
    EXPECT_EQ(writer.Line(), "from the driver");
    EXPECT_EQ(writer.Wait(), 0);
    ZwUnmapViewOfSection(NtCurrentProcess(), base);
    ZwClose(section);
    CloseHandle(done);
}

TEST(MachineHost, RegistryAndFilesOfAClientAreTheMachines)
{
    hosttest::Child reg = Client({"reg", "Colour", "blue"});
    EXPECT_EQ(reg.Line(), "reg blue");
    EXPECT_EQ(reg.Wait(), 0);
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\HostTest", 0, KEY_READ, &key), ERROR_SUCCESS);
    char value[32] = {};
    DWORD size = sizeof value;
    EXPECT_EQ(RegQueryValueExA(key, "Colour", nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size), ERROR_SUCCESS);
    EXPECT_STREQ(value, "blue");
    RegCloseKey(key);

    hosttest::Child file = Client({"file", "C:\\hosttest.txt", "seven b"});
    EXPECT_EQ(file.Line(), "file 7");
    EXPECT_EQ(file.Wait(), 0);
    EXPECT_EQ(std::filesystem::file_size(folder + "/drives/C/hosttest.txt"), 7u);
}

TEST(MachineHost, EveryBufferMethodCarriesTheCallersData)
{
    hosttest::Child echo = Client({"echo"});
    EXPECT_EQ(echo.Line(), "echo ok");
    EXPECT_EQ(echo.Wait(), 0);
}

TEST(MachineHost, TwoClientsWaitOnTheDeviceTogether)
{
    hosttest::Child a = Client({"pend"});
    hosttest::Child b = Client({"pend"});
    ASSERT_TRUE(hosttest::Eventually([] { return PendingCount() == 2; }));
    CompletePending(42);
    EXPECT_EQ(a.Line(), "done 42");
    EXPECT_EQ(b.Line(), "done 42");
    EXPECT_EQ(a.Wait(), 0);
    EXPECT_EQ(b.Wait(), 0);
}

TEST(MachineHost, AnOverlappedRequestOfAClientCompletesIntoItsBuffers)
{
    hosttest::Child client = Client({"overlapped"});
    EXPECT_EQ(client.Line(), "pending");
    ASSERT_TRUE(hosttest::Eventually([] { return PendingCount() == 1; }));
    CompletePending(7);
    EXPECT_EQ(client.Line(), "done 7");
    EXPECT_EQ(client.Wait(), 0);
}

TEST(MachineHost, ADpcsWriteIntoALockedBufferIsSeenAtOnceInSharedMemoryAndAtCompletionElsewhere)
{
    const struct {
        const char* buffer;
        const char* whilePending;
    } cases[] = {
        {"shared", "seen 1234 before completion"},  // VirtualAlloc: the host's and the client's pages
        {"own", "unseen"},                          // a copy, carried back at completion
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.buffer);
        hosttest::Child client = Client({"ring", c.buffer});
        ASSERT_EQ(client.Line(), "pending");
        ASSERT_TRUE(hosttest::Eventually([] { return HeldCount() == 1; }));
        WriteHeldByDpc(1234);
        ASSERT_TRUE(hosttest::Eventually([] { return ringWritten.load(); }));
        EXPECT_EQ(client.Line(), c.whilePending);
        CompleteHeld();
        EXPECT_EQ(client.Line(), "done 1234");
        EXPECT_EQ(client.Wait(), 0);
    }
}

TEST(MachineHost, APointerInARequestReachesOnlyTheClientsSharedMemory)
{
    // A word of the host's own: a client naming it must not get it written.
    static volatile ULONG hostWord = 0x1234;
    const std::string hostAddress = std::to_string(reinterpret_cast<ULONG_PTR>(&hostWord));
    const struct {
        std::string target, expected;
    } cases[] = {
        {"shared", "poked 0x600d"},
        {hostAddress, "refused " + std::to_string(ERROR_NOACCESS)},
    };
    for (const auto& c : cases) {
        hosttest::Child client = Client({"poke-at", c.target});
        EXPECT_EQ(client.Line(), c.expected);
        EXPECT_EQ(client.Wait(), 0);
    }
    EXPECT_EQ(hostWord, 0x1234u);
}

TEST(MachineHost, AClientsThreadsApcsAndCompletionRoutinesRunInTheClient)
{
    hosttest::Child client = Client({"threads"});
    EXPECT_EQ(client.Line(), "threads apc 5 on its thread, exit 77, completion 7");
    EXPECT_EQ(client.Wait(), 0);
}

TEST(MachineHost, AKilledClientsPendingRequestIsCancelledAndItsCleanupRuns)
{
    int cleanupsBefore = cleanups, cancelsBefore = cancels;
    hosttest::Child victim = Client({"pend"});
    ASSERT_TRUE(hosttest::Eventually([] { return PendingCount() == 1; }));
    ASSERT_EQ(host::ClientProcessCount(), 1);
    victim.Kill();
    EXPECT_TRUE(hosttest::Eventually([&] { return cancels == cancelsBefore + 1; }));
    EXPECT_TRUE(hosttest::Eventually([&] { return cleanups == cleanupsBefore + 1; }));
    EXPECT_TRUE(hosttest::Eventually([] { return host::ClientProcessCount() == 0; }));
    EXPECT_EQ(PendingCount(), 0u);
    // The host goes on serving the others.
    hosttest::Child next = Client({"echo"});
    EXPECT_EQ(next.Line(), "echo ok");
}

}  // namespace

// ---- Hostile and broken messages ----

#include <fcntl.h>
#include <memory>
#include <random>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>

#include "platform/host/host_protocol.h"

namespace {

int RawConnection()
{
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s/host.sock", folder.c_str());
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// How long a receive may wait for the host's answer.
void ReceiveLimit(int fd, long seconds)
{
    timeval limit{seconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
}

std::vector<uint8_t> Hello(uint32_t token)
{
    hostproto::Writer w;
    w.U32(hostproto::kVersion).U32(1).U32(token).U32(0).Text(u"fuzz");
    return w.Body();
}

TEST(MachineHost, RandomAndTruncatedMessagesNeverHarmTheHost)
{
    std::mt19937 random(1234);
    auto bytes = [&](size_t n) {
        std::vector<uint8_t> b(n);
        for (auto& x : b) x = uint8_t(random());
        return b;
    };
    for (int round = 0; round < 400; round++) {
        int fd = RawConnection();
        ASSERT_GE(fd, 0) << "round " << round;
        int kind = round % 5;
        if (kind == 0) {  // noise
            auto b = bytes(random() % 64);
            (void)!::send(fd, b.data(), b.size(), MSG_NOSIGNAL);
        } else if (kind == 1) {  // a first message that is not a hello, or a broken hello
            auto body = bytes(random() % 96);
            hostproto::Send(fd, uint16_t(random() % (hostproto::kCallLimit + 2)), body);
        } else if (kind == 2) {  // a header promising more than it sends, or more than allowed
            hostproto::Header h{uint32_t(random() % 2 ? random() : 100), uint16_t(random()), 0};
            (void)!::send(fd, &h, sizeof h, MSG_NOSIGNAL);
        } else {  // attached, then calls with random or cut-down bodies
            // The hello is always answered, however loaded the host is;
            // a random call may wait for long, and the fuzzer hangs up
            // instead of waiting it out.
            ReceiveLimit(fd, 60);
            ASSERT_TRUE(hostproto::Send(fd, hostproto::kHello, Hello(0)));
            uint16_t call;
            std::vector<uint8_t> reply;
            ASSERT_TRUE(hostproto::Receive(fd, &call, &reply)) << "round " << round;
            ReceiveLimit(fd, 2);
            for (int i = 0; i < 4; i++) {
                uint16_t c = uint16_t(1 + random() % (hostproto::kCallLimit + 1));
                auto body = bytes(kind == 3 ? random() % 40 : 4 * (random() % 8));
                if (!hostproto::Send(fd, c, body) || !hostproto::Receive(fd, &call, &reply)) break;
            }
        }
        ::close(fd);
    }
    // A process token that was never given joins nothing.
    int fd = RawConnection();
    ReceiveLimit(fd, 60);
    ASSERT_TRUE(hostproto::Send(fd, hostproto::kHello, Hello(0xDEADBEEF)));
    uint16_t call;
    std::vector<uint8_t> reply;
    EXPECT_FALSE(hostproto::Receive(fd, &call, &reply));
    ::close(fd);
    EXPECT_TRUE(hosttest::Eventually([] { return host::ClientProcessCount() == 0; }));
    // Still serving.
    hosttest::Child client = Client({"echo"});
    EXPECT_EQ(client.Line(), "echo ok");
    EXPECT_EQ(client.Wait(), 0);
}

TEST(MachineHost, BrokenDirectoryRequestsAreRefused)
{
    auto notify = [](uint32_t file, uint32_t length, uint32_t arena) {
        hostproto::Writer w;
        w.U32(file).U32(length).U32(0x3).U32(0).U32(arena).U32(1);
        return w.Body();
    };
    auto query = [](uint32_t file, uint32_t length, uint32_t arena) {
        hostproto::Writer w;
        w.U32(file).U32(length).U32(FileNamesInformation).U32(0).U32(0).Text(u"").U32(1).U32(arena).U32(0);
        return w.Body();
    };
    const struct {
        const char* what;
        uint16_t call;
        std::vector<uint8_t> body;
        bool answered;  // else the connection ends
        NTSTATUS status;
    } cases[] = {
        {"notify cut short", hostproto::kNotifyChangeDirectory, {4, 0, 0, 0}, false, 0},
        {"notify too long", hostproto::kNotifyChangeDirectory, notify(4, hostproto::kMaxBody + 1, 0), false, 0},
        {"notify outside the arena", hostproto::kNotifyChangeDirectory, notify(4, 64, 0x1000), true,
         STATUS_ACCESS_VIOLATION},
        {"notify on no handle", hostproto::kNotifyChangeDirectory, notify(0x1234, 64, 0), true, STATUS_INVALID_HANDLE},
        {"query cut short", hostproto::kQueryDirectoryFile, {4, 0, 0, 0, 1, 0}, false, 0},
        {"query too long", hostproto::kQueryDirectoryFile, query(4, hostproto::kMaxBody + 1, 0), false, 0},
        {"query outside the arena", hostproto::kQueryDirectoryFile, query(4, 64, 0x1000), true, STATUS_ACCESS_VIOLATION},
        {"query on no handle", hostproto::kQueryDirectoryFile, query(0x1234, 64, 0), true, STATUS_INVALID_HANDLE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        int fd = RawConnection();
        ASSERT_GE(fd, 0);
        ReceiveLimit(fd, 60);
        uint16_t call;
        std::vector<uint8_t> reply;
        ASSERT_TRUE(hostproto::Send(fd, hostproto::kHello, Hello(0)));
        ASSERT_TRUE(hostproto::Receive(fd, &call, &reply));
        ASSERT_TRUE(hostproto::Send(fd, c.call, c.body));
        bool answered = hostproto::Receive(fd, &call, &reply);
        EXPECT_EQ(answered, c.answered);
        if (answered && c.answered) {
            hostproto::Reader r(reply.data(), reply.size());
            EXPECT_EQ(NTSTATUS(r.U32()), c.status);
        }
        ::close(fd);
    }
    EXPECT_TRUE(hosttest::Eventually([] { return host::ClientProcessCount() == 0; }));
}

TEST(MachineHost, AClientStartsAndStopsAKernelServiceThroughTheServiceManager)
{
    int loads = serviceDriverLoads;
    hosttest::Child client = Client({"service-driver"});
    for (const char* line : {"created", "twice 1073", "unknown 1060", "state 1", "started", "again 1056", "state 4",
                             "device opened", "stop 0 state 1", "stop again 1062", "device missing", "deleted 0",
                             "reopened 1060", "closed 6"})
        EXPECT_EQ(client.Line(), line);
    EXPECT_EQ(client.Wait(), 0);
    EXPECT_EQ(serviceDriverLoads, loads + 1);  // loaded in the host's kernel, once
}

TEST(MachineHost, AProgramsServiceRunsAsAClientAndStopsThroughItsHandler)
{
    hosttest::Child client = Client({"service-program", HOST_CLIENT_PATH});
    for (const char* line : {"state 4 accepts 1", "again 1056", "stop 0 state 1", "stop again 1062", "deleted 0"})
        EXPECT_EQ(client.Line(), line);
    EXPECT_EQ(client.Wait(), 0);
    // The same through the wide calls, with the names they cannot carry.
    hosttest::Child wide = Client({"service-program-wide", HOST_CLIENT_PATH});
    for (const char* line : {"database 123", "bad manager 6", "unheld name 123", "unheld open 123", "unknown 1060",
                             "state 4 accepts 1 arguments 3", "stop 0 state 1", "deleted 0"})
        EXPECT_EQ(wide.Line(), line);
    EXPECT_EQ(wide.Wait(), 0);
    // A program not started by the service manager has no dispatcher to join.
    hosttest::Child plain = Client({"not-a-service"});
    EXPECT_EQ(plain.Line(), "dispatcher 1063");
    EXPECT_EQ(plain.Wait(), 0);
}

TEST(MachineHost, TheReaderRefusesWhatItCannotHold)
{
    const struct {
        std::vector<uint8_t> body;
        bool ok;
    } cases[] = {
        {{}, false},
        {{1, 0, 0}, false},                  // a u32 cut short
        {{5, 0, 0, 0, 'a', 'b'}, false},     // a string longer than the rest
        {{0xFF, 0xFF, 0xFF, 0xFF}, false},   // a length that wraps
        {{1, 0, 0, 0, 'a', 0}, true},        // one UTF-16 unit
    };
    for (const auto& c : cases) {
        hostproto::Reader r(c.body.data(), c.body.size());
        r.Text();
        EXPECT_EQ(r.Finished(), c.ok);
    }
}

// Gives every field of a record its own value, so that a field the writer
// and the reader took in different orders would come back changed.
struct DistinctValues {
    uint32_t next = 1;
    std::vector<std::vector<uint8_t>> bytes;  // what the byte strings point at
    void Set(hostproto::U32& v) { v = next++ * 0x01010101u; }
    void Set(hostproto::I64& v) { v = -int64_t(next++) << 33; }
    void Set(hostproto::Text& v)
    {
        uint32_t n = next++;
        v = std::u16string(n % 5 + 1, char16_t(u'a' + n % 26));
    }
    void Set(hostproto::ByteSpan& v)
    {
        uint32_t n = next++;
        bytes.emplace_back(n % 7 + 1, uint8_t(n));
        v = hostproto::ByteSpan(bytes.back().data(), bytes.back().size());
    }
    void Set(hostproto::Attributes& v)
    {
        Set(v.attributes);
        Set(v.root);
        Set(v.hasName);
        Set(v.name);
    }
    void Set(hostproto::StatusBlock& v)
    {
        Set(v.written);
        Set(v.status);
        Set(v.information);
    }
    void Set(hostproto::Apc& v)
    {
        Set(v.routine);
        Set(v.context);
        Set(v.arg1);
        Set(v.arg2);
    }
    template <typename T>
    void Set(std::vector<T>& list)
    {
        list.resize(next++ % 3 + 1);
        for (auto& e : list) Set(e);
    }
};

// A record comes back from its own body field for field; the body cut
// short by a byte, or with a byte more, is refused.
template <typename Record>
void ExpectRoundTrip(const char* call)
{
    SCOPED_TRACE(call);
    DistinctValues values;
    Record sent;
    sent.Walk([&](const char*, auto& field) { values.Set(field); });
    hostproto::Writer w;
    hostproto::Encode(w, sent);
    std::vector<uint8_t> body = w.Body();
    Record received;
    ASSERT_TRUE(hostproto::Decode(body, received));
    EXPECT_EQ(hostproto::Describe(received), hostproto::Describe(sent));
    hostproto::Writer again;
    hostproto::Encode(again, received);
    EXPECT_EQ(again.Body(), body);
    std::vector<uint8_t> longer = body;
    longer.push_back(0);
    Record ignored;
    EXPECT_FALSE(hostproto::Decode(longer, ignored));
    if (!body.empty()) {
        body.pop_back();
        Record cut;
        EXPECT_FALSE(hostproto::Decode(body, cut));
    }
}

TEST(MachineHost, EveryCallsRecordsComeBackFromTheirBodies)
{
#define HOST_CALL(name, request, reply)                                  \
    ExpectRoundTrip<hostproto::name##Call::Request>(#name " request"); \
    ExpectRoundTrip<hostproto::name##Call::Reply>(#name " reply");
#include "platform/nt/nt_syscall.inc"
#undef HOST_CALL
}

}  // namespace

// ---- A client that speaks the protocol itself, as a hostile program would ----

namespace {

using hostproto::Reader;
using hostproto::Writer;

struct RawClient {
    int fd = -1;
    int arenaFd = -1;
    uint32_t arena = 0, arenaSize = 0;
    NTSTATUS helloStatus = STATUS_UNSUCCESSFUL;

    RawClient()
    {
        fd = RawConnection();
        if (fd < 0) return;
        ReceiveLimit(fd, 60);
        uint16_t call;
        std::vector<uint8_t> body;
        if (!hostproto::Send(fd, hostproto::kHello, Hello(0)) || !hostproto::Receive(fd, &call, &body, &arenaFd))
            return;
        Reader r(body.data(), body.size());
        helloStatus = NTSTATUS(r.U32());
        r.U32(), r.U32(), r.U32();
        arena = r.U32();
        arenaSize = r.U32();
    }
    ~RawClient() { Close(); }
    void Close()
    {
        if (fd >= 0) ::close(fd);
        if (arenaFd >= 0) ::close(arenaFd);
        fd = arenaFd = -1;
    }
    bool Send(uint16_t call, const Writer& w) { return hostproto::Send(fd, call, w.Body()); }
    // The reply's status; the rest stays in *body.
    NTSTATUS Answer(std::vector<uint8_t>* body, Reader* rest = nullptr, int* receivedFd = nullptr)
    {
        uint16_t call;
        if (!hostproto::Receive(fd, &call, body, receivedFd)) return STATUS_UNSUCCESSFUL;
        Reader r(body->data(), body->size());
        NTSTATUS status = NTSTATUS(r.U32());
        if (rest) *rest = r;
        return status;
    }
    uint32_t Open(const std::u16string& name, ACCESS_MASK access, ULONG options)
    {
        Writer w;
        w.U32(access).U32(0x40 /* case-insensitive */).U32(0).U32(1).Text(name);
        w.U32(0).I64(0).U32(0).U32(7).U32(FILE_OPEN).U32(options);
        std::vector<uint8_t> body;
        Reader r(nullptr, 0);
        if (!Send(hostproto::kCreateFile, w) || Answer(&body, &r) != STATUS_SUCCESS) return 0;
        return r.U32();
    }
    // An asynchronous transfer into the arena at 'offset'; the reply is left unread.
    bool SendTransfer(uint32_t file, uint32_t offset, uint32_t length)
    {
        Writer w;
        w.U32(file).U32(IOCTL_HT_DMA).U32(0).Bytes(nullptr, 0).U32(0).U32(0);
        w.U32(1).U32(length).Bytes(nullptr, 0).U32(arena + offset).U32(1);
        return Send(hostproto::kDeviceIoControl, w);
    }
    // The token of a request the host answered as pending (0 if not).
    uint32_t PendingToken(NTSTATUS* status = nullptr)
    {
        std::vector<uint8_t> body;
        Reader r(nullptr, 0);
        NTSTATUS s = Answer(&body, &r);
        if (status) *status = s;
        return s == STATUS_PENDING ? r.U32() : 0;
    }
    NTSTATUS Await(uint32_t token)
    {
        Writer w;
        w.U32(token);
        std::vector<uint8_t> body;
        return Send(hostproto::kAwaitRequest, w) ? Answer(&body) : STATUS_UNSUCCESSFUL;
    }
    // An asynchronous request the driver holds, its output 'length' bytes
    // of the host's: the status it got.
    NTSTATUS Pend(uint32_t device, uint32_t length)
    {
        Writer w;
        w.U32(device).U32(IOCTL_HT_PEND).U32(0).Bytes(nullptr, 0).U32(0).U32(0);
        w.U32(1).U32(length).Bytes(nullptr, 0).U32(0).U32(1);
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        if (Send(hostproto::kDeviceIoControl, w)) PendingToken(&status);
        return status;
    }
    NTSTATUS Notify(uint32_t directory, uint32_t length)
    {
        Writer w;
        w.U32(directory).U32(length).U32(0x3).U32(0).U32(0).U32(1);
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        if (Send(hostproto::kNotifyChangeDirectory, w)) PendingToken(&status);
        return status;
    }
};

TEST(MachineHost, APointerToTheHostsStackHeapOrImageOrToAnotherClientIsRefused)
{
    static volatile ULONG imageWord = 0x1234;
    auto* heapWord = new volatile ULONG(0x5678);
    RawClient other;
    ASSERT_EQ(other.helloStatus, STATUS_SUCCESS);
    ASSERT_NE(other.arena, 0u);
    auto number = [](const volatile void* p) { return std::to_string(reinterpret_cast<ULONG_PTR>(p)); };
    const std::string refused = "refused " + std::to_string(ERROR_NOACCESS);
    const struct {
        const char* what;
        std::string target, expected;
    } cases[] = {
        {"its own shared memory", "shared", "poked 0x600d"},
        {"the serving thread's stack", std::to_string(HT_POKE_OWN_STACK), refused},
        {"the host's image", number(&imageWord), refused},
        {"the host's heap", number(heapWord), refused},
        {"another client's shared memory", std::to_string(other.arena + 64), refused},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        hosttest::Child client = Client({"poke-at", c.target});
        EXPECT_EQ(client.Line(), c.expected);
        EXPECT_EQ(client.Wait(), 0);
    }
    EXPECT_EQ(imageWord, 0x1234u);
    EXPECT_EQ(*heapWord, 0x5678u);
    delete heapWord;
}

TEST(MachineHost, SharedMemoryCannotBeShrunkAndAReadOnlyViewCannotBeWritten)
{
    DmaEngine engine(8);
    RawClient client;
    ASSERT_EQ(client.helloStatus, STATUS_SUCCESS);
    ASSERT_GE(client.arenaFd, 0);
    // The arena's memory file, truncated while a transfer fills it.
    uint32_t device = client.Open(u"\\??\\HostTest", GENERIC_READ | GENERIC_WRITE, 0);
    ASSERT_NE(device, 0u);
    ASSERT_TRUE(client.SendTransfer(device, 0, 4u << 20));
    uint32_t token = client.PendingToken();
    ASSERT_NE(token, 0u);
    EXPECT_NE(::ftruncate(client.arenaFd, 0), 0);
    EXPECT_NE(::ftruncate(client.arenaFd, off_t(client.arenaSize) * 2), 0);
    EXPECT_EQ(::fcntl(client.arenaFd, F_ADD_SEALS, 0), -1);  // sealed for good
    EXPECT_EQ(client.Await(token), STATUS_SUCCESS);

    // A section mapped for reading only comes as a file opened for reading only.
    Writer create;
    create.U32(SECTION_ALL_ACCESS).U32(0).U32(0).U32(0).Text(u"").U32(1).I64(0x10000).U32(PAGE_READWRITE).U32(SEC_COMMIT);
    std::vector<uint8_t> body;
    Reader r(nullptr, 0);
    ASSERT_TRUE(client.Send(hostproto::kCreateSection, create));
    ASSERT_EQ(client.Answer(&body, &r), STATUS_SUCCESS);
    uint32_t section = r.U32();
    for (ULONG protect : {ULONG(PAGE_READONLY), ULONG(PAGE_READWRITE)}) {
        SCOPED_TRACE(protect);
        Writer map;
        map.U32(section).U32(protect).I64(0).U32(0);
        int fd = -1;
        ASSERT_TRUE(client.Send(hostproto::kMapSection, map));
        ASSERT_EQ(client.Answer(&body, nullptr, &fd), STATUS_SUCCESS);
        ASSERT_GE(fd, 0);
        EXPECT_NE(::ftruncate(fd, 0), 0);
        void* writable = ::mmap(nullptr, 0x10000, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (protect == PAGE_READONLY) {
            EXPECT_EQ(::fcntl(fd, F_GETFL) & O_ACCMODE, O_RDONLY);
            EXPECT_EQ(writable, MAP_FAILED);
        } else {
            EXPECT_NE(writable, MAP_FAILED);
        }
        if (writable != MAP_FAILED) ::munmap(writable, 0x10000);
        ::close(fd);
    }
    client.Close();
    EXPECT_TRUE(hosttest::Eventually([] { return host::ClientProcessCount() == 0; }));
    hosttest::Child next = Client({"echo"});
    EXPECT_EQ(next.Line(), "echo ok");
}

// The clients' shared memory this process maps now (it is the host).
int ArenaMappings()
{
    FILE* maps = std::fopen("/proc/self/maps", "r");
    if (!maps) return 0;
    int count = 0;
    char line[512];
    while (std::fgets(line, sizeof line, maps))
        if (std::strstr(line, "client-arena")) count++;
    std::fclose(maps);
    return count;
}

TEST(MachineHost, AClientGoneAtAnyPointOfAPendingTransferNeverHarmsTheHost)
{
    DmaEngine engine(16);
    enum Point { kBeforeItsWait, kDuring, kAfter };
    for (int round = 0; round < 100; round++) {
        for (Point point : {kBeforeItsWait, kDuring, kAfter}) {
            SCOPED_TRACE("round " + std::to_string(round) + " point " + std::to_string(point));
            RawClient client;
            ASSERT_EQ(client.helloStatus, STATUS_SUCCESS);
            uint32_t device = client.Open(u"\\??\\HostTest", GENERIC_READ | GENERIC_WRITE, 0);
            ASSERT_NE(device, 0u);
            int started = engine.started;
            ASSERT_TRUE(client.SendTransfer(device, 4096, 4u << 20));
            if (point != kBeforeItsWait) {
                uint32_t token = client.PendingToken();
                ASSERT_NE(token, 0u);
                if (point == kDuring) {
                    ASSERT_TRUE(hosttest::Eventually([&] { return engine.started > started; }));
                } else {
                    EXPECT_EQ(client.Await(token), STATUS_SUCCESS);
                }
            }
            client.Close();  // as the system closes a killed process's socket
        }
    }
    EXPECT_TRUE(hosttest::Eventually([] { return host::ClientProcessCount() == 0; }));
    // Let go of once the transfers ended, with no new client to prompt it.
    EXPECT_TRUE(hosttest::Eventually([] { return ArenaMappings() == 0; }));
    EXPECT_EQ(host::ConnectionCount(), 0);
    hosttest::Child next = Client({"echo"});
    EXPECT_EQ(next.Line(), "echo ok");
}

TEST(MachineHost, AWin32ClientKilledAtEachPointOfItsTransferLeavesTheHostServing)
{
    DmaEngine engine(16);
    enum Point { kAtOnce, kPending, kDuring, kAfter };
    for (int round = 0; round < 5; round++) {
        for (Point point : {kAtOnce, kPending, kDuring, kAfter}) {
            SCOPED_TRACE("round " + std::to_string(round) + " point " + std::to_string(point));
            int started = engine.started;
            hosttest::Child client = Client({"transfer"});
            if (point != kAtOnce) {
                ASSERT_EQ(client.Line(), "pending");
            }
            if (point == kDuring) {
                ASSERT_TRUE(hosttest::Eventually([&] { return engine.started > started; }));
            }
            if (point == kAfter) {
                EXPECT_EQ(client.Line(), "done 0x4f");  // the engine's last pass
            }
            client.Kill();
            client.Wait();
        }
    }
    EXPECT_TRUE(hosttest::Eventually([] { return host::ClientProcessCount() == 0; }));
    EXPECT_TRUE(hosttest::Eventually([] { return ArenaMappings() == 0; }));
    hosttest::Child next = Client({"echo"});
    EXPECT_EQ(next.Line(), "echo ok");
}

TEST(MachineHost, AHostStoppedWithATransferPendingStopsWholeAndServesAgain)
{
    DmaEngine engine(400);  // long enough to be running when the host stops
    RawClient client;
    ASSERT_EQ(client.helloStatus, STATUS_SUCCESS);
    uint32_t device = client.Open(u"\\??\\HostTest", GENERIC_READ | GENERIC_WRITE, 0);
    ASSERT_NE(device, 0u);
    ASSERT_TRUE(client.SendTransfer(device, 0, 4u << 20));
    ASSERT_NE(client.PendingToken(), 0u);
    ASSERT_TRUE(hosttest::Eventually([&] { return engine.started == 1; }));
    host::StopServer();
    EXPECT_EQ(host::ClientProcessCount(), 0);
    std::string why;
    ASSERT_TRUE(host::StartServer(folder, &why)) << why;
    client.Close();
    EXPECT_TRUE(hosttest::Eventually([&] { return engine.finished == 1; }));
    hosttest::Child next = Client({"echo"});
    EXPECT_EQ(next.Line(), "echo ok");
}

TEST(MachineHost, PastEachLimitTheCallFailsWithItsErrorAndTheOthersAreServed)
{
    {
        SCOPED_TRACE("threads");
        hosttest::Child many = Client({"many-threads", "1000"});
        EXPECT_EQ(many.Line(), "threads 64 error " + std::to_string(ERROR_TOO_MANY_TCBS));
        EXPECT_EQ(many.Wait(), 0);
    }
    {
        SCOPED_TRACE("pending requests");
        RawClient waiter;
        uint32_t device = waiter.Open(u"\\??\\HostTest", GENERIC_READ | GENERIC_WRITE, 0);
        ASSERT_NE(device, 0u);
        int pending = 0, refused = 0;
        for (int i = 0; i < 1000; i++) {
            NTSTATUS s = waiter.Pend(device, sizeof(ULONG));
            if (s == STATUS_PENDING) pending++;
            if (s == STATUS_INSUFFICIENT_RESOURCES) refused++;
        }
        EXPECT_EQ(pending, 64);
        EXPECT_EQ(refused, 1000 - 64);
        // What a request holds is what its caller asked for, within a budget.
        RawClient greedy;
        uint32_t other = greedy.Open(u"\\??\\HostTest", GENERIC_READ | GENERIC_WRITE, 0);
        ASSERT_NE(other, 0u);
        const NTSTATUS expected[] = {STATUS_PENDING, STATUS_PENDING, STATUS_PENDING, STATUS_PENDING, STATUS_NO_MEMORY};
        for (NTSTATUS e : expected) EXPECT_EQ(greedy.Pend(other, 15u << 20), e);
        hosttest::Child meanwhile = Client({"echo"});
        EXPECT_EQ(meanwhile.Line(), "echo ok");
    }
    {
        SCOPED_TRACE("processes");
        EXPECT_TRUE(hosttest::Eventually([] { return host::ClientProcessCount() == 0; }));
        std::vector<std::unique_ptr<RawClient>> clients;
        int attached = 0, refused = 0;
        for (int i = 0; i < 200; i++) {
            clients.push_back(std::make_unique<RawClient>());
            if (clients.back()->helloStatus == STATUS_SUCCESS) attached++;
            if (clients.back()->helloStatus == STATUS_INSUFFICIENT_RESOURCES) refused++;
        }
        EXPECT_EQ(attached, 64);
        EXPECT_EQ(refused, 200 - 64);
        clients.erase(clients.begin());  // one leaves: one more may come
        hosttest::Child next = Client({"echo"});
        EXPECT_EQ(next.Line(), "echo ok");
    }
    EXPECT_TRUE(hosttest::Eventually([] { return host::ClientProcessCount() == 0; }));
}

// A DPC writes 'value' into the first and the last word of a held ring.
KDPC ringEndsDpc[8];
std::atomic<int> ringEndsWritten{0};

void WriteRingEnds(PKDPC, PVOID context, PVOID argument, PVOID)
{
    auto* ring = static_cast<HeldRing*>(argument);
    ULONG value = ULONG(reinterpret_cast<ULONG_PTR>(context));
    PMDL first = ring->pieces.front(), last = ring->pieces.back();
    auto* head = static_cast<ULONG*>(MmGetSystemAddressForMdlSafe(first, NormalPagePriority));
    auto* tail = static_cast<ULONG*>(MmGetSystemAddressForMdlSafe(last, NormalPagePriority));
    __atomic_store_n(&tail[MmGetMdlByteCount(last) / sizeof(ULONG) - 1], value, __ATOMIC_RELEASE);
    __atomic_store_n(head, value, __ATOMIC_RELEASE);
    ringEndsWritten++;
}

TEST(MachineHost, EightClientsSeeADpcWriteIntoTheirOwn48MegabyteRingsWhileTheRequestsArePending)
{
    constexpr int kClients = 8;
    std::vector<std::unique_ptr<hosttest::Child>> clients;
    for (int i = 0; i < kClients; i++)
        clients.push_back(std::make_unique<hosttest::Child>(
            HOST_CLIENT_PATH, std::vector<std::string>{"ring", "shared", "47267840"}, folder));
    for (auto& c : clients) ASSERT_EQ(c->Line(), "pending");
    std::vector<HeldRing> held;
    ASSERT_TRUE(hosttest::Eventually([&] {
        std::lock_guard<std::mutex> g(pendingLock);
        held = rings;
        return held.size() == size_t(kClients);
    }));
    ringEndsWritten = 0;
    for (int i = 0; i < kClients; i++) {
        KeInitializeDpc(&ringEndsDpc[i], WriteRingEnds, reinterpret_cast<PVOID>(ULONG_PTR(4321)));
        KeInsertQueueDpc(&ringEndsDpc[i], &held[i], nullptr);
    }
    ASSERT_TRUE(hosttest::Eventually([] { return ringEndsWritten == kClients; }));
    for (auto& c : clients) EXPECT_EQ(c->Line(), "seen 4321 at both ends before completion");
    std::vector<HeldRing> ending;
    {
        std::lock_guard<std::mutex> g(pendingLock);
        ending.swap(rings);
    }
    for (HeldRing& ring : ending) {
        if (!IoSetCancelRoutine(ring.irp, nullptr)) continue;
        UnlockRing(ring);
        Complete(ring.irp, STATUS_SUCCESS, 0);
    }
    for (auto& c : clients) {
        EXPECT_EQ(c->Line(), "done 4321");
        EXPECT_EQ(c->Wait(), 0);
    }
}

}  // namespace
