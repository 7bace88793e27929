// ZARKD's diagnostic exception ring with a client semaphore registered from
// user mode, the HDCAM 24 fps mode switch and the shutdown of a board's
// running work.

#include <gtest/gtest.h>

#include <mutex>

#include "outside/zariokd.h"
#include "platform/nt/nt_internal.h"
#include "zarkd_ioctl_machine.h"

namespace {

class ZarkdDiag : public ZarkdIoctlMachine {
protected:
    void TearDown() override
    {
        if (semaphore_ != nullptr) CloseHandle(semaphore_);
        ZarkdIoctlMachine::TearDown();
    }


    NTSTATUS Register(HANDLE semaphore)
    {
        ULONG handle = ULONG(reinterpret_cast<uintptr_t>(semaphore));
        return Send(IOCTL_ZAR_DIAG_SET_EXCEPTION_HANDLER, &handle, 4, nullptr, 0).status;
    }
    HANDLE NewSemaphore(LONG limit = 1000)
    {
        if (semaphore_ != nullptr) CloseHandle(semaphore_);
        semaphore_ = CreateSemaphoreA(nullptr, 0, limit, nullptr);
        return semaphore_;
    }
    Result Get(ZAR_DIAG_EXCEPTION* record)
    {
        *record = {0xDEAD, 0xBEEF};
        return Send(IOCTL_ZAR_DIAG_GET_EXCEPTION, record, sizeof(*record), record, sizeof(*record));
    }
    // Takes every count the semaphore holds.
    ULONG Wakeups()
    {
        ULONG n = 0;
        while (WaitForSingleObject(semaphore_, 0) == WAIT_OBJECT_0) ++n;
        return n;
    }

    NTSTATUS Set24Fps(ULONG mode) { return Send(IOCTL_ZAR_SET_HDCAM_24FPS_MODE, &mode, 4, nullptr, 0).status; }

    HANDLE semaphore_ = nullptr;
};

// ---- exception ring ----

TEST_F(ZarkdDiag, FullRingCountsTheLostAndReportsThemAfterTheFirstRead)
{
    ASSERT_EQ(Register(NewSemaphore()), STATUS_SUCCESS);
    for (ULONG i = 0; i < ZAR_DIAG_RING_SIZE + 6; ++i) ZarDiagAddException(ext_, 1000 + i, i);
    EXPECT_EQ(Wakeups(), ZAR_DIAG_RING_SIZE);

    ZAR_DIAG_EXCEPTION record;
    for (ULONG i = 0; i < ZAR_DIAG_RING_SIZE; ++i) {
        Result r = Get(&record);
        ASSERT_EQ(r.status, STATUS_SUCCESS) << i;
        EXPECT_EQ(r.bytes, 8u);
        EXPECT_EQ(record.Code, 1000 + i);
        EXPECT_EQ(record.Value, i);
    }
    // The lost-record report came in after the first read, behind the rest.
    ASSERT_EQ(Get(&record).status, STATUS_SUCCESS);
    EXPECT_EQ(record.Code, ZAR_DIAG_EXCEPTION_LOST);
    EXPECT_EQ(record.Value, 6u);
    EXPECT_EQ(Wakeups(), 1u);
    EXPECT_EQ(Get(&record).status, STATUS_UNSUCCESSFUL);

    // Counted once: the next records arrive without another report.
    ZarDiagAddException(ext_, 7, 8);
    ASSERT_EQ(Get(&record).status, STATUS_SUCCESS);
    EXPECT_EQ(record.Code, 7u);
    EXPECT_EQ(Get(&record).status, STATUS_UNSUCCESSFUL);
}

TEST_F(ZarkdDiag, WithoutAClientNothingIsKeptOrRead)
{
    ZAR_DIAG_EXCEPTION record;
    ZarDiagAddException(ext_, 1, 1);
    EXPECT_EQ(Get(&record).status, STATUS_UNSUCCESSFUL);

    ASSERT_EQ(Register(NewSemaphore()), STATUS_SUCCESS);
    ZarDiagAddException(ext_, 2, 2);
    ASSERT_EQ(Register(nullptr), STATUS_SUCCESS);
    EXPECT_EQ(Get(&record).status, STATUS_UNSUCCESSFUL);
    ZarDiagAddException(ext_, 3, 3);
    EXPECT_EQ(Wakeups(), 1u);

    // A new client starts from an empty ring.
    ASSERT_EQ(Register(NewSemaphore()), STATUS_SUCCESS);
    EXPECT_EQ(Get(&record).status, STATUS_UNSUCCESSFUL);
    // A handle that names no semaphore is refused and keeps the client.
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_NE(Register(event), STATUS_SUCCESS);
    CloseHandle(event);
    ZarDiagAddException(ext_, 4, 4);
    ASSERT_EQ(Get(&record).status, STATUS_SUCCESS);
    EXPECT_EQ(record.Code, 4u);
}

TEST_F(ZarkdDiag, ClientSemaphoreIsHeldOnceAndDroppedWhenReplaced)
{
    ASSERT_EQ(Register(NewSemaphore()), STATUS_SUCCESS);
    PKSEMAPHORE first = ext_->Diag.Semaphore;
    ASSERT_NE(first, nullptr);
    ObReferenceObject(first);  // keeps it alive to count
    LONG held = ObGetReferenceCount(first);
    HANDLE firstHandle = semaphore_;
    semaphore_ = nullptr;

    ASSERT_EQ(Register(NewSemaphore()), STATUS_SUCCESS);
    EXPECT_EQ(ObGetReferenceCount(first), held - 1);
    CloseHandle(firstHandle);
    ObDereferenceObject(first);
}

TEST_F(ZarkdDiag, SemaphoreAtItsLimitKeepsTheRecords)
{
    ASSERT_EQ(Register(NewSemaphore(1)), STATUS_SUCCESS);
    for (ULONG i = 0; i < 3; ++i) ZarDiagAddException(ext_, i, i);
    ZAR_DIAG_EXCEPTION record;
    for (ULONG i = 0; i < 3; ++i) {
        ASSERT_EQ(Get(&record).status, STATUS_SUCCESS);
        EXPECT_EQ(record.Code, i);
    }
}

// ---- HDCAM 24 fps mode ----

TEST_F(ZarkdDiag, TwentyFourFpsModeNeedsTheOptionBit)
{
    const struct {
        ULONG support;
        ULONG mode;
        NTSTATUS status;
        ULONG modeAfter;
        uint16_t controlBit;
    } cases[] = {
        {0, 1, STATUS_UNSUCCESSFUL, 0, 0},
        {2, 1, STATUS_UNSUCCESSFUL, 0, 0},
        {1, 1, STATUS_SUCCESS, 1, 0x20},
        {1, 0, STATUS_SUCCESS, 0, 0},
        {0, 0, STATUS_SUCCESS, 0, 0},
        {1, 2, STATUS_UNSUCCESSFUL, 0, 0},  // no digital-I/O option on this machine
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.support * 10 + c.mode);
        Board().Regs().Write(0x5C00, 0x20);
        ext_->DebiShadow5C00 |= 0x20;
        ext_->Setup.VideoControl |= 1;
        ext_->Eeprom24FpsSupport = c.support;
        EXPECT_EQ(Set24Fps(c.mode), c.status);
        EXPECT_EQ(ext_->Hdcam24FpsMode, c.modeAfter);
        // A refused mode leaves the board in mode 0 too, not in the timing it had before.
        EXPECT_EQ(Board().Regs().Peek(0x5C00) & 0x20, c.controlBit);
        EXPECT_EQ(ext_->Setup.VideoControl & 1, c.controlBit ? 1u : 0u);
    }

