// The machine: its folder, drivers started from their service keys at boot,
// the event log (kernel entries and the service's reports), shutdown
// notification and unload, and booting again in the same process.
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/nt/kernel.h"
#include "platform/nt/nt_syscall.h"
#include "tests/support/machine_fixture.h"

namespace {

// What the test drivers saw, across boots.
struct DriverLog {
    std::vector<std::string> events;  // "<image>:entry <registry path>", "<image>:shutdown", "<image>:unload"
};
DriverLog driverLog;

std::string ServiceOf(PDRIVER_OBJECT driver)
{
    const UNICODE_STRING& n = driver->DriverExtension->ServiceKeyName;
    return NtNarrow(std::u16string(n.Buffer, n.Length / 2));
}

NTSTATUS Shutdown(PDEVICE_OBJECT device, PIRP irp)
{
    driverLog.events.push_back(ServiceOf(device->DriverObject) + ":shutdown");
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

void Unload(PDRIVER_OBJECT driver)
{
    driverLog.events.push_back(ServiceOf(driver) + ":unload");
    while (driver->DeviceObject) {
        IoUnregisterShutdownNotification(driver->DeviceObject);
        IoDeleteDevice(driver->DeviceObject);
    }
}

// A driver as the board's: a device, shutdown notification, one error-log
// entry with a string and dump data.
NTSTATUS GoodEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    std::u16string path(registryPath->Buffer, registryPath->Length / 2);
    std::u16string service = path.substr(path.rfind(u'\\') + 1);
    driverLog.events.push_back(NtNarrow(service) + ":entry " + NtNarrow(path));
    driver->DriverUnload = Unload;
    driver->MajorFunction[IRP_MJ_SHUTDOWN] = Shutdown;
    PDEVICE_OBJECT device;
    std::u16string deviceName = u"\\Device\\" + service;
    UNICODE_STRING dn{USHORT(deviceName.size() * 2), USHORT(deviceName.size() * 2), deviceName.data()};
    NTSTATUS s = IoCreateDevice(driver, 0, &dn, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(s)) return s;
    IoRegisterShutdownNotification(device);

    const char16_t text[] = u"board 0";
    UCHAR size = UCHAR(offsetof(IO_ERROR_LOG_PACKET, DumpData) + 4 + sizeof text);
    auto* entry = static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(driver, size));
    if (!entry) return STATUS_INSUFFICIENT_RESOURCES;
    entry->ErrorCode = (NTSTATUS)0x40070014;
    entry->FinalStatus = STATUS_SUCCESS;
    entry->DumpDataSize = 4;
    entry->DumpData[0] = 0x11223344;
    entry->NumberOfStrings = 1;
    entry->StringOffset = USHORT(offsetof(IO_ERROR_LOG_PACKET, DumpData) + 4);
    std::memcpy(reinterpret_cast<UCHAR*>(entry) + entry->StringOffset, text, sizeof text);
    IoWriteErrorLogEntry(entry);
    return STATUS_SUCCESS;
}

NTSTATUS FailingEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_DEVICE_NOT_READY; }

NT_REGISTER_DRIVER_IMAGE("MtGood.sys", GoodEntry);
NT_REGISTER_DRIVER_IMAGE("MtFailing.sys", FailingEntry);

class MachineTest : public MachineFixture {
protected:
    void SetUp() override
    {
        driverLog = {};
        MachineFixture::SetUp();
    }
    std::vector<nt::EventLogRecord> RecordsFrom(const std::u16string& source)
    {
        std::vector<nt::EventLogRecord> out;
        for (auto& r : nt::EventLogRead())
            if (r.source == source) out.push_back(r);
        return out;
    }
};

const std::string kServices = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";

