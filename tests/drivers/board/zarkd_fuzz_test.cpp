// Random control requests against \\.\KIVZAR0 from user mode: codes mostly
// from the table (with the buffered/neither method bits sometimes swapped),
// some anywhere in the device type; lengths around each code's rule and
// anywhere; buffers of random bytes whose pointer-sized fields, and the
// method-neither pointers themselves, are good, null, faulting or refused.
// The driver must answer every one without a fault, never report more bytes
// than the caller's output holds, and leave the machine able to shut down.
// For most of the run the queued requests wait in held queues; the last
// fifth lets the DEBI, I2C and SCSI queues run, so their start routines and
// the engines behind them take the fuzzed records.
// The seed is fixed, so a failure repeats; ZAR_FUZZ_SEED and
// ZAR_FUZZ_REQUESTS change the run.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>

#include "zarkd_ioctl_machine.h"

namespace {

class ZarkdFuzz : public ZarkdIoctlMachine {
protected:
    std::vector<PKDEVICE_QUEUE> FreeQueues() { return {&ext_->DebiQueue, &ext_->I2c.Queue, &ext_->ScsiQueue}; }

    // From here on only the capture queues (BRS, HPS) are held.
    void FreeTheEngineQueues()
    {
        DrainQueues(STATUS_CANCELLED);
        WaitQueuesIdle();
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        for (PKDEVICE_QUEUE q : {&ext_->BrsQueue, &ext_->HpsQueue}) {
            KDEVICE_QUEUE_ENTRY dummy{};
            ASSERT_FALSE(KeInsertDeviceQueue(q, &dummy)) << "queue already busy";
        }
        KeLowerIrql(old);
    }

