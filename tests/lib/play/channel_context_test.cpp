// Channel contexts against a stand-in board driver that answers the status
// query with a state word the test sets and keeps the JPEG commands it got.
#include <cstring>
#include <mutex>
#include <vector>

#include "include/zarkd_jpeg.h"
#include "lib/api/zar_connection.h"
#include "lib/play/zar_channel_context.h"
#include "platform/nt/kernel.h"
#include "platform/nt/nt_internal.h"
#include "tests/platform/win32/w32_machine.h"

namespace {

constexpr ULONG kBoard = 6;
uint32_t stateOffset = 48;
uint32_t stateValue = 0;
std::mutex lock;
std::vector<ZAR_JPEG_COMMAND> commands;
std::vector<uint32_t> queriedChannels;

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS Open(PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS, 0); }

NTSTATUS Control(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = s->Parameters.DeviceIoControl.IoControlCode;
    const ULONG in = s->Parameters.DeviceIoControl.InputBufferLength;
    auto* buffer = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    std::lock_guard<std::mutex> g(lock);
    if (code == IOCTL_ZAR_JPEG_PLAYLIST_QUERY && in == sizeof(ZAR_CHANNEL_STATUS)) {
        uint32_t channel;
        std::memcpy(&channel, buffer, 4);
        queriedChannels.push_back(channel);
        std::memcpy(buffer + stateOffset, &stateValue, 4);
        return Complete(irp, STATUS_SUCCESS, in);
    }
    if (code == IOCTL_ZAR_JPEG_COMMAND && in == sizeof(ZAR_JPEG_COMMAND)) {
        ZAR_JPEG_COMMAND c;
        std::memcpy(&c, buffer, sizeof c);
        commands.push_back(c);
        return Complete(irp, STATUS_SUCCESS, in);
    }
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, u"\\Device\\PlayFakeZar6");
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    driver->MajorFunction[IRP_MJ_CREATE] = Open;
    driver->MajorFunction[IRP_MJ_CLEANUP] = Open;
    driver->MajorFunction[IRP_MJ_CLOSE] = Open;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Control;
    RtlInitUnicodeString(&link, u"\\??\\KIVZAR6");
    return IoCreateSymbolicLink(&link, &name);
}

class ChannelContexts : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        static bool installed = false;
        if (!installed) {
            PDRIVER_OBJECT driver;
            ASSERT_EQ(IoCreateDriver(u"PlayFakeZar", DriverEntry, &driver), STATUS_SUCCESS);
        }
        installed = true;
    }
    void SetUp() override
    {
        std::lock_guard<std::mutex> g(lock);
        commands.clear();
        queriedChannels.clear();
    }
    std::vector<ZAR_JPEG_COMMAND> Commands()
    {
        std::lock_guard<std::mutex> g(lock);
        return commands;
    }
};

}  // namespace

