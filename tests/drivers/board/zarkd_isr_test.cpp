// ZARKD's interrupt frame on a machine with a simulated board, on the
// virtual clock: the per-field hook sequence, spurious and disabled sources,
// the shared-line poll, and the field waiters the VBI DPC releases.

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "drivers/board/zar_driver.h"
#include "tests/support/zarkd_machine.h"

namespace {

class ZarkdIsr : public ZarkdMachineFixture {
protected:
    sim::PciLayout Topology() const override { return sim::BoardsLayout(1); }

    void SetUp() override
    {
        ZarkdMachineFixture::SetUp();
        if (HasFatalFailure()) return;
        LoadBoardDriver();
        ext_ = ZarkdBoard(0);
    }


    // Runs the clock until the board has begun 'fields' more fields (and
    // everything they caused has run).
    void RunFields(uint64_t fields)
    {
        uint64_t target = Board().Clock().FieldCount() + fields;
        while (Board().Clock().FieldCount() < target) nt::ClockRunFor(1000000);
        nt::ClockRunUntilIdle();
    }

    void StartTrace()
    {
        ext_->HookTraceCount = 0;
        ext_->HookTraceOn = TRUE;
    }
    std::vector<ZAR_HOOK> Trace() const
    {
        std::vector<ZAR_HOOK> trace;
        for (ULONG i = 0; i < ext_->HookTraceCount && i < ZAR_HOOK_TRACE_SIZE; ++i)
            trace.push_back(ZAR_HOOK(ext_->HookTrace[i]));
        return trace;
    }

    // Runs the interrupt routine as the interrupt object would, with its lock held.
    BOOLEAN RunIsr()
    {
        return KeSynchronizeExecution(
            ext_->InterruptObject, [](PVOID context) { return ZarIsr(nullptr, context); }, ext_);
    }

    PZAR_DEVICE_EXTENSION ext_ = nullptr;
};

// What one idle field runs, in order; the capture ring steps on odd fields only.
std::vector<ZAR_HOOK> IdleField(ULONG parity)
{
    std::vector<ZAR_HOOK> hooks = {ZAR_HOOK_SCRUB_LIST};
    for (int h = ZAR_HOOK_PRE_JPEG; h <= ZAR_HOOK_POST_AUD_FX; ++h) hooks.push_back(ZAR_HOOK(h));
    hooks.insert(hooks.end(), {ZAR_HOOK_AUD_PLAY_VBI, ZAR_HOOK_MASTER_CLOCK, ZAR_HOOK_CAPTURE_STATE,
                               ZAR_HOOK_VBI_DPC_QUEUED});
    if (parity == 1) hooks.push_back(ZAR_HOOK_CAPTURE_RING);
    return hooks;
}

TEST_F(ZarkdIsr, IdleFieldsRunEveryHookInOrderAndTheVbiDpc)
{
    KEVENT moduleEvent;
    KeInitializeEvent(&moduleEvent, NotificationEvent, FALSE);
    ext_->FieldSignal[3].Event = &moduleEvent;
    ZarArmFieldSignal(ext_, 3);

    // A field latched while the source was off (start-up waits on the
    // video chips) would otherwise interrupt at once.
    WRITE_REGISTER_ULONG(ZarBridgeRegister(ext_, ZAR_BRIDGE_ISR), ZAR_INT_FIELD);
    ZarSetIntMode(ext_, ZAR_INT_FIELD, TRUE);
    StartTrace();
    ULONG fieldsBefore = ext_->FieldCounter;
    RunFields(2);
    ASSERT_EQ(ext_->FieldCounter, fieldsBefore + 2);

    // The parity of the second field is the one the driver holds now.
    ULONG second = ext_->FieldParity;
    std::vector<ZAR_HOOK> expected = IdleField(1 - second);
    std::vector<ZAR_HOOK> then = IdleField(second);
    expected.insert(expected.end(), then.begin(), then.end());
    EXPECT_EQ(Trace(), expected);
    EXPECT_EQ(Board().Clock().Parity(), int(second));

    // The VBI DPC ran: the armed module event was signalled and disarmed.
    EXPECT_NE(KeReadStateEvent(&moduleEvent), 0);
    EXPECT_EQ(ext_->FieldSignal[3].Armed, 0);
    EXPECT_EQ(ext_->SpuriousInterruptCount, 0u);
}

TEST_F(ZarkdIsr, PlaybackModeDecidesWhetherTheAudioPlayHookRuns)
{
    const struct {
        ZAR_AUDIO_PLAY_MODE mode;
        bool runs;
    } cases[] = {{ZAR_AUDIO_PLAY_DOUBLE_BUFFERED, true},
                 {ZAR_AUDIO_PLAY_SINGLE_DMA, false},
                 {ZAR_AUDIO_PLAY_DATA_SERVER, true},
                 {ZAR_AUDIO_PLAY_WAVE_DRIVER, false}};
    ZarSetIntMode(ext_, ZAR_INT_FIELD, TRUE);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        ext_->AudioPlayMode = c.mode;
        StartTrace();
        RunFields(1);
        std::vector<ZAR_HOOK> trace = Trace();
        bool ran = std::find(trace.begin(), trace.end(), ZAR_HOOK_AUD_PLAY_VBI) != trace.end();
        EXPECT_EQ(ran, c.runs);
        EXPECT_NE(std::find(trace.begin(), trace.end(), ZAR_HOOK_MASTER_CLOCK), trace.end());
    }
}

