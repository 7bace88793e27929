// ZARKD's control dispatch, from user mode through \\.\KIVZAR0: the length
// rules and the board-state gate of every code in ZarIoctlTable, the codes
// the dispatch serves itself, the caller's pointers and handles it takes,
// queueing on the transfer channels, and SCSI bus ownership on the virtual
// clock.

#include <gtest/gtest.h>

#include "zarkd_ioctl_machine.h"

namespace {

// The lengths a row's rule accepts and refuses.
struct Lengths {
    std::vector<ULONG> pass, fail;
};
Lengths LengthsFor(ZAR_LENGTH_RULE rule, ULONG length)
{
    switch (rule) {
    case ZAR_LEN_EXACT:
        return {{length}, length ? std::vector<ULONG>{length - 1, length + 1} : std::vector<ULONG>{1}};
    case ZAR_LEN_AT_LEAST:
        return {{length, length + 100}, length ? std::vector<ULONG>{length - 1} : std::vector<ULONG>{}};
    case ZAR_LEN_REFUSED: return {{}, {0, 4, 64}};
    default: return {{0, 3, 300}, {}};
    }
}
// A length the row accepts.
ULONG GoodLength(ZAR_LENGTH_RULE rule, ULONG length) { return rule == ZAR_LEN_REFUSED ? 0 : length; }

class ZarkdIoctl : public ZarkdIoctlMachine {};

// ---- the frame over every code ----

TEST_F(ZarkdIoctl, EveryCodeKeepsItsLengthRules)
{
    // Queued codes stay queued, so each answer is the dispatch's own.
    HoldQueues();
    for (const ZAR_IOCTL_ENTRY& e : ZarIoctlTable) {
        SCOPED_TRACE(e.Name);
        if (e.Work == ZAR_WORK_WAVE_FRONT || e.Work == ZAR_WORK_INTERNAL) {
            // Not served by the library's device control: the wave front
            // takes only wave-device requests, internal codes come another way.
            EXPECT_EQ(SendLengths(e.Code, 8, 8).status, STATUS_INVALID_DEVICE_REQUEST);
            continue;
        }
        if (e.Work == ZAR_WORK_TANDREL_ROUTED) {
            // User mode's minor function is 0: the master clock, which has no hook.
            EXPECT_EQ(SendLengths(e.Code, 0, 0).status, STATUS_INVALID_DEVICE_REQUEST) << "not routed";
            continue;
        }
        ULONG goodOut = GoodLength(e.OutputRule, e.OutputLength);
        ULONG goodIn = GoodLength(e.InputRule, e.InputLength);
        Lengths in = LengthsFor(e.InputRule, e.InputLength);
        Lengths out = LengthsFor(e.OutputRule, e.OutputLength);
        auto sized = [&](ULONG inLength, ULONG outLength) {
            return SendLengths(e.Code, inLength, outLength, false).status == STATUS_INVALID_BUFFER_SIZE;
        };
        for (ULONG n : in.pass) EXPECT_FALSE(sized(n, goodOut)) << "in " << n;
        for (ULONG n : in.fail) EXPECT_TRUE(sized(n, goodOut)) << "in " << n;
        for (ULONG n : out.pass) EXPECT_FALSE(sized(goodIn, n)) << "out " << n;
        for (ULONG n : out.fail) EXPECT_TRUE(sized(goodIn, n)) << "out " << n;
        // Give a taken bus back so the next disk request does not wait.
        if (e.Code == IOCTL_ZAR_ACQUIRE_SCSI) SendLengths(IOCTL_ZAR_RELEASE_SCSI, 0, 0);
    }
    DrainQueues(STATUS_CANCELLED);
}

TEST_F(ZarkdIoctl, TheTwoRefusedCodesFailWhateverTheLengths)
{
    for (ULONG code : {IOCTL_ZAR_CODE_2220F0, IOCTL_ZAR_CODE_222108})
        for (ULONG n : {0u, 1u, 4u, 16u, 4096u})
            EXPECT_EQ(SendLengths(code, n, n).status, STATUS_INVALID_BUFFER_SIZE) << std::hex << code << " " << n;
}

TEST_F(ZarkdIoctl, UnknownCodesAreInvalidRequests)
{
    // Holes in the code range, a known function with the other method, codes
    // past the ranges and of another device type.
    for (ULONG code : {0x222000u, 0x222018u, 0x222028u, 0x222048u, 0x2220b4u, 0x2221f0u, 0x222005u, 0x222310u,
                       0x2223f8u, 0x222410u, 0x222a00u, 0x223010u, 0x220004u, 0x90004u}) {
        Result r = SendLengths(code, 16, 16);
        EXPECT_EQ(r.status, STATUS_INVALID_DEVICE_REQUEST) << std::hex << code;
        EXPECT_EQ(r.bytes, 0u);
    }
}

TEST_F(ZarkdIoctl, HardwareInfoAndDeviceImageReturnTheirSizes)
{
    std::vector<UCHAR> out(400);
    Result r = Send(IOCTL_ZAR_GET_HARDWARE_INFO, nullptr, 0, out.data(), 400);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, 311u);
    EXPECT_EQ(std::memcmp(out.data(), ext_->HardwareInfo, 311), 0);
    EXPECT_EQ(Send(IOCTL_ZAR_GET_HARDWARE_INFO, nullptr, 0, out.data(), 310).status, STATUS_INVALID_BUFFER_SIZE);

