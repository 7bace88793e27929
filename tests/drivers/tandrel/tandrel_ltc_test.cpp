// Time code end to end through the devices: the LTC generator started at
// 01:00:00;00, looped by the chip into the LTC reader, captured field by
// field for 10 s of machine time; every frame comes back once, in order,
// and the bit stream on the wire decodes apart from the chip to the same
// frames. Also jam and rejam over a tape that stops.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "tests/drivers/tandrel/tandrel_machine.h"
#include "tests/support/ltc_decoder.h"

namespace {

constexpr ULONG kDrop = 29 | TANDREL_FLAG_DROP_FRAME;
constexpr LONG kOneHour = 107892;  // 01:00:00;00

// The test's own drop-frame labels of a frame count.
LONG DropFrameCount(const ltctest::Frame& b)
{
    const int h = (b[7] & 3) * 10 + (b[6] & 15), m = (b[5] & 7) * 10 + (b[4] & 15), s = (b[3] & 7) * 10 + (b[2] & 15),
              f = (b[1] & 3) * 10 + (b[0] & 15);
    const int minutes = h * 60 + m;
    return LONG(minutes * 1800 + s * 30 + f - 2 * (minutes - minutes / 10));
}

class TandrelLtc : public TandrelMachine {
protected:
    std::vector<TANDREL_INPUT_STATE> Drain(HANDLE reader)
    {
        std::vector<TANDREL_INPUT_STATE> out;
        TANDREL_INPUT_STATE c{};
        while (Control(reader, IOCTL_TANDREL_SMPTE12M_INPUT_GET_CAPTURED, nullptr, 0, &c, sizeof c).status == STATUS_SUCCESS)
            out.push_back(c);
        return out;
    }
};

TEST_F(TandrelLtc, GeneratedCodeIsReadBackEveryFrameOnceInOrderFor10Seconds)
{
    HANDLE generator = Open("LTCGenerator", true);
    HANDLE reader = Open("LTCReader", true);
    ASSERT_NE(generator, INVALID_HANDLE_VALUE);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    LONG gain = -6;
    ASSERT_EQ(Control(generator, IOCTL_TANDREL_LTC_GENERATOR_CONTROL, &gain, 4, nullptr, 0).status, STATUS_SUCCESS);
    TANDREL_SAMPLE from{kOneHour, 0, kDrop};
    ASSERT_EQ(Control(generator, IOCTL_TANDREL_SMPTE12M_OUTPUT_PREPARE_TO_GENERATE, from).status, STATUS_SUCCESS);
    HANDLE captures = CreateSemaphoreA(nullptr, 0, 100000, nullptr);
    ULONG semaphore = Handle(captures);
    ASSERT_EQ(Control(reader, IOCTL_TANDREL_SMPTE12M_INPUT_ENABLE_CAPTURE, &semaphore, 4, nullptr, 0).status, STATUS_SUCCESS);
    ASSERT_EQ(Control(reader, IOCTL_TANDREL_START, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
    RunFields(12);
    Board().TimeCode().TakeLtcOutput();
    ASSERT_EQ(Control(generator, IOCTL_TANDREL_START, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);

    std::vector<TANDREL_INPUT_STATE> got;
    const int fields = 600;  // 10 s at 59.94 fields a second
    for (int done = 0; done < fields; done += 60) {
        RunFields(60);
        std::vector<TANDREL_INPUT_STATE> more = Drain(reader);
        got.insert(got.end(), more.begin(), more.end());
    }
    ASSERT_GT(got.size(), size_t(fields));

    // Each captured field follows the one before; once the code moves, each
    // frame is delivered on two fields, first field then second, in order.
    std::map<LONG, int> fieldsOfFrame;
    LONG last = -1;
    for (size_t i = 0; i < got.size(); ++i) {
        if (i > 0) {
            ASSERT_EQ(got[i].ReferenceField, got[i - 1].ReferenceField + 1) << i;
        }
        const TANDREL_SAMPLE& s = got[i].Delivered;
        if ((s.Flags & TANDREL_FLAG_INVALID) || s.Frame < kOneHour) continue;
        if (last >= 0) {
            ASSERT_TRUE(s.Frame == last || s.Frame == last + 1) << "field " << got[i].ReferenceField;
        }
        last = s.Frame;
        ++fieldsOfFrame[s.Frame];
    }
    ASSERT_GT(fieldsOfFrame.size(), 290u);
    EXPECT_EQ(fieldsOfFrame.begin()->first, kOneHour);
    for (auto it = std::next(fieldsOfFrame.begin()); it != std::prev(fieldsOfFrame.end()); ++it)
        EXPECT_EQ(it->second, 2) << "frame " << it->first;
    TANDREL_INPUT_STATE now{};
    ASSERT_EQ(Control(reader, IOCTL_TANDREL_SMPTE12M_GET_SAMPLE, nullptr, 0, &now, sizeof now).status, STATUS_SUCCESS);
    EXPECT_EQ(now.ReaderState, 5u);  // locked

    // The wire, decoded apart from the chip: the same frames, one after the other.
    std::vector<ltctest::Frame> wire = ltctest::DecodeAll(Board().TimeCode().TakeLtcOutput());
    ASSERT_GT(wire.size(), 290u);
    size_t first = 0;
    while (first < wire.size() && DropFrameCount(wire[first]) == kOneHour) ++first;
    ASSERT_LT(first, wire.size());
    EXPECT_EQ(DropFrameCount(wire[first]), kOneHour + 1);
    for (size_t i = first; i < wire.size(); ++i) ASSERT_EQ(DropFrameCount(wire[i]), kOneHour + 1 + LONG(i - first)) << i;
    CloseHandle(captures);
}

TEST_F(TandrelLtc, JamAndRejamCarryTheCodeOverATapeThatStops)
{
    HANDLE generator = Open("LTCGenerator", true);
    HANDLE reader = Open("LTCReader", true);
    LONG gain = -6;
    ASSERT_EQ(Control(generator, IOCTL_TANDREL_LTC_GENERATOR_CONTROL, &gain, 4, nullptr, 0).status, STATUS_SUCCESS);
    ASSERT_EQ(Control(generator, IOCTL_TANDREL_START, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
    HANDLE notices = CreateSemaphoreA(nullptr, 0, 1000, nullptr);
    ULONG semaphore = Handle(notices);
    ASSERT_EQ(Control(reader, IOCTL_TANDREL_ENABLE_NOTIFICATIONS, &semaphore, 4, nullptr, 0).status, STATUS_SUCCESS);
    TANDREL_JAM_REQUEST jam{2, 4};
    ASSERT_EQ(Control(reader, IOCTL_TANDREL_SMPTE12M_INPUT_SET_JAM, jam).status, STATUS_SUCCESS);
    RunFields(30);
    TANDREL_INPUT_STATE before{};
    Control(reader, IOCTL_TANDREL_SMPTE12M_GET_SAMPLE, nullptr, 0, &before, sizeof before);
    EXPECT_EQ(before.ReaderState, 5u);
    EXPECT_EQ(before.JamPhase, 2u);
    // The tape stops: the generator's output goes off.
    gain = -100;
    ASSERT_EQ(Control(generator, IOCTL_TANDREL_LTC_GENERATOR_CONTROL, &gain, 4, nullptr, 0).status, STATUS_SUCCESS);
    RunFields(20);
    TANDREL_INPUT_STATE during{};
    Control(reader, IOCTL_TANDREL_SMPTE12M_GET_SAMPLE, nullptr, 0, &during, sizeof during);
    EXPECT_EQ(during.ReaderState, 6u);
    EXPECT_GT(during.Delivered.Frame, before.Delivered.Frame + 5);  // the jam generator keeps it moving
    // The tape comes back: after 4 locked fields the reader takes it again.
    gain = -6;
    ASSERT_EQ(Control(generator, IOCTL_TANDREL_LTC_GENERATOR_CONTROL, &gain, 4, nullptr, 0).status, STATUS_SUCCESS);
    RunFields(30);
    TANDREL_INPUT_STATE after{};
    Control(reader, IOCTL_TANDREL_SMPTE12M_GET_SAMPLE, nullptr, 0, &after, sizeof after);
    EXPECT_EQ(after.ReaderState, 5u);
    std::vector<ULONG> codes;
    TANDREL_INPUT_STATE n{};
    while (Control(reader, IOCTL_TANDREL_GET_QUEUED_NOTICE, nullptr, 0, &n, sizeof n).status == STATUS_SUCCESS)
        codes.push_back(n.Notice);
    auto has = [&](ULONG code) { return std::find(codes.begin(), codes.end(), code) != codes.end(); };
    EXPECT_TRUE(has(7));   // locked
    EXPECT_TRUE(has(15));  // jam and rejam on
    EXPECT_TRUE(has(10));  // nothing read: the generator took over
    EXPECT_TRUE(has(8) || has(9));  // back to the tape
    CloseHandle(notices);
}

}  // namespace
