// TANDRELKD's devices on a simulated board, driven from user mode as an
// application drives them: the devices the binding makes, the access and
// length rules, one writer at a time, the sample forms, jam requests,
// forwarding to the board, start and stop on exact fields and the named
// start and stop events.

#include <gtest/gtest.h>

#include "include/tandrelkd_msg.h"
#include "tests/drivers/tandrel/tandrel_machine.h"

namespace {

class TandrelDevices : public TandrelMachine {};

TEST_F(TandrelDevices, EveryStreamOfTheBoardAndTheProxyIsADeviceOfItsClass)
{
    struct Case {
        const char* name;
        uint8_t marks[2];
        uint8_t video;
    } cases[] = {
        {"MasterClock", {6, 5}, 1},  {"LTCReader", {7, 7}, 0},    {"LTCGenerator", {6, 5}, 0},
        {"VITCReader", {7, 7}, 1},   {"VITCGenerator", {6, 5}, 1}, {"BurnIn", {6, 5}, 1},
        {"JpegStream1", {1, 1}, 1},  {"JpegStream2", {1, 1}, 1},  {"SMPTE12MReaderProxy", {7, 7}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HANDLE h = Open(c.name, false);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        TANDREL_DEVICE_INFO info{};
        Result r = Control(h, IOCTL_TANDREL_GET_DEVICE_INFO, nullptr, 0, &info, sizeof info);
        ASSERT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.bytes, 4u);
        EXPECT_EQ(info.Rate, 29);
        EXPECT_EQ(info.Video & 1, c.video);
        EXPECT_EQ(info.Mark[0], c.marks[0]);
        EXPECT_EQ(info.Mark[1], c.marks[1]);
    }
}

TEST_F(TandrelDevices, AccessIsCheckedBeforeLengthsAndAMonitorCanOnlyWatch)
{
    HANDLE monitor = Open("LTCReader", false);
    ASSERT_NE(monitor, INVALID_HANDLE_VALUE);
    // Too short and read-only: the access refusal comes first.
    EXPECT_EQ(Control(monitor, IOCTL_TANDREL_SYNC_START_STOP, nullptr, 0, nullptr, 0).status, STATUS_ACCESS_DENIED);
    const ULONG codes[] = {IOCTL_TANDREL_START, IOCTL_TANDREL_STOP, IOCTL_TANDREL_ENABLE_NOTIFICATIONS,
                           IOCTL_TANDREL_SMPTE12M_INPUT_ENABLE_CAPTURE, IOCTL_TANDREL_SMPTE12M_INPUT_SET_JAM};
    for (ULONG code : codes) {
        ULONG in[2] = {0, 4};
        EXPECT_EQ(Control(monitor, code, in, sizeof in, nullptr, 0).status, STATUS_ACCESS_DENIED) << std::hex << code;
    }
    // Watching works.
    TANDREL_SAMPLE s{};
    EXPECT_EQ(Control(monitor, IOCTL_TANDREL_SMPTE12M_GET_SAMPLE, nullptr, 0, &s, sizeof s).status, STATUS_SUCCESS);
    // A writer with short buffers is told so.
    HANDLE writer = Open("LTCReader", true);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Control(writer, IOCTL_TANDREL_SYNC_START_STOP, nullptr, 8, nullptr, 0).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Control(writer, IOCTL_TANDREL_GET_QUEUED_NOTICE, nullptr, 0, nullptr, 51).status, STATUS_BUFFER_TOO_SMALL);
}

TEST_F(TandrelDevices, ASecondWriterIsBusyUntilTheFirstCloses)
{
    HANDLE first = Open("LTCGenerator", true);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    HANDLE second = Open("LTCGenerator", true);
    EXPECT_EQ(second, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_BUSY));
    EXPECT_NE(Open("LTCGenerator", false), INVALID_HANDLE_VALUE);  // monitors are welcome
    Close(first);
    EXPECT_NE(Open("LTCGenerator", true), INVALID_HANDLE_VALUE);
}