TEST_F(MachineTest, ANewFolderGetsTheDefaultRegistryAndSystemDrive)
{
    EXPECT_TRUE(std::filesystem::is_regular_file(Folder() + "/registry.txt"));
    EXPECT_TRUE(std::filesystem::is_directory(Folder() + "/drives/C/WINNT/system32/drivers"));
    EXPECT_EQ(nt::Machine::DriveFolder('C'), std::filesystem::canonical(Folder() + "/drives/C").string());
    EXPECT_TRUE(nt::Machine::Running());
    for (const char16_t* key : {u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\EventLog\\System",
                                u"\\Registry\\Machine\\System\\CurrentControlSet\\Control", u"\\Registry\\User\\.Default"})
        EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_ABSOLUTE, const_cast<PWSTR>(key)), STATUS_SUCCESS)
            << NtNarrow(key);
    EXPECT_EQ(nt::Machine::Boot(Options()), STATUS_INVALID_DEVICE_STATE);  // one machine at a time
    EXPECT_TRUE(nt::EventLogRead().empty());
}

TEST_F(MachineTest, BootStartsDriversOfStartUpToTwoInStartThenNameOrder)
{
    ASSERT_EQ(InstallDriver(u"Zeta", "MtGood.sys", 1), STATUS_SUCCESS);
    ASSERT_EQ(InstallDriver(u"alpha", "MtGood.sys", 2), STATUS_SUCCESS);
    ASSERT_EQ(InstallDriver(u"Beta", "MtGood.sys", 2), STATUS_SUCCESS);
    ASSERT_EQ(InstallDriver(u"OnDemand", "MtGood.sys", 3), STATUS_SUCCESS);
    ASSERT_EQ(InstallDriver(u"Disabled", "MtGood.sys", 4), STATUS_SUCCESS);
    // A user-mode service with Start 2 is not the kernel's to load.
    ASSERT_EQ(InstallDriver(u"SomeService", "MtGood.sys", 2), STATUS_SUCCESS);
    ASSERT_EQ(SetDword(RTL_REGISTRY_SERVICES, u"SomeService", u"Type", 0x10), STATUS_SUCCESS);
    EXPECT_TRUE(driverLog.events.empty());

    Reboot();
    EXPECT_EQ(driverLog.events, (std::vector<std::string>{"Zeta:entry " + kServices + "Zeta",
                                                          "alpha:entry " + kServices + "alpha",
                                                          "Beta:entry " + kServices + "Beta"}));
    std::vector<std::u16string> loaded;
    for (auto& [name, driver] : nt::IoLoadedDrivers()) loaded.push_back(name);
    EXPECT_NE(std::find(loaded.begin(), loaded.end(), u"Zeta"), loaded.end());
    EXPECT_EQ(std::find(loaded.begin(), loaded.end(), u"OnDemand"), loaded.end());

    // Demand start: loaded when asked.
    driverLog.events.clear();
    EXPECT_EQ(LoadDriver(u"OnDemand"), STATUS_SUCCESS);
    EXPECT_EQ(driverLog.events, (std::vector<std::string>{"OnDemand:entry " + kServices + "OnDemand"}));
}

TEST_F(MachineTest, DriverEntriesLogToTheEventLogAndFailuresAreLogged)
{
    ASSERT_EQ(InstallDriver(u"Good", "MtGood.sys", 1), STATUS_SUCCESS);
    ASSERT_EQ(InstallDriver(u"Broken", "MtFailing.sys", 1), STATUS_SUCCESS);
    ASSERT_EQ(InstallDriver(u"Missing", "NotBuiltIn.sys", 1), STATUS_SUCCESS);
    Reboot();

    auto good = RecordsFrom(u"Good");
    ASSERT_EQ(good.size(), 1u);
    EXPECT_EQ(good[0].eventId, 0x40070014u);
    EXPECT_EQ(good[0].type, 4);
    EXPECT_EQ(good[0].strings, (std::vector<std::u16string>{u"board 0"}));
    EXPECT_EQ(good[0].data, (std::vector<UCHAR>{0x44, 0x33, 0x22, 0x11}));

    auto scm = RecordsFrom(u"Service Control Manager");
    ASSERT_EQ(scm.size(), 2u);
    std::vector<std::u16string> failed = {scm[0].strings.at(0), scm[1].strings.at(0)};
    std::sort(failed.begin(), failed.end());
    EXPECT_EQ(failed, (std::vector<std::u16string>{u"Broken", u"Missing"}));
    for (auto& r : scm) {
        EXPECT_EQ(r.type, 1);
        EXPECT_EQ(r.eventId, 0xC0001B58u);
    }
    for (auto& [name, driver] : nt::IoLoadedDrivers()) EXPECT_NE(name, u"Broken");

    // The file is readable text with the id in hex.
    std::ifstream in(Folder() + "/eventlog.txt");
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("id = 0x40070014"), std::string::npos);
    EXPECT_NE(text.str().find("source = \"Good\""), std::string::npos);
}

