// ZARKD's time-code chip and streams on a simulated board, on the virtual
// clock: the stream table and its connect interface as the time-code driver
// uses it, the routed codes of the readers, generators and burn-in, the
// diagnostic register codes, the per-field exchange and time code generated,
// sent as LTC and read back; and the pure rules as tables.

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tests/drivers/board/zarkd_ioctl_machine.h"
#include "tests/support/ltc_decoder.h"

namespace {

// ---- time code arithmetic of the test's own ----

struct Tc {
    int h, m, s, f;
    bool operator==(const Tc&) const = default;
};

// Frame count to drop-frame time code at 29.97 (frames 0 and 1 skipped at
// every minute but each tenth).
Tc DropFrame(int frame)
{
    int tenMinutes = frame / 17982, rest = frame % 17982;
    int extra = rest < 2 ? 0 : 2 * ((rest - 2) / 1798);
    int n = frame + 18 * tenMinutes + extra;
    return {n / 108000 % 24, n / 1800 % 60, n / 30 % 60, n % 30};
}

TANDREL_TIMECODE_RECORD Record(const Tc& t, uint32_t rate, bool drop = false, uint32_t status = 0)
{
    TANDREL_TIMECODE_RECORD r{};
    uint8_t digits[8] = {uint8_t(t.f % 10), uint8_t(t.f / 10), uint8_t(t.s % 10), uint8_t(t.s / 10),
                         uint8_t(t.m % 10), uint8_t(t.m / 10), uint8_t(t.h % 10), uint8_t(t.h / 10)};
    std::memcpy(r.Bytes, digits, 8);
    if (drop) r.Bytes[1] |= 0x04;
    r.Status = rate | status;
    return r;
}

Tc FromBytes(const uint8_t* b)
{
    return {(b[7] & 3) * 10 + (b[6] & 15), (b[5] & 7) * 10 + (b[4] & 15), (b[3] & 7) * 10 + (b[2] & 15),
            (b[1] & 3) * 10 + (b[0] & 15)};
}

// ---- a client of the streams, as the time-code driver would be ----

struct Call {
    uint32_t field;
    TANDREL_TIMECODE_RECORD record;
    uint32_t in, out;
    std::vector<uint32_t> words;  // an input post's whole record
};

struct Client {
    std::vector<Call> calls;
    uint32_t result = 1;
    // Generators and burn-in: what to hand back for a field number.
    TANDREL_TIMECODE_RECORD (*produce)(uint32_t field) = nullptr;

