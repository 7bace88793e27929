// ZARKD's I2C engine against the simulated bridge and the devices on its bus
// (EEPROM, decoder, encoders), on the virtual clock: register writes and
// reads with the transfer words the bridge saw, writes that do not wait,
// refused commands, a device that does not answer, an engine that never
// ends a transfer and interrupts that come after the caller gave up; then
// the GPIO shadow and the PCI burst/threshold record with its registry values.

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "tests/drivers/board/zarkd_ioctl_machine.h"

namespace {

constexpr uint64_t kMs = 1000000;
constexpr ULONG kSentinel = 0x5EEDu;
constexpr ULONG kAbsentDevice = 0x42;

class ZarkdI2c : public ZarkdIoctlMachine {
protected:
    void SetUp() override
    {
        ZarkdIoctlMachine::SetUp();
        if (HasFatalFailure()) return;
        // No fields, so the video-input monitor stays asleep and no other
        // traffic meets the tests'; then let the start-up traffic finish.
        ZarSetIntMode(ext_, ZAR_INT_FIELD, FALSE);
        nt::ClockRunFor(50 * kMs);
        WaitQueuesIdle();
        // Every transfer word the driver writes, in order.
        Board().Bridge().OnRegisterWrite(sim::saa7146::kI2cTransfer, [this](uint32_t word) {
            std::lock_guard lock(wordsLock_);
            words_.push_back(word);
        });
    }


    std::vector<uint32_t> TakeWords()
    {
        std::lock_guard lock(wordsLock_);
        return std::exchange(words_, {});
    }

    // Look-aside entries taken and not yet returned: what the pool holds
    // beyond the list's spares.
    LONG EntriesOut() const
    {
        const GENERAL_LOOKASIDE& l = ext_->I2c.Lookaside.L;
        return LONG(ExPoolBytesWithTag(ZAR_TAG_I2C) / l.Size) - LONG(l.ListDepth);
    }

    // The engine is idle: nothing current, the queue not busy. (A waiter may
    // resume before the DPC that woke it has finished.)
    void ExpectEngineIdle()
    {
        nt::ClockRunUntilIdle();
        EXPECT_EQ(ext_->I2c.CurrentEntry, nullptr);
        EXPECT_FALSE(ext_->I2c.Queue.Busy);
        EXPECT_EQ(EntriesOut(), 0);
    }

