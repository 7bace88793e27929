// ZARKD's play-list engine core: the due tests and position arithmetic on a
// bare extension; node insertion, reset, enable masks and the field entries
// of the play channels through the control codes; the follower modules'
// play/stop hand-shake against the board's fields on the virtual clock.

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <vector>

#include "drivers/board/zar_driver.h"
#include "tests/drivers/board/zarkd_ioctl_machine.h"

namespace {

std::unique_ptr<ZAR_DEVICE_EXTENSION> BareExtension()
{
    auto ext = std::make_unique<ZAR_DEVICE_EXTENSION>();
    std::memset(static_cast<void*>(ext.get()), 0, sizeof(ZAR_DEVICE_EXTENSION));
    return ext;
}

ZAR_NODE_RECORD Node(ULONG field, UCHAR pass, UCHAR kind = 0, UCHAR flags = 0)
{
    return ZAR_NODE_RECORD{16, pass, kind, flags, field};
}

// ---- due tests ----

TEST(ZarkdPlaylistDue, NodeIsDueByPassPositionKindAndGate)
{
    constexpr ULONG kEnd = 100;
    const struct {
        const char* what;
        ULONG position, pass;
        ULONG field;
        UCHAR nodePass, kind, flags;
        ULONG gate, bypass;
        bool due, held;
    } cases[] = {
        {"same pass, at its field", 10, 2, 10, 2, 0, 0, 0, 0, true, false},
        {"same pass, before its field", 9, 2, 10, 2, 0, 0, 0, 0, false, false},
        {"later pass, any position", 0, 3, 90, 2, 0, 0, 0, 0, true, false},
        {"earlier pass, any position", 99, 2, 0, 3, 0, 0, 0, 0, false, false},
        {"pass wrapped past 255", 0, 0, 90, 255, 0, 0, 0, 0, true, false},
        {"pass 255 before a node of pass 0", 99, 255, 0, 0, 0, 0, 0, 0, false, false},
        {"already done", 50, 2, 10, 2, 0, ZAR_NODE_DONE, 0, 0, false, false},
        {"gate holds kind 0", 50, 2, 10, 2, 0, 0, ZAR_PLY_GATE_HOLD_NOW, 0, false, true},
        {"bypass passes the gate", 50, 2, 10, 2, 0, 0, ZAR_PLY_GATE_HOLD_NOW, 1, true, false},
        {"late gate leaves kind 0", 50, 2, 10, 2, 0, 0, ZAR_PLY_GATE_HOLD_LATE, 0, true, false},
        {"kind 1, two fields after", 12, 2, 10, 2, 1, 0, 0, 0, true, false},
        {"kind 1, one field after", 11, 2, 10, 2, 1, 0, 0, 0, false, false},
        {"kind 1, next pass reaches over the end", 1, 3, 99, 2, 1, 0, 0, 0, true, false},
        {"kind 1, next pass not yet", 0, 3, 99, 2, 1, 0, 0, 0, false, false},
        {"kind 1, next pass over the 256 wrap", 1, 0, 99, 255, 1, 0, 0, 0, true, false},
        {"kind 1, two passes later", 0, 4, 99, 2, 1, 0, 0, 0, true, false},
        {"kind 1, earlier pass", 99, 1, 0, 2, 1, 0, 0, 0, false, false},
        {"late gate holds kind 1", 50, 2, 10, 2, 1, 0, ZAR_PLY_GATE_HOLD_LATE, 0, false, true},
        {"gate for kind 0 leaves kind 1", 50, 2, 10, 2, 1, 0, ZAR_PLY_GATE_HOLD_NOW, 0, true, false},
    };
    auto ext = BareExtension();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ext->Playlist.GateFlags = c.gate;
        ZAR_PLAY_STATE state{};
        state.Position = c.position;
        state.Pass = c.pass;
        state.EndPosition = kEnd;
        state.Held = c.held ? 0 : 1;  // the test must set or clear it either way
        ZAR_NODE_RECORD node = Node(c.field, c.nodePass, c.kind, c.flags);
        EXPECT_EQ(ZarPlIsNodePlaytime(ext.get(), &state, &node, c.bypass), c.due ? 1u : 0u);
        EXPECT_EQ(state.Held, c.held ? 1u : 0u);
        EXPECT_EQ((node.Flags & ZAR_NODE_DONE) != 0, c.due || (c.flags & ZAR_NODE_DONE) != 0);
    }
}

TEST(ZarkdPlaylistDue, SelfTimedChannelMarksTheGateTwoFieldsAfterItsMarker)
{
    auto ext = BareExtension();
    ext->Playlist.GateMarker = 40;
    ZAR_PLAY_STATE state{};
    state.Pass = 0;
    state.SelfTimed = 1;
    ZAR_NODE_RECORD node = Node(1000, 0);
    for (ULONG position : {41u, 43u}) {
        state.Position = position;
        ZarPlIsNodePlaytime(ext.get(), &state, &node, 0);
    }
    EXPECT_EQ(ext->Playlist.GateFlags & ZAR_PLY_GATE_MARK, 0u);
    state.Position = 42;
    ZarPlIsNodePlaytime(ext.get(), &state, &node, 1);  // a bypassing caller does not mark
    EXPECT_EQ(ext->Playlist.GateFlags & ZAR_PLY_GATE_MARK, 0u);
    state.SelfTimed = 0;  // nor does a following channel
    ZarPlIsNodePlaytime(ext.get(), &state, &node, 0);
    EXPECT_EQ(ext->Playlist.GateFlags & ZAR_PLY_GATE_MARK, 0u);
    state.SelfTimed = 1;
    ZarPlIsNodePlaytime(ext.get(), &state, &node, 0);
    EXPECT_EQ(ext->Playlist.GateFlags & ZAR_PLY_GATE_MARK, ZAR_PLY_GATE_MARK);
}

