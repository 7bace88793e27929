// ZARKD start-up on a machine with simulated boards: the PCI scan over the
// named layouts, devices and links, the registry parameters, the event log,
// and what a failed or unloaded start leaves behind.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <filesystem>
#include <optional>
#include <unistd.h>
#include <string>
#include <vector>

#include "drivers/board/zar_driver.h"
#include "platform/nt/machine.h"
#include "platform/nt/nt_internal.h"
#include "sim/pci_layouts.h"
#include "tests/support/zarkd_machine.h"

namespace {

const std::u16string kServices = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";
const std::u16string kParameters = kServices + u"\\ZARKD\\Parameters";
const std::u16string kEventLogSystem = kServices + u"\\EventLog\\System";

// ---- registry helpers (kernel calls from the test thread) ----

HANDLE CreateKeyPath(const std::u16string& path)
{
    // Creates every missing component; returns a handle to the last one.
    HANDLE key = nullptr;
    size_t pos = std::u16string(u"\\Registry\\Machine").size();
    for (;;) {
        size_t next = path.find(u'\\', pos + 1);
        std::u16string part = path.substr(0, next);
        if (key != nullptr) ZwClose(key);
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, part.c_str());
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
        ULONG disposition = 0;
        NTSTATUS status = ZwCreateKey(&key, KEY_ALL_ACCESS, &attributes, 0, nullptr, 0, &disposition);
        EXPECT_EQ(status, STATUS_SUCCESS) << NtNarrow(part);
        if (next == std::u16string::npos) return key;
        pos = next;
    }
}

void SetDword(const std::u16string& keyPath, const std::u16string& value, ULONG data)
{
    HANDLE key = CreateKeyPath(keyPath);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, value.c_str());
    EXPECT_EQ(ZwSetValueKey(key, &name, 0, REG_DWORD, &data, sizeof(data)), STATUS_SUCCESS);
    ZwClose(key);
}

void SetString(const std::u16string& keyPath, const std::u16string& value, ULONG type, const std::u16string& data)
{
    HANDLE key = CreateKeyPath(keyPath);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, value.c_str());
    EXPECT_EQ(ZwSetValueKey(key, &name, 0, type, const_cast<char16_t*>(data.c_str()),
                            ULONG((data.size() + 1) * sizeof(char16_t))),
              STATUS_SUCCESS);
    ZwClose(key);
}

// The value's type and bytes, or nothing when the key or value is missing.
std::optional<std::pair<ULONG, std::vector<UCHAR>>> GetValue(const std::u16string& keyPath,
                                                              const std::u16string& value)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, keyPath.c_str());
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE key = nullptr;
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes))) return std::nullopt;
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, value.c_str());
    alignas(8) UCHAR buffer[512];
    ULONG length = 0;
    NTSTATUS status =
        ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, buffer, sizeof(buffer), &length);
    ZwClose(key);
    if (!NT_SUCCESS(status)) return std::nullopt;
    auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
    return std::make_pair(info->Type, std::vector<UCHAR>(info->Data, info->Data + info->DataLength));
}

std::optional<ULONG> GetDword(const std::u16string& keyPath, const std::u16string& value)
{
    auto v = GetValue(keyPath, value);
    if (!v || v->first != REG_DWORD || v->second.size() != 4) return std::nullopt;
    ULONG data;
    std::memcpy(&data, v->second.data(), 4);
    return data;
}

std::u16string BoardKey(ULONG board)
{
    return board == 0 ? kParameters : kParameters + char16_t(u'0' + board);
}

// ---- the machine ----

class ZarkdMachine : public ::testing::Test {
protected:
    void TearDown() override
    {
        if (nt::Machine::Running()) nt::Machine::Shutdown();
        if (!folder_.empty()) std::filesystem::remove_all(folder_);
    }