    static uint32_t Callback(void* context, uint32_t field, void* data, uint32_t in, uint32_t out)
    {
        auto* self = static_cast<Client*>(context);
        Call c{field, {}, in, out, {}};
        if (in >= sizeof(TANDREL_TIMECODE_RECORD)) std::memcpy(&c.record, data, sizeof(c.record));
        c.words.assign(static_cast<uint32_t*>(data), static_cast<uint32_t*>(data) + in / 4);
        if (out == sizeof(TANDREL_TIMECODE_RECORD) && self->produce) {
            c.record = self->produce(field);
            std::memcpy(data, &c.record, sizeof(c.record));
        }
        self->calls.push_back(c);
        return self->result;
    }
};

class ZarkdTimeCode : public ZarkdIoctlMachine {
protected:
    void SetUp() override
    {
        ZarkdIoctlMachine::SetUp();
        if (HasFatalFailure()) return;
        ULONG io[4] = {0, 0, 0, 0};
        ASSERT_EQ(Send(IOCTL_ZAR_FLEX_DOWNLOAD, io, sizeof(io), io, sizeof(io)).status, STATUS_SUCCESS);
        ASSERT_EQ(Send(IOCTL_ZAR_POST_FPGA_INIT, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
        ext_->VinMonitorPaused = TRUE;
    }
    void TearDown() override
    {
        for (ULONG i = 0; i < TANDREL_STREAM_COUNT; ++i) Disconnect(i);
        ZarkdIoctlMachine::TearDown();
    }

    sim::Board& Board() { return *built_.boards[0]; }
    sim::TimeCodeChip& Chip() { return Board().TimeCode(); }
    PDEVICE_OBJECT Device() { return ext_->DeviceObject; }

    // A kernel caller's request: internal device control, or a routed code
    // with the stream in the minor function.
    Result Kernel(ULONG code, void* in, ULONG inLength, void* out, ULONG outLength, bool internal, UCHAR minor = 0,
                  PFILE_OBJECT file = nullptr)
    {
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        PIRP irp = IoBuildDeviceIoControlRequest(code, Device(), in, inLength, out, outLength, internal, &done, &iosb);
        if (irp == nullptr) return {STATUS_INSUFFICIENT_RESOURCES, 0};
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MinorFunction = minor;
        next->FileObject = file;
        NTSTATUS status = IoCallDriver(Device(), irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
            status = iosb.Status;
        }
        return {status, ULONG(iosb.Information)};
    }
    Result Internal(ULONG code, void* in, ULONG inLength, void* out, ULONG outLength)
    {
        return Kernel(code, in, inLength, out, outLength, TRUE);
    }
    Result Routed(ULONG code, ULONG stream, void* in, ULONG inLength, void* out, ULONG outLength,
                  PFILE_OBJECT file = nullptr)
    {
        return Kernel(code, in, inLength, out, outLength, FALSE, UCHAR(stream), file);
    }
    NTSTATUS Connect(ULONG stream, Client* client)
    {
        TANDREL_STREAM_CONNECT c{stream, Client::Callback, client};
        return Internal(IOCTL_ZAR_INTERNAL_CONNECT_STREAM, &c, sizeof(c), nullptr, 0).status;
    }
    void Disconnect(ULONG stream) { Internal(IOCTL_ZAR_INTERNAL_DISCONNECT_STREAM, &stream, 4, nullptr, 0); }

    void RunFields(uint64_t fields)
    {
        uint64_t target = Board().Clock().FieldCount() + fields;
        while (Board().Clock().FieldCount() < target) nt::ClockRunFor(1000000);
        nt::ClockRunUntilIdle();
    }
    // The per-field DPC's body, run here at dispatch level.
    void RunFieldNow()
    {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        ZarTandrel_RunField(ext_);
        KeLowerIrql(old);
    }
};

// ---- the stream table and the connect interface ----

TEST_F(ZarkdTimeCode, StreamTableAnswersAsTheTimeCodeDriverExpects)
{
    ULONG count = 0;
    Result r = Internal(IOCTL_ZAR_INTERNAL_GET_STREAM_COUNT, nullptr, 0, &count, 4);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, 4u);
    EXPECT_EQ(count, 8u);

    struct Expected {
        const char16_t* name;
        uint32_t type;
        int32_t delay;
    } expected[8] = {
        {u"MasterClock", TANDREL_STREAM_MASTER_CLOCK, 0},    {u"LTCReader", TANDREL_STREAM_LTC_READER, -2},
        {u"LTCGenerator", TANDREL_STREAM_LTC_GENERATOR, 2},  {u"VITCReader", TANDREL_STREAM_VITC_READER, 0},
        {u"VITCGenerator", TANDREL_STREAM_VITC_GENERATOR, 2}, {u"BurnIn", TANDREL_STREAM_BURN_IN, 1},
        {u"JpegStream1", TANDREL_STREAM_FIELD_COUNTER, 0},   {u"JpegStream2", TANDREL_STREAM_FIELD_COUNTER, 0},
    };
    for (ULONG i = 0; i < 8; ++i) {
        ULONG index = i;
        TANDREL_STREAM_INFO info{};
        std::vector<UCHAR> io(20);
        std::memcpy(io.data(), &index, 4);
        r = Internal(IOCTL_ZAR_INTERNAL_GET_STREAM_INFO, io.data(), 4, io.data(), 20);
        ASSERT_EQ(r.status, STATUS_SUCCESS) << i;
        std::memcpy(&info, io.data(), sizeof(info));
        EXPECT_EQ(info.Index, i);
        EXPECT_EQ(info.Type, expected[i].type) << i;
        EXPECT_EQ(info.FieldRate, 29u);
        EXPECT_EQ(info.Delay, expected[i].delay) << i;
        EXPECT_EQ(std::u16string(info.Name), std::u16string(expected[i].name));
    }

    struct Refusal {
        ULONG code, index, inLength, outLength;
        NTSTATUS status;
    } refusals[] = {
        {IOCTL_ZAR_INTERNAL_GET_STREAM_COUNT, 0, 0, 3, STATUS_BUFFER_TOO_SMALL},
        {IOCTL_ZAR_INTERNAL_GET_STREAM_INFO, 8, 4, 20, STATUS_INVALID_PARAMETER},
        {IOCTL_ZAR_INTERNAL_GET_STREAM_INFO, 0, 4, 19, STATUS_BUFFER_TOO_SMALL},
        {IOCTL_ZAR_INTERNAL_CONNECT_STREAM, 0, 11, 0, STATUS_BUFFER_TOO_SMALL},
        {IOCTL_ZAR_INTERNAL_CONNECT_STREAM, 9, 12, 0, STATUS_INVALID_PARAMETER},
        {IOCTL_ZAR_INTERNAL_DISCONNECT_STREAM, 8, 4, 0, STATUS_INVALID_PARAMETER},
        {0x223010, 0, 4, 4, STATUS_INVALID_DEVICE_REQUEST},
    };
    for (const Refusal& c : refusals) {
        std::vector<ULONG> io(8, 0xA5A5A5A5);
        io[0] = c.index;
        r = Internal(c.code, io.data(), c.inLength, io.data(), c.outLength);
        EXPECT_EQ(r.status, c.status) << std::hex << c.code << " " << c.index;
        EXPECT_EQ(r.bytes, 0u);
    }
}

TEST_F(ZarkdTimeCode, SecondConnectIsRefusedAndTheFirstClientKeepsItsStream)
{
    Client first, second;
    ASSERT_EQ(Connect(ZAR_STREAM_MASTER_CLOCK, &first), STATUS_SUCCESS);
    EXPECT_EQ(Connect(ZAR_STREAM_MASTER_CLOCK, &second), NTSTATUS(0x80000011));
    RunFields(4);
    EXPECT_GE(first.calls.size(), 3u);
    EXPECT_TRUE(second.calls.empty());

    // After a disconnect nothing more reaches the first; the second may connect.
    Disconnect(ZAR_STREAM_MASTER_CLOCK);
    size_t seen = first.calls.size();
    ASSERT_EQ(Connect(ZAR_STREAM_MASTER_CLOCK, &second), STATUS_SUCCESS);
    RunFields(4);
    EXPECT_EQ(first.calls.size(), seen);
    EXPECT_FALSE(second.calls.empty());
}

TEST_F(ZarkdTimeCode, MasterClockPostsOnceAFieldAndOnceForAJump)
{
    // The chip's interrupt drives the exchange once a field, the count
    // keeping even numbers on one parity.
    Client master;
    ASSERT_EQ(Connect(ZAR_STREAM_MASTER_CLOCK, &master), STATUS_SUCCESS);
    RunFields(10);
    ASSERT_GE(master.calls.size(), 8u);
    for (size_t i = 1; i < master.calls.size(); ++i) EXPECT_EQ(master.calls[i].field, master.calls[i - 1].field + 1);
    EXPECT_EQ(master.calls.back().in, 16u);

    // A count that jumps by 3 between DPCs posts once, with the new count;
    // no new field posts nothing.
    ZarSetIntMode(ext_, ZAR_INT_FIELD, FALSE);
    ZarICS2008A_MaskInterrupt(ext_, TRUE);
    nt::ClockRunUntilIdle();
    RunFieldNow();  // posts a field counted since the last DPC
    master.calls.clear();
    RunFieldNow();
    EXPECT_TRUE(master.calls.empty());
    ext_->TimeCode.MasterCount = ext_->TimeCode.MasterCount + 3;
    RunFieldNow();
    RunFieldNow();
    ASSERT_EQ(master.calls.size(), 1u);
    EXPECT_EQ(master.calls[0].field, ext_->TimeCode.MasterCount);

    // A result of 0 stops the field there: the readers hear nothing.
    Client reader;
    ASSERT_EQ(Connect(ZAR_STREAM_LTC_READER, &reader), STATUS_SUCCESS);
    master.result = 0;
    ext_->TimeCode.MasterCount = ext_->TimeCode.MasterCount + 1;
    RunFieldNow();
    EXPECT_TRUE(reader.calls.empty());
    master.result = 1;
    ext_->TimeCode.MasterCount = ext_->TimeCode.MasterCount + 1;
    RunFieldNow();
    ASSERT_EQ(reader.calls.size(), 1u);
    EXPECT_EQ(reader.calls[0].field, ext_->TimeCode.MasterCount - 2);
}

TEST_F(ZarkdTimeCode, InTheSecond24FrameModeTheMasterClockFollowsThe24FrameFieldLogic)
{
    // The board's field parity says 1 throughout; in mode 2 the 24-frame
    // logic's parity and skip flag decide instead.
    ZarSetIntMode(ext_, ZAR_INT_FIELD, FALSE);
    nt::ClockRunUntilIdle();
    const struct {
        const char* what;
        ULONG mode, optionParity, skip;
        ULONG counted;  // the count after 10
    } cases[] = {
        {"mode 1: the board's parity", 1, 0, 1, 11},
        {"mode 2: the logic's parity 0", 2, 0, 0, 12},
        {"mode 2: the logic's parity 1", 2, 1, 0, 11},
        {"mode 2: skipped", 2, 0, 1, 10},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ext_->Hdcam24FpsMode = c.mode;
        ext_->TimeCode.Mode24 = c.mode;
        ext_->FieldParity = 1;
        ext_->Jpeg.OptionParity = c.optionParity;
        ext_->Jpeg.OptionHold = c.skip;
        ext_->TimeCode.MasterCount = 10;
        ZarTandrelMasterClock_OnVerticalInterrupt(ext_);
        EXPECT_EQ(ext_->TimeCode.MasterCount, c.counted);
    }
    ext_->Hdcam24FpsMode = 0;
    ext_->TimeCode.Mode24 = 0;
    nt::ClockRunUntilIdle();
}

TEST_F(ZarkdTimeCode, DelayPairsComeFromTheRegistryOnlyTogether)
{
    struct Case {
        bool hasReader, hasGenerator;
        ULONG reader, generator;
        LONG readerDelay, generatorDelay;
    } cases[] = {
        {true, true, 3, 4, -3, 4},
        {true, false, 3, 0, -2, 2},   // one missing: neither applied
        {false, true, 0, 4, -2, 2},
        {true, true, 10, 4, -2, 4},   // each accepted below 10
        {true, true, 0, 9, 0, 9},
    };
    for (const Case& c : cases) {
        LONG r = -2, g = 2;
        ZarTandrelApplyDelayPair(c.hasReader ? &c.reader : nullptr, c.hasGenerator ? &c.generator : nullptr, &r, &g);
        EXPECT_EQ(r, c.readerDelay) << c.reader << " " << c.generator;
        EXPECT_EQ(g, c.generatorDelay);
    }

    // The same rule read from the Tandrel key.
    const std::u16string key = u"ZARKD\\Parameters\\Tandrel";
    ASSERT_EQ(RtlCreateRegistryKey(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(key.c_str())), STATUS_SUCCESS);
    ASSERT_EQ(SetDword(RTL_REGISTRY_SERVICES, key, u"LTCReaderDelayFields", 3), STATUS_SUCCESS);
    ASSERT_EQ(SetDword(RTL_REGISTRY_SERVICES, key, u"VITCReaderDelayFields", 1), STATUS_SUCCESS);
    ASSERT_EQ(SetDword(RTL_REGISTRY_SERVICES, key, u"VITCGeneratorDelayFields", 5), STATUS_SUCCESS);
    ASSERT_EQ(SetDword(RTL_REGISTRY_SERVICES, key, u"BurnInGeneratorDelayFields", 4), STATUS_SUCCESS);
    ZarTandrel_Initialize(ext_);
    EXPECT_EQ(ext_->TimeCode.Streams[ZAR_STREAM_LTC_READER].Delay, -2);
    EXPECT_EQ(ext_->TimeCode.Streams[ZAR_STREAM_LTC_GENERATOR].Delay, 2);
    EXPECT_EQ(ext_->TimeCode.Streams[ZAR_STREAM_VITC_READER].Delay, -1);
    EXPECT_EQ(ext_->TimeCode.Streams[ZAR_STREAM_VITC_GENERATOR].Delay, 5);
    EXPECT_EQ(ext_->TimeCode.Streams[ZAR_STREAM_BURN_IN].Delay, 4);
}

// ---- routed codes ----

TEST_F(ZarkdTimeCode, GainAndVitcLineRules)
{
    struct Gain {
        LONG set;
        ULONG step;
        LONG readBack;
    } gains[] = {
        {-6, 10, -6}, {30, 15, 9}, {0, 12, 0}, {-100, 0, -100}, {-99, 4, -24}, {-24, 4, -24}, {-7, 10, -6}, {9, 15, 9},
    };
    for (const Gain& g : gains) {
        EXPECT_EQ(ZarTandrelGainToStep(g.set), g.step) << g.set;
        EXPECT_EQ(ZarTandrelStepToGain(g.step), g.readBack) << g.set;
    }

    struct Line {
        LONG line;
        BOOLEAN reader;
        BOOLEAN accepted;
        UCHAR reg;
    } lines[] = {
        {0, TRUE, TRUE, 0x00},   {10, TRUE, TRUE, 0x80},  {40, FALSE, TRUE, 0x9E}, {14, FALSE, TRUE, 0x84},
        {-1, TRUE, TRUE, 0x9F},  {-1, FALSE, FALSE, 0},   {9, TRUE, FALSE, 0},     {41, FALSE, FALSE, 0},
        {-2, TRUE, FALSE, 0},
    };
    for (const Line& l : lines) {
        UCHAR reg = 0x55;
        ASSERT_EQ(ZarTandrelVitcLineToRegister(l.line, l.reader, &reg), l.accepted) << l.line;
        if (!l.accepted) continue;
        EXPECT_EQ(reg, l.reg) << l.line;
        EXPECT_EQ(ZarTandrelVitcRegisterToLine(reg), l.line);
    }
}

TEST_F(ZarkdTimeCode, RoutedCodesReachTheirStreamsAndTheChip)
{
    // Gain: the register is written and read back as set.
    LONG gain = -6;
    ASSERT_EQ(Routed(IOCTL_ZAR_TANDREL_LTC_GENERATOR_SET_GAIN, 2, &gain, 4, nullptr, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(Chip().Indirect(53) & 0x0F, 10);
    LONG read = 0;
    Result r = Routed(IOCTL_ZAR_TANDREL_LTC_GENERATOR_GET_GAIN, 2, nullptr, 0, &read, 4);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(read, -6);

    // VITC: the generator's lines reach registers 46-47; a refused set changes nothing.
    LONG lines[2] = {14, 16};
    ASSERT_EQ(Routed(IOCTL_ZAR_TANDREL_VITC_SET_LINES, 4, lines, 8, nullptr, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(Chip().Indirect(46), 0x84);
    EXPECT_EQ(Chip().Indirect(47), 0x86);
    struct Refused {
        ULONG stream;
        LONG first, second;
    } refused[] = {{4, -1, 14}, {3, 9, 14}, {3, 14, 41}, {4, 12, 8}};
    for (const Refused& c : refused) {
        LONG set[2] = {c.first, c.second};
        EXPECT_EQ(Routed(IOCTL_ZAR_TANDREL_VITC_SET_LINES, c.stream, set, 8, nullptr, 0).status, STATUS_INVALID_PARAMETER);
    }
    LONG got[2] = {};
    ASSERT_EQ(Routed(IOCTL_ZAR_TANDREL_VITC_GET_LINES, 3, nullptr, 0, got, 8).status, STATUS_SUCCESS);
    EXPECT_EQ(got[0], -1);  // the reader still searches
    EXPECT_EQ(got[1], -1);

    // Without write access a set is refused and changes nothing.
    FILE_OBJECT readOnly{};
    readOnly.ReadAccess = TRUE;
    LONG other[2] = {20, 22};
    EXPECT_EQ(Routed(IOCTL_ZAR_TANDREL_VITC_SET_LINES, 4, other, 8, nullptr, 0, &readOnly).status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(Chip().Indirect(46), 0x84);

    struct Route {
        ULONG code, stream;
        NTSTATUS status;
    } routes[] = {
        {IOCTL_ZAR_TANDREL_GET_CONFIGURATION, 0, STATUS_INVALID_DEVICE_REQUEST},  // no hook
        {IOCTL_ZAR_TANDREL_GET_CONFIGURATION, 6, STATUS_INVALID_DEVICE_REQUEST},
        {IOCTL_ZAR_TANDREL_GET_CONFIGURATION, 8, STATUS_NO_SUCH_DEVICE},
        {IOCTL_ZAR_TANDREL_LTC_GENERATOR_GET_GAIN, 1, STATUS_INVALID_DEVICE_REQUEST},
        {IOCTL_ZAR_TANDREL_GET_CONFIGURATION, 1, STATUS_SUCCESS},
    };
    for (const Route& c : routes) {
        ULONG out[2] = {};
        EXPECT_EQ(Routed(c.code, c.stream, nullptr, 0, out, 8).status, c.status) << std::hex << c.code << " " << c.stream;
    }
    ULONG config[2] = {};
    Routed(IOCTL_ZAR_TANDREL_GET_CONFIGURATION, 3, nullptr, 0, config, 8);
    EXPECT_EQ(config[0], 29u);
    EXPECT_EQ(config[1], 1u);
}

TEST_F(ZarkdTimeCode, RegisterCodesTakeOnlyTheChipsRegisters)
{
    struct Case {
        ULONG direct, reg;
        NTSTATUS status;
    } cases[] = {
        {1, 0, STATUS_SUCCESS},  {1, 3, STATUS_SUCCESS},  {1, 4, STATUS_INVALID_PARAMETER},
        {0, 0, STATUS_SUCCESS},  {0, 63, STATUS_SUCCESS}, {0, 64, STATUS_INVALID_PARAMETER},
        {0, 0x80, STATUS_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        ULONG io[3] = {c.direct, c.reg, 0x5A};
        EXPECT_EQ(Send(IOCTL_ZAR_TC_REG_WRITE, io, 12, nullptr, 0).status, c.status) << c.direct << " " << c.reg;
        EXPECT_EQ(Send(IOCTL_ZAR_TC_REG_READ, io, 12, io, 12).status, c.status) << c.direct << " " << c.reg;
    }
    ULONG io[3] = {0, 20, 0x3C};
    ASSERT_EQ(Send(IOCTL_ZAR_TC_REG_WRITE, io, 12, nullptr, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(Chip().Indirect(20), 0x3C);
    io[2] = 0;
    ASSERT_EQ(Send(IOCTL_ZAR_TC_REG_READ, io, 12, io, 12).status, STATUS_SUCCESS);
    EXPECT_EQ(io[2], 0x3Cu);

    ULONG source = 0;
    ASSERT_EQ(Send(IOCTL_ZAR_TC_SET_VIDEO_OUTPUT_SOURCE, &source, 4, nullptr, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(Chip().Indirect(50), 0x01);
    source = 1;
    ASSERT_EQ(Send(IOCTL_ZAR_TC_SET_VIDEO_OUTPUT_SOURCE, &source, 4, nullptr, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(Chip().Indirect(50), 0x15);
    source = 2;
    EXPECT_EQ(Send(IOCTL_ZAR_TC_SET_VIDEO_OUTPUT_SOURCE, &source, 4, nullptr, 0).status, STATUS_INVALID_PARAMETER);
    ULONG base[4] = {2, 1, 1, 1};
    EXPECT_EQ(Send(IOCTL_ZAR_FIELD_COUNTER_SET_BASE, base, 16, nullptr, 0).status, STATUS_INVALID_PARAMETER);
}

// ---- time code through the chip ----

// The generator's code for a field: drop-frame from 00:00:58;00 at field
// number 1. A frame starts on a parity-1 field, which the master count
// keeps odd: fields 2k + 1 and 2k + 2 are frame k.
TANDREL_TIMECODE_RECORD GeneratedFor(uint32_t field)
{
    return Record(DropFrame(58 * 30 + int((field - 1) / 2)), 29, true);
}

TEST_F(ZarkdTimeCode, GeneratedLtcIsReadBackFrameExactOverAMinuteBoundaryInDropFrame)
{
    Client master, generator, reader;
    generator.produce = GeneratedFor;
    ASSERT_EQ(Connect(ZAR_STREAM_MASTER_CLOCK, &master), STATUS_SUCCESS);
    ASSERT_EQ(Connect(ZAR_STREAM_LTC_GENERATOR, &generator), STATUS_SUCCESS);
    ASSERT_EQ(Connect(ZAR_STREAM_LTC_READER, &reader), STATUS_SUCCESS);
    LONG gain = -6;
    ASSERT_EQ(Routed(IOCTL_ZAR_TANDREL_LTC_GENERATOR_SET_GAIN, 2, &gain, 4, nullptr, 0).status, STATUS_SUCCESS);
    Chip().TakeLtcOutput();
    RunFields(2 * 150);  // 5 s: past 00:00:59;29 -> 00:01:00;02

    // Every valid code the reader posted is the one generated for its field.
    size_t valid = 0;
    bool crossed = false;
    // (The first frames on the wire carry the empty code sent before the
    // generator's client was first asked.)
    for (const Call& c : reader.calls) {
        Tc read = FromBytes(c.record.Bytes);
        if ((c.record.Status & TANDREL_STATUS_NO_CODE) || (valid == 0 && read == Tc{0, 0, 0, 0})) continue;
        ++valid;
        Tc sent = FromBytes(GeneratedFor(c.field).Bytes);
        ASSERT_EQ(read, sent) << "field " << c.field;
        EXPECT_TRUE(c.record.Bytes[1] & 0x04);
        crossed = crossed || (read == Tc{0, 1, 0, 2});
        EXPECT_NE(read, (Tc{0, 1, 0, 0}));
    }
    EXPECT_GT(valid, 250u);
    EXPECT_TRUE(crossed);

    // The wire itself, decoded apart from the chip: consecutive drop-frame codes.
    std::vector<ltctest::Frame> frames = ltctest::DecodeAll(Chip().TakeLtcOutput());
    while (!frames.empty() && FromBytes(frames[0].data()) == Tc{0, 0, 0, 0}) frames.erase(frames.begin());
    ASSERT_GT(frames.size(), 140u);
    Tc first = FromBytes(frames[0].data());
    int start = -1;
    for (int f = 0; f < 4000 && start < 0; ++f)
        if (DropFrame(f) == first) start = f;
    ASSERT_GE(start, 0);
    for (size_t i = 0; i < frames.size(); ++i) ASSERT_EQ(FromBytes(frames[i].data()), DropFrame(start + int(i))) << i;
    // Each frame's polarity-correction bit (bit 27 at 29.97) leaves an odd
    // number of ones in its 64 bits, whatever the code.
    for (size_t i = 0; i < frames.size(); ++i) {
        int ones = 0;
        for (int b = 0; b < 8; ++b) ones += __builtin_popcount(frames[i][b]);
        EXPECT_EQ(ones % 2, 1) << i;
    }
}

TEST_F(ZarkdTimeCode, FieldCountersReportTheJpegChannelsPositions)
{
    Client master, counter;
    ASSERT_EQ(Connect(ZAR_STREAM_MASTER_CLOCK, &master), STATUS_SUCCESS);
    ASSERT_EQ(Connect(ZAR_STREAM_JPEG1, &counter), STATUS_SUCCESS);
    ULONG base[4] = {0, 0x01000000, 7, 1};
    ASSERT_EQ(Send(IOCTL_ZAR_FIELD_COUNTER_SET_BASE, base, 16, nullptr, 0).status, STATUS_SUCCESS);
    ZarSetIntMode(ext_, ZAR_INT_FIELD, FALSE);
    ZarICS2008A_MaskInterrupt(ext_, TRUE);
    nt::ClockRunUntilIdle();

    struct Case {
        int32_t state;
        uint32_t positions[4];
        std::vector<uint32_t> expected;
    } cases[] = {
        {0x20, {40, 39, 38, 37}, {40, 39, 38, 37}},
        {0x20, {40, 39, 0xFFFFFFFF, 37}, {40, 39}},  // stops at the first negative one
        {0x11, {40, 39, 38, 37}, {40, 39}},
        {0x40, {40, 39, 38, 37}, {40}},
        {1, {40, 39, 38, 37}, {}},
    };
    for (const Case& c : cases) {
        ZAR_VIDEO_CHANNEL_STATE& state = ext_->Jpeg.Channel[0].State;
        state.StateWord = c.state;
        std::memcpy(state.ReportedPosition, c.positions, sizeof(c.positions));
        counter.calls.clear();
        ext_->TimeCode.MasterCount = ext_->TimeCode.MasterCount + 1;
        RunFieldNow();
        ASSERT_EQ(counter.calls.size(), 1u);
        const std::vector<uint32_t>& w = counter.calls[0].words;
        ASSERT_EQ(w.size(), 24u);
        EXPECT_EQ(counter.calls[0].field, ext_->TimeCode.MasterCount);
        EXPECT_EQ(w[0], 0x01000000u);
        EXPECT_EQ(w[1], 7u);
        EXPECT_EQ(w[2] & 0xFF, 29u);
        EXPECT_TRUE(w[2] & TANDREL_STATUS_DROP_FRAME);
        EXPECT_TRUE(w[2] & 0x100);
        EXPECT_EQ(bool(w[2] & TANDREL_STATUS_NO_CODE), c.expected.empty()) << c.state;
        std::vector<uint32_t> positions(w.begin() + 4, w.begin() + 4 + w[3]);
        EXPECT_EQ(positions, c.expected.empty() ? std::vector<uint32_t>{0} : c.expected) << c.state;
    }
}

// ---- burn-in ----

TEST_F(ZarkdTimeCode, BurnInContentRules)
{
    auto show = [](const TANDREL_BURNIN_ELEMENT& e, const TANDREL_TIMECODE_RECORD& r) {
        UCHAR fixed[4];
        TANDREL_BURNIN_ELEMENT copy = e;
        ZarBurnInUpdateEffect(&copy, fixed);
        UCHAR codes[8];
        ZarBurnInContent(&copy, fixed, &r, codes);
        std::string s;
        for (UCHAR c : codes) s += ZarBurnInDecode(c);
        return s;
    };
    auto element = [](uint32_t content, uint32_t zeros, uint32_t digits, const char* text = "        ") {
        TANDREL_BURNIN_ELEMENT e{};
        e.Content = content;
        e.LeadingZeros = zeros;
        e.LeadingDigits = digits;
        std::memcpy(e.Text, text, 8);
        return e;
    };
    TANDREL_TIMECODE_RECORD withUserBits = Record({12, 34, 56, 7}, 25);
    for (int i = 0; i < 8; ++i) withUserBits.Bytes[i] |= uint8_t((i == 2 ? 0xC : i) << 4);
    struct Case {
        TANDREL_BURNIN_ELEMENT element;
        TANDREL_TIMECODE_RECORD record;
        const char* shown;
    } cases[] = {
        {element(0, 2, 8), Record({1, 0, 0, 5}, 25), " 1000005"},
        {element(0, 2, 8), Record({0, 0, 0, 0}, 25), "        "},
        {element(0, 1, 3), Record({0, 0, 0, 0}, 25), "___00000"},
        {element(0, 1, 8), Record({0, 0, 12, 0}, 25), "____1200"},
        {element(0, 0, 8), Record({0, 0, 12, 0}, 25), "00001200"},
        {element(0, 2, 8), Record({10, 0, 0, 0}, 25), "10000000"},
        {element(0, 0, 0), withUserBits, "12345607"},          // flags above the tens digits ignored
        {element(1, 0, 0), withUserBits, "76543?10"},          // user bits: a group above 9 shows "?"
        {element(2, 0, 0, "12:34_ x"), Record({0, 0, 0, 0}, 25), "12?34_ ?"},
        {element(3, 0, 0), Record({0, 1, 0, 2}, 29, true), "00001800"},   // drop-frame 00:01:00;02
        {element(3, 0, 0), Record({0, 1, 0, 0}, 29), "00001800"},         // 30 frames a second
        {element(3, 0, 0), Record({1, 0, 0, 0}, 25), "00090000"},
        {element(3, 0, 0), Record({0, 10, 0, 0}, 29, true), "00017982"},
        {element(3, 0, 0), Record({23, 59, 59, 29}, 29, true), "02589407"},
    };
    for (const Case& c : cases) EXPECT_EQ(show(c.element, c.record), c.shown) << c.shown;

    // Fixed text is stored as the codes read back: a colon becomes "?".
    TANDREL_BURNIN_ELEMENT e = element(2, 7, 0, "AB:9_ 12");
    e.Style = 9;
    e.Content = 2;
    e.Indicator = 3;
    UCHAR codes[4];
    ZarBurnInUpdateEffect(&e, codes);
    EXPECT_EQ(std::string(e.Text, 8), "???9_ 12");
    EXPECT_EQ(e.Style, 0u);
    EXPECT_EQ(e.Indicator, 0u);
    EXPECT_EQ(e.LeadingZeros, 0u);
    EXPECT_EQ(e.Changed, 1u);
    EXPECT_EQ(codes[3], 0xBB);  // characters 1-2 in the last byte
    EXPECT_EQ(codes[0], 0x12);
}

TEST_F(ZarkdTimeCode, BurnInWindowPositions)
{
    struct Case {
        BOOLEAN large;
        ULONG rate, position, line, column;
    } cases[] = {
        {TRUE, 29, 100, 115, 106}, {TRUE, 29, 0, 10, 33},  {TRUE, 25, 100, 139, 107}, {TRUE, 25, 50, 75, 72},
        {FALSE, 29, 100, 123, 178}, {FALSE, 25, 0, 11, 37}, {FALSE, 29, 62, 80, 128},  // 114 + 14: columns 114-127 skipped
        {FALSE, 29, 61, 79, 113},   {FALSE, 29, 250, 123, 178},
    };
    for (const Case& c : cases) {
        ULONG backLine = 0, backColumn = 0;
        EXPECT_EQ(ZarBurnInCalcLine(c.large, c.rate, c.position, &backLine), c.line) << c.position;
        EXPECT_EQ(ZarBurnInCalcColumn(c.large, c.rate, c.position, &backColumn), c.column) << c.position;
        ULONG p = c.position > 100 ? 100 : c.position;
        EXPECT_NEAR(double(backLine), double(p), 1.0);
        EXPECT_NEAR(double(backColumn), double(p), 1.0);
    }
}

TEST_F(ZarkdTimeCode, BurnInStyleReachesTheChipsControlBits)
{
    Client master, burn;
    burn.produce = [](uint32_t) { return Record({1, 0, 0, 0}, 29); };  // a valid code: element A
    ASSERT_EQ(Connect(ZAR_STREAM_MASTER_CLOCK, &master), STATUS_SUCCESS);
    ASSERT_EQ(Connect(ZAR_STREAM_BURN_IN, &burn), STATUS_SUCCESS);
    const struct {
        uint32_t style;
        uint8_t bits;  // register 62 bits 1-2
    } cases[] = {{2, 0x0}, {3, 0x6}, {4, 0x4}, {0, 0x2}, {1, 0x2}, {3, 0x6}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "style " << c.style);
        TANDREL_BURNIN_CONFIGURATION config{};
        config.Line = config.Column = 50;
        for (auto& e : config.Element) std::memcpy(e.Text, "        ", 8);
        config.Element[0].Style = c.style;
        config.Element[1].Style = config.Element[2].Style = 2;  // the others' style must not be taken
        ASSERT_EQ(Routed(IOCTL_ZAR_TANDREL_BURNIN_SET_CONFIGURATION, 5, &config, 128, nullptr, 0).status,
                  STATUS_SUCCESS);
        RunFields(3);
        nt::ClockRunUntilIdle();
        EXPECT_EQ(Chip().Indirect(62) & 0x6, c.bits);
    }
}

TEST_F(ZarkdTimeCode, BurnInShowsTheGeneratedCodeInTheOutputPictureAndBlinks)
{
    Client master, burn;
    burn.produce = [](uint32_t) { return Record({1, 0, 0, 0}, 29, false, 0x100); };
    TANDREL_BURNIN_CONFIGURATION config{};
    config.Line = 100;
    config.Column = 100;
    config.CellHeight = 8;
    for (auto& e : config.Element) std::memcpy(e.Text, "        ", 8);
    config.Element[0].BlinkPeriod = 25;
    ASSERT_EQ(Routed(IOCTL_ZAR_TANDREL_BURNIN_SET_CONFIGURATION, 5, &config, 128, nullptr, 0).status, STATUS_SUCCESS);
    ULONG show = 1;
    ASSERT_EQ(Routed(IOCTL_ZAR_TANDREL_BURNIN_SHOW_HIDE, 5, &show, 4, nullptr, 0).status, STATUS_SUCCESS);
    ASSERT_EQ(Connect(ZAR_STREAM_MASTER_CLOCK, &master), STATUS_SUCCESS);
    ASSERT_EQ(Connect(ZAR_STREAM_BURN_IN, &burn), STATUS_SUCCESS);

    // Find fields where the count is a multiple of 50 and 25 past one.
    bool hidden = false, restored = false;
    for (int i = 0; i < 110 && !(hidden && restored); ++i) {
        RunFields(1);
        ULONG count = ext_->TimeCode.LastPosted;
        nt::ClockRunUntilIdle();
        if (burn.calls.empty()) continue;
        if (count % 50 == 0) {
            EXPECT_EQ(ext_->TimeCode.Image[41], 0) << count;
            hidden = true;
        } else if (count % 50 == 25) {
            EXPECT_EQ(ext_->TimeCode.Image[41], 123) << count;
            restored = true;
        }
    }
    EXPECT_TRUE(hidden && restored);

    // 01:00:00:00 in the chip's character registers and over the picture.
    EXPECT_EQ(Chip().Indirect(45), 0x01);
    EXPECT_EQ(Chip().Indirect(44), 0x00);
    EXPECT_EQ(Chip().Indirect(40), 178);
    EXPECT_EQ(Chip().Indirect(62) & 1, 1);  // status bit 8: indicator on

    // Hidden through the code: column 255.
    show = 0;
    ASSERT_EQ(Routed(IOCTL_ZAR_TANDREL_BURNIN_SHOW_HIDE, 5, &show, 4, nullptr, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(Chip().Indirect(40), 255);
    TANDREL_BURNIN_CONFIGURATION back{};
    ASSERT_EQ(Routed(IOCTL_ZAR_TANDREL_BURNIN_GET_CONFIGURATION, 5, nullptr, 0, &back, 128).status, STATUS_SUCCESS);
    EXPECT_EQ(back.CellHeight, 8u);
    EXPECT_EQ(back.CellWidth, 25u);
    EXPECT_EQ(back.Element[0].BlinkPeriod, 25u);
}

}  // namespace