TEST(ZarkdPlaylistDue, NearTestLooksOneFieldAheadAndOverTheLoop)
{
    const struct {
        const char* what;
        ULONG position, pass, field;
        UCHAR nodePass, kind, flags;
        bool near;
    } cases[] = {
        {"one field ahead", 9, 1, 10, 1, 0, 0, true},
        {"two fields ahead", 8, 1, 10, 1, 0, 0, false},
        {"later pass", 0, 2, 50, 1, 0, 0, true},
        {"first field of the next pass from the last field", 99, 1, 0, 2, 0, 0, true},
        {"next pass but not on the last field", 98, 1, 0, 2, 0, 0, false},
        {"next pass over the 256 wrap", 99, 255, 0, 0, 0, 0, true},
        {"timing kind 1", 50, 1, 10, 1, 1, 0, false},
        {"already done", 50, 1, 10, 1, 0, ZAR_NODE_DONE, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ZAR_PLAY_STATE state{};
        state.Position = c.position;
        state.Pass = c.pass;
        state.EndPosition = 100;
        ZAR_NODE_RECORD node = Node(c.field, c.nodePass, c.kind, c.flags);
        EXPECT_EQ(ZarPlIsNodeNearPlaytime(&state, &node), c.near ? 1u : 0u);
        if (c.near) { EXPECT_NE(node.Flags & ZAR_NODE_DONE, 0); }
    }
}

// ---- positions ----

TEST(ZarkdPlaylistPosition, ReportedPositionIsClampedBeforeTheEndAndKeepsItsHistory)
{
    const struct {
        ULONG loop, position, reported;
    } cases[] = {
        {0, 50, 50}, {0, 97, 97}, {0, 98, 97}, {0, 200, 97}, {1, 98, 98}, {1, 99, 99}, {1, 150, 99},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "loop " << c.loop << " position " << c.position);
        ZAR_PLAY_STATE state{};
        state.EndPosition = 100;
        state.LoopFlag = c.loop;
        state.Reported[0] = 7;
        state.Reported[1] = 6;
        state.Reported[2] = 5;
        state.Reported[3] = 4;
        state.Position = c.position;
        ZarPlyUpdatePlayPosition(&state);
        EXPECT_EQ(state.Reported[0], c.reported);
        EXPECT_EQ(state.Reported[1], 7u);
        EXPECT_EQ(state.Reported[2], 6u);
        EXPECT_EQ(state.Reported[3], 5u);
    }
    // A channel with no end yet reports 0 rather than a wrapped-around limit.
    ZAR_PLAY_STATE idle{};
    idle.Position = 5;
    ZarPlyUpdatePlayPosition(&idle);
    EXPECT_EQ(idle.Reported[0], 0u);
}

TEST(ZarkdPlaylistPosition, LoopWrapKeepsTheParityBitAndCountsPassesModulo256)
{
    ZAR_PLAY_STATE state{};
    state.LoopStart = 20;
    state.EndPosition = 100;
    state.Position = 101;
    state.Pass = 255;
    EXPECT_EQ(ZarPlLoopWrapCheck(&state), 0u);  // no loop flag: nothing changes
    EXPECT_EQ(state.Position, 101u);
    EXPECT_EQ(state.Pass, 255u);

    state.LoopFlag = 1;
    EXPECT_EQ(ZarPlLoopWrapCheck(&state), 1u);
    EXPECT_EQ(state.Position, 21u);
    EXPECT_EQ(state.Pass, 0u);
    state.Position = 100;
    EXPECT_EQ(ZarPlLoopWrapCheck(&state), 1u);
    EXPECT_EQ(state.Position, 20u);
    EXPECT_EQ(state.Pass, 1u);
}