    // Boots a machine over a layout with ZARKD installed but not started.
    void Boot(const sim::PciLayout& layout)
    {
        built_ = sim::BuildTopology(layout);
        static int count = 0;
        folder_ = (std::filesystem::temp_directory_path() /
                   ("zarkd-startup-" + std::to_string(getpid()) + "-" + std::to_string(++count)))
                      .string();
        nt::MachineOptions options;
        options.folder = folder_;
        options.pci = built_.topology;
        options.loadDrivers = false;
        ASSERT_EQ(nt::Machine::Boot(options), STATUS_SUCCESS);
        SetString(kServices + u"\\ZARKD", u"ImagePath", REG_EXPAND_SZ, u"System32\\Drivers\\ZARKD.sys");
        SetDword(kServices + u"\\ZARKD", u"Type", 1);
        SetDword(kServices + u"\\ZARKD", u"Start", 3);
        CreateKeyPath(kEventLogSystem);
    }
    void Boot(const char* layoutName)
    {
        const sim::PciLayout* layout = sim::FindPciLayout(layoutName);
        ASSERT_NE(layout, nullptr) << layoutName;
        Boot(*layout);
    }

    NTSTATUS Load() { return nt::IoLoadDriver(u"ZARKD"); }

    static PDRIVER_OBJECT Driver() { return ZarkdDriver(); }
    // Board devices by board number.
    static std::vector<PZAR_DEVICE_EXTENSION> Boards() { return ZarkdBoards(); }
    static PZAR_DEVICE_EXTENSION Board(ULONG n) { return ZarkdBoard(n); }

    std::vector<ULONG> LoggedIds()
    {
        std::vector<ULONG> ids;
        for (const nt::EventLogRecord& r : nt::EventLogRead())
            if (r.source == u"ZARKD") ids.push_back(r.eventId);
        return ids;
    }

    std::u16string LinkTarget(const std::u16string& name)
    {
        for (const auto& e : ObListDirectory(u"\\??"))
            if (e.name == name) return e.linkTarget;
        return u"";
    }
    bool DeviceExists(const std::u16string& name)
    {
        for (const auto& e : ObListDirectory(u"\\Device"))
            if (e.name == name) return true;
        return false;
    }

    UCHAR ConfigByte(size_t board, ULONG offset)
    {
        UCHAR b = 0;
        built_.boards[board]->ConfigRead(offset, &b, 1);
        return b;
    }
    ULONG ConfigDword(size_t board, ULONG offset)
    {
        ULONG d = 0;
        built_.boards[board]->ConfigRead(offset, &d, 4);
        return d;
    }

    sim::BuiltTopology built_;
    std::string folder_;
};

// ---- discovery ----

TEST_F(ZarkdMachine, EveryLayoutGivesItsRecordsAndBoards)
{
    for (const sim::PciLayout& layout : sim::PciLayouts()) {
        SCOPED_TRACE(layout.name);
        Boot(layout);
        NTSTATUS status = Load();
        auto boards = Boards();
        if (layout.expectedRecords == 0) {
            EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
            EXPECT_EQ(LoggedIds(), std::vector<ULONG>{ZAR_MSG_BOARD_NOT_FOUND});
        } else {
            EXPECT_EQ(status, STATUS_SUCCESS);
            ASSERT_EQ(boards.size(), layout.expectedRecords);
            ULONG realBoards = 0;
            for (auto* ext : boards) {
                ASSERT_NE(ext, nullptr);
                realBoards += ext->HardwareInfo->BoardState == ZAR_BOARD_STATE_BOARD;
            }
            EXPECT_EQ(realBoards, layout.expectedBoards);
        }
        nt::Machine::Shutdown();
    }
}