    std::mutex wordsLock_;
    std::vector<uint32_t> words_;
};

// A command run on a system thread of its own.
struct Caller {
    PZAR_DEVICE_EXTENSION ext = nullptr;
    ZAR_I2C_COMMAND command{};
    NTSTATUS status = STATUS_PENDING;
    uint64_t startedAt = 0;
    uint64_t endedAt = 0;
    KEVENT done{};
};

void CallerThread(PVOID context)
{
    auto* c = static_cast<Caller*>(context);
    c->startedAt = nt::ClockNow();
    c->status = ZarI2cCommand(c->ext, &c->command);
    c->endedAt = nt::ClockNow();
    KeSetEvent(&c->done, IO_NO_INCREMENT, FALSE);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

void StartCaller(Caller& c)
{
    KeInitializeEvent(&c.done, NotificationEvent, FALSE);
    HANDLE thread = nullptr;
    ASSERT_EQ(PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, CallerThread, &c),
              STATUS_SUCCESS);
    ZwClose(thread);
    nt::ClockRunUntilIdle();  // queued (and started when the engine was free), now waiting
}

void WaitCaller(Caller& c) { KeWaitForSingleObject(&c.done, Executive, KernelMode, FALSE, nullptr); }

// ---- transfers ----

TEST_F(ZarkdI2c, WritesLandInTheDeviceAndReadBackWithTheSpecifiedTransferWords)
{
    struct Case {
        const char* what;
        ULONG device;
        ULONG reg;
        UCHAR value;
    };
    const Case cases[] = {
        {"decoder", ZAR_I2C_DECODER, 0x02, 0xC5},
        {"encoder 0", ZAR_I2C_ENCODER0, 0x61, 0x26},
        {"encoder 1", ZAR_I2C_ENCODER1, 0x7A, 0x00},
        {"EEPROM", ZAR_I2C_EEPROM, 0x80, 0x3C},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TakeWords();
        ASSERT_EQ(ZarI2cWriteByte(ext_, c.device, c.reg, c.value, TRUE), STATUS_SUCCESS);
        // The EEPROM is busy with its write cycle for a while after the stop.
        nt::ClockRunFor(10 * kMs);
        UCHAR back = UCHAR(~c.value);
        ASSERT_EQ(ZarI2cReadByte(ext_, c.device, c.reg, &back), STATUS_SUCCESS);
        EXPECT_EQ(back, c.value);

        // Write: device, register, data, attributes start-continue-stop.
        // Read: device, register, device|1 with start-continue-start, then
        // the second phase that clocks the byte in.
        ULONG write = (c.device << 24) | (c.reg << 16) | (ULONG(c.value) << 8) | 0xE4;
        ULONG read = (c.device << 24) | (c.reg << 16) | ((c.device | 1) << 8) | 0xEC;
        EXPECT_EQ(TakeWords(), (std::vector<uint32_t>{write, read, 0x40}));
    }
    EXPECT_EQ(Board().Decoder().Register(0x02), 0xC5);
    EXPECT_EQ(Board().Encoder(0).Register(0x61), 0x26);

    // Factory EEPROM bytes: the subsystem vendor id and the board revision.
    UCHAR id[2] = {};
    ASSERT_EQ(ZarI2cReadByte(ext_, ZAR_I2C_EEPROM, sim::eeprom::kIdHigh, &id[0]), STATUS_SUCCESS);
    ASSERT_EQ(ZarI2cReadByte(ext_, ZAR_I2C_EEPROM, sim::eeprom::kIdLow, &id[1]), STATUS_SUCCESS);
    EXPECT_EQ(id[0], 0x5A);
    EXPECT_EQ(id[1], 0x52);
    ExpectEngineIdle();
}

TEST_F(ZarkdI2c, ControlCodesReachTheEngine)
{
    // IOCTL_ZAR_I2C_COMMAND: 20 bytes, answered in place.
    ULONG in[5] = {ZAR_I2C_READ_WAIT, ZAR_I2C_DECODER, sim::video_chips::kDecoderStatus, 0, 0xFFFFFFFF};
    ULONG out[5] = {};
    Result r = Send(IOCTL_ZAR_I2C_COMMAND, in, sizeof in, out, sizeof out);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(out[3], ULONG(sim::video_chips::kStatusInterlaced | sim::video_chips::kStatus60Hz));

    in[0] = 3;
    EXPECT_EQ(Send(IOCTL_ZAR_I2C_COMMAND, in, sizeof in, out, sizeof out).status, STATUS_INVALID_DEVICE_REQUEST);

    // IOCTL_ZAR_I2C_REQUEST: queued, completed by the DPC with 16 bytes.
    ZAR_I2C_COMMAND request{ZAR_I2C_READ_WAIT, ZAR_I2C_DECODER, sim::video_chips::kDecoderStatus, 0};
    ZAR_I2C_COMMAND reply{};
    r = Send(IOCTL_ZAR_I2C_REQUEST, &request, sizeof request, &reply, sizeof reply);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, 16u);
    EXPECT_EQ(reply.Data, out[3]);

    // A kind the engine does not know is refused, queued or not, and runs nothing.
    UCHAR before = Board().Decoder().Register(0x03);
    request = {7, ZAR_I2C_DECODER, 0x03, ULONG(before ^ 0xFF)};
    EXPECT_EQ(Send(IOCTL_ZAR_I2C_REQUEST, &request, sizeof request, &reply, sizeof reply).status,
              STATUS_INVALID_DEVICE_REQUEST);
    WaitQueuesIdle();
    EXPECT_EQ(Board().Decoder().Register(0x03), before);
    ExpectEngineIdle();
}

