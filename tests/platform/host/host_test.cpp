// One machine, many processes: this test program boots a machine with a
// small driver, serves it as a machine host, and starts client programs
// (host_client) that attach to it. Named objects, handles, device requests
// and the end of a client process are checked across the processes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
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
        NTSTATUS status = SehTry([&] {
            ProbeForRead(from, sizeof *from, 1);
            auto* word = reinterpret_cast<ULONG*>(*from);
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

#include <random>
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

}  // namespace