    std::vector<UCHAR> image(ZAR_DEVICE_EXTENSION_SIZE);
    r = Send(IOCTL_ZAR_GET_DEVICE_EXTENSION, nullptr, 0, image.data(), ULONG(image.size()));
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, ZAR_DEVICE_EXTENSION_SIZE);
    ULONG standard;
    std::memcpy(&standard, image.data() + offsetof(ZAR_EXTENSION_FIELDS, Standard), 4);
    EXPECT_EQ(standard, ext_->Standard);
}

TEST_F(ZarkdIoctl, PciConfigReadsTheAskedSlotOrNothing)
{
    struct Case {
        const char* what;
        ZAR_PCI_CONFIG_QUERY query;
        ULONG bytes;
    } cases[] = {
        {"the board", {0, ZarPciSlot(4, 0)}, 256},
        {"the host bridge", {0, ZarPciSlot(0, 0)}, 256},
        {"an empty slot", {0, ZarPciSlot(20, 0)}, 0},
        {"a bus that does not exist", {7, ZarPciSlot(4, 0)}, 0},
    };
    for (const Case& c : cases) {
        UCHAR buffer[256] = {};
        std::memcpy(buffer, &c.query, sizeof(c.query));
        Result r = Send(IOCTL_ZAR_GET_PCI_CONFIG, buffer, 8, buffer, 256);
        EXPECT_EQ(r.status, STATUS_SUCCESS) << c.what;
        EXPECT_EQ(r.bytes, c.bytes) << c.what;
    }
    UCHAR buffer[256] = {};
    ZAR_PCI_CONFIG_QUERY board{0, ZarPciSlot(4, 0)};
    std::memcpy(buffer, &board, sizeof(board));
    Send(IOCTL_ZAR_GET_PCI_CONFIG, buffer, 8, buffer, 256);
    EXPECT_EQ(buffer[0] | buffer[1] << 8, ZAR_BRIDGE_VENDOR_ID);
    EXPECT_EQ(buffer[2] | buffer[3] << 8, ZAR_BRIDGE_DEVICE_ID);
}

// ---- the board-state gate ----

class ZarkdIoctlForeignBridge : public ZarkdIoctlMachine {
    const char* Layout() const override { return "foreign-only"; }
};

TEST_F(ZarkdIoctlForeignBridge, OnlyPciConfigAndBoardStatePassTheGate)
{
    ASSERT_EQ(ext_->HardwareInfo->BoardState, ZAR_BOARD_STATE_BRIDGE_ONLY);
    for (const ZAR_IOCTL_ENTRY& e : ZarIoctlTable) {
        ULONG in = GoodLength(e.InputRule, e.InputLength), out = GoodLength(e.OutputRule, e.OutputLength);
        Result r = SendLengths(e.Code, in, out);
        if (e.AllowedWithoutBoard)
            EXPECT_EQ(r.status, STATUS_SUCCESS) << e.Name;
        else
            EXPECT_EQ(r.status, STATUS_DEVICE_NOT_CONNECTED) << e.Name;
    }
    ULONG state = 99;
    Result r = Send(IOCTL_ZAR_GET_BOARD_STATE, nullptr, 0, &state, 4);
    EXPECT_EQ(r.bytes, 4u);
    EXPECT_EQ(state, ZAR_BOARD_STATE_BRIDGE_ONLY);
    // Unknown codes meet the gate before the switch.
    EXPECT_EQ(SendLengths(0x222000, 4, 4).status, STATUS_DEVICE_NOT_CONNECTED);
}

