// The digital-I/O option's stand-in as user mode reaches it through
// \\.\ZARIO<n>: every code the system sends answers with its record length,
// settings read back as set, the firmware sequence, a DV capture's start,
// frames and stop, and the refusals a caller acts on.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "outside/zariokd.h"
#include "platform/win32/win32.h"
#include "tests/support/zarkd_machine.h"

namespace {

class ZarIoOption : public ZarkdMachineFixture {
protected:
    void SetUp() override
    {
        ZarkdMachineFixture::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_EQ(ZarIoKdInstall(3), STATUS_SUCCESS);
        ASSERT_EQ(LoadDriver(u"ZARIOKD"), STATUS_SUCCESS);
        handle_ = CreateFileA("\\\\.\\ZARIO0", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(handle_, INVALID_HANDLE_VALUE) << GetLastError();
    }
    void TearDown() override
    {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
        ZarkdMachineFixture::TearDown();
    }

    // Sends 'record' in and out; returns the byte count, or -1 with the
    // Win32 error in error_.
    long Send(ULONG code, void* record, ULONG inLength, ULONG outLength)
    {
        DWORD bytes = 0;
        if (!DeviceIoControl(handle_, code, record, inLength, record, outLength, &bytes, nullptr)) {
            error_ = GetLastError();
            return -1;
        }
        return long(bytes);
    }

    HANDLE handle_ = INVALID_HANDLE_VALUE;
    DWORD error_ = 0;
};

TEST_F(ZarIoOption, SettingsReadBackAsTheyWereSet)
{
    const struct {
        ULONG set, get, length;
    } settings[] = {
        {IOCTL_ZARIO_SET_DV_CODEC, IOCTL_ZARIO_GET_DV_CODEC, 12},
        {IOCTL_ZARIO_SET_CAPTURE_PROC_AMP, IOCTL_ZARIO_GET_CAPTURE_PROC_AMP, 10},
        {IOCTL_ZARIO_SET_FRAMESTORE, IOCTL_ZARIO_GET_FRAMESTORE, 8},
        {IOCTL_ZARIO_SET_SDI_MODE, IOCTL_ZARIO_GET_SDI_MODE, 4},
        {IOCTL_ZARIO_SET_SDI_AUDIO_RECEIVE, IOCTL_ZARIO_GET_SDI_AUDIO_RECEIVE, 16},
        {IOCTL_ZARIO_SET_SDI_AUDIO_TRANSMIT, IOCTL_ZARIO_GET_SDI_AUDIO_TRANSMIT, 16},
        {IOCTL_ZARIO_SET_AES_TRANSMIT, IOCTL_ZARIO_GET_AES_TRANSMIT, 8},
    };
    for (const auto& s : settings) {
        SCOPED_TRACE(s.set);
        std::vector<UCHAR> written(s.length), read(s.length, 0xEE);
        for (ULONG i = 0; i < s.length; ++i) written[i] = UCHAR(s.set + 7 * i);
        std::vector<UCHAR> record = written;
        EXPECT_EQ(Send(s.set, record.data(), s.length, s.length), long(s.length));
        EXPECT_EQ(Send(s.get, read.data(), s.length, s.length), long(s.length));
        EXPECT_EQ(read, written);
        // Exactly the record: one byte short or long is refused.
        EXPECT_EQ(Send(s.set, record.data(), s.length - 1, s.length), -1);
        EXPECT_EQ(error_, DWORD(ERROR_INVALID_USER_BUFFER));
        std::vector<UCHAR> longer(s.length + 1);
        EXPECT_EQ(Send(s.set, longer.data(), s.length + 1, s.length + 1), -1);
    }
    // Settings that are only ever sent come back as they went.
    const struct {
        ULONG code, inLength, outLength;
    } sends[] = {
        {IOCTL_ZARIO_SET_M2_ROUTING, 20, 20}, {IOCTL_ZARIO_SET_VIDEO_INPUT_MODE, 20, 20},
        {IOCTL_ZARIO_SET_SDI_OUTPUT, 8, 8},   {IOCTL_ZARIO_SET_24FPS_MODE, 4, 4},
        {IOCTL_ZARIO_DV_SET_AUDIO_MIX, 4, 0}, {IOCTL_ZARIO_SET_AUDIO_SOURCE, 4, 4},
        {IOCTL_ZARIO_HPS_CAPTURE_IMAGE, 56, 56},
    };
    for (const auto& s : sends) {
        SCOPED_TRACE(s.code);
        std::vector<UCHAR> record(s.inLength, 0x5A);
        EXPECT_EQ(Send(s.code, record.data(), s.inLength, s.outLength), long(s.outLength));
        EXPECT_EQ(record, std::vector<UCHAR>(s.inLength, 0x5A));
    }
}

TEST_F(ZarIoOption, FirstOpenSequenceFindsTheOptionAndProgramsItsFirmware)
{
    ULONG state = 0;
    EXPECT_EQ(Send(IOCTL_ZARIO_GET_BOARD_STATE, &state, 0, 4), 4);
    EXPECT_EQ(state, ZARIO_BOARD_PRESENT);

    EXPECT_EQ(Send(IOCTL_ZARIO_FIRMWARE_DONE, nullptr, 0, 0), -1) << "nothing to start before the firmware";
    ZARIO_FIRMWARE_REQUEST firmware{ZARIO_FIRMWARE_REPORT, 99, {}};
    EXPECT_EQ(Send(IOCTL_ZARIO_FIRMWARE, &firmware, 16, 16), 16);
    EXPECT_EQ(firmware.Answer, ZARIO_FIRMWARE_NONE);
    firmware = {ZARIO_FIRMWARE_PROGRAM, 0, {}};
    EXPECT_EQ(Send(IOCTL_ZARIO_FIRMWARE, &firmware, 16, 16), 16);
    EXPECT_EQ(firmware.Answer, ZARIO_FIRMWARE_LOADED);
    EXPECT_NE(firmware.Identification[0], 0u);
    EXPECT_EQ(Send(IOCTL_ZARIO_FIRMWARE_DONE, nullptr, 0, 0), 0);
    firmware.Command = 7;
    EXPECT_EQ(Send(IOCTL_ZARIO_FIRMWARE, &firmware, 16, 16), -1) << "no such firmware command";

    ULONG capabilities[3] = {};
    EXPECT_EQ(Send(IOCTL_ZARIO_GET_CAPABILITIES, capabilities, 12, 12), 12);
    EXPECT_NE(capabilities[0], 0u);
    EXPECT_NE(capabilities[1], 0u);
    ULONG fps24 = 0;
    EXPECT_EQ(Send(IOCTL_ZARIO_GET_24FPS_SUPPORT, &fps24, 4, 4), 4);
    EXPECT_EQ(fps24 & 1, 1u);
}

TEST_F(ZarIoOption, DvCaptureCountsFramesBetweenStartAndStop)
{
    std::vector<UCHAR> start(44), status(136), frame(1028);
    EXPECT_EQ(Send(IOCTL_ZARIO_DV_CAPTURE_FRAME, frame.data(), 1028, 1028), -1) << "no capture runs";
    EXPECT_EQ(Send(IOCTL_ZARIO_DV_CAPTURE_START, start.data(), 44, 44), 44);
    EXPECT_EQ(Send(IOCTL_ZARIO_DV_CAPTURE_START, start.data(), 44, 44), -1) << "one capture at a time";
    for (ULONG n = 0; n < 3; ++n) {
        ASSERT_EQ(Send(IOCTL_ZARIO_DV_CAPTURE_FRAME, frame.data(), 1028, 1028), 1028);
        ULONG number;
        std::memcpy(&number, frame.data(), 4);
        EXPECT_EQ(number, n);
    }
    ASSERT_EQ(Send(IOCTL_ZARIO_DV_CAPTURE_STATUS, status.data(), 136, 136), 136);
    ULONG words[2];
    std::memcpy(words, status.data(), 8);
    EXPECT_EQ(words[0], 1u);
    EXPECT_EQ(words[1], 3u);
    EXPECT_EQ(Send(IOCTL_ZARIO_DV_CAPTURE_STOP, nullptr, 0, 0), 0);
    ASSERT_EQ(Send(IOCTL_ZARIO_DV_CAPTURE_STATUS, status.data(), 136, 136), 136);
    std::memcpy(words, status.data(), 8);
    EXPECT_EQ(words[0], 0u);
}

TEST_F(ZarIoOption, AvcCommandsAreAcceptedAndInquiriesStable)
{
    UCHAR control[33] = {0x00, 0x20, 0xC3, 0x75};  // control: play forward
    EXPECT_EQ(Send(IOCTL_ZARIO_DV_FCP_COMMAND, control, 33, 33), 33);
    EXPECT_EQ(control[0] & 0x0F, ZARIO_AVC_ACCEPTED);
    EXPECT_EQ(control[2], 0xC3);
    EXPECT_EQ(control[3], 0x75);
    UCHAR inquiry[33] = {ZARIO_AVC_CTYPE_STATUS, 0x20, 0xD0, 0x7F};
    EXPECT_EQ(Send(IOCTL_ZARIO_DV_FCP_COMMAND, inquiry, 33, 33), 33);
    EXPECT_EQ(inquiry[0] & 0x0F, ZARIO_AVC_STABLE);

    UCHAR record[20];
    EXPECT_EQ(Send(0x222120, record, 4, 4), -1) << "a code the option does not have";
    EXPECT_EQ(error_, DWORD(ERROR_INVALID_FUNCTION));
}

TEST(ZarIoOptionAbsent, WithoutItsServiceKeyTheDeviceIsNotThere)
{
    class Machine : public ZarkdMachineFixture {
    public:
        void TestBody() override {}
        using ZarkdMachineFixture::SetUp;
        using ZarkdMachineFixture::TearDown;
    } machine;
    machine.SetUp();
    HANDLE handle = CreateFileA("\\\\.\\ZARIO0", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    machine.TearDown();
}

}  // namespace