TEST_F(ZarkdI2c, TransfersEnableTheI2cInterruptsWhenTheyAreOff)
{
    ZarSetIntMode(ext_, ZAR_INT_I2C, FALSE);
    ASSERT_EQ(Board().Bridge().Ier() & 0x30000u, 0u);
    UCHAR value = 0;
    ASSERT_EQ(ZarI2cReadByte(ext_, ZAR_I2C_DECODER, 0x00, &value), STATUS_SUCCESS);
    EXPECT_EQ(Board().Bridge().Ier() & 0x30000u, 0x30000u);
}

TEST_F(ZarkdI2c, WritesWithoutWaitingReturnAtOnceAndHappenLaterInOrder)
{
    const UCHAR values[] = {0x11, 0x22, 0x33, 0x44};
    sim::VideoEncoder& encoder = Board().Encoder(1);
    uint64_t writesBefore = encoder.TotalWrites();
    std::vector<uint32_t> countsBefore;
    for (ULONG i = 0; i < std::size(values); ++i) countsBefore.push_back(encoder.WriteCount(UCHAR(0x63 + i)));
    uint32_t strayBefore = encoder.WriteCount(0xEE);
    uint64_t before = nt::ClockNow();
    ZAR_I2C_COMMAND command{};
    for (ULONG i = 0; i < std::size(values); ++i) {
        command = {ZAR_I2C_WRITE_NO_WAIT, ZAR_I2C_ENCODER1, 0x63 + i, values[i]};
        ASSERT_EQ(ZarI2cCommand(ext_, &command), STATUS_SUCCESS);
        // The caller's record is free to change at once: the entry has a copy.
        command = {ZAR_I2C_WRITE_NO_WAIT, ZAR_I2C_ENCODER1, 0xEE, 0xEE};
    }
    EXPECT_EQ(nt::ClockNow(), before);
    EXPECT_EQ(encoder.TotalWrites(), writesBefore);

    // A waiting read queued behind them sees them all done.
    UCHAR last = 0;
    ASSERT_EQ(ZarI2cReadByte(ext_, ZAR_I2C_ENCODER1, 0x66, &last), STATUS_SUCCESS);
    std::vector<uint32_t> words = TakeWords();
    ASSERT_EQ(words.size(), std::size(values) + 2);
    for (ULONG i = 0; i < std::size(values); ++i) {
        EXPECT_EQ(words[i], (ZAR_I2C_ENCODER1 << 24) | ((0x63 + i) << 16) | (ULONG(values[i]) << 8) | 0xE4);
        EXPECT_EQ(encoder.Register(UCHAR(0x63 + i)), values[i]);
        EXPECT_EQ(encoder.WriteCount(UCHAR(0x63 + i)), countsBefore[i] + 1);
    }
    EXPECT_EQ(encoder.WriteCount(0xEE), strayBefore);
    ExpectEngineIdle();
}

