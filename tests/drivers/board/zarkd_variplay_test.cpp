// Vari-play: the pure rules of the ring shared with the library (field
// search, dropping entries at its ends, the fixed-point step), and the
// control codes that map, show and release the block.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "drivers/board/zar_driver.h"
#include "tests/drivers/board/zarkd_ioctl_machine.h"

namespace {

constexpr ULONG kOne = 1u << ZAR_VARIPLAY_FRACTION_BITS;

// A ring whose entries low..high hold fields 100 + 2 x (index - low).
std::unique_ptr<ZAR_VARIPLAY_BLOCK> Ring(ULONG low, ULONG high, ULONG head)
{
    auto b = std::make_unique<ZAR_VARIPLAY_BLOCK>();
    std::memset(b.get(), 0, sizeof(*b));
    for (ULONG i = low;; i = (i + 1) % ZAR_VARIPLAY_ENTRIES) {
        b->Entry[i].Field = 100 + 2 * ((i - low) % ZAR_VARIPLAY_ENTRIES);
        b->Entry[i].Address = i * 10;
        if (i == high) break;
    }
    b->Control.Low = low;
    b->Control.High = high;
    b->Control.Head = b->Control.PreviousHead = head;
    return b;
}

TEST(ZarkdVariPlayRules, FieldSearchLooksSixEntriesEachWayElseGivesTheNearerEnd)
{
    auto b = Ring(10, 40, 20);  // fields 100..160; head holds 120
    struct Row {
        ULONG field, fraction;
        BOOLEAN found;
        ULONG position;
    } rows[] = {
        {120, 0x123, TRUE, 20 * kOne | 0x123},           // the head
        {132, 0, TRUE, 26 * kOne},                      // six ahead
        {108, 5, TRUE, 14 * kOne | 5},                  // six behind
        {134, 0, FALSE, 40 * kOne},                     // seven ahead: out of reach; 26 from the high end, 34 from the low
        {170, 0, FALSE, 40 * kOne},                     // past the newest: the high end
        {90, 0, FALSE, 10 * kOne | 0x7FFFF},            // before the oldest: the low end
    };
    for (const Row& r : rows) {
        ULONG out = 0;
        EXPECT_EQ(ZarVariPlayFindField(b.get(), (ULONGLONG(r.field) << 19) | r.fraction, &out), r.found) << r.field;
        EXPECT_EQ(out, r.position) << r.field;
    }
    // With a loop, a distance counts the short way round.
    b->Control.Loop = 1;
    b->Control.LoopLength = 100;
    ULONG out = 0;
    EXPECT_FALSE(ZarVariPlayFindField(b.get(), ULONGLONG(195) << 19, &out));
    EXPECT_EQ(out, 10 * kOne | 0x7FFFF) << "195 is 5 from 100 round the loop, 35 from 160";
}

TEST(ZarkdVariPlayRules, EntriesAreDroppedAtTheEndsUnlessTheHeadIsThere)
{
    struct Row {
        const char* what;
        ULONG low, high, head, previous, speed;
        bool oldest, newest;
        ULONG result, newLow, newHigh;
    } rows[] = {
        {"oldest moves towards the head", 10, 40, 20, 20, 0, true, false, 1, 9, 40},
        {"oldest at the head stays", 20, 40, 20, 20, 0, true, false, 0, 20, 40},
        {"oldest at the previous head stays", 15, 40, 20, 15, 0, true, false, 0, 15, 40},
        {"index 0 wraps to 8191", 0, 40, 20, 20, 0, true, false, 1, 8191, 40},
        {"newest moves on", 10, 40, 20, 20, 0, false, true, 1, 10, 41},
        {"newest 8191 wraps to 0", 10, 8191, 20, 20, 0, false, true, 1, 10, 0},
        {"newest would become the head in reverse", 10, 19, 20, 20, ZAR_VARIPLAY_REVERSE, false, true, 0, 10, 19},
        {"the first flag wins", 10, 40, 20, 20, 0, true, true, 1, 9, 40},
        {"neither", 10, 40, 20, 20, 0, false, false, 0, 10, 40},
        {"an empty ring", ZAR_VARIPLAY_EMPTY, 40, 20, 20, 0, true, false, 0, ZAR_VARIPLAY_EMPTY, 40},
    };
    for (const Row& r : rows) {
        ZAR_VARIPLAY_CONTROL c{};
        c.Low = r.low;
        c.High = r.high;
        c.Head = r.head;
        c.PreviousHead = r.previous;
        c.Speed = r.speed;
        EXPECT_EQ(ZarVariPlayInvalidate(&c, r.oldest, r.newest), r.result) << r.what;
        EXPECT_EQ(c.Low, r.newLow) << r.what;
        EXPECT_EQ(c.High, r.newHigh) << r.what;
    }
}

TEST(ZarkdVariPlayRules, TheStepMovesByTheSpeedAndHoldsAtTheBounds)
{
    struct Row {
        const char* what;
        ULONG position, speed;
        ULONG expected, hold, oneField;
    } rows[] = {
        {"normal speed: one entry", 20 * kOne, ZAR_VARIPLAY_NORMAL_SPEED, 21 * kOne, 0, 1},
        {"half speed: half an entry", 20 * kOne, kOne / 2, 20 * kOne + kOne / 2, 0, 0},
        {"reverse", 20 * kOne, ZAR_VARIPLAY_REVERSE | kOne, 19 * kOne, 0, 1},
        {"a fraction under 16 rounds down", 20 * kOne, kOne + 10, 21 * kOne, 0, 0},
        {"a fraction near whole rounds up", 20 * kOne, 2 * kOne - 8, 22 * kOne, 0, 0},
        {"past the newest: held at it", 39 * kOne, 3 * kOne, 40 * kOne | 0x7FFFF, 1, 0},
        {"before the oldest in reverse: held at it", 11 * kOne, ZAR_VARIPLAY_REVERSE | 3 * kOne, 10 * kOne, 1, 0},
    };
    for (const Row& r : rows) {
        auto b = Ring(10, 40, 20);
        b->Control.Position = r.position;
        b->Control.Speed = r.speed;
        ZarVariPlayStep(b.get());
        EXPECT_EQ(b->Control.Position, r.expected) << r.what;
        EXPECT_EQ(b->Control.Hold, r.hold) << r.what;
        EXPECT_EQ(b->Control.OneFieldStep, r.oneField) << r.what;
    }
    // A marked entry at the bound does not hold the channel.
    auto b = Ring(10, 40, 20);
    b->Entry[40].Flags = ZAR_VARIPLAY_MARK;
    b->Control.Position = 39 * kOne;
    b->Control.Speed = 3 * kOne;
    ZarVariPlayStep(b.get());
    EXPECT_EQ(b->Control.Hold, 0u);
}

TEST(ZarkdVariPlayRules, TheAudioPositionBecomesAFieldRoundedInItsWindowAndKeptInThePlayRange)
{
    struct Row {
        const char* what;
        LONGLONG samples;
        ULONG standard;
        ULONGLONG window;
        ULONG start, end;
        ULONGLONG field;
    } rows[] = {
        {"one second of 525: 59.94 fields", 48000, 525, 0, 0, 0, ZAR_VARIPLAY_FIELDS_525},
        {"... within the window of field 60", 48000, 525, 0x8000, 0, 0, 60ULL * kOne},
        {"one second of 625: 50 fields", 48000, 625, 0, 0, 0, 50ULL * kOne},
        {"960 samples: one 625 field", 960, 625, 0, 0, 0, kOne},
        {"a tenth of a sample past it", 970, 625, 0, 0, 0, kOne + 5461},
        {"... dropped inside the window", 970, 625, 8192, 0, 0, kOne},
        {"before the start: the start", 960, 625, 0, 5, 100, 5ULL * kOne},
        {"a negative position: the start", -4800, 625, 0, 5, 100, 5ULL * kOne},
        {"at or past the end: the end's last fraction", 480000, 625, 0, 0, 100, 99ULL * kOne | 0x7FFFF},
        {"a day of 525 stays exact in 64 bits", 48000LL * 86400, 525, 0, 0, 0, ULONGLONG(ZAR_VARIPLAY_FIELDS_525) * 86400},
    };
    for (const Row& r : rows)
        EXPECT_EQ(ZarVariPlayAudioField(r.samples, r.standard, r.window, r.start, r.end), r.field) << r.what;

    struct Speed {
        LONG rate;
        ULONG normal, word;
    } speeds[] = {
        {48000, 48000, ZAR_VARIPLAY_NORMAL_SPEED},
        {24000, 48000, kOne / 2},
        {-96000, 48000, ZAR_VARIPLAY_REVERSE | 2 * kOne},
        {48001, 48000, ULONG((48001ULL << 19) / 48000)},
        {0, 48000, 0},
        {48000, 0, 0},
    };
    for (const Speed& v : speeds) EXPECT_EQ(ZarVariPlaySpeedWord(v.rate, v.normal), v.word) << v.rate << "/" << v.normal;
}

// A ring whose entries low..high hold consecutive fields 100 + (index - low),
// so their parities alternate.
std::unique_ptr<ZAR_VARIPLAY_BLOCK> FieldRing(ULONG low, ULONG high, ULONG head)
{
    auto b = Ring(low, high, head);
    for (ULONG i = low; i <= high; ++i) b->Entry[i].Field = 100 + (i - low);
    b->Control.Position = head * kOne;
    return b;
}

// 625-line fields of audio at 1x: 960 samples each.
ZAR_VARIPLAY_AUDIO AudioAt(ULONG field, LONG rate = 48000) { return {LONGLONG(field) * 960, rate, 48000}; }

TEST(ZarkdVariPlayRules, AudioLockFindsTheAudiosFieldFollowsItAndFindsItAgainAfterADriftOrARateChange)
{
    auto b = FieldRing(10, 40, 27);  // fields 100..130; the head shows 117
    ZAR_VARIPLAY_CONTROL& c = b->Control;
    c.AudioLock = 1;
    c.LastAudioRate = 48000;
    c.Hold = 1;
    c.ResetRequest = 1;
    // Not in range yet: the audio's field 120 is found three entries ahead; the speed is the audio's.
    ZAR_VARIPLAY_AUDIO audio = AudioAt(120);
    EXPECT_EQ(ZarVariPlayAdvance(b.get(), &audio, 625, 0, 1000, 0), 30u);
    EXPECT_EQ(c.Position, 30 * kOne);
    EXPECT_EQ(c.Speed, ZAR_VARIPLAY_NORMAL_SPEED);
    EXPECT_EQ(c.InRange, 1u);
    EXPECT_EQ(c.Hold, 0u) << "the reset request releases the hold";
    EXPECT_EQ(c.ResetRequest, 0u);
    EXPECT_EQ(c.PreviousHead, 27u);
    EXPECT_EQ(c.Head, 30u);

    // In range: free run by the speed while the audio keeps pace.
    audio = AudioAt(121);
    EXPECT_EQ(ZarVariPlayAdvance(b.get(), &audio, 625, 0, 1000, 1), 31u);
    EXPECT_EQ(c.InRange, 1u);
    // The audio jumps four fields: more than an eighth of a field off, so it is searched for again.
    audio = AudioAt(126);
    EXPECT_EQ(ZarVariPlayAdvance(b.get(), &audio, 625, 0, 1000, 0), 36u);
    EXPECT_EQ(c.Position, 36 * kOne);
    EXPECT_EQ(c.InRange, 1u);
    // Half speed: the rate change alone forces the search, which takes the new speed.
    audio = AudioAt(126, 24000);
    audio.Samples += 480;
    EXPECT_EQ(ZarVariPlayAdvance(b.get(), &audio, 625, 0, 1000, 0), 36u);
    EXPECT_EQ(c.Speed, kOne / 2);
    EXPECT_EQ(c.Position, 36 * kOne + kOne / 2);
    EXPECT_EQ(c.LastAudioRate, 24000u);
    // Audio past the newest entry: held at the high end, not in range.
    audio = AudioAt(200, 24000);
    ZarVariPlayAdvance(b.get(), &audio, 625, 0, 1000, 0);
    EXPECT_EQ(c.InRange, 0u);
    EXPECT_EQ(c.Position, 40 * kOne);
    EXPECT_EQ(c.Hold, 1u);
    // ... unless the library marked that entry.
    b->Entry[40].Flags = ZAR_VARIPLAY_MARK;
    c.Hold = 0;
    ZarVariPlayAdvance(b.get(), &audio, 625, 0, 1000, 0);
    EXPECT_EQ(c.Hold, 0u);
    // The play range bounds the audio's field: past its end, the last field before it.
    audio = AudioAt(200, 24000);
    c.InRange = 0;
    EXPECT_EQ(ZarVariPlayAdvance(b.get(), &audio, 625, 0, 125, 0), 34u) << "field 124, its last fraction";
    EXPECT_EQ(c.Position, 34 * kOne | 0x7FFFF);
}

TEST(ZarkdVariPlayRules, AtOneFieldAFieldAnEntryOfTheOtherParityGivesWayToItsNeighbourAndModeTwoWaits)
{
    struct Row {
        const char* what;
        ULONG head, speed, parity, flags, lockMode;
        ULONG shown;
    } rows[] = {
        {"parity matches: the position's entry", 20, ZAR_VARIPLAY_NORMAL_SPEED, 1, 0, 0, 21},
        {"other parity: the next entry", 20, ZAR_VARIPLAY_NORMAL_SPEED, 0, 0, 0, 22},
        {"other parity in reverse: the one before", 20, ZAR_VARIPLAY_REVERSE | ZAR_VARIPLAY_NORMAL_SPEED, 0, 0, 0, 18},
        {"a marked entry is shown as it is", 20, ZAR_VARIPLAY_NORMAL_SPEED, 0, ZAR_VARIPLAY_MARK, 0, 21},
        {"not at the bound", 39, ZAR_VARIPLAY_NORMAL_SPEED, 1, 0, 0, 40},
        {"half speed: no parity rule", 20, kOne / 2, 1, 0, 0, 20},
    };
    for (const Row& r : rows) {
        auto b = FieldRing(10, 40, r.head);
        b->Control.Speed = r.speed;
        for (ULONG i = 10; i <= 40; ++i) b->Entry[i].Flags = r.flags;
        EXPECT_EQ(ZarVariPlayAdvance(b.get(), nullptr, 625, 0, 1000, r.parity), r.shown) << r.what;
    }
    // Lock mode 2 moves the shown entry only on parity-1 fields at one field a field.
    auto b = FieldRing(10, 40, 20);
    ZAR_VARIPLAY_CONTROL& c = b->Control;
    c.AudioLock = 1;
    c.LockMode = 2;
    c.InRange = 1;
    c.Speed = ZAR_VARIPLAY_NORMAL_SPEED;
    c.LastAudioRate = 48000;
    ZAR_VARIPLAY_AUDIO audio = AudioAt(111);
    EXPECT_EQ(ZarVariPlayAdvance(b.get(), &audio, 625, 0, 1000, 0), 20u) << "parity 0: the head stays";
    audio = AudioAt(112);
    EXPECT_EQ(ZarVariPlayAdvance(b.get(), &audio, 625, 0, 1000, 1), 23u) << "parity 1: field 112 is even, so 113";
}

class ZarkdVariPlay : public ZarkdIoctlMachine {
protected:
    // A request made on a system thread of its own, let go by 'go_'.
    struct Caller {
        std::function<NTSTATUS()> call;
        std::atomic<bool>* go = nullptr;
        NTSTATUS status = STATUS_PENDING;
        KEVENT done{};
    };
    static void CallerThread(PVOID context)
    {
        auto* c = static_cast<Caller*>(context);
        while (!c->go->load()) std::this_thread::yield();
        c->status = c->call();
        KeSetEvent(&c->done, IO_NO_INCREMENT, FALSE);
        PsTerminateSystemThread(STATUS_SUCCESS);
    }
    void Start(Caller& c)
    {
        c.go = &go_;
        KeInitializeEvent(&c.done, NotificationEvent, FALSE);
        HANDLE thread = nullptr;
        ASSERT_EQ(PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, CallerThread, &c),
                  STATUS_SUCCESS);
        ZwClose(thread);
    }
    static void Wait(Caller& c) { KeWaitForSingleObject(&c.done, Executive, KernelMode, FALSE, nullptr); }
    std::atomic<bool> go_{false};
};