TEST_F(TandrelDevices, ASampleAnswerIsTheLargestFormThatFits)
{
    HANDLE generator = Open("LTCGenerator", false);
    HANDLE reader = Open("LTCReader", false);
    HANDLE counter = Open("JpegStream1", false);
    RunFields(4);
    struct Case {
        HANDLE h;
        ULONG buffer, expected;
    } cases[] = {
        {generator, 12, 12}, {generator, 24, 20}, {generator, 28, 28}, {generator, 43, 28}, {generator, 60, 44},
        {reader, 24, 20},    {reader, 51, 28},    {reader, 60, 52},    {counter, 60, 28},   {counter, 19, 12},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> out(c.buffer);
        Result r = Control(c.h, IOCTL_TANDREL_SMPTE12M_GET_SAMPLE, nullptr, 0, out.data(), c.buffer);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.bytes, c.expected) << "buffer " << c.buffer;
    }
    std::vector<uint8_t> out(11);
    EXPECT_EQ(Control(reader, IOCTL_TANDREL_SMPTE12M_GET_SAMPLE, nullptr, 0, out.data(), 11).status,
              STATUS_BUFFER_TOO_SMALL);
}

TEST_F(TandrelDevices, JamRequestsTakeTheirThresholdsWithinLimits)
{
    HANDLE reader = Open("LTCReader", true);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    struct Case {
        ULONG words[2];
        ULONG length;
        NTSTATUS status;
        ULONG bytes;
    } cases[] = {
        {{2, 3}, 8, STATUS_INVALID_PARAMETER, 0},  // jam and rejam below 4
        {{1, 3}, 8, STATUS_SUCCESS, 8},            // spot jam may take fewer
        {{2, 0}, 4, STATUS_SUCCESS, 4},            // default 4
        {{0, 2}, 8, STATUS_INVALID_PARAMETER, 0},
        {{3, 4}, 8, STATUS_INVALID_PARAMETER, 0},
    };
    for (const Case& c : cases) {
        ULONG in[2] = {c.words[0], c.words[1]};
        Result r = Control(reader, IOCTL_TANDREL_SMPTE12M_INPUT_SET_JAM, in, c.length, nullptr, 0);
        EXPECT_EQ(r.status, c.status) << c.words[0] << " " << c.words[1];
        EXPECT_EQ(r.bytes, c.bytes);
    }
    ULONG mode = 9;
    ASSERT_EQ(Control(reader, IOCTL_TANDREL_SMPTE12M_INPUT_GET_MODE, nullptr, 0, &mode, 4).status, STATUS_SUCCESS);
    EXPECT_EQ(mode, 2u);
}