TEST_F(ZarkdMachine, BoardsAreNumberedInScanOrder)
{
    struct Expected {
        ULONG bus, device, function, state;
    };
    const struct {
        const char* layout;
        std::vector<Expected> boards;
    } cases[] = {
        {"foreign-only", {{0, 5, 0, ZAR_BOARD_STATE_BRIDGE_ONLY}}},
        {"foreign-then-board", {{0, 6, 0, ZAR_BOARD_STATE_BOARD}}},
        {"board-then-foreign", {{0, 3, 0, ZAR_BOARD_STATE_BOARD}}},
        {"board-after-function-0", {{0, 9, 1, ZAR_BOARD_STATE_BOARD}}},
        {"board-on-bus-2", {{2, 1, 0, ZAR_BOARD_STATE_BOARD}}},
        {"three-boards", {{0, 4, 0, 2}, {0, 5, 0, 2}, {0, 6, 0, 2}}},
        {"boards-across-buses", {{0, 12, 0, 2}, {1, 2, 0, 2}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.layout);
        Boot(c.layout);
        ASSERT_EQ(Load(), STATUS_SUCCESS);
        auto boards = Boards();
        ASSERT_EQ(boards.size(), c.boards.size());
        for (size_t n = 0; n < boards.size(); ++n) {
            PZAR_HARDWARE_INFO info = boards[n]->HardwareInfo;
            EXPECT_EQ(info->BusNumber, c.boards[n].bus) << n;
            EXPECT_EQ(ZarPciSlotDevice(info->SlotNumber), c.boards[n].device) << n;
            EXPECT_EQ(ZarPciSlotFunction(info->SlotNumber), c.boards[n].function) << n;
            EXPECT_EQ(info->BoardState, c.boards[n].state) << n;
            // The record keeps the bridge's configuration as scanned.
            PCI_COMMON_CONFIG config;
            std::memcpy(&config, info->PciConfig, sizeof(config));
            EXPECT_EQ(config.VendorID, ZAR_BRIDGE_VENDOR_ID);
            EXPECT_EQ(config.DeviceID, ZAR_BRIDGE_DEVICE_ID);
        }
        nt::Machine::Shutdown();
    }
}

TEST_F(ZarkdMachine, IgnoreSubVendorIdTreatsForeignBridgeAsBoard)
{
    Boot("foreign-only");
    SetDword(kParameters + u"\\PCI", u"IgnoreSubVendorId", 1);
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    PZAR_DEVICE_EXTENSION ext = Board(0);
    ASSERT_NE(ext, nullptr);
    EXPECT_EQ(ext->HardwareInfo->BoardState, ZAR_BOARD_STATE_BOARD);
    EXPECT_NE(ext->Registers, nullptr);
    EXPECT_NE(ext->InterruptObject, nullptr);
    EXPECT_NE(ext->HardwareInfo->ApertureLow, 0u);
}

TEST_F(ZarkdMachine, ForeignBridgeIsNeverWrittenThroughItsRegisters)
{
    Boot("foreign-only");
    std::vector<std::string> trace;
    built_.boards[0]->SetTraceSink([&](const std::string& line) { trace.push_back(line); });
    built_.boards[0]->SetTraceEnabled(true);
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    built_.boards[0]->SetTraceEnabled(false);

    PZAR_DEVICE_EXTENSION ext = Board(0);
    ASSERT_NE(ext, nullptr);
    EXPECT_EQ(ext->HardwareInfo->BoardState, ZAR_BOARD_STATE_BRIDGE_ONLY);
    EXPECT_EQ(ext->Registers, nullptr);
    EXPECT_EQ(ext->InterruptObject, nullptr);
    EXPECT_EQ(ext->ScsiThread.Thread, nullptr);
    for (const std::string& line : trace) {
        // The latency byte is the one configuration write it gets.
        if (line.find("config write") != std::string::npos) {
            EXPECT_NE(line.find("config write 0x0d len 1"), std::string::npos) << line;
            continue;
        }
        EXPECT_EQ(line.find(":="), std::string::npos) << line;
        EXPECT_EQ(line.find("ISR clear"), std::string::npos) << line;
    }
    EXPECT_EQ(LoggedIds(), std::vector<ULONG>{ZAR_MSG_BOARD_FOUND_AT_BRIDGE_VENDOR_ID});
}

// ---- devices, links and release ----

TEST_F(ZarkdMachine, EachBoardGetsItsDeviceAndLinks)
{
    Boot("three-boards");
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    for (ULONG n = 0; n < 3; ++n) {
        std::u16string digit(1, char16_t(u'0' + n));
        EXPECT_TRUE(DeviceExists(u"Zar" + digit)) << n;
        EXPECT_EQ(LinkTarget(u"KIVZAR" + digit), u"\\Device\\Zar" + digit) << n;
        PZAR_DEVICE_EXTENSION ext = Board(n);
        ASSERT_NE(ext, nullptr);
        EXPECT_EQ(ext->DeviceObject->Flags & DO_DIRECT_IO, ULONG(DO_DIRECT_IO));
        EXPECT_EQ(ext->DeviceObject->DeviceType, ULONG(FILE_DEVICE_UNKNOWN));
        // Ready for the interrupt path: registers mapped, interrupt connected
        // but every source off except the I2C engine's (start-up set up the
        // video chips), seven adapters, the threads running.
        EXPECT_NE(ext->Registers, nullptr);
        EXPECT_NE(ext->InterruptObject, nullptr);
        EXPECT_EQ(built_.boards[n]->Bridge().Ier() & ~ZAR_INT_I2C, 0u);
        for (ULONG a = 0; a < ZAR_DMA_ADAPTER_COUNT; ++a) {
            EXPECT_NE(ext->DmaAdapter[a], nullptr);
            EXPECT_GE(ext->MapRegisterCount[a], ZAR_MAP_REGISTERS_WANTED);
        }
        for (ULONG p = 0; p < 4; ++p) EXPECT_EQ(BYTE_OFFSET(ext->ChannelPage[p].LogicalAddress.LowPart), 0u);
        EXPECT_EQ(ext->Audio.RecDmaSize, 65536u);
        EXPECT_EQ(ext->Audio.RecDmaHalfSize, 32768u);
        EXPECT_NE(ext->ScsiThread.Thread, nullptr);
        EXPECT_NE(ext->VinMonitorThread.Thread, nullptr);
        EXPECT_NE(ext->DspThread.Thread, nullptr);
        EXPECT_EQ(ext->SyncLevel, 3);
        EXPECT_TRUE(ext->ShutdownRegistered);
    }
    // The first board's old name goes to board 0 only.
    EXPECT_EQ(LinkTarget(u"ZAR1"), u"\\Device\\Zar0");
}

TEST_F(ZarkdMachine, UnloadLeavesNothingBehind)
{
    Boot("three-boards");
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    ASSERT_EQ(nt::IoUnloadDriver(u"ZARKD"), STATUS_SUCCESS);
    for (const char16_t* name : {u"Zar0", u"Zar1", u"Zar2"}) EXPECT_FALSE(DeviceExists(name)) << NtNarrow(name);
    for (const char16_t* name : {u"KIVZAR0", u"KIVZAR1", u"KIVZAR2", u"ZAR1"})
        EXPECT_EQ(LinkTarget(name), u"") << NtNarrow(name);
    for (ULONG tag : {ZAR_TAG_HARDWARE_INFO, ZAR_TAG_I2C, ZAR_TAG_DEBI, ZAR_TAG_BRS, ZAR_TAG_HPS, ZAR_TAG_SCSI,
                      ZAR_TAG_WORK})
        EXPECT_EQ(ExPoolBytesWithTag(tag), 0u) << std::hex << tag;
}

TEST_F(ZarkdMachine, NoBoardFailsTheLoadAndKeepsNothing)
{
    Boot("no-board");
    EXPECT_EQ(Load(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(ExPoolBytesWithTag(ZAR_TAG_HARDWARE_INFO), 0u);
    EXPECT_FALSE(DeviceExists(u"Zar0"));
}

TEST_F(ZarkdMachine, FailedBufferAllocationFailsTheLoadAndReleasesEverything)
{
    // Each case fails the second board's first buffer of one size, so the
    // first board's finished set-up must be released as well.
    static ULONG failLength, perBoard, calls;
    const struct {
        ULONG length;
        ULONG perBoard;  // buffers of that size a board takes
        ULONG message;
    } cases[] = {
        {PAGE_SIZE, 16, ZAR_MSG_PAGE_TABLE_ALLOC_FAILED},  // 13 of the channels and bridge, 3 audio DMA page tables
        {16 * 1024, 1, ZAR_MSG_PAGE_TABLE_ALLOC_FAILED},
        {32752, 1, ZAR_MSG_COMMON_BUFFER_ALLOC_FAILED},
        {32 * 1024, 1, ZAR_MSG_COMMON_BUFFER_ALLOC_FAILED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        Boot("three-boards");
        failLength = c.length;
        perBoard = c.perBoard;
        calls = 0;
        HalSetCommonBufferFailureHook([](ULONG length) { return length == failLength && ++calls > perBoard; });
        EXPECT_EQ(Load(), STATUS_INSUFFICIENT_RESOURCES);
        HalSetCommonBufferFailureHook(nullptr);
        EXPECT_EQ(calls, perBoard + 1);
        auto ids = LoggedIds();
        EXPECT_EQ(std::count(ids.begin(), ids.end(), c.message), 1);
        EXPECT_FALSE(DeviceExists(u"Zar0"));
        EXPECT_FALSE(DeviceExists(u"Zar1"));
        EXPECT_EQ(LinkTarget(u"ZAR1"), u"");
        for (ULONG tag : {ZAR_TAG_HARDWARE_INFO, ZAR_TAG_I2C, ZAR_TAG_WORK}) EXPECT_EQ(ExPoolBytesWithTag(tag), 0u);
        nt::Machine::Shutdown();
    }
}

// ---- registry ----

TEST_F(ZarkdMachine, StandardValueSelectsTheLineCounts)
{
    struct Lines {
        ULONG standard, field, frame, blocks;
    };
    const Lines k525{525, 243, 486, 684}, k625{625, 288, 576, 810};
    const struct {
        std::optional<ULONG> registry;
        Lines expected;
    } cases[] = {
        {0x625, k625}, {0x525, k525}, {625, k625}, {525, k525}, {700, k525}, {0, k525}, {std::nullopt, k525},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.registry ? std::to_string(*c.registry) : "missing");
        Boot("one-board");
        if (c.registry) SetDword(kParameters, u"Standard", *c.registry);
        ASSERT_EQ(Load(), STATUS_SUCCESS);
        PZAR_DEVICE_EXTENSION ext = Board(0);
        ASSERT_NE(ext, nullptr);
        EXPECT_EQ(ext->Standard, c.expected.standard);
        EXPECT_EQ(ext->ActiveLinesPerField, c.expected.field);
        EXPECT_EQ(ext->ActiveLinesPerFrame, c.expected.frame);
        EXPECT_EQ(ext->UncompressedFieldBlocks, c.expected.blocks);
        // A value that was there is left as the user wrote it.
        EXPECT_EQ(GetDword(kParameters, u"Standard"), c.registry ? *c.registry : 525u);
        nt::Machine::Shutdown();
    }
}

TEST_F(ZarkdMachine, MissingMainValuesGetDefaultsWrittenBack)
{
    Boot("one-board");
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    PZAR_DEVICE_EXTENSION ext = Board(0);
    ASSERT_NE(ext, nullptr);
    EXPECT_EQ(ext->EventLogLevel, 1u);
    EXPECT_EQ(ext->CoreMode, 3u);
    EXPECT_EQ(GetDword(kParameters, u"EventLogLevel"), 1u);
    EXPECT_EQ(GetDword(kParameters, u"Standard"), 525u);
    // CoreMode defaults quietly.
    EXPECT_EQ(GetDword(kParameters, u"CoreMode"), std::nullopt);
    // The optional settings keep their defaults and are not written.
    EXPECT_EQ(ext->DveWticDmaSizeWords, 64u);
    EXPECT_EQ(ext->BlackAdjust, 10u);
    EXPECT_EQ(ext->DmaTweakV, ZAR_REG_UNSET);
    EXPECT_EQ(ext->DmaTweakA, ZAR_REG_UNSET);
    EXPECT_FALSE(ext->DvePresent);
    EXPECT_EQ(GetDword(kParameters, u"BlackAdjust"), std::nullopt);
}

TEST_F(ZarkdMachine, EachBoardReadsItsOwnKeyWithBoardZeroAsDefault)
{
    Boot("three-boards");
    SetDword(kParameters, u"Standard", 0x625);
    SetDword(kParameters, u"CoreMode", 5);
    SetDword(kParameters, u"DvePresent", 1);
    SetDword(BoardKey(2), u"Standard", 525);
    SetDword(BoardKey(2), u"EventLogLevel", 2);
    SetDword(BoardKey(2), u"DvePresent", 0);
    SetDword(BoardKey(1), u"CoreMode", 9);  // CoreMode is driver-wide: ignored here
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    auto boards = Boards();
    ASSERT_EQ(boards.size(), 3u);
    EXPECT_EQ(boards[0]->Standard, 625u);
    EXPECT_EQ(boards[1]->Standard, 625u);  // no Parameters1 value: board 0's
    EXPECT_EQ(boards[2]->Standard, 525u);
    EXPECT_EQ(boards[1]->EventLogLevel, 1u);
    EXPECT_EQ(boards[2]->EventLogLevel, 2u);
    for (auto* ext : boards) EXPECT_EQ(ext->CoreMode, 5u);
    EXPECT_TRUE(boards[0]->DvePresent);
    EXPECT_TRUE(boards[1]->DvePresent);
    EXPECT_FALSE(boards[2]->DvePresent);
}

TEST_F(ZarkdMachine, LatencyOverrideSetsOnlyTheLatencyTimer)
{
    const struct {
        std::optional<ULONG> latencyOverride;
        UCHAR bios;
        UCHAR expected;
    } cases[] = {
        {5, 64, 8},     {1, 64, 8},     {8, 64, 8},      {9, 64, 9},      {300, 64, 240},
        {240, 64, 240}, {100, 200, 100}, {0, 64, 64},    {0, 20, 20},     {std::nullopt, 64, 128},
        {std::nullopt, 200, 200},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE((c.latencyOverride ? std::to_string(*c.latencyOverride) : "absent") + " over " +
                     std::to_string(c.bios));
        sim::PciLayout layout = sim::BoardsLayout(1);
        layout.slots[0].board.latencyTimer = c.bios;
        Boot(layout);
        if (c.latencyOverride) SetDword(kParameters + u"\\PCI", u"LatencyOverride", *c.latencyOverride);
        std::vector<std::string> trace;
        built_.boards[0]->SetTraceSink([&](const std::string& line) { trace.push_back(line); });
        built_.boards[0]->SetTraceEnabled(true);
        ASSERT_EQ(Load(), STATUS_SUCCESS);
        built_.boards[0]->SetTraceEnabled(false);

        PZAR_DEVICE_EXTENSION ext = Board(0);
        ASSERT_NE(ext, nullptr);
        EXPECT_EQ(ConfigByte(0, 13), c.expected);
        EXPECT_EQ(ext->HardwareInfo->PciConfig[13], c.expected);
        // The BAR the HAL assigned after the scan survives: the scan's copy
        // is never written back whole.
        EXPECT_EQ(ConfigDword(0, 0x10) & ~0xFu, ext->HardwareInfo->ApertureLow);
        for (const std::string& line : trace) EXPECT_EQ(line.find("config write 0x00 len 256"), std::string::npos);
        nt::Machine::Shutdown();
    }
}

TEST_F(ZarkdMachine, DriverSettingsAreReadAndClamped)
{
    const struct {
        std::optional<ULONG> words;
        ULONG expected;
    } cases[] = {{2, 4}, {4, 4}, {5000, 4096}, {4096, 4096}, {100, 100}, {std::nullopt, 64}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.words ? std::to_string(*c.words) : "absent");
        Boot("one-board");
        if (c.words) SetDword(kParameters, u"DveWticDmaSizeWords", *c.words);
        SetDword(kParameters, u"AudioUnderflowLogging", 7);
        SetDword(kParameters, u"BlackAdjust", 3);
        SetDword(kParameters, u"DmaTweakV", 0x100C0C10);
        ASSERT_EQ(Load(), STATUS_SUCCESS);
        PZAR_DEVICE_EXTENSION ext = Board(0);
        ASSERT_NE(ext, nullptr);
        EXPECT_EQ(ext->DveWticDmaSizeWords, c.expected);
        EXPECT_TRUE(ext->AudioUnderflowLogging);
        EXPECT_FALSE(ext->SensitiveTiming);
        EXPECT_EQ(ext->BlackAdjust, 3u);
        EXPECT_EQ(ext->DmaTweakV, 0x100C0C10u);
        EXPECT_EQ(ext->DmaTweakA, ZAR_REG_UNSET);
        nt::Machine::Shutdown();
    }
}

TEST_F(ZarkdMachine, WrongTypedValueCountsAsMissing)
{
    Boot("one-board");
    SetString(kParameters, u"Standard", REG_SZ, u"625");
    SetString(kParameters, u"EventLogLevel", REG_SZ, u"2");
    SetString(kParameters, u"DveWticDmaSizeWords", REG_SZ, u"5000");
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    PZAR_DEVICE_EXTENSION ext = Board(0);
    ASSERT_NE(ext, nullptr);
    EXPECT_EQ(ext->Standard, 525u);
    EXPECT_EQ(ext->EventLogLevel, 1u);
    EXPECT_EQ(ext->DveWticDmaSizeWords, 64u);
    // The defaults apply, but the values stay as the user wrote them.
    for (const char16_t* name : {u"Standard", u"EventLogLevel"}) {
        auto value = GetValue(kParameters, name);
        ASSERT_TRUE(value.has_value());
        EXPECT_EQ(value->first, ULONG(REG_SZ)) << NtNarrow(name);
    }
}

// ---- event log ----

TEST_F(ZarkdMachine, EventLogLevelFiltersStartupMessages)
{
    const ULONG kPerBoard[] = {ZAR_MSG_BOARD_FOUND, ZAR_MSG_DEVICE_CREATED, ZAR_MSG_RESOURCES_ALLOCATED};
    for (ULONG level : {1u, 2u, 3u}) {
        SCOPED_TRACE(level);
        Boot("three-boards");
        SetDword(kParameters, u"EventLogLevel", level);
        ASSERT_EQ(Load(), STATUS_SUCCESS);
        std::vector<ULONG> expected;
        if (level >= 2) {
            expected.push_back(ZAR_MSG_EVENT_LOGGING_ENABLED);
            for (int board = 0; board < 3; ++board) expected.insert(expected.end(), std::begin(kPerBoard), std::end(kPerBoard));
        }
        EXPECT_EQ(LoggedIds(), expected);
        nt::Machine::Shutdown();
    }
}

TEST_F(ZarkdMachine, EventSourceIsCreatedOnceWithBothValues)
{
    const std::u16string source = kEventLogSystem + u"\\ZARKD";
    Boot("one-board");
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_EQ(GetDword(source, u"TypesSupported"), 7u);
    auto file = GetValue(source, u"EventMessageFile");
    ASSERT_TRUE(file.has_value());
    EXPECT_EQ(file->first, ULONG(REG_EXPAND_SZ));
    std::u16string text(reinterpret_cast<const char16_t*>(file->second.data()), file->second.size() / 2);
    EXPECT_EQ(NtNarrow(text), std::string(ZAR_EVENT_MESSAGE_FILE) + '\0');

    // A later start leaves an existing source alone.
    SetDword(source, u"TypesSupported", 3);
    ASSERT_EQ(nt::IoUnloadDriver(u"ZARKD"), STATUS_SUCCESS);
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_EQ(GetDword(source, u"TypesSupported"), 3u);
}

TEST_F(ZarkdMachine, LogErrorWidensStringsAndRefusesOversizedEntries)
{
    Boot("one-board");
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    nt::EventLogClear();
    PDRIVER_OBJECT driver = Driver();
    ASSERT_NE(driver, nullptr);

    ULONG dump[2] = {0x11223344, 0x55667788};
    EXPECT_EQ(LogError(driver, NTSTATUS(ZAR_MSG_SCSI_DEVICE_NOT_READY), STATUS_IO_TIMEOUT, dump, USHORT(sizeof(dump)),
                       "disk 3", "", static_cast<const char*>(nullptr)),
              STATUS_SUCCESS);
    // Two 25-character strings make 48 + 2 * 52 = 152 bytes, the largest
    // entry; one character more is refused.
    std::string s25(25, 'x');
    EXPECT_EQ(LogError(driver, NTSTATUS(ZAR_MSG_SCSI_DEVICE_NOT_READY), 0, nullptr, 0, s25.c_str(), s25.c_str(),
                       static_cast<const char*>(nullptr)),
              STATUS_SUCCESS);
    std::string s26(26, 'x');
    EXPECT_EQ(LogError(driver, NTSTATUS(ZAR_MSG_SCSI_DEVICE_NOT_READY), 0, nullptr, 0, s25.c_str(), s26.c_str(),
                       static_cast<const char*>(nullptr)),
              STATUS_UNSUCCESSFUL);

    auto records = nt::EventLogRead();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].eventId, ZAR_MSG_SCSI_DEVICE_NOT_READY);
    EXPECT_EQ(records[0].finalStatus, STATUS_IO_TIMEOUT);
    EXPECT_EQ(records[0].strings, (std::vector<std::u16string>{u"disk 3", u""}));
    ASSERT_EQ(records[0].data.size(), sizeof(dump));
    EXPECT_EQ(std::memcmp(records[0].data.data(), dump, sizeof(dump)), 0);
    EXPECT_EQ(records[1].strings.size(), 2u);
}