// ---- codes the dispatch serves itself ----

TEST_F(ZarkdIoctl, DebiRegisterShadowsAreWrittenThroughAndReadBackWithoutTheBoard)
{
    struct Case {
        ULONG set, get, reg;
        PULONG shadow;
    } cases[] = {
        {IOCTL_ZAR_SET_DEBI_REG_5474, IOCTL_ZAR_GET_DEBI_REG_5474, 0x5474, &ext_->DebiShadow5474},
        {IOCTL_ZAR_SET_DEBI_REG_5C00, IOCTL_ZAR_GET_DEBI_REG_5C00, 0x5C00, &ext_->DebiShadow5C00},
        {IOCTL_ZAR_SET_DEBI_REG_5470, IOCTL_ZAR_GET_DEBI_REG_5470, 0x5470, &ext_->DebiShadow5470},
        {IOCTL_ZAR_SET_DEBI_REG_5450, IOCTL_ZAR_GET_DEBI_REG_5450, 0x5450, &ext_->DebiShadow5450},
    };
    sim::BoardRegs& regs = built_.boards[0]->Regs();
    ULONG value = 0x1230;
    for (const Case& c : cases) {
        ++value;
        ULONG in = value, out = 0;
        EXPECT_EQ(Send(c.set, &in, 4, &out, 4).status, STATUS_SUCCESS);
        EXPECT_EQ(regs.Peek(c.reg), value) << std::hex << c.reg;
    }
    // Each shadow holds its own value; the get codes never read the board.
    value = 0x1230;
    for (const Case& c : cases) {
        ++value;
        regs.Write(c.reg, 0xDEAD);
        ULONG in = 0, out = 0;
        Result r = Send(c.get, &in, 4, &out, 4);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.bytes, 4u);
        EXPECT_EQ(out, value) << std::hex << c.reg;
        EXPECT_EQ(*c.shadow, value);
    }
}

TEST_F(ZarkdIoctl, SystemPrefsTakeOnlyTheirTwoBits)
{
    ext_->SystemPrefs = 0xF0;
    ULONG in = 0xFFFFFFFD, out = 0;
    ASSERT_EQ(Send(IOCTL_ZAR_SET_SYSTEM_PREFS, &in, 4, &out, 4).status, STATUS_SUCCESS);
    EXPECT_EQ(built_.boards[0]->Regs().Peek(0x5468), 0xF1);
    Result r = Send(IOCTL_ZAR_GET_SYSTEM_PREFS, &in, 4, &out, 4);
    EXPECT_EQ(r.bytes, 4u);
    EXPECT_EQ(out, 0xF1u);
}

TEST_F(ZarkdIoctl, StoredBlocksAndOptionWordsComeBackAsKept)
{
    ext_->Genlock = {31, 200, 1, 1, 77};
    ext_->Encoder = {{1, 0, 5}};
    ext_->Calibration = {{120, 130, 140, 150}};
    ext_->M2Routing = {{1, 2, 0, 1, 9}};
    ext_->Eeprom625Support = 1;
    ext_->Eeprom24FpsSupport = 3;
    struct Case {
        ULONG code, inLength, length;
        const void* kept;
    } cases[] = {
        {IOCTL_ZAR_GET_GENLOCK, 0, 20, &ext_->Genlock},
        {IOCTL_ZAR_GET_ENCODER, 0, 12, &ext_->Encoder},
        {IOCTL_ZAR_GET_CALIBRATION, 0, 16, &ext_->Calibration},
        {IOCTL_ZAR_GET_M2_ROUTING, 0, 20, &ext_->M2Routing},
        {IOCTL_ZAR_GET_625_SUPPORT, 4, 4, &ext_->Eeprom625Support},
        {IOCTL_ZAR_GET_24FPS_SUPPORT, 4, 4, &ext_->Eeprom24FpsSupport},
    };
    for (const Case& c : cases) {
        UCHAR in[4] = {}, out[32] = {};
        Result r = Send(c.code, in, c.inLength, out, c.length);
        EXPECT_EQ(r.status, STATUS_SUCCESS) << std::hex << c.code;
        EXPECT_EQ(r.bytes, c.length) << std::hex << c.code;
        EXPECT_EQ(std::memcmp(out, c.kept, c.length), 0) << std::hex << c.code;
    }
}