TEST(ZarkdPlaylistPosition, FollowingChannelTracksItsMasterAndPlaysTwoGraceFields)
{
    auto ext = BareExtension();
    ZAR_VIDEO_CHANNEL_STATE& master = ext->Jpeg.Channel[1].State;
    ZAR_PLAY_STATE follower{};
    follower.Master = 5;  // any value of 1 or more follows video channel 1

    master.StateWord = ZAR_PLY_PLAYING;
    master.Position = 40;
    master.Pass = 3;
    master.ReportedPosition[0] = 39;
    ZarPlyUpdateSlaveState(ext.get(), &follower);
    EXPECT_EQ(follower.State, ZAR_PLY_PLAYING);
    EXPECT_EQ(follower.Position, 40u);
    EXPECT_EQ(follower.Pass, 3u);
    EXPECT_EQ(follower.Reported[0], 39u);

    // A held master keeps its position; the follower moves on by itself.
    master.Held = 1;
    ZarPlyUpdateSlaveState(ext.get(), &follower);
    EXPECT_EQ(follower.Position, 41u);
    master.Held = 0;

    // Master stops: two more fields of play (counting its own fields), then stop.
    master.StateWord = ZAR_PLY_STOPPED;
    std::vector<ULONG> states, positions;
    for (int field = 0; field < 4; ++field) {
        ZarPlyUpdateSlaveState(ext.get(), &follower);
        if (follower.State == ZAR_PLY_PLAYING) ZarPlyUpdateSlaveFrameCounter(ext.get(), &follower);
        states.push_back(follower.State);
        positions.push_back(follower.Position);
    }
    EXPECT_EQ(states, (std::vector<ULONG>{32, 32, 0, 0}));
    EXPECT_EQ(positions, (std::vector<ULONG>{42, 43, 43, 43}));
}

TEST(ZarkdPlaylistPosition, FieldPairModePassesTheSecondFieldOfAPairWithTheFirst)
{
    constexpr ULONG kEntry = 16;
    const struct {
        const char* what;
        ULONG pullDown, selfTimed;
        std::vector<ULONG> fields;  // from the read index on
        UCHAR partnerFlags;
        ULONG advance;
    } cases[] = {
        {"pair followed by its sequence", 1, 0, {10, 11, 12}, 0, 2},
        {"pull-down off", 0, 0, {10, 11, 12}, 0, 1},
        {"self-timed channel", 1, 1, {10, 11, 12}, 0, 1},
        {"next node in another pair", 1, 0, {10, 12, 13}, 0, 1},
        {"sequence broken behind the pair", 1, 0, {10, 11, 14}, 0, 1},
        {"partner is a hold node", 1, 0, {10, 11, 12}, ZAR_NODE_HOLD, 1},
        {"only one node behind", 1, 0, {10, 11}, 0, 1},
        {"partner on the last field, then the loop start", 1, 0, {98, 99, 20}, 0, 2},
    };
    auto ext = BareExtension();
    std::vector<UCHAR> ring(ZAR_NODE_RING_ENTRIES * kEntry);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ext->Jpeg.Channel[0].State.PullDown = c.pullDown;
        ZAR_NODE_QUEUE queue{};
        queue.Buffer = ring.data();
        queue.Capacity = ZAR_NODE_RING_ENTRIES;
        queue.ReadIndex = 254;  // the three slots straddle the ring's end
        queue.WriteCount = queue.ReadIndex + ULONG(c.fields.size());
        for (ULONG i = 0; i < c.fields.size(); ++i)
            *ZarPlyQueueSlot(&queue, queue.ReadIndex + i, kEntry) = Node(c.fields[i], 0, 0, i == 1 ? c.partnerFlags : 0);
        ZAR_PLAY_STATE state{};
        state.SelfTimed = c.selfTimed;
        state.LoopStart = 20;
        state.EndPosition = 100;
        ZarPlyIncNodeHeadEx(ext.get(), &state, &queue, kEntry);
        EXPECT_EQ(queue.ReadIndex, 254 + c.advance);
        EXPECT_EQ(queue.LastIndex, 254 + c.advance - 1);
    }
}