// ---- routines checked on their own ----

TEST(ZarkdRoutines, IncPciSlotNumberWalksFunctionsThenDevices)
{
    const struct {
        ULONG device, function, mode;
        NTSTATUS status;
        ULONG nextDevice, nextFunction;
    } cases[] = {
        {0, 0, 0, STATUS_SUCCESS, 0, 1},        {0, 6, 0, STATUS_SUCCESS, 0, 7},
        {0, 7, 0, STATUS_SUCCESS, 1, 0},        {5, 3, 1, STATUS_SUCCESS, 6, 0},
        {30, 7, 0, STATUS_SUCCESS, 31, 0},      {31, 6, 0, STATUS_SUCCESS, 31, 7},
        {31, 7, 0, STATUS_UNSUCCESSFUL, 31, 7}, {31, 0, 1, STATUS_UNSUCCESSFUL, 31, 0},
        {4, 2, 2, STATUS_INVALID_PARAMETER, 4, 2},
    };
    for (const auto& c : cases) {
        PCI_SLOT_NUMBER slot;
        slot.AsULONG = ZarPciSlot(c.device, c.function);
        EXPECT_EQ(ZarIncPciSlotNumber(&slot, c.mode), c.status) << c.device << "." << c.function << " mode " << c.mode;
        EXPECT_EQ(slot.bits.DeviceNumber, c.nextDevice);
        EXPECT_EQ(slot.bits.FunctionNumber, c.nextFunction);
    }
}

