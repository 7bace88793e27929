// ZARKD's release of a board: after a start that failed part-way, of a
// foreign bridge, and of a running board whose DPCs and diagnostic client
// are still about when the driver unloads.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "drivers/board/zar_driver.h"
#include "platform/nt/clock.h"
#include "platform/nt/nt_internal.h"
#include "platform/nt/nt_syscall.h"
#include "tests/support/zarkd_machine.h"

namespace {

const ULONG kTags[] = {ZAR_TAG_HARDWARE_INFO, ZAR_TAG_I2C, ZAR_TAG_DEBI, ZAR_TAG_BRS,
                       ZAR_TAG_HPS,           ZAR_TAG_SCSI, ZAR_TAG_WORK};

class ZarkdUnload : public ZarkdMachineFixture {
protected:
    void TearDown() override
    {
        ExSetPoolFailureHook(nullptr);
        ZarkdMachineFixture::TearDown();
    }

    static PZAR_DEVICE_EXTENSION Ext() { return ZarkdBoard(0); }

    static void ExpectNoPoolLeft()
    {
        for (ULONG tag : kTags) EXPECT_EQ(ExPoolBytesWithTag(tag), 0u) << std::hex << tag;
    }
};

// ---- a start that failed part-way ----

TEST_F(ZarkdUnload, FailedStartReleasesExactlyWhatWasMade)
{
    // Each case fails one pool allocation of the device's set-up; what the
    // start made before it must all be released, and the board must start
    // cleanly afterwards (nothing of the first try left connected).
    static SIZE_T failBytes;
    static ULONG failAfter, seen;
    const struct {
        const char* name;
        SIZE_T bytes;
        ULONG after;  // allocations of that size that succeed first
    } cases[] = {
        {"work area", 73728, 0},
        {"capture area", 528384, 0},
        {"second audio work buffer", 8000, 1},
        {"third audio work buffer", 8000, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        failBytes = c.bytes;
        failAfter = c.after;
        seen = 0;
        ExSetPoolFailureHook([](POOL_TYPE, SIZE_T bytes, ULONG tag) {
            return tag == ZAR_TAG_WORK && bytes == failBytes && seen++ >= failAfter;
        });
        EXPECT_EQ(LoadDriver(u"ZARKD"), STATUS_INSUFFICIENT_RESOURCES);
        ExSetPoolFailureHook(nullptr);
        EXPECT_EQ(seen, c.after + 1);
        ExpectNoPoolLeft();

        ASSERT_EQ(LoadDriver(u"ZARKD"), STATUS_SUCCESS);
        ASSERT_NE(Ext(), nullptr);
        EXPECT_NE(Ext()->InterruptObject, nullptr);
        ASSERT_EQ(nt::IoUnloadDriver(u"ZARKD"), STATUS_SUCCESS);
        ExpectNoPoolLeft();
    }
}

// ---- a running board ----

std::atomic<int> g_dpcRuns;
std::atomic<bool> g_dpcSawBuffers;

void ProbeDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* ext = static_cast<PZAR_DEVICE_EXTENSION>(context);
    g_dpcSawBuffers = ext->AudioBuffer.VirtualAddress != nullptr && ext->LookasidesReady && ext->Registers != nullptr;
    ++g_dpcRuns;
}

TEST_F(ZarkdUnload, QueuedDpcRunsBeforeTheBuffersItTouchesAreFreed)
{
    ASSERT_EQ(LoadDriver(u"ZARKD"), STATUS_SUCCESS);
    PZAR_DEVICE_EXTENSION ext = Ext();
    ASSERT_NE(ext, nullptr);
    g_dpcRuns = 0;
    g_dpcSawBuffers = false;
    KeInitializeDpc(&ext->DpcBrsDma, ProbeDpc, ext);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    ASSERT_TRUE(KeInsertQueueDpc(&ext->DpcBrsDma, nullptr, nullptr));
    KeLowerIrql(old);
    ASSERT_EQ(nt::IoUnloadDriver(u"ZARKD"), STATUS_SUCCESS);
    EXPECT_EQ(g_dpcRuns, 1);
    EXPECT_TRUE(g_dpcSawBuffers);
    ExpectNoPoolLeft();
}

std::atomic<bool> g_dpcSynchronised;

BOOLEAN NoteSynchronised(PVOID)
{
    g_dpcSynchronised = true;
    return TRUE;
}

// Runs while the release goes on, as an I2C DPC of the last transfer
// would: it lets the release stop the threads, gives it time to go on, and
// then synchronises with the interrupt as the I2C DPC does, through the
// object the extension holds. That object must not go while a DPC runs.
void SynchronisingDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* ext = static_cast<PZAR_DEVICE_EXTENSION>(context);
    // Stalls, not spins: the release goes on on the machine's clock, which
    // moves only while this DPC waits in a stall.
    auto threadsRun = [ext] { return *reinterpret_cast<PVOID volatile*>(&ext->DspThread.Thread) != nullptr; };
    while (threadsRun()) KeStallExecutionProcessor(10);
    for (ULONG waited = 0; waited < 300000 && *static_cast<PKINTERRUPT volatile*>(&ext->InterruptObject) != nullptr;
         waited += 10)
        KeStallExecutionProcessor(10);
    if (PKINTERRUPT interrupt = *static_cast<PKINTERRUPT volatile*>(&ext->InterruptObject))
        KeSynchronizeExecution(interrupt, NoteSynchronised, nullptr);
    ++g_dpcRuns;
}