TEST(ZarkdPlaylistPosition, InOutPointsMustBeOrderedAndNotNegative)
{
    EXPECT_EQ(ZarPlyIsValidInOutPoint(0, 0), STATUS_SUCCESS);
    EXPECT_EQ(ZarPlyIsValidInOutPoint(10, 500), STATUS_SUCCESS);
    EXPECT_EQ(ZarPlyIsValidInOutPoint(500, 10), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(ZarPlyIsValidInOutPoint(-1, 10), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(ZarPlyIsValidInOutPoint(0, -1), STATUS_UNSUCCESSFUL);
}

TEST(ZarkdPlaylistPosition, PipelineDeliversANodeTwoStagesOnAndDropsTheLast)
{
    ZAR_NODE_QUEUE queue{};
    int nodes[9];
    for (int& n : nodes) {
        ZarPlyNodePipelineShift(&queue);
        ZarPlyNodePipelineAdd(&queue, &n);
    }
    EXPECT_EQ(queue.Pipeline[0], &nodes[8]);
    EXPECT_EQ(queue.Pipeline[1], &nodes[7]);
    EXPECT_EQ(queue.Pipeline[7], &nodes[1]);
    ZarPlyNodePipelineShift(&queue);
    EXPECT_EQ(queue.Pipeline[0], nullptr);
    EXPECT_EQ(queue.Pipeline[2], &nodes[7]);
}

// ---- through the control codes ----

class ZarkdPlaylist : public ZarkdIoctlMachine {
protected:
    // Records of 'channel' whose field positions count on from 'first'.
    static std::vector<UCHAR> Records(ULONG channel, ULONG count, ULONG first)
    {
        ULONG size = ZarPlyNodeEntrySize(channel);
        std::vector<UCHAR> records(size_t(count) * size);
        for (ULONG i = 0; i < count; ++i) {
            ZAR_NODE_RECORD head = ZAR_NODE_RECORD{UCHAR(size), 0, 0, 0, first + i};
            std::memcpy(&records[size_t(i) * size], &head, sizeof(head));
            records[size_t(i) * size + size - 1] = UCHAR(first + i);  // payload's last byte
        }
        return records;
    }

    NTSTATUS Insert(ULONG channel, ULONG count, const void* records)
    {
        ZAR_NODE_SUBMIT submit{channel, count, ULONG(reinterpret_cast<ULONG_PTR>(records))};
        return Send(IOCTL_ZAR_PLY_NODE_INSERT, nullptr, 0, &submit, sizeof(submit)).status;
    }
    NTSTATUS Insert(ULONG channel, const std::vector<UCHAR>& records)
    {
        return Insert(channel, ULONG(records.size() / ZarPlyNodeEntrySize(channel)), records.data());
    }

    PZAR_NODE_QUEUE Queue(ULONG channel) { return ZarPlyNodeQueue(ext_, channel); }

    NTSTATUS Query(ZAR_CHANNEL_STATUS& block)
    {
        return Send(IOCTL_ZAR_JPEG_PLAYLIST_QUERY, &block, sizeof(block), &block, sizeof(block)).status;
    }

    // The field position in the slot of count 'count'.
    ULONG FieldAt(ULONG channel, ULONG count)
    {
        return ZarPlyQueueSlot(Queue(channel), count, ZarPlyNodeEntrySize(channel))->Field;
    }
};

TEST_F(ZarkdPlaylist, EveryRingIsThereWithItsEntrySize)
{
    const struct {
        ULONG channel, entry;
    } rings[] = {{10, 32}, {20, 16}, {30, 16}, {21, 18}, {31, 18}, {120, 9}, {127, 9}, {130, 9}, {137, 9},
                 {140, 93}, {147, 93}, {200, 24}, {201, 24}, {301, 116}, {302, 60}, {303, 87}, {304, 32},
                 {401, 17}, {402, 19}, {403, 19}, {404, 9}, {500, 16}, {501, 28}};
    for (const auto& r : rings) {
        SCOPED_TRACE(r.channel);
        EXPECT_EQ(ZarPlyNodeEntrySize(r.channel), r.entry);
        ASSERT_NE(Queue(r.channel), nullptr);
        EXPECT_NE(Queue(r.channel)->Buffer, nullptr);
        EXPECT_EQ(Queue(r.channel)->Capacity, ZAR_NODE_RING_ENTRIES);
    }
    for (ULONG none : {0u, 1u, 100u, 110u, 128u, 300u, 305u, 400u, 502u}) EXPECT_EQ(Queue(none), nullptr) << none;
}

TEST_F(ZarkdPlaylist, InsertionTakesWhatFitsAndRefusesTheRestWithoutOverwriting)
{
    // A full ring of 256 fills every slot; one more is refused.
    std::vector<UCHAR> full = Records(200, 256, 0);
    ASSERT_EQ(Insert(200, full), STATUS_SUCCESS);
    EXPECT_EQ(Queue(200)->WriteCount, 256u);
    EXPECT_EQ(std::memcmp(Queue(200)->Buffer, full.data(), full.size()), 0);
    std::vector<UCHAR> more = Records(200, 1, 1000);
    EXPECT_EQ(Insert(200, more), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Queue(200)->WriteCount, 256u);
    EXPECT_EQ(FieldAt(200, 0), 0u);

    // Once the reader has passed nodes, their slots take new ones.
    Queue(200)->ReadIndex = 2;
    Queue(200)->LastIndex = 1;
    EXPECT_EQ(Insert(200, Records(200, 3, 1000)), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Insert(200, Records(200, 2, 1000)), STATUS_SUCCESS);
    EXPECT_EQ(Queue(200)->WriteCount, 258u);
    EXPECT_EQ(FieldAt(200, 256), 1000u);
    EXPECT_EQ(FieldAt(200, 257), 1001u);
    EXPECT_EQ(FieldAt(200, 2), 2u);  // the oldest queued node is still there

    // The DVE channels keep two slots for their pipeline.
    EXPECT_EQ(Insert(302, Records(302, 250, 0)), STATUS_SUCCESS);
    EXPECT_EQ(Insert(302, Records(302, 5, 0)), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Insert(302, Records(302, 4, 250)), STATUS_SUCCESS);
    EXPECT_EQ(Queue(302)->WriteCount, 254u);
    EXPECT_EQ(Insert(302, Records(302, 1, 0)), STATUS_UNSUCCESSFUL);
}

TEST_F(ZarkdPlaylist, InsertionRefusesBadSubmitBlocksAndInsertsNothing)
{
    std::vector<UCHAR> records = Records(401, 257, 0);
    const ULONG faulting = ULONG(reinterpret_cast<ULONG_PTR>(noAccess_));
    const struct {
        const char* what;
        ULONG channel, count, address;
        NTSTATUS status;
    } cases[] = {
        {"more than a ring", 401, 257, 0, STATUS_UNSUCCESSFUL},
        {"record channel", 10, 1, 0, STATUS_UNSUCCESSFUL},
        {"channel without a ring", 100, 1, 0, STATUS_UNSUCCESSFUL},
        {"unknown channel", 999, 1, 0, STATUS_UNSUCCESSFUL},
        {"records not readable", 401, 2, faulting, STATUS_ACCESS_VIOLATION},
        {"records a kernel address", 401, 2, 0xC0001000, STATUS_ACCESS_VIOLATION},
        {"nothing to insert", 401, 0, 0, STATUS_SUCCESS},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ULONG address = c.address != 0 ? c.address : ULONG(reinterpret_cast<ULONG_PTR>(records.data()));
        ZAR_NODE_SUBMIT submit{c.channel, c.count, address};
        EXPECT_EQ(Send(IOCTL_ZAR_PLY_NODE_INSERT, nullptr, 0, &submit, sizeof(submit)).status, c.status);
        EXPECT_EQ(Queue(401)->WriteCount, 0u);
    }
    // A submit block that cannot be read, or none at all.
    EXPECT_EQ(Send(IOCTL_ZAR_PLY_NODE_INSERT, nullptr, 0, noAccess_, sizeof(ZAR_NODE_SUBMIT)).status,
              STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(Send(IOCTL_ZAR_PLY_NODE_INSERT, nullptr, 0, nullptr, 0).status, STATUS_UNSUCCESSFUL);
    // The block may also come as the input.
    ZAR_NODE_SUBMIT submit{401, 2, ULONG(reinterpret_cast<ULONG_PTR>(records.data()))};
    EXPECT_EQ(Send(IOCTL_ZAR_PLY_NODE_INSERT, &submit, sizeof(submit), nullptr, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(Queue(401)->WriteCount, 2u);
}

TEST_F(ZarkdPlaylist, FieldEntriesOfThePlayGroupGoToTheVideoChannelsRings)
{
    struct {
        ZAR_NODE_RECORD head;
        ULONG address, blocks;
    } entry{ZAR_NODE_RECORD{16, 0, 0, 0, 6}, 1234, 300};
    static_assert(sizeof(entry) == ZAR_NODE_FIELD_ENTRY_SIZE);
    const struct {
        ULONG group, index;
        NTSTATUS status;
        ULONG channel;
    } cases[] = {
        {20, 0, STATUS_SUCCESS, 20}, {20, 1, STATUS_SUCCESS, 30}, {20, 2, STATUS_UNSUCCESSFUL, 0},
        {10, 0, STATUS_UNSUCCESSFUL, 0}, {30, 0, STATUS_UNSUCCESSFUL, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "group " << c.group << " index " << c.index);
        ULONG before20 = Queue(20)->WriteCount, before30 = Queue(30)->WriteCount;
        ZAR_NODE_COMMAND command{c.group, c.index, ULONG(reinterpret_cast<ULONG_PTR>(&entry))};
        UCHAR out[12] = {};
        EXPECT_EQ(Send(IOCTL_ZAR_POST_NODE_COMMAND, &command, sizeof(command), out, sizeof(out)).status, c.status);
        EXPECT_EQ(Queue(20)->WriteCount - before20, c.channel == 20 ? 1u : 0u);
        EXPECT_EQ(Queue(30)->WriteCount - before30, c.channel == 30 ? 1u : 0u);
        if (c.channel != 0) {
            EXPECT_EQ(std::memcmp(ZarPlyQueueSlot(Queue(c.channel), 0, 16), &entry, sizeof(entry)), 0);
        }
    }
}

TEST_F(ZarkdPlaylist, EnableMaskOperations)
{
    const struct {
        ULONG module, operation, mask;
        NTSTATUS status;
        ULONG result;
    } steps[] = {
        {ZAR_PLY_MODULE_DVE, ZAR_ENABLE_MASK_SET, 0x5, STATUS_SUCCESS, 0x5},
        {ZAR_PLY_MODULE_DVE, ZAR_ENABLE_MASK_OR, 0x2, STATUS_SUCCESS, 0x7},
        {ZAR_PLY_MODULE_DVE, ZAR_ENABLE_MASK_CLEAR, 0x4, STATUS_SUCCESS, 0x3},
        {ZAR_PLY_MODULE_DVE, 3, 0xFF, STATUS_SUCCESS, 0x3},  // unknown operation leaves the mask
        {ZAR_PLY_MODULE_DVE, ZAR_ENABLE_MASK_SET, 0, STATUS_SUCCESS, 0},
    };
    for (const auto& s : steps) {
        ZAR_ENABLE_MASK_REQUEST request{s.module, s.operation, s.mask};
        EXPECT_EQ(Send(IOCTL_ZAR_PLY_SET_ENABLE_MASK, &request, sizeof(request), nullptr, 0).status, s.status);
        EXPECT_EQ(ext_->Playlist.Dve.EnableMask, s.result);
    }
    // Every selector reaches a mask of its own.
    for (ULONG module = 0; module < ZAR_PLY_MODULE_COUNT; ++module) {
        ZAR_ENABLE_MASK_REQUEST request{module, ZAR_ENABLE_MASK_SET, 0x100 + module};
        ASSERT_EQ(Send(IOCTL_ZAR_PLY_SET_ENABLE_MASK, &request, sizeof(request), nullptr, 0).status, STATUS_SUCCESS);
    }
    for (ULONG module = 0; module < ZAR_PLY_MODULE_COUNT; ++module)
        EXPECT_EQ(*ZarPlyEnableMask(ext_, module), 0x100 + module) << module;
    ZAR_ENABLE_MASK_REQUEST bad{ZAR_PLY_MODULE_COUNT, ZAR_ENABLE_MASK_SET, 1};
    EXPECT_EQ(Send(IOCTL_ZAR_PLY_SET_ENABLE_MASK, &bad, sizeof(bad), nullptr, 0).status, STATUS_UNSUCCESSFUL);
}

TEST_F(ZarkdPlaylist, ResetEmptiesTheChannelAndDisablesItsWholeModule)
{
    ASSERT_EQ(Insert(302, Records(302, 10, 0)), STATUS_SUCCESS);
    ASSERT_EQ(Insert(301, Records(301, 4, 0)), STATUS_SUCCESS);
    ASSERT_EQ(Insert(402, Records(402, 3, 0)), STATUS_SUCCESS);
    PZAR_NODE_QUEUE q302 = Queue(302);
    q302->ReadIndex = 5;
    q302->LastIndex = 4;
    q302->PreviousLastIndex = 3;
    q302->Pipeline[1] = q302->Buffer;
    q302->Kept = 77;
    ext_->Playlist.Dve.EnableMask = 0xF;
    ext_->Playlist.Mixer.EnableMask = 0xF;

    ZAR_CHANNEL_STATUS block;
    std::memset(&block, 0xA5, sizeof(block));
    block.Channel = 302;
    ZAR_CHANNEL_STATUS sent = block;
    Result r = Send(IOCTL_ZAR_PLY_RESET_PLAYLIST, &block, sizeof(block), &block, sizeof(block));
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, sizeof(block));
    EXPECT_EQ(std::memcmp(&block, &sent, sizeof(block)), 0);

    EXPECT_EQ(q302->WriteCount, 0u);
    EXPECT_EQ(q302->ReadIndex, 0u);
    EXPECT_EQ(q302->LastIndex, 0u);
    EXPECT_EQ(q302->PreviousLastIndex, 0u);
    EXPECT_EQ(q302->Pipeline[1], nullptr);
    EXPECT_EQ(q302->Kept, 77u);
    EXPECT_NE(q302->Buffer, nullptr);
    EXPECT_EQ(q302->Capacity, ZAR_NODE_RING_ENTRIES);
    EXPECT_EQ(ext_->Playlist.Dve.EnableMask, 0u);  // all four DVE channels
    EXPECT_EQ(Queue(301)->WriteCount, 4u);         // other rings keep their nodes
    EXPECT_EQ(ext_->Playlist.Mixer.EnableMask, 0xFu);

    // An emptied ring takes a whole ring's worth again.
    EXPECT_EQ(Insert(302, Records(302, ZAR_PLY_DVE_QUEUE_LIMIT, 0)), STATUS_SUCCESS);

    // Unknown channels change nothing and succeed.
    block.Channel = 999;
    sent = block;
    EXPECT_EQ(Send(IOCTL_ZAR_PLY_RESET_PLAYLIST, &block, sizeof(block), &block, sizeof(block)).status, STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(&block, &sent, sizeof(block)), 0);
    EXPECT_EQ(Queue(402)->WriteCount, 3u);
}

TEST_F(ZarkdPlaylist, ChannelStatusFillsTheModuleRegionAndTheQueueOnly)
{
    ASSERT_EQ(Insert(403, Records(403, 6, 0)), STATUS_SUCCESS);
    Queue(403)->ReadIndex = 4;
    Queue(403)->LastIndex = 3;
    ext_->Playlist.Mixer.Play.Position = 1234;
    ext_->Playlist.Mixer.EnableMask = 0x4;

    ZAR_CHANNEL_STATUS block;
    std::memset(&block, 0xA5, sizeof(block));
    block.Channel = 403;
    ZAR_CHANNEL_STATUS sent = block;
    ASSERT_EQ(Query(block), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(block.MixerState, &ext_->Playlist.Mixer, sizeof(block.MixerState)), 0);
    EXPECT_EQ(block.Queue[ZAR_CHANNEL_STATUS_QUEUE_WRITE], 6u);
    EXPECT_EQ(block.Queue[ZAR_CHANNEL_STATUS_QUEUE_LAST], 3u);
    // Everything else is as it was sent.
    EXPECT_EQ(std::memcmp(&block, &sent, offsetof(ZAR_CHANNEL_STATUS, MixerState)), 0);
    EXPECT_EQ(std::memcmp(block.BusState, sent.BusState, offsetof(ZAR_CHANNEL_STATUS, Queue) -
                                                             offsetof(ZAR_CHANNEL_STATUS, BusState)),
              0);
    EXPECT_EQ(block.AudioDmaProgress, sent.AudioDmaProgress);

    // A video channel's state comes whole; channel 0 has no ring of its own.
    ext_->Jpeg.Channel[0].State.SdramHead = 4321;
    std::memset(&block, 0xA5, sizeof(block));
    block.Channel = 0;
    ASSERT_EQ(Query(block), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(block.VideoState, &ext_->Jpeg.Channel[0].State, sizeof(block.VideoState)), 0);
    EXPECT_EQ(block.Queue[0], 0xA5A5A5A5u);
}

// ---- play/stop hand-shake ----

class ZarkdPlaylistHandshake : public ZarkdPlaylist {
protected:

    // The DVE's per-field steps as its hooks will run them: on the
    // interrupt context, synchronised with the interrupt, shortly after each
    // field of the board, with that field's parity. Each field is recorded.
    struct FieldRecord {
        ULONG parity, state, position;
    };
    static constexpr uint64_t kAfterField = 1000000;  // 1 ms, well inside the field
    static constexpr uint64_t kWithinAField = 10000000;  // 10 ms: less than a field

    void StartFieldSteps()
    {
        ZarSetIntMode(ext_, ZAR_INT_FIELD, TRUE);
        ScheduleSteps();
    }
    void ScheduleSteps()
    {
        stepEvent_ = nt::ClockSchedule(Board().Clock().NextFieldTime() + kAfterField, [this] {
            if (stopped_) return;
            KeSynchronizeExecution(
                ext_->InterruptObject,
                [](PVOID context) -> BOOLEAN {
                    auto* self = static_cast<ZarkdPlaylistHandshake*>(context);
                    PZAR_DEVICE_EXTENSION ext = self->ext_;
                    ZarPlyModulePreProcess(ext, ZAR_PLY_MODULE_DVE);
                    ZarPlyModulePostProcess(ext, ZAR_PLY_MODULE_DVE);
                    const ZAR_PLAY_STATE& play = ext->Playlist.Dve.Play;
                    self->fields_.push_back({ext->FieldParity, play.State, play.Position});
                    return TRUE;
                },
                this);
            ScheduleSteps();
        });
    }
    // The fields recorded so far (read under the interrupt's lock, which the steps hold).
    std::vector<FieldRecord> Fields()
    {
        std::pair<ZarkdPlaylistHandshake*, std::vector<FieldRecord>> copy{this, {}};
        KeSynchronizeExecution(
            ext_->InterruptObject,
            [](PVOID context) -> BOOLEAN {
                auto* c = static_cast<std::pair<ZarkdPlaylistHandshake*, std::vector<FieldRecord>>*>(context);
                c->second = c->first->fields_;
                return TRUE;
            },
            &copy);
        return copy.second;
    }
    void TearDown() override
    {
        stopped_ = true;
        if (stepEvent_ != 0) nt::ClockCancel(stepEvent_);
        ZarkdPlaylist::TearDown();
    }

    static ZAR_PLAY_COMMAND Command(ULONG command, ULONG wait)
    {
        // An odd start: the first field of play must still bring the
        // position's low bit onto the field's parity.
        return ZAR_PLAY_COMMAND{command, 1, 0, 11, 10, 1000, 0, wait};
    }

    std::atomic<bool> stopped_{false};
    nt::ClockEventId stepEvent_ = 0;
    std::vector<FieldRecord> fields_;
};

// A signal still armed for an earlier request when the next one is made
// (its DPC not yet run) must not release the next waiter before its change.
TEST_F(ZarkdPlaylistHandshake, AWaiterIsReleasedByItsOwnChangeNotAnEarlierSignal)
{
    StartFieldSteps();
    // Right after a parity-1 field: the play takes effect a field later.
    do nt::ClockRunFor(Board().Clock().NextFieldTime() + kAfterField - nt::ClockNow());
    while (Board().Clock().Parity() != 1);
    ZarArmFieldSignal(ext_, ZAR_PLY_FIELD_SIGNAL_FIRST + ZAR_PLY_MODULE_DVE);
    ZAR_PLAY_COMMAND play = Command(ZAR_PLAY_START, 1);
    ASSERT_EQ(ZarPlyPlayCommand(ext_, ZAR_PLY_MODULE_DVE, &play), STATUS_SUCCESS);
    EXPECT_EQ(ext_->Playlist.Dve.Play.State, ZAR_PLY_PLAYING) << "released before the change";
}

TEST_F(ZarkdPlaylistHandshake, PlayAndStopTakeEffectOnParityOneFieldsAndReleaseTheWaiter)
{
    StartFieldSteps();
    ZAR_PLAY_COMMAND play = Command(ZAR_PLAY_START, 1);
    ASSERT_EQ(ZarPlyPlayCommand(ext_, ZAR_PLY_MODULE_DVE, &play), STATUS_SUCCESS);
    const ZAR_PLY_DVE_STATE& dve = ext_->Playlist.Dve;
    EXPECT_EQ(dve.Play.State, ZAR_PLY_PLAYING);
    EXPECT_EQ(dve.RequestPending, 0u);
    EXPECT_EQ(dve.StateChangeDone, 1u);

    ZAR_PLAY_COMMAND stop = Command(ZAR_PLAY_STOP, 1);
    ASSERT_EQ(ZarPlyPlayCommand(ext_, ZAR_PLY_MODULE_DVE, &stop), STATUS_SUCCESS);
    EXPECT_EQ(dve.Play.State, ZAR_PLY_STOPPED);
    EXPECT_EQ(dve.Stopped, 1u);

    // The state changed only on parity-1 fields; while playing, the position
    // counted one a field with its low bit on the field's parity.
    const std::vector<FieldRecord> fields = Fields();
    ASSERT_GE(fields.size(), 3u);
    ULONG state = ZAR_PLY_STOPPED;
    ULONG changes = 0;
    for (size_t i = 0; i < fields.size(); ++i) {
        SCOPED_TRACE(i);
        if (fields[i].state != state) {
            EXPECT_EQ(fields[i].parity, 1u);
            state = fields[i].state;
            ++changes;
        }
        if (state == ZAR_PLY_PLAYING) { EXPECT_EQ(fields[i].position & 1, fields[i].parity); }
        if (i > 0 && state == ZAR_PLY_PLAYING && fields[i - 1].state == ZAR_PLY_PLAYING) {
            EXPECT_EQ(fields[i].position, fields[i - 1].position + 1);
        }
    }
    EXPECT_EQ(changes, 2u);
}

TEST_F(ZarkdPlaylistHandshake, AStopAtOnceWithTheWaitFlagReturnsAtOnce)
{
    ext_->Playlist.Dve.Play.State = ZAR_PLY_PLAYING;
    ext_->Playlist.Dve.RequestPending = 1;  // an earlier play still pending
    ext_->Playlist.Dve.RequestedState = ZAR_PLY_PLAYING;
    uint64_t before = nt::ClockNow();
    ZAR_PLAY_COMMAND now = Command(5, 1);
    EXPECT_EQ(ZarPlyPlayCommand(ext_, ZAR_PLY_MODULE_DVE, &now), STATUS_SUCCESS);
    EXPECT_LT(nt::ClockNow() - before, kWithinAField);
    EXPECT_EQ(ext_->Playlist.Dve.Play.State, ZAR_PLY_STOPPED);
    EXPECT_EQ(ext_->Playlist.Dve.RequestPending, 0u);
}

TEST_F(ZarkdPlaylistHandshake, AWaitThatNoFieldAnswersTimesOutAfter500ms)
{
    // No hook runs the module's steps: the request is never carried out.
    uint64_t before = nt::ClockNow();
    ZAR_PLAY_COMMAND play = Command(ZAR_PLAY_START, 1);
    EXPECT_EQ(ZarPlyPlayCommand(ext_, ZAR_PLY_MODULE_MIXER, &play), STATUS_IO_TIMEOUT);
    uint64_t waited = nt::ClockNow() - before;
    EXPECT_GE(waited, 500000000u);
    EXPECT_LT(waited, 500000000u + kWithinAField);
    EXPECT_EQ(ext_->Playlist.Mixer.RequestPending, 1u);
    EXPECT_EQ(ext_->Playlist.Mixer.Play.State, ZAR_PLY_STOPPED);
    EXPECT_NE(ext_->InterruptEnable & ZAR_INT_FIELD, 0u);  // the command turned the field interrupt on

    // Without the wait flag the command returns at once with the request pending.
    before = nt::ClockNow();
    ZAR_PLAY_COMMAND stop = Command(ZAR_PLAY_STOP, 0);
    EXPECT_EQ(ZarPlyPlayCommand(ext_, ZAR_PLY_MODULE_BUS, &stop), STATUS_SUCCESS);
    EXPECT_LT(nt::ClockNow() - before, kWithinAField);
    EXPECT_EQ(ext_->Playlist.Bus.RequestPending, 1u);
    EXPECT_EQ(ext_->Playlist.Bus.RequestedState, ZAR_PLY_STOPPED);
    // Modules without a follower state refuse.
    EXPECT_EQ(ZarPlyPlayCommand(ext_, ZAR_PLY_MODULE_VIDEO0, &stop), STATUS_UNSUCCESSFUL);
}

TEST_F(ZarkdPlaylistHandshake, PlayWithoutLoopStopsAtTheEndAndLoopingWrapsIntoTheNextPass)
{
    StartFieldSteps();
    ZAR_PLAY_COMMAND play = Command(ZAR_PLAY_START, 1);
    play.End = 16;
    ASSERT_EQ(ZarPlyPlayCommand(ext_, ZAR_PLY_MODULE_DVE, &play), STATUS_SUCCESS);
    for (int field = 0; field < 50 && ext_->Playlist.Dve.Play.State == ZAR_PLY_PLAYING; ++field)
        ZarWaitForField(ext_, -100LL * 10000);
    ASSERT_EQ(ext_->Playlist.Dve.Play.State, ZAR_PLY_STOPPED);
    EXPECT_GE(ext_->Playlist.Dve.Play.Position, 16u);
    EXPECT_EQ(ext_->Playlist.Dve.Play.Reported[0], 13u);  // end - 3 without the loop flag

    play.LoopFlag = 1;
    ASSERT_EQ(ZarPlyPlayCommand(ext_, ZAR_PLY_MODULE_DVE, &play), STATUS_SUCCESS);
    for (int field = 0; field < 50 && ext_->Playlist.Dve.Play.Pass < 2; ++field) ZarWaitForField(ext_, -100LL * 10000);
    EXPECT_EQ(ext_->Playlist.Dve.Play.Pass, 2u);
    EXPECT_EQ(ext_->Playlist.Dve.Play.State, ZAR_PLY_PLAYING);
    EXPECT_GE(ext_->Playlist.Dve.Play.Position, 10u);
    EXPECT_LT(ext_->Playlist.Dve.Play.Position, 16u);
}

}  // namespace