TEST_F(ZarkdVariPlay, TheBlockIsMappedOnceShownAndReleasedAtCloseOrWithTheHandle)
{
    auto block = Ring(10, 40, 20);
    ULONG init[2] = {0, ULONG(reinterpret_cast<ULONG_PTR>(block.get()))};
    ASSERT_EQ(Send(IOCTL_ZAR_VARIPLAY_INIT, init, 8, init, 8).status, STATUS_SUCCESS);
    EXPECT_EQ(Send(IOCTL_ZAR_VARIPLAY_INIT, init, 8, init, 8).status, STATUS_UNSUCCESSFUL) << "already open";
    ULONG badChannel[2] = {2, init[1]};
    EXPECT_EQ(Send(IOCTL_ZAR_VARIPLAY_INIT, badChannel, 8, badChannel, 8).status, STATUS_INVALID_PARAMETER);
    ULONG faulting[2] = {1, ULONG(reinterpret_cast<ULONG_PTR>(noAccess_))};
    EXPECT_NE(Send(IOCTL_ZAR_VARIPLAY_INIT, faulting, 8, faulting, 8).status, STATUS_SUCCESS);
    EXPECT_FALSE(ZarVariPlayIsMapped(ext_, 1));

    ULONG display[2] = {0, 25};
    ASSERT_EQ(Send(IOCTL_ZAR_VARIPLAY_DISPLAY_NODE, display, 8, nullptr, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(block->Control.Head, 25u);
    EXPECT_EQ(block->Control.Position, 25 * kOne);
    EXPECT_EQ(ext_->Jpeg.Channel[0].State.Display.Address, 250u);
    EXPECT_EQ(ext_->Jpeg.Channel[0].State.Display.Position, 130u);
    ULONG outside[2] = {0, 8192};
    EXPECT_EQ(Send(IOCTL_ZAR_VARIPLAY_DISPLAY_NODE, outside, 8, nullptr, 0).status, STATUS_INVALID_PARAMETER);
    ULONG drop[4] = {0, 1, 0, 7};
    ASSERT_EQ(Send(IOCTL_ZAR_VARIPLAY_INVALIDATE_NODE, drop, 16, drop, 16).status, STATUS_SUCCESS);
    EXPECT_EQ(drop[3], 1u);
    EXPECT_EQ(block->Control.Low, 9u);

    ULONG channel = 0;
    EXPECT_EQ(Send(IOCTL_ZAR_VARIPLAY_CLOSE, &channel, 4, nullptr, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(Send(IOCTL_ZAR_VARIPLAY_CLOSE, &channel, 4, nullptr, 0).status, STATUS_UNSUCCESSFUL);
    // A handle that goes away takes its block with it.
    ASSERT_EQ(Send(IOCTL_ZAR_VARIPLAY_INIT, init, 8, init, 8).status, STATUS_SUCCESS);
    CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    EXPECT_FALSE(ZarVariPlayIsMapped(ext_, 0));
}

TEST_F(ZarkdVariPlay, TwoInitialisationsAtOnceMapTheChannelOnce)
{
    auto first = Ring(10, 40, 20), second = Ring(10, 40, 20);
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        go_ = false;
        ULONG a[2] = {0, ULONG(reinterpret_cast<ULONG_PTR>(first.get()))};
        ULONG b[2] = {0, ULONG(reinterpret_cast<ULONG_PTR>(second.get()))};
        Caller one{[&] { return ZarVariPlayInit(ext_, a, nullptr); }};
        Caller two{[&] { return ZarVariPlayInit(ext_, b, nullptr); }};
        Start(one);
        Start(two);
        go_ = true;
        Wait(one);
        Wait(two);
        ASSERT_EQ((one.status == STATUS_SUCCESS) + (two.status == STATUS_SUCCESS), 1)
            << std::hex << one.status << " " << two.status;
        EXPECT_EQ(one.status == STATUS_SUCCESS ? two.status : one.status, STATUS_UNSUCCESSFUL);
        ZAR_VARIPLAY_BLOCK* mapped = ext_->VariPlay.Block[0];
        ASSERT_NE(mapped, nullptr);
        // The channel holds the pages of the block it shows, and only those.
        EXPECT_EQ(MmGetMdlVirtualAddress(ext_->VariPlay.Mdl[0]),
                  one.status == STATUS_SUCCESS ? static_cast<PVOID>(first.get()) : static_cast<PVOID>(second.get()));
        ASSERT_EQ(ZarVariPlayClose(ext_, 0), STATUS_SUCCESS);
    }
}

TEST_F(ZarkdVariPlay, ADisplayWhoseChannelClosesBeforeItIsSynchronisedFails)
{
    auto block = Ring(10, 40, 20);
    ULONG init[2] = {0, ULONG(reinterpret_cast<ULONG_PTR>(block.get()))};
    ASSERT_EQ(Send(IOCTL_ZAR_VARIPLAY_INIT, init, 8, init, 8).status, STATUS_SUCCESS);
    ULONG display[2] = {0, 25};
    Caller shower{[&] { return ZarVariPlayDisplayNode(ext_, display); }};
    Start(shower);
    // Under the interrupt's lock: let the display find the channel open and
    // wait for the lock, then take the block away as a close does.
    struct Hold {
        PZAR_DEVICE_EXTENSION ext;
        std::atomic<bool>* go = nullptr;
        ZAR_VARIPLAY_BLOCK* taken;
    } hold{ext_, &go_, nullptr};
    KeSynchronizeExecution(ext_->InterruptObject, [](PVOID context) -> BOOLEAN {
        auto* h = static_cast<Hold*>(context);
        *h->go = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        h->taken = h->ext->VariPlay.Block[0];
        h->ext->VariPlay.Block[0] = nullptr;
        return TRUE;
    }, &hold);
    Wait(shower);
    EXPECT_EQ(shower.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(block->Control.Head, 20u) << "the closed block is not written";
    ext_->VariPlay.Block[0] = hold.taken;
    ULONG channel = 0;
    EXPECT_EQ(Send(IOCTL_ZAR_VARIPLAY_CLOSE, &channel, 4, nullptr, 0).status, STATUS_SUCCESS);
}

// The driver's field step takes the audio from the data server: stopped, it
// reports its stop position, which the lock finds (525 lines, rounded in the
// window) and holds at speed 0.
TEST_F(ZarkdVariPlay, TheFieldStepLocksToTheDataServersPosition)
{
    auto block = FieldRing(10, 40, 27);  // fields 100..130
    block->Control.AudioLock = 1;
    block->Control.LastAudioRate = 1;
    block->Control.RoundingWindow = 0x10000;
    ULONG init[2] = {0, ULONG(reinterpret_cast<ULONG_PTR>(block.get()))};
    ASSERT_EQ(Send(IOCTL_ZAR_VARIPLAY_INIT, init, 8, init, 8).status, STATUS_SUCCESS);
    ext_->Standard = 525;
    ext_->Jpeg.Channel[0].State.StartPosition = 0;
    ext_->Jpeg.Channel[0].State.EndPosition = 100000;
    ext_->AudioDSrv.StopPosition = 96096;  // 2.002 s: a hair before field 120 at 59.94 fields a second
    EXPECT_EQ(ZarVariPlayUpdatePosition(ext_, 0), 120u);
    EXPECT_EQ(block->Control.Head, 30u);
    EXPECT_EQ(block->Control.Speed, 0u);
    EXPECT_EQ(block->Control.InRange, 1u);
    EXPECT_EQ(ZarVariPlayUpdatePosition(ext_, 0), 120u) << "held while the audio stands";
    ULONG channel = 0;
    EXPECT_EQ(Send(IOCTL_ZAR_VARIPLAY_CLOSE, &channel, 4, nullptr, 0).status, STATUS_SUCCESS);
}

}  // namespace