TEST_F(ZarkdIoctl, SetIntModeReadiesTheBoardForADownload)
{
    ext_->BoardReady = TRUE;
    ZarSetIntMode(ext_, 0x100, TRUE);
    uint64_t start = nt::ClockNow();
    ASSERT_EQ(SendLengths(IOCTL_ZAR_SET_INT_MODE, 0, 0).status, STATUS_SUCCESS);
    EXPECT_GE(Seconds(nt::ClockNow() - start), 0.25);
    EXPECT_LT(Seconds(nt::ClockNow() - start), 0.3);
    EXPECT_FALSE(ext_->BoardReady);
    EXPECT_TRUE(ext_->VinMonitorPaused);
    EXPECT_EQ(ext_->InterruptEnable, 0u);
    EXPECT_EQ(READ_REGISTER_ULONG(ZarBridgeRegister(ext_, ZAR_BRIDGE_IER)), 0u);
}

TEST_F(ZarkdIoctl, WarpTableDmaSizeMustFitItsBuffer)
{
    ULONG limit = ext_->DveWarpLut.Length / 4;
    ASSERT_GT(limit, 4u);
    struct Case {
        ULONG words;
        NTSTATUS status;
    } cases[] = {{64, STATUS_SUCCESS}, {4, STATUS_SUCCESS}, {limit, STATUS_SUCCESS}, {limit + 1, STATUS_INVALID_PARAMETER},
                 {0xFFFFFFFF, STATUS_INVALID_PARAMETER}, {3, STATUS_INVALID_PARAMETER}, {0, STATUS_INVALID_PARAMETER}};
    for (const Case& c : cases) {
        ULONG before = ext_->DveWticDmaSizeWords;
        EXPECT_EQ(Send(IOCTL_ZAR_DVE_SET_WTIC_DMA_SIZE, &c.words, 4, nullptr, 0).status, c.status) << c.words;
        EXPECT_EQ(ext_->DveWticDmaSizeWords, c.status == STATUS_SUCCESS ? c.words : before) << c.words;
    }
}

TEST_F(ZarkdIoctl, SynchronizeExecutionNeedsAWordEachWay)
{
    ULONG in[2] = {2, 0}, out[2] = {};
    EXPECT_EQ(Send(IOCTL_ZAR_SYNCHRONIZE_EXECUTION, in, 3, out, 4).status, STATUS_INVALID_BUFFER_SIZE);
    EXPECT_EQ(Send(IOCTL_ZAR_SYNCHRONIZE_EXECUTION, in, 4, out, 3).status, STATUS_INVALID_BUFFER_SIZE);
    EXPECT_EQ(Send(IOCTL_ZAR_SYNCHRONIZE_EXECUTION, in, 0, out, 0).status, STATUS_INVALID_BUFFER_SIZE);
    EXPECT_NE(Send(IOCTL_ZAR_SYNCHRONIZE_EXECUTION, in, 4, out, 4).status, STATUS_INVALID_BUFFER_SIZE);
}

// ---- the caller's memory and handles ----