TEST_F(ZarkdI2c, RefusedCommandsTakeNoEntryAndMoveNothing)
{
    uint32_t uploads = Board().Bridge().UploadCount(sim::saa7146::kUploadI2c);
    uint32_t decoderWrites = Board().Decoder().WriteCount(0x02);
    ULONG allocated = ext_->I2c.Lookaside.L.TotalAllocates;
    for (ULONG kind : {3u, 0x80000000u, 0xFFFFFFFFu}) {
        ZAR_I2C_COMMAND command{kind, ZAR_I2C_DECODER, 0x02, 0x55};
        EXPECT_EQ(ZarI2cCommand(ext_, &command), STATUS_INVALID_DEVICE_REQUEST) << kind;
    }
    EXPECT_EQ(ext_->I2c.Lookaside.L.TotalAllocates, allocated);

    // No entry to be had: take the look-aside list's spares, then fail the pool.
    std::vector<PVOID> spares;
    while (ext_->I2c.Lookaside.L.ListDepth != 0) spares.push_back(ExAllocateFromNPagedLookasideList(&ext_->I2c.Lookaside));
    ExSetPoolFailureHook([](POOL_TYPE, SIZE_T, ULONG tag) { return tag == ZAR_TAG_I2C; });
    ZAR_I2C_COMMAND command{ZAR_I2C_WRITE_WAIT, ZAR_I2C_DECODER, 0x02, 0x55};
    NTSTATUS waiting = ZarI2cCommand(ext_, &command);
    command.Kind = ZAR_I2C_WRITE_NO_WAIT;
    NTSTATUS queued = ZarI2cCommand(ext_, &command);
    ExSetPoolFailureHook(nullptr);
    for (PVOID p : spares) ExFreeToNPagedLookasideList(&ext_->I2c.Lookaside, p);
    EXPECT_EQ(waiting, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(queued, STATUS_INSUFFICIENT_RESOURCES);

    EXPECT_EQ(Board().Bridge().UploadCount(sim::saa7146::kUploadI2c), uploads);
    EXPECT_EQ(Board().Decoder().WriteCount(0x02), decoderWrites);
    ExpectEngineIdle();
}

TEST_F(ZarkdI2c, AnAbsentDeviceFailsTheCommandAndTheEngineGoesOn)
{
    uint64_t errors = Board().I2c().GetStats().errors;
    UCHAR value = 0xAB;
    EXPECT_EQ(ZarI2cReadByte(ext_, kAbsentDevice, 0x00, &value), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(value, 0xAB);  // untouched on failure
    EXPECT_EQ(ZarI2cWriteByte(ext_, kAbsentDevice, 0x00, 0x12, TRUE), STATUS_UNSUCCESSFUL);
    // One that does not wait fails unseen and does not hold up the next.
    EXPECT_EQ(ZarI2cWriteByte(ext_, kAbsentDevice, 0x00, 0x12, FALSE), STATUS_SUCCESS);
    ASSERT_EQ(ZarI2cWriteByte(ext_, ZAR_I2C_DECODER, 0x03, 0x5A, TRUE), STATUS_SUCCESS);
    ASSERT_EQ(ZarI2cReadByte(ext_, ZAR_I2C_DECODER, 0x03, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 0x5A);
    EXPECT_EQ(Board().I2c().GetStats().errors, errors + 3);
    ExpectEngineIdle();
}

// ---- time-outs ----

// The engine takes a transfer and never ends it. Waiting callers give up
// after 1 s each, the engine is cleaned up, and every entry comes back; the
// records of callers that left are never written again.
TEST_F(ZarkdI2c, StuckEngineTimesWaitersOutAndFreesEveryEntry)
{
    Board().I2c().SetHang(true);

    // A write that does not wait gets stuck in the engine; a waiting write
    // queued behind it never starts.
    ASSERT_EQ(ZarI2cWriteByte(ext_, ZAR_I2C_DECODER, 0x04, 0x01, FALSE), STATUS_SUCCESS);
    uint64_t start = nt::ClockNow();
    EXPECT_EQ(ZarI2cWriteByte(ext_, ZAR_I2C_DECODER, 0x05, 0x02, TRUE), STATUS_IO_TIMEOUT);
    EXPECT_GE(nt::ClockNow() - start, 1000 * kMs);
    EXPECT_LT(nt::ClockNow() - start, 1010 * kMs);
    nt::ClockRunUntilIdle();
    // Only the stuck write was ever uploaded; the clean-up cleared the
    // transfer and status registers.
    std::vector<uint32_t> words = TakeWords();
    ASSERT_FALSE(words.empty());
    EXPECT_EQ(words.front(), (ZAR_I2C_DECODER << 24) | (0x04u << 16) | (0x01u << 8) | 0xE4);
    EXPECT_EQ(words.back(), 0u);
    EXPECT_EQ(std::count(words.begin(), words.end(), (ZAR_I2C_DECODER << 24) | (0x05u << 16) | (0x02u << 8) | 0xE4),
              0);
    EXPECT_EQ(Board().Bridge().Written(sim::saa7146::kI2cStatus), 0u);
    ExpectEngineIdle();

    // Two waiting readers, the second queued behind the first: each times
    // out on its own second, its record untouched.
    Caller first, second;
    for (Caller* c : {&first, &second}) {
        c->ext = ext_;
        c->command = {ZAR_I2C_READ_WAIT, ZAR_I2C_DECODER, 0x1F, kSentinel};
    }
    StartCaller(first);
    nt::ClockRunFor(100 * kMs);
    StartCaller(second);
    WaitCaller(first);
    WaitCaller(second);
    for (Caller* c : {&first, &second}) {
        EXPECT_EQ(c->status, STATUS_IO_TIMEOUT);
        EXPECT_GE(c->endedAt - c->startedAt, 1000 * kMs);
        EXPECT_LT(c->endedAt - c->startedAt, 1010 * kMs);
        EXPECT_EQ(c->command.Data, kSentinel);
    }
    nt::ClockRunUntilIdle();
    ExpectEngineIdle();

    // A done interrupt that comes now finds nothing to end.
    Board().I2c().SetHang(false);
    Board().I2c().Reset();
    Board().Bridge().RaiseStatus(sim::saa7146::kIrqI2cDone);
    nt::ClockRunUntilIdle();
    EXPECT_EQ(first.command.Data, kSentinel);
    ExpectEngineIdle();

    // The engine works again once the bus is free.
    UCHAR value = 0;
    ASSERT_EQ(ZarI2cReadByte(ext_, ZAR_I2C_DECODER, 0x1F, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, sim::video_chips::kStatusInterlaced | sim::video_chips::kStatus60Hz);
    ExpectEngineIdle();
}

// The transfer really happens but its interrupt is held back past the
// caller's second; when it finally comes the caller is long gone.
TEST_F(ZarkdI2c, ALateCompletionAfterTheCallerLeftWritesNothingOfItsOwn)
{
    Caller reader;
    reader.ext = ext_;
    reader.command = {ZAR_I2C_READ_WAIT, ZAR_I2C_DECODER, 0x1F, kSentinel};
    StartCaller(reader);
    // Mask the I2C interrupts while the first phase is on the bus.
    ZarSetIntMode(ext_, ZAR_INT_I2C, FALSE);
    WaitCaller(reader);
    EXPECT_EQ(reader.status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(reader.command.Data, kSentinel);
    nt::ClockRunUntilIdle();
    ExpectEngineIdle();
    EXPECT_NE(Board().Bridge().Isr() & sim::saa7146::kIrqI2cDone, 0u);  // the transfer did end

    // Now the held-back interrupt arrives.
    ZarSetIntMode(ext_, ZAR_INT_I2C, TRUE);
    nt::ClockRunUntilIdle();
    EXPECT_EQ(reader.command.Data, kSentinel);
    ExpectEngineIdle();

    UCHAR value = 0;
    ASSERT_EQ(ZarI2cReadByte(ext_, ZAR_I2C_DECODER, 0x1F, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, sim::video_chips::kStatusInterlaced | sim::video_chips::kStatus60Hz);
    ExpectEngineIdle();
}

// A clean-up judges the running transfer under the interrupt's lock: one
// meant for a transfer that already ended, or one for "whatever is stuck"
// while a young transfer runs, must leave that transfer to finish.
TEST_F(ZarkdI2c, ACleanUpFailsOnlyTheTransferItWasMeantFor)
{
    enum Target { kEndedTransfer, kAnyStuckTransfer, kRunningTransfer };
    const struct {
        const char* what;
        Target target;
        NTSTATUS expected;
    } cases[] = {
        {"a transfer that already ended", kEndedTransfer, STATUS_SUCCESS},
        {"any transfer older than a wait, while a young one runs", kAnyStuckTransfer, STATUS_SUCCESS},
        {"the running transfer", kRunningTransfer, STATUS_UNSUCCESSFUL},
    };
    ZAR_I2C_ENTRY ended{};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Caller reader;
        reader.ext = ext_;
        reader.command = {ZAR_I2C_READ_WAIT, ZAR_I2C_DECODER, 0x1F, kSentinel};
        StartCaller(reader);
        ZarSetIntMode(ext_, ZAR_INT_I2C, FALSE);  // hold the transfer's end back
        ASSERT_NE(ext_->I2c.CurrentEntry, nullptr);
        ZAR_I2C_ENTRY* stuck = c.target == kEndedTransfer     ? &ended
                               : c.target == kRunningTransfer ? static_cast<ZAR_I2C_ENTRY*>(ext_->I2c.CurrentEntry)
                                                              : nullptr;
        ZarI2cCleanup(ext_, stuck);
        nt::ClockRunFor(10 * kMs);
        ZarSetIntMode(ext_, ZAR_INT_I2C, TRUE);
        WaitCaller(reader);
        EXPECT_EQ(reader.status, c.expected);
        EXPECT_LT(reader.endedAt - reader.startedAt, 1000 * kMs);
        if (c.expected == STATUS_SUCCESS)
            EXPECT_EQ(reader.command.Data, sim::video_chips::kStatusInterlaced | sim::video_chips::kStatus60Hz);
        else
            EXPECT_EQ(reader.command.Data, kSentinel);
        ExpectEngineIdle();
    }
}

// ---- GPIO ----

TEST_F(ZarkdI2c, GpioSelectorsChangeOneByteOrTheWholeWord)
{
    constexpr ULONG kStart = 0x40404040;  // every pin an output, low
    constexpr ULONG kValue = 0x50515253;
    struct Case {
        ULONG which;
        ULONG expected;
    };
    const Case cases[] = {
        {0, 0x40404053}, {1, 0x40405240}, {2, 0x40514040},
        {3, 0x50404040}, {ZAR_GPIO_WHOLE_WORD, kValue},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.which);
        ZarGpioChange(ext_, kStart, ZAR_GPIO_WHOLE_WORD);
        ZarGpioChange(ext_, kValue, c.which);
        EXPECT_EQ(ext_->I2c.GpioShadow, c.expected);
        EXPECT_EQ(Board().Bridge().Written(sim::saa7146::kGpioCtrl), c.expected);
    }

    // Other selectors neither change the shadow nor write the register.
    ZarGpioChange(ext_, kStart, ZAR_GPIO_WHOLE_WORD);
    ext_->I2c.GpioShadow = 0x40404050;  // differs from the register, so a write would show
    for (ULONG which : {4u, 5u, 254u, 256u}) {
        ZarGpioChange(ext_, kValue, which);
        EXPECT_EQ(ext_->I2c.GpioShadow, 0x40404050u) << which;
        EXPECT_EQ(Board().Bridge().Written(sim::saa7146::kGpioCtrl), kStart) << which;
    }
}

// ---- PCI burst thresholds ----

std::optional<ULONG> RegistryDword(const char16_t* name)
{
    ULONG value = 0;
    bool found = false;
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    struct Context {
        ULONG* value;
        bool* found;
    } context{&value, &found};
    table[0].QueryRoutine = [](PWSTR, ULONG type, PVOID data, ULONG length, PVOID, PVOID entry) -> NTSTATUS {
        auto* c = static_cast<Context*>(entry);
        if (type == REG_DWORD && length == sizeof(ULONG)) {
            std::memcpy(c->value, data, sizeof(ULONG));
            *c->found = true;
        }
        return STATUS_SUCCESS;
    };
    table[0].Name = const_cast<PWSTR>(name);
    table[0].EntryContext = &context;
    table[0].DefaultType = REG_NONE;
    RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"ZARKD\\Parameters", table, nullptr, nullptr);
    return found ? std::optional<ULONG>(value) : std::nullopt;
}

ZAR_BURST_THRESH Record(std::initializer_list<UCHAR> fields, UCHAR restore = 0)
{
    ZAR_BURST_THRESH r{};
    std::copy(fields.begin(), fields.end(), r.Field);
    r.Restore = restore;
    return r;
}

// The record of the default registers 0x100C0C10 / 0x13111311.
const ZAR_BURST_THRESH kDefaultRecord = Record({0, 4, 0, 3, 0, 3, 4, 3, 4, 1, 4, 3, 4, 1, 4});

TEST_F(ZarkdI2c, BurstRecordSetsBothRegistersReadsBackAndIsStored)
{
    struct Case {
        const char* what;
        ZAR_BURST_THRESH in;
        ULONG v1;
        ULONG a;
        ZAR_BURST_THRESH out;
    };
    const ZAR_BURST_THRESH mixed = Record({3, 7, 2, 5, 1, 6, 4, 2, 3, 1, 7, 0, 5, 3, 6});
    const Case cases[] = {
        {"every field", mixed,
         3u | 7u << 2 | 2u << 8 | 5u << 10 | 1u << 16 | 6u << 18 | 4u << 26,
         2u << 24 | 3u << 26 | 1u << 16 | 7u << 18 | 0u << 8 | 5u << 10 | 3u | 6u << 2, mixed},
        {"bytes wider than their fields are cut", Record({0xFF, 0x08, 0, 0, 0, 0, 0xF9, 0, 0, 0, 0, 0, 0, 0xFE, 0x0F}),
         3u | 1u << 26, 2u | 7u << 2,
         Record({3, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 2, 7})},
        {"all zero", Record({}), 0, 0, Record({})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ZAR_BURST_THRESH out{};
        std::memset(&out, 0xCC, sizeof out);
        Result r = Send(IOCTL_ZAR_SAA7146_BURST_THRESH, &c.in, sizeof c.in, &out, sizeof out);
        ASSERT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.bytes, 16u);
        EXPECT_EQ(Board().Bridge().Active(sim::saa7146::kPciBtV1), c.v1);
        EXPECT_EQ(Board().Bridge().Active(sim::saa7146::kPciBtA), c.a);
        EXPECT_EQ(std::memcmp(&out, &c.out, sizeof out), 0);
        EXPECT_EQ(RegistryDword(u"DmaTweakV"), c.v1);
        EXPECT_EQ(RegistryDword(u"DmaTweakA"), c.a);
    }

    ZAR_BURST_THRESH got{};
    ASSERT_EQ(ZarSaa7146GetBurstThresh(ext_, &got), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(&got, &cases[2].out, sizeof got), 0);
}

// A stored value of 0 is a value: start-up, the bridge set-up after a
// download and a restore all write it, none of them the default instead.
TEST_F(ZarkdI2c, AStoredBurstValueOfZeroIsWrittenEverywhereAlike)
{
    ext_->DmaTweakV = 0;
    ext_->DmaTweakA = 0;
    Board().Bridge().MmioWrite(0, sim::saa7146::kPciBtV1, 0x11111111, 4);
    Board().Bridge().MmioWrite(0, sim::saa7146::kPciBtA, 0x11111111, 4);
    ZarSaa7146InitBurstThresh(ext_);
    EXPECT_EQ(Board().Bridge().Active(sim::saa7146::kPciBtV1), 0u) << "start-up";
    EXPECT_EQ(Board().Bridge().Active(sim::saa7146::kPciBtA), 0u);

    Board().Bridge().MmioWrite(0, sim::saa7146::kPciBtV1, 0x11111111, 4);
    Board().Bridge().MmioWrite(0, sim::saa7146::kPciBtA, 0x11111111, 4);
    ZarSaa7146Init(ext_);
    EXPECT_EQ(Board().Bridge().Active(sim::saa7146::kPciBtV1), 0u) << "bridge set-up";
    EXPECT_EQ(Board().Bridge().Active(sim::saa7146::kPciBtA), 0u);

    ZAR_BURST_THRESH in{};
    in.Restore = 1;
    ZAR_BURST_THRESH out{};
    ASSERT_EQ(Send(IOCTL_ZAR_SAA7146_BURST_THRESH, &in, sizeof in, &out, sizeof out).status, STATUS_SUCCESS);
    EXPECT_EQ(Board().Bridge().Active(sim::saa7146::kPciBtV1), 0u) << "restore";
    EXPECT_EQ(Board().Bridge().Active(sim::saa7146::kPciBtA), 0u);
}

TEST_F(ZarkdI2c, BurstRestoreReturnsTheStartUpValues)
{
    // The registry had no values at start: restore means the defaults, and
    // the fields of the restoring record are ignored.
    ZAR_BURST_THRESH in = Record({1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1});
    ZAR_BURST_THRESH out{};
    ASSERT_EQ(Send(IOCTL_ZAR_SAA7146_BURST_THRESH, &in, sizeof in, &out, sizeof out).status, STATUS_SUCCESS);
    in.Restore = 1;
    ASSERT_EQ(Send(IOCTL_ZAR_SAA7146_BURST_THRESH, &in, sizeof in, &out, sizeof out).status, STATUS_SUCCESS);
    EXPECT_EQ(Board().Bridge().Active(sim::saa7146::kPciBtV1), ZAR_BURST_DEFAULT_V1);
    EXPECT_EQ(Board().Bridge().Active(sim::saa7146::kPciBtA), ZAR_BURST_DEFAULT_A);
    EXPECT_EQ(std::memcmp(&out, &kDefaultRecord, sizeof out), 0);
    EXPECT_EQ(RegistryDword(u"DmaTweakV"), ZAR_BURST_DEFAULT_V1);
    EXPECT_EQ(RegistryDword(u"DmaTweakA"), ZAR_BURST_DEFAULT_A);

    // Values set now are written at the next start and are what a restore
    // returns then.
    const ZAR_BURST_THRESH chosen = Record({2, 5, 1, 6, 3, 2, 7, 1, 6, 2, 3, 1, 2, 0, 5});
    ASSERT_EQ(Send(IOCTL_ZAR_SAA7146_BURST_THRESH, &chosen, sizeof chosen, &out, sizeof out).status,
              STATUS_SUCCESS);
    ULONG v1 = Board().Bridge().Active(sim::saa7146::kPciBtV1);
    ULONG a = Board().Bridge().Active(sim::saa7146::kPciBtA);
    Board().Bridge().MmioWrite(0, sim::saa7146::kPciBtV1, 0, 4);
    Board().Bridge().MmioWrite(0, sim::saa7146::kPciBtA, 0, 4);

    CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    ASSERT_EQ(nt::IoUnloadDriver(u"ZARKD"), STATUS_SUCCESS);
    ASSERT_EQ(LoadDriver(u"ZARKD"), STATUS_SUCCESS);
    ext_ = ZarkdBoard(0);
    EXPECT_EQ(Board().Bridge().Active(sim::saa7146::kPciBtV1), v1);
    EXPECT_EQ(Board().Bridge().Active(sim::saa7146::kPciBtA), a);

    ZAR_BURST_THRESH restore = Record({}, 1);
    ASSERT_EQ(ZarSaa7146SetBurstThresh(ext_, &restore), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(&restore, &chosen, sizeof restore), 0);
}

}  // namespace