TEST_F(ZarkdIsr, StatusOfNoEnabledSourceIsSpuriousAndRunsNothing)
{
    // Fields latch in the bridge whether or not the driver enabled them.
    RunFields(1);
    ASSERT_TRUE(Board().Bridge().Isr() & ZAR_INT_FIELD);
    ASSERT_FALSE(Board().Bridge().InterruptLine());

    struct Case {
        const char* name;
        bool clearLatched;
    } cases[] = {{"another device's interrupt (status 0)", true}, {"a latched but disabled field", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.clearLatched) WRITE_REGISTER_ULONG(ZarBridgeRegister(ext_, ZAR_BRIDGE_ISR), 0xFFFFFFFF);
        else RunFields(1);
        StartTrace();
        ULONG spurious = ext_->SpuriousInterruptCount;
        ULONG fields = ext_->FieldCounter;
        EXPECT_FALSE(RunIsr());
        EXPECT_EQ(ext_->SpuriousInterruptCount, spurious + 1);
        EXPECT_EQ(ext_->FieldCounter, fields);
        EXPECT_TRUE(Trace().empty());
        // A disabled bit is left for whoever polls it.
        EXPECT_EQ((Board().Bridge().Isr() & ZAR_INT_FIELD) != 0, !c.clearLatched);
    }
}

TEST_F(ZarkdIsr, SharedIrqMaskReachesTheBoardOverDebi)
{
    ZarSetSharedIrqMask(ext_, ZAR_SHARED_SCSI | ZAR_SHARED_DSP, TRUE);
    EXPECT_EQ(Board().Regs().Peek(0xB840), ZAR_SHARED_SCSI | ZAR_SHARED_DSP);
    ZarSetSharedIrqMask(ext_, ZAR_SHARED_SCSI, FALSE);
    EXPECT_EQ(Board().Regs().Peek(0xB840), ZAR_SHARED_DSP);
    EXPECT_EQ(ext_->SharedIrqMask, ZAR_SHARED_DSP);
}

TEST_F(ZarkdIsr, SharedLinePollCallsTheMaskedHandlersUntilItsLimit)
{
    const struct {
        ULONG mask;
        sim::BoardIrqSource source;
        std::vector<ZAR_HOOK> pass;
        ULONG passes;
    } cases[] = {
        // The SCSI handler releases its source by reading the controller and
        // the DSP handler by acknowledging the DSP, so a stub's source holds
        // the line while it is called.
        {ZAR_SHARED_SCSI | ZAR_SHARED_TIMECODE, sim::BoardIrqSource::TimeCode, {ZAR_HOOK_SCSI_ISR, ZAR_HOOK_ICS_ISR},
         ZAR_SHARED_POLL_LIMIT},
        {ZAR_SHARED_DSP, sim::BoardIrqSource::Dsp, {ZAR_HOOK_YSS_ISR}, 1},
        {ZAR_SHARED_TIMECODE, sim::BoardIrqSource::TimeCode, {ZAR_HOOK_ICS_ISR}, ZAR_SHARED_POLL_LIMIT},
        {ZAR_SHARED_DSP | ZAR_SHARED_TIMECODE, sim::BoardIrqSource::TimeCode, {ZAR_HOOK_YSS_ISR, ZAR_HOOK_ICS_ISR},
         ZAR_SHARED_POLL_LIMIT},
        {ZAR_SHARED_SCSI | ZAR_SHARED_DSP | ZAR_SHARED_TIMECODE, sim::BoardIrqSource::Dsp,
         {ZAR_HOOK_SCSI_ISR, ZAR_HOOK_YSS_ISR, ZAR_HOOK_ICS_ISR}, 1},
    };
    ZarSetIntMode(ext_, ZAR_INT_SHARED_LINE, TRUE);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mask);
        ZarSetSharedIrqMask(ext_, 0xFF, FALSE);
        ZarSetSharedIrqMask(ext_, c.mask, TRUE);
        StartTrace();
        ULONG interrupts = ext_->InterruptCount;
        uint64_t start = nt::ClockNow();
        // The stub handlers never release the source: the line stays low.
        Board().Regs().SetSourceAsserted(c.source, true);
        nt::ClockRunUntilIdle();
        EXPECT_EQ(ext_->InterruptCount, interrupts + 1);
        EXPECT_EQ(ext_->SharedPollPasses, c.passes);
        EXPECT_EQ(ext_->HookTraceCount, c.passes * c.pass.size());
        std::vector<ZAR_HOOK> first = Trace();
        first.resize(c.pass.size());
        EXPECT_EQ(first, c.pass);
        // One microsecond a pass.
        EXPECT_GE(nt::ClockNow() - start, c.passes * 1000ull);
        Board().Regs().SetSourceAsserted(c.source, false);
    }
}