TEST_F(ZarkdMachine, BoardWithoutEeprom625SupportRunsAt525Lines)
{
    // The EEPROM answers only through the I2C engine, so its answer is
    // handed in here as the start-up would take it.
    Boot("one-board-625");
    SetDword(kParameters, u"Standard", 625);
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    PZAR_DEVICE_EXTENSION ext = Board(0);
    ASSERT_NE(ext, nullptr);
    ASSERT_EQ(ext->Standard, 625u);
    ASSERT_EQ(ext->UncompressedFieldBlocks, 810u);

    const struct {
        NTSTATUS read;
        ULONG word;
        ULONG standard, field, frame, blocks, stored;
        bool logged;
    } cases[] = {
        {STATUS_SUCCESS, 0, 525, 243, 486, 684, 0, true},
        {STATUS_SUCCESS, 1, 625, 288, 576, 810, 1, false},
        {STATUS_IO_TIMEOUT, 0, 625, 288, 576, 810, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.word);
        nt::EventLogClear();
        ext->Standard = 625;
        ZarSetLineCounts(ext);
        ZarApply625Support(ext, c.read, c.word);
        EXPECT_EQ(ext->Standard, c.standard);
        EXPECT_EQ(ext->ActiveLinesPerField, c.field);
        EXPECT_EQ(ext->ActiveLinesPerFrame, c.frame);
        EXPECT_EQ(ext->UncompressedFieldBlocks, c.blocks);
        EXPECT_EQ(ext->Eeprom625Support, c.stored);
        EXPECT_EQ(LoggedIds(), c.logged ? std::vector<ULONG>{ZAR_MSG_NO_625_SUPPORT} : std::vector<ULONG>{});
    }

    // A 525-line board has nothing to give up.
    nt::EventLogClear();
    ext->Standard = 525;
    ZarSetLineCounts(ext);
    ZarApply625Support(ext, STATUS_SUCCESS, 0);
    EXPECT_EQ(ext->Standard, 525u);
    EXPECT_TRUE(LoggedIds().empty());
}

}  // namespace
