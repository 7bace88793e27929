// The output devices: sample writes and their checks, streaming (samples
// taken as written, the stream running dry reported once), freeze, and what
// a generator may track.

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/drivers/tandrel/tandrel_machine.h"

namespace {

constexpr ULONG kDrop = 29 | TANDREL_FLAG_DROP_FRAME;

class TandrelOutput : public TandrelMachine {
protected:
    std::vector<ULONG> Notices(HANDLE h)
    {
        std::vector<ULONG> codes;
        TANDREL_OUTPUT_STATE n{};
        while (Control(h, IOCTL_TANDREL_SMPTE12M_OUTPUT_GET_QUEUED_NOTICE, nullptr, 0, &n, sizeof n).status == STATUS_SUCCESS)
            codes.push_back(n.Notice);
        return codes;
    }
};

TEST_F(TandrelOutput, WritesNeedAWriterAndWholeSamples)
{
    HANDLE monitor = Open("VITCGenerator", false);
    HANDLE writer = Open("VITCGenerator", true);
    TANDREL_SAMPLE samples[2] = {};
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD written = 0;
    EXPECT_FALSE(WriteFile(monitor, samples, sizeof samples, &written, &ov));
    EXPECT_EQ(NTSTATUS(ov.Internal), STATUS_ACCESS_DENIED);
    EXPECT_FALSE(WriteFile(writer, samples, 8, &written, &ov));
    EXPECT_EQ(NTSTATUS(ov.Internal), STATUS_BUFFER_TOO_SMALL);
    // Reading has no handler.
    EXPECT_FALSE(ReadFile(writer, samples, sizeof samples, &written, &ov));
    EXPECT_EQ(NTSTATUS(ov.Internal), STATUS_ACCESS_DENIED);
    CloseHandle(ov.hEvent);
}

TEST_F(TandrelOutput, AStreamTakesTheWrittenSamplesAndSaysOnceWhenItRunsDry)
{
    HANDLE generator = Open("VITCGenerator", true);
    HANDLE semaphore = CreateSemaphoreA(nullptr, 0, 1000, nullptr);
    ULONG s = Handle(semaphore);
    ASSERT_EQ(Control(generator, IOCTL_TANDREL_ENABLE_NOTIFICATIONS, &s, 4, nullptr, 0).status, STATUS_SUCCESS);
    TANDREL_SAMPLE from{5000, 0, kDrop};
    ASSERT_EQ(Control(generator, IOCTL_TANDREL_SMPTE12M_OUTPUT_PREPARE_TO_STREAM, from).status, STATUS_SUCCESS);
    ASSERT_EQ(Control(generator, IOCTL_TANDREL_START, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
    RunFields(12);
    std::vector<ULONG> codes = Notices(generator);
    EXPECT_EQ(std::count(codes.begin(), codes.end(), TANDREL_OUTPUT_STREAM_EMPTY), 1);
    EXPECT_EQ(std::count(codes.begin(), codes.end(), TANDREL_OUTPUT_MODE_STREAM), 1);
    EXPECT_EQ(Sample(generator).Frame, 5000);  // the last value, repeated

    // Four samples, one a field, each with its field mark.
    TANDREL_SAMPLE samples[4] = {{700, 0, kDrop}, {700, 0, kDrop | TANDREL_FLAG_FIELD2}, {701, 0, kDrop},
                                 {701, 0, kDrop | TANDREL_FLAG_FIELD2}};
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD written = 0;
    EXPECT_FALSE(WriteFile(generator, samples, sizeof samples, &written, &ov));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
    std::vector<LONG> frames;
    for (int f = 0; f < 8 && WaitForSingleObject(ov.hEvent, 0) != WAIT_OBJECT_0; ++f) {
        RunFields(1);
        frames.push_back(Sample(generator).Frame);
    }
    ASSERT_EQ(WaitForSingleObject(ov.hEvent, 0), DWORD(WAIT_OBJECT_0));
    EXPECT_EQ(NTSTATUS(ov.Internal), STATUS_SUCCESS);
    EXPECT_EQ(ov.InternalHigh, sizeof samples);
    EXPECT_NE(std::find(frames.begin(), frames.end(), 700), frames.end());
    EXPECT_EQ(frames.back(), 701);
    codes = Notices(generator);
    // Dry again once the write is used up: said once more.
    RunFields(6);
    codes = Notices(generator);
    EXPECT_EQ(std::count(codes.begin(), codes.end(), TANDREL_OUTPUT_STREAM_EMPTY), 1);
    CloseHandle(ov.hEvent);
    CloseHandle(semaphore);
}

TEST_F(TandrelOutput, FreezeAndTrackingAreCheckedByDevice)
{
    HANDLE ltc = Open("LTCGenerator", true);
    HANDLE vitc = Open("VITCGenerator", true);
    HANDLE clock = Open("MasterClock", false);
    HANDLE reader = Open("LTCReader", false);
    ULONG off = 0, on = 1, bad = 2, got = 9;
    EXPECT_EQ(Control(ltc, IOCTL_TANDREL_SMPTE12M_OUTPUT_SET_FREEZE_MODE, &off, 4, nullptr, 0).status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(Control(vitc, IOCTL_TANDREL_SMPTE12M_OUTPUT_SET_FREEZE_MODE, &bad, 4, nullptr, 0).status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Control(vitc, IOCTL_TANDREL_SMPTE12M_OUTPUT_SET_FREEZE_MODE, &on, 4, nullptr, 0).status, STATUS_SUCCESS);
    ASSERT_EQ(Control(vitc, IOCTL_TANDREL_SMPTE12M_OUTPUT_GET_FREEZE_MODE, nullptr, 0, &got, 4).status, STATUS_SUCCESS);
    EXPECT_EQ(got, 1u);
    ASSERT_EQ(Control(ltc, IOCTL_TANDREL_SMPTE12M_OUTPUT_GET_FREEZE_MODE, nullptr, 0, &got, 4).status, STATUS_SUCCESS);
    EXPECT_EQ(got, 1u);  // the LTC generator always holds while stopped

    TANDREL_TRACK_REQUEST master{Handle(clock), 0};
    EXPECT_EQ(Control(vitc, IOCTL_TANDREL_SMPTE12M_OUTPUT_PREPARE_TO_TRACK, master).status, STATUS_INVALID_PARAMETER);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    TANDREL_TRACK_REQUEST notADevice{Handle(event), 0};
    EXPECT_NE(Control(vitc, IOCTL_TANDREL_SMPTE12M_OUTPUT_PREPARE_TO_TRACK, notADevice).status, STATUS_SUCCESS);
    TANDREL_TRACK_REQUEST track{Handle(reader), 10};
    Result r = Control(vitc, IOCTL_TANDREL_SMPTE12M_OUTPUT_PREPARE_TO_TRACK, &track, sizeof track, nullptr, 0);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, 8u);
    CloseHandle(event);
}

}  // namespace