TEST_F(ZarkdIsr, SharedLineAlreadyReleasedCallsNoHandler)
{
    ZarSetSharedIrqMask(ext_, ZAR_SHARED_SCSI, TRUE);
    ZarSetIntMode(ext_, ZAR_INT_SHARED_LINE, TRUE);
    StartTrace();
    // Assert and release while the interrupt is held off: the edge latched,
    // but the line is high again by the time the routine polls it.
    KeSynchronizeExecution(
        ext_->InterruptObject,
        [](PVOID board) {
            auto* b = static_cast<sim::Board*>(board);
            b->Regs().SetSourceAsserted(sim::BoardIrqSource::Scsi, true);
            b->Regs().SetSourceAsserted(sim::BoardIrqSource::Scsi, false);
            return BOOLEAN(TRUE);
        },
        &Board());
    nt::ClockRunUntilIdle();
    EXPECT_EQ(ext_->SharedPollPasses, 0u);
    EXPECT_TRUE(Trace().empty());
    EXPECT_EQ(Board().Bridge().Isr() & ZAR_INT_SHARED_LINE, 0u);
}

// ---- field waiters ----

struct Waiter {
    PZAR_DEVICE_EXTENSION ext = nullptr;
    LONGLONG timeout = 0;
    NTSTATUS status = STATUS_PENDING;
    ULONG fieldAtWake = 0;
    KEVENT done{};
};

void WaiterThread(PVOID context)
{
    auto* w = static_cast<Waiter*>(context);
    w->status = ZarWaitForField(w->ext, w->timeout);
    w->fieldAtWake = w->ext->FieldCounter;
    KeSetEvent(&w->done, IO_NO_INCREMENT, FALSE);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

void StartWaiter(Waiter& w)
{
    KeInitializeEvent(&w.done, NotificationEvent, FALSE);
    HANDLE thread = nullptr;
    ASSERT_EQ(PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, WaiterThread, &w),
              STATUS_SUCCESS);
    ZwClose(thread);
}

TEST_F(ZarkdIsr, FieldWaitersAreReleasedTogetherOncePerField)
{
    constexpr LONGLONG k500ms = -500LL * 10000;
    Waiter waiters[3];
    for (Waiter& w : waiters) {
        w.ext = ext_;
        w.timeout = k500ms;
        StartWaiter(w);
    }
    nt::ClockRunUntilIdle();
    EXPECT_EQ(ext_->FieldWaiters, 3u);

    ULONG field = ext_->FieldCounter;
    ZarSetIntMode(ext_, ZAR_INT_FIELD, TRUE);
    for (Waiter& w : waiters) {
        KeWaitForSingleObject(&w.done, Executive, KernelMode, FALSE, nullptr);
        EXPECT_EQ(w.status, STATUS_SUCCESS);
        EXPECT_EQ(w.fieldAtWake, field + 1);
    }
    EXPECT_EQ(ext_->FieldWaiters, 0u);
    EXPECT_EQ(KeReadStateSemaphore(&ext_->FieldSemaphore), 0);

    // A waiter that comes later waits for a field of its own.
    ULONG before = ext_->FieldCounter;
    EXPECT_EQ(ZarWaitForField(ext_, k500ms), STATUS_SUCCESS);
    EXPECT_EQ(ext_->FieldCounter, before + 1);
}

TEST_F(ZarkdIsr, TimedOutWaitersWithdrawSoTheSemaphoreStaysWithinItsLimit)
{
    // No field interrupts: every wait times out. More of them than the
    // semaphore's limit, one after the other.
    constexpr LONGLONG k1ms = -1LL * 10000;
    for (ULONG i = 0; i < ZAR_FIELD_SEMAPHORE_LIMIT + 44; ++i) ASSERT_EQ(ZarWaitForField(ext_, k1ms), STATUS_TIMEOUT);
    EXPECT_EQ(ext_->FieldWaiters, 0u);

    ZarSetIntMode(ext_, ZAR_INT_FIELD, TRUE);
    RunFields(3);
    EXPECT_EQ(KeReadStateSemaphore(&ext_->FieldSemaphore), 0);

    // So the next waiter is not let through by a field nobody waited for.
    ULONG before = ext_->FieldCounter;
    ZarSetIntMode(ext_, ZAR_INT_FIELD, FALSE);
    EXPECT_EQ(ZarWaitForField(ext_, -50LL * 10000), STATUS_TIMEOUT);
    EXPECT_EQ(ext_->FieldCounter, before);
}

}  // namespace