TEST_F(ChannelContexts, EachChannelNamesItsGroupIndexUnitAndBuffers)
{
    struct Case {
        uint32_t channel, group, index, unit, ring, work;
    } cases[] = {
        {0, 0, 0, 0, 0, 0},        {1, 0, 0, 1, 0, 0},      {10, 10, 0, 0, 32, 0},   {20, 20, 0, 0, 16, 0},
        {30, 20, 1, 1, 16, 0},     {21, 21, 0, 0, 0, 0},    {31, 21, 0, 0, 0, 0},    {100, 0, 0, 0, 0, 32768},
        {123, 120, 3, 0, 0, 0},    {137, 130, 7, 0, 0, 0},  {140, 140, 0, 0, 0, 0},  {201, 201, 1, 0, 0, 0},
        {303, 303, 0, 0, 0, 0},    {400, 401, 0, 0, 0, 0},  {404, 404, 0, 0, 0, 0},  {501, 501, 0, 0, 0, 0},
        {128, 0, 0, 0, 0, 0},      {305, 0, 0, 0, 0, 0},    {999, 0, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        ZAR_CHANNEL_CONTEXT context(nullptr, c.channel);
        EXPECT_EQ(context.Group(), c.group) << c.channel;
        EXPECT_EQ(context.Index(), c.index) << c.channel;
        EXPECT_EQ(context.JpegUnit(), c.unit) << c.channel;
        EXPECT_EQ(context.RingBytes(), c.ring) << c.channel;
        EXPECT_EQ(context.RingActive(), c.ring != 0) << c.channel;
        EXPECT_EQ(context.WorkBytes(), c.work) << c.channel;
        EXPECT_EQ(context.Status().Channel, c.channel);
    }
}

TEST_F(ChannelContexts, TheStateWordIsReadWhereTheChannelsGroupReportsIt)
{
    CBoardConnection connection(kBoard);
    ASSERT_NE(connection.m_hBoard, INVALID_HANDLE_VALUE);
    struct Case {
        uint32_t channel, offset;
    } cases[] = {{0, 48}, {30, 48}, {31, 344}, {110, 424}, {125, 424}, {200, 616}, {302, 696}, {400, 788}, {500, 868}};
    for (const Case& c : cases) {
        stateOffset = c.offset;
        stateValue = 32;
        ZAR_CHANNEL_CONTEXT context(&connection, c.channel);
        EXPECT_TRUE(context.IsBusy()) << c.channel;
        uint32_t state = 0;
        ASSERT_TRUE(context.StateWord(&state));
        EXPECT_EQ(state, 32u) << c.channel;
        EXPECT_EQ(queriedChannels.back(), c.channel);
    }
    // The audio effect channels report in their own region when bit 0 at 980 says so.
    ZAR_CHANNEL_CONTEXT fx(nullptr, 145);
    uint8_t* raw = reinterpret_cast<uint8_t*>(&fx.Status());
    raw[980] = 1;
    std::memcpy(raw + 948, "\x11\0\0\0", 4);
    uint32_t state = 0;
    ASSERT_TRUE(fx.StateWord(&state));
    EXPECT_EQ(state, 17u);
    ZAR_CHANNEL_CONTEXT none(nullptr, 999);
    EXPECT_FALSE(none.StateWord(&state));
}

TEST_F(ChannelContexts, APlayLoadsTheFieldPairAndStartsOnlyAnIdleOrPlayingUnit)
{
    CBoardConnection connection(kBoard);
    struct Case {
        uint32_t state;
        uint32_t immediate;
        int result;
        bool started;
    } cases[] = {{0, 1, 1, true}, {32, 0, 1, true}, {17, 0, 1, false}, {64, 1, 0, false}};
    for (const Case& c : cases) {
        SetUp();
        stateOffset = 48;
        stateValue = c.state;
        ZAR_CHANNEL_CONTEXT context(&connection, 30);
        ASSERT_TRUE(context.QueryStatus());
        EXPECT_EQ(context.IssueJpegPlay(1, 40, 41, 1234, c.immediate), c.result) << c.state;
        auto sent = Commands();
        ASSERT_EQ(sent.size(), c.started ? 2u : 1u) << c.state;
        EXPECT_EQ(sent[0].Command, c.immediate ? 18u : 19u);
        EXPECT_EQ(sent[0].Channel, 1u) << "channel 30 commands JPEG unit 1";
        EXPECT_EQ(sent[0].FieldMode, 1u);
        EXPECT_EQ(sent[0].FirstFieldSize, 40u);
        EXPECT_EQ(sent[0].SecondFieldSize, 41u);
        EXPECT_EQ(sent[0].FramePosition, 1234u);
        if (c.started) {
            EXPECT_EQ(sent[1].Command, 17u);
            EXPECT_EQ(sent[1].Channel, 1u);
        }
    }
    // A stop is the op and the unit, nothing else.
    SetUp();
    ZAR_CHANNEL_CONTEXT unit0(&connection, 0);
    EXPECT_TRUE(unit0.IssueJpegCommand(0));
    ZAR_JPEG_COMMAND zero{};
    auto sent = Commands();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(std::memcmp(&sent[0], &zero, sizeof zero), 0);
}