TEST_F(TandrelDevices, CodesNoTableHoldsGoDownToTheBoardWithTheStreamIndex)
{
    HANDLE generator = Open("LTCGenerator", true);
    LONG gain = -6;
    EXPECT_EQ(Control(generator, IOCTL_TANDREL_LTC_GENERATOR_CONTROL, &gain, 4, nullptr, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(Board().TimeCode().Indirect(53) & 0x0F, 10);
    LONG read = 0;
    Result r = Control(generator, IOCTL_TANDREL_LTC_GENERATOR_GET_GAIN, nullptr, 0, &read, 4);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(read, -6);
    // Set-configuration is in no table, and the board refuses it.
    ULONG config[2] = {25, 0};
    EXPECT_NE(Control(generator, IOCTL_TANDREL_SMPTE12M_SET_CONFIGURATION, config, 8, nullptr, 0).status, STATUS_SUCCESS);
    // The proxy forwards nothing.
    HANDLE proxy = Open("SMPTE12MReaderProxy", true);
    EXPECT_EQ(Control(proxy, IOCTL_TANDREL_LTC_GENERATOR_CONTROL, &gain, 4, nullptr, 0).status,
              STATUS_INVALID_DEVICE_REQUEST);
    // A hint on a reader bound to the board is not its to take.
    HANDLE reader = Open("LTCReader", true);
    TANDREL_HINT hint{};
    EXPECT_NE(Control(reader, IOCTL_TANDREL_SMPTE12M_PROXY_SET_HINTED_SAMPLE, &hint, sizeof hint, nullptr, 0).status,
              STATUS_SUCCESS);
    EXPECT_EQ(Control(proxy, IOCTL_TANDREL_SMPTE12M_PROXY_SET_HINTED_SAMPLE, &hint, sizeof hint, nullptr, 0).status,
              STATUS_SUCCESS);
}

TEST_F(TandrelDevices, EventKindsAreCheckedByClass)
{
    HANDLE counter = Open("JpegStream1", false);
    HANDLE generator = Open("LTCGenerator", false);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    struct Case {
        HANDLE device;
        ULONG kind;
        NTSTATUS status;
    } cases[] = {
        {counter, 1, STATUS_INVALID_PARAMETER}, {counter, 2, STATUS_SUCCESS}, {counter, 6, STATUS_INVALID_PARAMETER},
        {generator, 1, STATUS_SUCCESS},         {generator, 6, STATUS_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        TANDREL_EVENT_REQUEST request{c.kind, Handle(event), 0, 100};
        EXPECT_EQ(Control(c.device, IOCTL_TANDREL_SET_EVENT, request).status, c.status) << c.kind;
    }
    TANDREL_EVENT_CANCEL cancel{2, Handle(event)};
    EXPECT_EQ(Control(counter, IOCTL_TANDREL_CANCEL_EVENT, cancel).status, STATUS_SUCCESS);
    EXPECT_EQ(Control(counter, IOCTL_TANDREL_CANCEL_EVENT, cancel).status, STATUS_NOT_FOUND);
    CloseHandle(event);
}

TEST_F(TandrelDevices, StartAndStopEventsAreSignalledOnceAndTheDeviceRunsBetween)
{
    HANDLE generator = Open("LTCGenerator", true);
    ASSERT_NE(generator, INVALID_HANDLE_VALUE);
    HANDLE started = OpenEventA(SYNCHRONIZE, FALSE, "Zar0LTCGenerator.StartEvent");
    HANDLE stopped = OpenEventA(SYNCHRONIZE, FALSE, "Zar0LTCGenerator.StopEvent");
    ASSERT_NE(started, nullptr);
    ASSERT_NE(stopped, nullptr);
    // Counted by a poll trigger on the running state.
    HANDLE state = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    TANDREL_POLL_TRIGGER poll{Handle(state), TANDREL_CHANGE_STATE};
    ASSERT_EQ(Control(generator, IOCTL_TANDREL_ENABLE_POLL_TRIGGER, poll).status, STATUS_SUCCESS);
    // An application's own events on start and on stop, each set once.
    HANDLE onStart = CreateEventA(nullptr, TRUE, FALSE, nullptr), onStop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    TANDREL_EVENT_REQUEST startRequest{TANDREL_EVENT_ON_START, Handle(onStart), 0, 0};
    TANDREL_EVENT_REQUEST stopRequest{TANDREL_EVENT_ON_STOP, Handle(onStop), 0, 0};
    ASSERT_EQ(Control(generator, IOCTL_TANDREL_SET_EVENT, startRequest).status, STATUS_SUCCESS);
    ASSERT_EQ(Control(generator, IOCTL_TANDREL_SET_EVENT, stopRequest).status, STATUS_SUCCESS);
    RunFields(3);
    EXPECT_EQ(WaitForSingleObject(started, 0), DWORD(WAIT_TIMEOUT));
    EXPECT_EQ(WaitForSingleObject(onStart, 0), DWORD(WAIT_TIMEOUT));
    ASSERT_EQ(Control(generator, IOCTL_TANDREL_START, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
    // Armed: a second start is busy.
    EXPECT_EQ(Control(generator, IOCTL_TANDREL_START, nullptr, 0, nullptr, 0).status, STATUS_DEVICE_BUSY);
    int startChanges = 0;
    TANDREL_OUTPUT_STATE out{};
    for (int f = 0; f < 8; ++f) {
        RunFields(1);
        startChanges += WaitForSingleObject(state, 0) == WAIT_OBJECT_0;
    }
    ASSERT_EQ(Control(generator, IOCTL_TANDREL_SMPTE12M_GET_SAMPLE, nullptr, 0, &out, sizeof out).status, STATUS_SUCCESS);
    EXPECT_EQ(out.Running, 1u);
    EXPECT_EQ(startChanges, 1);
    EXPECT_EQ(WaitForSingleObject(onStart, 0), DWORD(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(onStop, 0), DWORD(WAIT_TIMEOUT));
    ResetEvent(onStart);
    // Start again while running: nothing to do.
    EXPECT_EQ(Control(generator, IOCTL_TANDREL_START, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
    ASSERT_EQ(Control(generator, IOCTL_TANDREL_STOP, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
    int stopChanges = 0;
    for (int f = 0; f < 8; ++f) {
        RunFields(1);
        stopChanges += WaitForSingleObject(state, 0) == WAIT_OBJECT_0;
    }
    ASSERT_EQ(Control(generator, IOCTL_TANDREL_SMPTE12M_GET_SAMPLE, nullptr, 0, &out, sizeof out).status, STATUS_SUCCESS);
    EXPECT_EQ(out.Running, 0u);
    EXPECT_EQ(stopChanges, 1);
    EXPECT_EQ(WaitForSingleObject(onStop, 0), DWORD(WAIT_OBJECT_0));
    RunFields(10);
    EXPECT_EQ(WaitForSingleObject(state, 0), DWORD(WAIT_TIMEOUT));
    // A second start: the application's start event was used up by the first.
    ASSERT_EQ(Control(generator, IOCTL_TANDREL_START, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
    RunFields(8);
    EXPECT_EQ(WaitForSingleObject(onStart, 0), DWORD(WAIT_TIMEOUT));
    CloseHandle(onStart);
    CloseHandle(onStop);
    CloseHandle(started);
    CloseHandle(stopped);
    CloseHandle(state);
}

TEST_F(TandrelDevices, AStartSyncedToAFrameOfTheMasterClockStartsExactlyThere)
{
    HANDLE clock = Open("MasterClock", true);
    HANDLE generator = Open("LTCGenerator", true);
    ASSERT_EQ(Control(clock, IOCTL_TANDREL_START, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
    RunFields(10);
    ULONG query[2] = {};
    ASSERT_EQ(Control(clock, IOCTL_TANDREL_MASTER_CLOCK_QUERY, nullptr, 0, query, 8).status, STATUS_SUCCESS);
    const ULONG frame = query[0] + 10;
    TANDREL_SAMPLE from{107892, 0, 29 | TANDREL_FLAG_DROP_FRAME};  // 01:00:00;00
    ASSERT_EQ(Control(generator, IOCTL_TANDREL_SMPTE12M_OUTPUT_PREPARE_TO_GENERATE, from).status, STATUS_SUCCESS);
    // Own frame is not for a generator's start.
    TANDREL_SYNC_REQUEST own{1, Handle(generator), TANDREL_EVENT_ON_FRAME, 5};
    EXPECT_EQ(Control(generator, IOCTL_TANDREL_SYNC_START_STOP, own).status, STATUS_INVALID_PARAMETER);
    TANDREL_SYNC_REQUEST sync{1, Handle(clock), TANDREL_EVENT_ON_FRAME, frame};
    Result r = Control(generator, IOCTL_TANDREL_SYNC_START_STOP, &sync, sizeof sync, nullptr, 0);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, 16u);
    HANDLE notices = CreateSemaphoreA(nullptr, 0, 16, nullptr);
    ULONG semaphore = Handle(notices);
    ASSERT_EQ(Control(generator, IOCTL_TANDREL_ENABLE_NOTIFICATIONS, &semaphore, 4, nullptr, 0).status, STATUS_SUCCESS);
    RunFields(30);
    // The generator's first running field is the field the clock counted the frame at.
    TANDREL_OUTPUT_STATE notice{};
    bool found = false;
    while (!found && Control(generator, IOCTL_TANDREL_SMPTE12M_OUTPUT_GET_QUEUED_NOTICE, nullptr, 0, &notice, sizeof notice)
                             .status == STATUS_SUCCESS)
        found = notice.Notice == TANDREL_OUTPUT_STARTED;
    ASSERT_TRUE(found);
    EXPECT_EQ(notice.RunningFieldCount, 0);
    EXPECT_EQ(notice.Sample.Frame, 107892);
    EXPECT_EQ(notice.ReferenceField % 2, 0u);
    TANDREL_CLOCK_STATE now{};
    ASSERT_EQ(Control(clock, IOCTL_TANDREL_MASTER_CLOCK_QUERY, nullptr, 0, &now, sizeof now).status, STATUS_SUCCESS);
    // Frames the clock counted since: as many as fields since the start, halved.
    EXPECT_EQ(LONG(now.Frames - frame), LONG(now.ReferenceField - notice.ReferenceField) / 2);
    // A stop armed on a frame far ahead: busy for a second one, free again
    // once cancelled; left armed, the driver's unload takes it back.
    TANDREL_SYNC_REQUEST later{0, Handle(clock), TANDREL_EVENT_ON_FRAME, now.Frames + 100000};
    ASSERT_EQ(Control(generator, IOCTL_TANDREL_SYNC_START_STOP, later).status, STATUS_SUCCESS);
    EXPECT_EQ(Control(generator, IOCTL_TANDREL_SYNC_START_STOP, later).status, STATUS_DEVICE_BUSY);
    ULONG stop = 0;
    EXPECT_EQ(Control(generator, IOCTL_TANDREL_CANCEL_PENDING, &stop, 4, nullptr, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(Control(generator, IOCTL_TANDREL_SYNC_START_STOP, later).status, STATUS_SUCCESS);
    CloseHandle(notices);
}

class TandrelRefusedRate : public TandrelMachine {
protected:
    void BeforeTandrel() override { ext_->TimeCode.Streams[3].FieldRate = 50; }
};

TEST_F(TandrelRefusedRate, AStreamAtARateNotCountedEndsDeviceCreationWithAnEventLogEntry)
{
    EXPECT_NE(Open("LTCGenerator", false), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Open("VITCReader", false), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Open("JpegStream2", false), INVALID_HANDLE_VALUE);
    EXPECT_NE(Open("SMPTE12MReaderProxy", false), INVALID_HANDLE_VALUE);
    bool logged = false;
    for (const nt::EventLogRecord& r : nt::EventLogRead()) {
        if (r.eventId != TANDREL_MSG_STREAM_RATE_REFUSED) continue;
        logged = true;
        EXPECT_EQ(r.source, u"TANDRELKD");
        ASSERT_EQ(r.strings.size(), 2u);
        EXPECT_EQ(r.strings[0], u"VITCReader");
        EXPECT_EQ(r.strings[1], u"50");
    }
    EXPECT_TRUE(logged);
}

class TandrelNoMasterClock : public TandrelMachine {
protected:
    void BeforeTandrel() override { ext_->TimeCode.Streams[0].Type = TANDREL_STREAM_LTC_READER; }
    bool LoadTandrel() const override { return false; }
};

TEST_F(TandrelNoMasterClock, ABoardWhoseFirstStreamIsNoClockGivesNoDevices)
{
    EXPECT_EQ(LoadDriver(u"TANDRELKD"), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Open("LTCReader", false), INVALID_HANDLE_VALUE);
}

}  // namespace