TEST_F(ZarkdIoctl, CallerPointersAreProbedNotTrusted)
{
    // A pointer that faults, one the user probe refuses outright, and a
    // good one (which reaches the module: not written yet).
    UCHAR good[64] = {};
    const ULONG faulting = ULONG(reinterpret_cast<ULONG_PTR>(noAccess_));
    const ULONG top = 0xFFFF8000;
    const ULONG goodAddress = ULONG(reinterpret_cast<ULONG_PTR>(good));
    struct Case {
        const char* what;
        ULONG code;
        ULONG pointer;      // where the code looks for the caller's memory
        bool inRecord;      // the pointer travels inside a node-command block
        NTSTATUS status;
    } cases[] = {
        {"proc-amp table at a faulting address", IOCTL_ZAR_VIN_LOAD_PROC_AMP_TABLE, faulting, false, STATUS_ACCESS_VIOLATION},
        {"proc-amp table at the top of the space", IOCTL_ZAR_VIN_LOAD_PROC_AMP_TABLE, top, false, STATUS_ACCESS_VIOLATION},
        {"node command with a faulting block", IOCTL_ZAR_POST_NODE_COMMAND, faulting, false, STATUS_ACCESS_VIOLATION},
        {"node command with a faulting ring", IOCTL_ZAR_POST_NODE_COMMAND, faulting, true, STATUS_ACCESS_VIOLATION},
        {"node command with a good ring", IOCTL_ZAR_POST_NODE_COMMAND, goodAddress, true, STATUS_UNSUCCESSFUL},  // group 10 is no play group
        {"next entry with a faulting block", IOCTL_ZAR_JPEG_GET_NEXT_ENTRY, faulting, false, STATUS_ACCESS_VIOLATION},
        {"next entry into a faulting ring", IOCTL_ZAR_JPEG_GET_NEXT_ENTRY, faulting, true, STATUS_ACCESS_VIOLATION},
        {"next entry into a refused ring", IOCTL_ZAR_JPEG_GET_NEXT_ENTRY, top, true, STATUS_ACCESS_VIOLATION},
        {"next entry into a good ring", IOCTL_ZAR_JPEG_GET_NEXT_ENTRY, goodAddress, true, STATUS_UNSUCCESSFUL},  // nothing recorded
        {"wave data from a faulting block", IOCTL_ZAR_AUD_GET_WAVE_DATA, faulting, false, STATUS_ACCESS_VIOLATION},
        {"field release from a faulting block", IOCTL_ZAR_JPEG_RELEASE_SDRAM_FIELD, faulting, false, STATUS_ACCESS_VIOLATION},
        {"field release from a refused block", IOCTL_ZAR_JPEG_RELEASE_SDRAM_FIELD, top, false, STATUS_ACCESS_VIOLATION},
        {"field release from a good block", IOCTL_ZAR_JPEG_RELEASE_SDRAM_FIELD, goodAddress, false, STATUS_SUCCESS},
    };
    for (const Case& c : cases) {
        ZAR_NODE_COMMAND block{10, 0, c.pointer};
        ULONG out[4] = {};
        Result r;
        if (c.code == IOCTL_ZAR_VIN_LOAD_PROC_AMP_TABLE) {
            // Buffered: the table's address is the input dword.
            r = Send(c.code, &c.pointer, 4, nullptr, 0);
        } else if (c.inRecord) {
            r = Send(c.code, &block, sizeof(block), out, sizeof(out));
        } else {
            PVOID p = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(c.pointer));
            ULONG inLength = c.code == IOCTL_ZAR_JPEG_RELEASE_SDRAM_FIELD ? 8 : 12;
            r = Send(c.code, p, inLength, out, sizeof(out));
        }
        EXPECT_EQ(r.status, c.status) << c.what;
        EXPECT_EQ(r.bytes, 0u) << c.what;
    }
    // A readable table reaches the video-input module.
    std::vector<ULONG> table(256, 7);
    ULONG address = ULONG(reinterpret_cast<ULONG_PTR>(table.data()));
    EXPECT_EQ(Send(IOCTL_ZAR_VIN_LOAD_PROC_AMP_TABLE, &address, 4, nullptr, 0).status, STATUS_SUCCESS);
    // Wave data into an output that faults or is too small for the positions.
    ULONG half = 0, small = 0;
    EXPECT_EQ(Send(IOCTL_ZAR_AUD_GET_WAVE_DATA, &half, 4, noAccess_, 64).status, STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(Send(IOCTL_ZAR_AUD_GET_WAVE_DATA, &half, 4, &small, 4).status, STATUS_BUFFER_TOO_SMALL);
}