    // Runs the clock until the free queues have served everything sent.
    void WaitFreeQueuesIdle()
    {
        for (;;) {
            nt::ClockRunUntilIdle();
            auto queues = FreeQueues();
            if (std::none_of(queues.begin(), queues.end(), [](PKDEVICE_QUEUE q) { return q->Busy; })) return;
            nt::ClockRunFor(100000);
        }
    }
};

ULONG EnvOr(const char* name, ULONG fallback)
{
    const char* v = std::getenv(name);
    return v && *v ? ULONG(std::strtoul(v, nullptr, 0)) : fallback;
}

TEST_F(ZarkdFuzz, RandomRequestsNeverFaultTheDriver)
{
    const ULONG seed = EnvOr("ZAR_FUZZ_SEED", 0x5A52);
    const ULONG requests = EnvOr("ZAR_FUZZ_REQUESTS", 5000);
    std::mt19937 rng(seed);
    auto pick = [&](ULONG n) { return ULONG(rng() % n); };

    // Queued requests wait in their queues and are drained now and then,
    // so entries, locked pages and pending IRPs go through their whole life.
    HoldQueues();

    std::vector<UCHAR> good(64 * 1024);
    const ULONG pointers[] = {
        0,
        ULONG(reinterpret_cast<ULONG_PTR>(good.data())),
        ULONG(reinterpret_cast<ULONG_PTR>(good.data()) + 3),
        ULONG(reinterpret_cast<ULONG_PTR>(noAccess_)),
        0xFFFF8000,
        0xFFFFFFF0,
        0x10,
    };
    auto anyPointer = [&] { return pointers[pick(std::size(pointers))]; };
    auto length = [&](ZAR_LENGTH_RULE rule, ULONG wanted) -> ULONG {
        // Half the requests have the length their rule wants.
        switch (pick(10)) {
        case 0: return 0;
        case 1: return pick(64);
        case 2: return pick(2048);
        case 3: return wanted + 1;
        case 4: return wanted ? wanted - 1 : 0;
        default: return rule == ZAR_LEN_REFUSED ? pick(16) : wanted;
        }
    };

    std::vector<UCHAR> in(40000), out(40000);
    ULONG faultsCaught = 0, pendings = 0, served = 0;
    const ULONG freeFrom = requests - requests / 5;
    for (ULONG i = 0; i < requests; ++i) {
        SCOPED_TRACE(testing::Message() << "seed " << seed << " request " << i);
        bool enginesFree = i >= freeFrom;
        if (i == freeFrom) FreeTheEngineQueues();
        // Served requests write their results into 'in' and 'out' as they
        // end: each is done with before its buffers are filled again.
        if (enginesFree) WaitFreeQueuesIdle();
        ULONG code;
        ULONG inLength, outLength;
        // Once they run free, half the requests are for the three engines.
        static const ULONG kEngineCodes[] = {IOCTL_ZAR_DEBI_IO, IOCTL_ZAR_I2C_REQUEST, IOCTL_ZAR_DISK_REQUEST};
        if (enginesFree && pick(2)) {
            ULONG engine = kEngineCodes[pick(std::size(kEngineCodes))];
            const ZAR_IOCTL_ENTRY& e = *std::find_if(ZarIoctlTable, ZarIoctlTable + ZarIoctlCount,
                                                     [&](const ZAR_IOCTL_ENTRY& t) { return t.Code == engine; });
            code = e.Code;
            inLength = length(e.InputRule, e.InputLength);
            outLength = length(e.OutputRule, e.OutputLength);
        } else if (pick(10) < 8) {
            const ZAR_IOCTL_ENTRY& e = ZarIoctlTable[pick(ZarIoctlCount)];
            code = pick(20) == 0 ? (e.Code ^ 3) : e.Code;
            inLength = length(e.InputRule, e.InputLength);
            outLength = length(e.OutputRule, e.OutputLength);
        } else {
            code = pick(2) ? ZarCtlCode(pick(0x400), pick(4)) : rng();
            inLength = pick(512);
            outLength = pick(512);
        }
        // Records are dwords: small numbers (counts, selectors, channels),
        // pointers of every kind, and noise.
        for (ULONG k = 0; k < inLength; k += 4) {
            ULONG word;
            switch (pick(4)) {
            case 0: word = anyPointer(); break;
            case 1: word = rng(); break;
            default: word = pick(0x1000); break;
            }
            std::memcpy(&in[k], &word, std::min<ULONG>(4, inLength - k));
        }
        // The capture channel refuses values outside its table before it
        // queues: half its requests of the right length are a plausible still.
        if (code == IOCTL_ZAR_HPS_CAPTURE && inLength == 104 && pick(2)) {
            const ULONG still[26] = {0, 0, 1, 0, 0, 0, 0, 0, 64, 16, 0, 64, 128, 64, 64 * 16 * 4, anyPointer()};
            std::memcpy(in.data(), still, sizeof(still));
        }
        // The audio lock waits as long as its caller asks, up to 49 days of
        // machine time: fuzzed waits stay under a second.
        if (code == IOCTL_ZAR_AUD_ACQUIRE_AUDIO_LOCK && inLength >= 8) {
            const ULONG waitMs = pick(1000);
            std::memcpy(&in[4], &waitMs, sizeof(waitMs));
        }
        // Keep the SCSI ownership waits short: most disk requests claim the bus.
        if (code == IOCTL_ZAR_DISK_REQUEST && inLength >= 24 && pick(4) != 0) std::memset(&in[20], 1, 4);

        void* inPointer = in.data();
        void* outPointer = out.data();
        if (ZarCtlMethod(code) == ZAR_METHOD_NEITHER) {
            // The driver gets these pointers as they are.
            if (pick(3) == 0) inPointer = reinterpret_cast<void*>(static_cast<ULONG_PTR>(anyPointer()));
            if (pick(3) == 0) outPointer = reinterpret_cast<void*>(static_cast<ULONG_PTR>(anyPointer()));
        }
        Result r = Send(code, inPointer, inLength, outPointer, outLength, false);
        if (enginesFree && (r.status == STATUS_PENDING || r.status == STATUS_SUCCESS)) {
            auto e = std::find_if(ZarIoctlTable, ZarIoctlTable + ZarIoctlCount,
                                  [&](const ZAR_IOCTL_ENTRY& t) { return t.Code == code; });
            served += e != ZarIoctlTable + ZarIoctlCount && e->Work == ZAR_WORK_QUEUED;
        }
        if (r.status == STATUS_PENDING) {
            ++pendings;
        } else {
            ASSERT_LE(r.bytes, outLength) << std::hex << code;
            faultsCaught += r.status == STATUS_ACCESS_VIOLATION;
        }
        // The bus is given back now and then, or every acquire waits 3 s.
        if (code == IOCTL_ZAR_ACQUIRE_SCSI && pick(2)) SendLengths(IOCTL_ZAR_RELEASE_SCSI, 0, 0);
        if (!enginesFree && pick(200) == 0) {
            DrainQueues(STATUS_CANCELLED);
            HoldQueues();
        }
    }
    WaitFreeQueuesIdle();
    DrainQueues(STATUS_CANCELLED);
    // The run reached the probes, the held queues and the engines, or it
    // proved little.
    EXPECT_GT(faultsCaught, 0u);
    EXPECT_GT(pendings, 0u);
    EXPECT_GT(served, 0u);

    // The driver still answers as before.
    ULONG state = 0;
    Result r = Send(IOCTL_ZAR_GET_BOARD_STATE, nullptr, 0, &state, 4);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(state, ZAR_BOARD_STATE_BOARD);
}

}  // namespace