    // A word that names no mode is refused and changes nothing: kept, it
    // would read as on and turn genlock off.
    ext_->Eeprom24FpsSupport = 1;
    ASSERT_EQ(Set24Fps(1), STATUS_SUCCESS);
    for (ULONG mode : {3u, 0x80000000u}) {
        EXPECT_EQ(Set24Fps(mode), STATUS_INVALID_PARAMETER) << mode;
        EXPECT_EQ(ext_->Hdcam24FpsMode, 1u);
        EXPECT_EQ(Board().Regs().Peek(0x5C00) & 0x20, 0x20);
    }
}

TEST_F(ZarkdDiag, TwentyFourFpsModeTwoKeepsTheOptionsAnswer)
{
    ASSERT_EQ(ZarIoKdInstall(3), STATUS_SUCCESS);
    ASSERT_EQ(LoadDriver(u"ZARIOKD"), STATUS_SUCCESS);
    ext_->Eeprom24FpsSupport = 1;
    ASSERT_EQ(Set24Fps(2), STATUS_SUCCESS);
    EXPECT_EQ(ext_->Hdcam24FpsMode, 2u);
    EXPECT_EQ(ext_->Setup.DigitalIo24Fps[0], ZARIO_REVISION);
    EXPECT_EQ(ext_->Setup.DigitalIo24Fps[1], 2u);
    EXPECT_EQ(ext_->Setup.DigitalIo24Fps[2], 0u);
    EXPECT_EQ(Board().Regs().Peek(0x5C00) & 0x20, 0);
}

// ---- shutdown ----

TEST_F(ZarkdDiag, ShutdownOfABoardNeverConfiguredTouchesNoRegister)
{
    ASSERT_EQ(ext_->FpgaState, 0u);
    std::mutex lock;
    std::vector<std::string> lines;
    auto sink = [&](const std::string& line) {
        std::lock_guard guard(lock);
        lines.push_back(line);
    };
    Board().SetTraceSink(sink);
    Board().SetTraceEnabled(true);
    EXPECT_EQ(ZarShutdown(ext_), STATUS_SUCCESS);
    Board().SetTraceEnabled(false);
    Board().SetTraceSink(nullptr);
    for (const std::string& line : lines) EXPECT_EQ(line.find("write"), std::string::npos) << line;
}

TEST_F(ZarkdDiag, ShutdownFadesToBlackAndTakesTheM2RoutesDown)
{
    ULONG io[4] = {0, 0, 0, 0};
    ASSERT_EQ(Send(IOCTL_ZAR_FLEX_DOWNLOAD, io, sizeof(io), io, sizeof(io)).status, STATUS_SUCCESS);
    ASSERT_NE(ext_->FpgaState, 0u);
    ZAR_M2_ROUTING routing = {{3, 3, 1, 1, 1}};
    ASSERT_EQ(Send(IOCTL_ZAR_SET_M2_ROUTING, &routing, sizeof(routing), nullptr, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(Board().Regs().Peek(0x5478), 0xDF);
    ext_->AudioRecState = 64;

    EXPECT_EQ(ZarShutdown(ext_), STATUS_SUCCESS);
    EXPECT_EQ(Board().Regs().Peek(0x5464), 0xFF);
    EXPECT_EQ(Board().Regs().Peek(0x5478), 0x10);  // r2 stays
    EXPECT_EQ(ext_->M2Routing.R[2], 1u);
    EXPECT_EQ(ext_->AudioRecState, 0u);
}

}  // namespace