TEST_F(ZarkdIoctl, HandlesMustNameTheirObjectType)
{
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE semaphore = CreateSemaphoreA(nullptr, 0, 10, nullptr);
    auto h = [](HANDLE handle) { return ULONG(reinterpret_cast<ULONG_PTR>(handle)); };
    struct Case {
        const char* what;
        ULONG code;
        ULONG handle;
        NTSTATUS status;
    } cases[] = {
        {"audio events: a semaphore", IOCTL_ZAR_AUD_REGISTER_EVENTS, h(semaphore), STATUS_OBJECT_TYPE_MISMATCH},
        {"audio events: no such handle", IOCTL_ZAR_AUD_REGISTER_EVENTS, 0x7FF0, STATUS_INVALID_HANDLE},
        {"audio events: an event", IOCTL_ZAR_AUD_REGISTER_EVENTS, h(event), STATUS_SUCCESS},
        {"exception semaphore: an event", IOCTL_ZAR_DIAG_SET_EXCEPTION_HANDLER, h(event), STATUS_OBJECT_TYPE_MISMATCH},
        {"exception semaphore: no such handle", IOCTL_ZAR_DIAG_SET_EXCEPTION_HANDLER, 0x7FF0, STATUS_INVALID_HANDLE},
        {"exception semaphore: a semaphore", IOCTL_ZAR_DIAG_SET_EXCEPTION_HANDLER, h(semaphore), STATUS_SUCCESS},
        {"exception semaphore: none", IOCTL_ZAR_DIAG_SET_EXCEPTION_HANDLER, 0, STATUS_SUCCESS},
    };
    for (const Case& c : cases) {
        // The handle goes in the last slot, after five good events, so a
        // failure has references to give back.
        ULONG in[6] = {h(event), h(event), h(event), h(event), h(event), c.handle};
        if (c.code == IOCTL_ZAR_DIAG_SET_EXCEPTION_HANDLER) in[0] = c.handle;
        ULONG length = c.code == IOCTL_ZAR_AUD_REGISTER_EVENTS ? 24 : 4;
        EXPECT_EQ(Send(c.code, in, length, nullptr, 0).status, c.status) << c.what;
    }
    // Registered events are held until the next registration, which here
    // names none.
    ULONG none[6] = {};
    EXPECT_EQ(Send(IOCTL_ZAR_AUD_REGISTER_EVENTS, none, sizeof(none), nullptr, 0).status, STATUS_SUCCESS);
    // Every reference taken was given back: closing the handles deletes
    // the objects (a leaked reference would keep them alive).
    PVOID object = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(event, 0, ExEventObjectType, UserMode, &object, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(ObDereferenceObject(object), 1);
    ASSERT_EQ(ObReferenceObjectByHandle(semaphore, 0, ExSemaphoreObjectType, UserMode, &object, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(ObDereferenceObject(object), 1);
    CloseHandle(event);
    CloseHandle(semaphore);
}

// ---- transfer channels ----

TEST_F(ZarkdIoctl, DebiRequestsAreCheckedBeforeTheyQueue)
{
    HoldQueues();
    std::vector<UCHAR> data(8192);
    const ULONG buffer = ULONG(reinterpret_cast<ULONG_PTR>(data.data()) + 4096 - (reinterpret_cast<ULONG_PTR>(data.data()) & 4095));
    const ULONG faulting = ULONG(reinterpret_cast<ULONG_PTR>(noAccess_));
    struct Case {
        const char* what;
        ZAR_DEBI_REQUEST request;
        NTSTATUS status;
        bool locked;
    } cases[] = {
        {"programmed write", {ZAR_DEBI_OP_PIO_WRITE, 9, 0x5474, 0, 1, 0, 0}, STATUS_PENDING, false},
        {"programmed read", {ZAR_DEBI_OP_PIO_READ, 0, 0x5474, 0, 0, 0, 0}, STATUS_PENDING, false},
        {"DMA to the board", {ZAR_DEBI_OP_DMA_TO_BOARD, 0, 0, 4096, 0, buffer, 0}, STATUS_PENDING, true},
        {"DMA to the host, bounce", {ZAR_DEBI_OP_DMA_TO_HOST, 2, 0, 32752, 0, buffer - 4096, 0}, STATUS_PENDING, true},
        {"unknown operation", {0x103, 0, 0, 4096, 0, buffer, 0}, STATUS_INVALID_DEVICE_REQUEST, false},
        {"unknown mode", {ZAR_DEBI_OP_DMA_TO_BOARD, 3, 0, 4096, 0, buffer, 0}, STATUS_INVALID_DEVICE_REQUEST, false},
        {"too short", {ZAR_DEBI_OP_DMA_TO_BOARD, 0, 0, 0, 0, buffer, 0}, STATUS_INVALID_BUFFER_SIZE, false},
        {"too long", {ZAR_DEBI_OP_DMA_TO_BOARD, 1, 0, 0x400004, 0, buffer, 0}, STATUS_INVALID_BUFFER_SIZE, false},
        {"too long to bounce", {ZAR_DEBI_OP_DMA_TO_HOST, 2, 0, 32756, 0, buffer, 0}, STATUS_INVALID_BUFFER_SIZE, false},
        {"odd length", {ZAR_DEBI_OP_DMA_TO_BOARD, 0, 0, 4094, 0, buffer, 0}, STATUS_DATATYPE_MISALIGNMENT, false},
        {"odd address", {ZAR_DEBI_OP_DMA_TO_BOARD, 0, 0, 4096, 0, buffer + 2, 0}, STATUS_DATATYPE_MISALIGNMENT, false},
        {"faulting buffer", {ZAR_DEBI_OP_DMA_TO_HOST, 0, 0, 4096, 0, faulting, 0}, STATUS_ACCESS_VIOLATION, false},
    };
    ULONG queued = 0;
    for (const Case& c : cases) {
        ZAR_DEBI_REQUEST out{};
        Result r = Send(IOCTL_ZAR_DEBI_IO, &c.request, 28, &out, 28, false);
        EXPECT_EQ(r.status, c.status) << c.what;
        if (r.status != STATUS_PENDING) continue;
        ++queued;
        ASSERT_EQ(Waiting(&ext_->DebiQueue), queued) << c.what;
        auto* entry = CONTAINING_RECORD(ext_->DebiQueue.DeviceListHead.Blink, ZAR_DEBI_ENTRY, QueueEntry.DeviceListEntry);
        EXPECT_EQ(std::memcmp(entry->SystemBuffer, &c.request, 28), 0) << c.what;
        EXPECT_NE(entry->Irp, nullptr);
        EXPECT_EQ(entry->Mdl != nullptr, c.locked) << c.what;
        if (entry->Mdl) {
            EXPECT_TRUE(entry->Mdl->MdlFlags & MDL_PAGES_LOCKED);
            EXPECT_EQ(MmGetMdlByteCount(entry->Mdl), c.request.ByteLength);
        }
    }
    EXPECT_EQ(DrainQueues(STATUS_CANCELLED), queued);
}

TEST_F(ZarkdIoctl, ARequestBehindABusyChannelStartsWhenTheChannelMovesOn)
{
    HoldQueues();
    ZAR_DEBI_REQUEST first{ZAR_DEBI_OP_PIO_WRITE, 0, 0x5474, 0, 1, 0, 0}, second = first, out{};
    second.Value = 2;
    ASSERT_EQ(Send(IOCTL_ZAR_DEBI_IO, &first, 28, &out, 28, false).status, STATUS_PENDING);
    OVERLAPPED ov{};
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ov.hEvent = done;
    ASSERT_FALSE(DeviceIoControl(handle_, IOCTL_ZAR_DEBI_IO, &second, 28, &out, 28, nullptr, &ov));
    ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
    EXPECT_EQ(Waiting(&ext_->DebiQueue), 2u);
    // The channel's completion path takes the next entry to its start
    // routine, which serves both in turn and leaves the queue idle.
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    PKDEVICE_QUEUE_ENTRY next = KeRemoveDeviceQueue(&ext_->DebiQueue);
    ZarDebiIoStartIo(ext_, CONTAINING_RECORD(next, ZAR_DEBI_ENTRY, QueueEntry));
    KeLowerIrql(old);
    held_ = false;
    EXPECT_EQ(WaitForSingleObject(done, 0), DWORD(WAIT_OBJECT_0));
    EXPECT_NE(NTSTATUS(ov.Internal), STATUS_PENDING);
    EXPECT_FALSE(ext_->DebiQueue.Busy);
    CloseHandle(done);
}

TEST_F(ZarkdIoctl, DiskRequestLocksTheBufferItNames)
{
    HoldQueues();
    std::vector<UCHAR> data(2048);
    ZAR_DISK_REQUEST request{};
    request.Operation = ZAR_DISK_OP_READ;
    request.OwnsScsi = 1;
    request.UserBuffer = ULONG(reinterpret_cast<ULONG_PTR>(data.data()));
    request.UserBufferLength = 2048;
    ZAR_DISK_REQUEST out{};
    ASSERT_EQ(Send(IOCTL_ZAR_DISK_REQUEST, &request, 104, &out, 104, false).status, STATUS_PENDING);
    auto* entry = CONTAINING_RECORD(ext_->ScsiQueue.DeviceListHead.Flink, ZAR_SCSI_ENTRY, QueueEntry.DeviceListEntry);
    ASSERT_NE(entry->Mdl, nullptr);
    EXPECT_EQ(MmGetMdlVirtualAddress(entry->Mdl), data.data());
    EXPECT_EQ(MmGetMdlByteCount(entry->Mdl), 2048u);

    request.UserBuffer = ULONG(reinterpret_cast<ULONG_PTR>(noAccess_));
    EXPECT_EQ(Send(IOCTL_ZAR_DISK_REQUEST, &request, 104, &out, 104, false).status, STATUS_ACCESS_VIOLATION);
    request.UserBufferLength = 0;
    EXPECT_EQ(Send(IOCTL_ZAR_DISK_REQUEST, &request, 104, &out, 104, false).status, STATUS_PENDING);
    EXPECT_EQ(CONTAINING_RECORD(ext_->ScsiQueue.DeviceListHead.Blink, ZAR_SCSI_ENTRY, QueueEntry.DeviceListEntry)->Mdl,
              nullptr);
    EXPECT_EQ(DrainQueues(STATUS_CANCELLED), 2u);
}

// ---- SCSI bus ownership ----

TEST_F(ZarkdIoctl, ScsiOwnershipWaitsOnTheClock)
{
    HoldQueues();
    ZAR_DISK_REQUEST request{}, out{};
    request.Operation = ZAR_DISK_OP_TEST_UNIT_READY;
    auto timed = [&](ULONG code, const void* in, ULONG inLength, NTSTATUS* status) {
        uint64_t start = nt::ClockNow();
        *status = Send(code, in, inLength, &out, code == IOCTL_ZAR_DISK_REQUEST ? 104 : 0, false).status;
        return Seconds(nt::ClockNow() - start);
    };
    NTSTATUS status;

    // Nobody holds the bus: a disk request goes straight on.
    EXPECT_LT(timed(IOCTL_ZAR_DISK_REQUEST, &request, 104, &status), 0.001);
    EXPECT_EQ(status, STATUS_PENDING);
    // A holder makes the next one wait a second, then it overtakes the bus.
    EXPECT_LT(timed(IOCTL_ZAR_ACQUIRE_SCSI, nullptr, 0, &status), 0.001);
    EXPECT_EQ(status, STATUS_SUCCESS);
    double waited = timed(IOCTL_ZAR_DISK_REQUEST, &request, 104, &status);
    EXPECT_GE(waited, 1.0);
    EXPECT_LT(waited, 1.01);
    EXPECT_EQ(status, STATUS_PENDING);
    // ...and leaves it free: the next holder gets it at once.
    EXPECT_LT(timed(IOCTL_ZAR_ACQUIRE_SCSI, nullptr, 0, &status), 0.001);
    EXPECT_EQ(status, STATUS_SUCCESS);
    // A request of the holder itself does not wait.
    request.OwnsScsi = 1;
    EXPECT_LT(timed(IOCTL_ZAR_DISK_REQUEST, &request, 104, &status), 0.001);
    EXPECT_EQ(status, STATUS_PENDING);
    // A second holder gives up after 3 s.
    waited = timed(IOCTL_ZAR_ACQUIRE_SCSI, nullptr, 0, &status);
    EXPECT_GE(waited, 3.0);
    EXPECT_LT(waited, 3.01);
    EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
    // Released, the bus is there for the asking.
    EXPECT_EQ(SendLengths(IOCTL_ZAR_RELEASE_SCSI, 0, 0).status, STATUS_SUCCESS);
    EXPECT_LT(timed(IOCTL_ZAR_ACQUIRE_SCSI, nullptr, 0, &status), 0.001);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(DrainQueues(STATUS_CANCELLED), 3u);
}

}  // namespace