TEST_F(ZarkdUnload, QueuedDpcStillFindsTheInterruptItSynchronisesWith)
{
    ASSERT_EQ(LoadDriver(u"ZARKD"), STATUS_SUCCESS);
    PZAR_DEVICE_EXTENSION ext = Ext();
    ASSERT_NE(ext, nullptr);
    g_dpcRuns = 0;
    g_dpcSynchronised = false;
    KeInitializeDpc(&ext->DpcI2c, SynchronisingDpc, ext);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    ASSERT_TRUE(KeInsertQueueDpc(&ext->DpcI2c, nullptr, nullptr));
    KeLowerIrql(old);
    ASSERT_EQ(nt::IoUnloadDriver(u"ZARKD"), STATUS_SUCCESS);
    EXPECT_EQ(g_dpcRuns, 1);
    EXPECT_TRUE(g_dpcSynchronised);
    ExpectNoPoolLeft();
}

TEST_F(ZarkdUnload, WritesLeftInAHungI2cEngineAreEndedAtRelease)
{
    ASSERT_EQ(LoadDriver(u"ZARKD"), STATUS_SUCCESS);
    PZAR_DEVICE_EXTENSION ext = Ext();
    ASSERT_NE(ext, nullptr);
    nt::ClockRunUntilIdle();
    built_.boards[0]->I2c().SetHang(true);
    // One write sticks in the engine, the others queue behind it; nobody
    // waits for any of them.
    for (ULONG i = 0; i < 3; ++i) {
        ZAR_I2C_COMMAND write{ZAR_I2C_WRITE_NO_WAIT, 0x8C, 0x6B, i};
        ASSERT_EQ(ZarI2cCommand(ext, &write), STATUS_SUCCESS);
    }
    EXPECT_NE(ext->I2c.CurrentEntry, nullptr);
    ASSERT_EQ(nt::IoUnloadDriver(u"ZARKD"), STATUS_SUCCESS);
    ExpectNoPoolLeft();
}

TEST_F(ZarkdUnload, ReleaseDropsTheDiagnosticClientsSemaphore)
{
    ASSERT_EQ(LoadDriver(u"ZARKD"), STATUS_SUCCESS);
    PZAR_DEVICE_EXTENSION ext = Ext();
    ASSERT_NE(ext, nullptr);

    KSEMAPHORE* semaphore = nullptr;
    HANDLE handle = nullptr;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    ASSERT_EQ(NtCreateSemaphore(&handle, SEMAPHORE_ALL_ACCESS, &attributes, 0, 100), STATUS_SUCCESS);
    ASSERT_EQ(ObReferenceObjectByHandle(handle, SEMAPHORE_MODIFY_STATE, ExSemaphoreObjectType, KernelMode,
                                        reinterpret_cast<PVOID*>(&semaphore), nullptr),
              STATUS_SUCCESS);
    ObReferenceObject(semaphore);  // the test's own, to count with
    LONG before = ObGetReferenceCount(semaphore);
    ASSERT_EQ(ZarDiagSetExceptionHandler(ext, semaphore), STATUS_SUCCESS);  // takes one reference

    ASSERT_EQ(nt::IoUnloadDriver(u"ZARKD"), STATUS_SUCCESS);
    EXPECT_EQ(ObGetReferenceCount(semaphore), before - 1);
    ObDereferenceObject(semaphore);
    ZwClose(handle);
}

// ---- a foreign bridge ----

class ZarkdUnloadForeign : public ZarkdUnload {
protected:
    const char* Layout() const override { return "foreign-only"; }
};

TEST_F(ZarkdUnloadForeign, ReleaseOfABridgeOnlyBoardWritesNothingAndKeepsNothing)
{
    ASSERT_EQ(LoadDriver(u"ZARKD"), STATUS_SUCCESS);
    ASSERT_NE(Ext(), nullptr);
    std::mutex lock;
    std::vector<std::string> trace;
    built_.boards[0]->SetTraceSink([&](const std::string& line) {
        std::lock_guard guard(lock);
        trace.push_back(line);
    });
    built_.boards[0]->SetTraceEnabled(true);
    ASSERT_EQ(nt::IoUnloadDriver(u"ZARKD"), STATUS_SUCCESS);
    built_.boards[0]->SetTraceEnabled(false);
    built_.boards[0]->SetTraceSink(nullptr);
    for (const std::string& line : trace) EXPECT_EQ(line.find(":="), std::string::npos) << line;
    ExpectNoPoolLeft();
}

}  // namespace