TEST_F(MachineTest, ShutdownNotifiesAndUnloadsAndTheMachineBootsAgain)
{
    ASSERT_EQ(InstallDriver(u"Board", "MtGood.sys", 1), STATUS_SUCCESS);
    Reboot();
    driverLog.events.clear();
    nt::Machine::Shutdown();
    EXPECT_FALSE(nt::Machine::Running());
    EXPECT_EQ(driverLog.events, (std::vector<std::string>{"Board:shutdown", "Board:unload"}));

    // Booting again in the same process: the driver's device name is free
    // again, the registry is the folder's, the event log continues.
    driverLog.events.clear();
    ASSERT_EQ(nt::Machine::Boot(Options()), STATUS_SUCCESS);
    EXPECT_EQ(driverLog.events.size(), 1u);
    auto records = RecordsFrom(u"Board");
    ASSERT_EQ(records.size(), 2u);  // one per boot
    EXPECT_LT(records[0].sequence, records[1].sequence);
}

size_t HostThreadsOfThisProcess()
{
    size_t count = 0;
    for ([[maybe_unused]] const auto& task : std::filesystem::directory_iterator("/proc/self/task")) count++;
    return count;
}

// The count once the tasks of threads joined a moment ago have left /proc
// (it holds still for 100 ms, or a second has gone by).
size_t SettledHostThreads()
{
    size_t count = HostThreadsOfThisProcess();
    for (int tries = 0, still = 0; tries < 100 && still < 10; tries++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const size_t now = HostThreadsOfThisProcess();
        still = now == count ? still + 1 : 0;
        count = now;
    }
    return count;
}

// A shut-down machine leaves no thread of its own running: the process can
// fork safely right after (a forked child has only the forking thread).
TEST_F(MachineTest, ShutdownJoinsEveryThreadTheMachineStarted)
{
    nt::Machine::Shutdown();
    const size_t before = SettledHostThreads();
    ASSERT_EQ(nt::Machine::Boot(Options()), STATUS_SUCCESS);
    EXPECT_GT(HostThreadsOfThisProcess(), before);  // the clock's context, the work queue
    nt::Machine::Shutdown();
    // A joined thread's task may linger a moment in /proc after the join.
    for (int tries = 0; tries < 100 && HostThreadsOfThisProcess() > before; tries++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(HostThreadsOfThisProcess(), before);
    ASSERT_EQ(nt::Machine::Boot(Options()), STATUS_SUCCESS);  // for TearDown
}

TEST_F(MachineTest, ReportEventKeepsEverythingTheServiceGave)
{
    std::vector<UCHAR> data = {0, 1, 2, 0xff};
    std::vector<std::u16string> strings = {u"first \"one\"", u"line\nbreak", u""};
    EXPECT_EQ(NtReportEvent(u"ZarService", 2, 3, 0x80001234, strings, data.data(), ULONG(data.size())),
              STATUS_SUCCESS);
    EXPECT_EQ(NtReportEvent(u"", 2, 0, 1, {}, nullptr, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(NtReportEvent(u"ZarService", 3, 0, 1, {}, nullptr, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(NtReportEvent(u"ZarService", 4, 0, 1, {}, reinterpret_cast<void*>(0x10), 4), STATUS_ACCESS_VIOLATION);

    auto records = RecordsFrom(u"ZarService");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].type, 2);
    EXPECT_EQ(records[0].category, 3);
    EXPECT_EQ(records[0].eventId, 0x80001234u);
    EXPECT_EQ(records[0].strings, strings);
    EXPECT_EQ(records[0].data, data);
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    EXPECT_LE(records[0].systemTime, now.QuadPart);
    EXPECT_GT(records[0].systemTime, 0);

    nt::EventLogClear();
    EXPECT_TRUE(nt::EventLogRead().empty());
}

}  // namespace
