// Event-log messages of the board driver ZARKD: identifiers of its message
// table (NT status style, facility 7: 0x4007xxxx information, 0x8007xxxx
// warning, 0xC007xxxx error) and their texts.
//
// The texts are stored here without the line break that ends each entry of
// the message-table resource (ZAR_MESSAGE_LINE_END). Informational start-up
// messages carry MinLevel 2: they are logged only when EventLogLevel >= 2.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr const char* ZAR_EVENT_SOURCE = "ZARKD";
inline constexpr const char* ZAR_EVENT_MESSAGE_FILE =
    "%SystemRoot%\\System32\\IoLogMsg.dll;%SystemRoot%\\System32\\Drivers\\ZARKD.sys";
inline constexpr uint32_t ZAR_EVENT_TYPES_SUPPORTED = 7;
inline constexpr uint32_t ZAR_EVENT_LOG_LEVEL_DEFAULT = 1;
inline constexpr uint32_t ZAR_EVENT_ENTRY_MAX = 152;  // the system's error-log packet limit
inline constexpr uint32_t ZAR_EVENT_ENTRY_HEAD = 48;
inline constexpr const char* ZAR_MESSAGE_LINE_END = "\r\n";

inline constexpr uint32_t ZAR_MSG_EVENT_LOGGING_ENABLED = 0x40070001;
inline constexpr uint32_t ZAR_MSG_BOARD_FOUND = 0x40070005;
inline constexpr uint32_t ZAR_MSG_BOARD_FOUND_AT_BRIDGE_VENDOR_ID = 0x40070006;
inline constexpr uint32_t ZAR_MSG_RESOURCES_ALLOCATED = 0x40070013;
inline constexpr uint32_t ZAR_MSG_DEVICE_CREATED = 0x40070014;
inline constexpr uint32_t ZAR_MSG_NO_625_SUPPORT = 0x80070030;
inline constexpr uint32_t ZAR_MSG_AUDIO_FIFO_UNDERFLOW = 0x80070031;
inline constexpr uint32_t ZAR_MSG_WARP_BUFFER_ALLOC_FAILED = 0xC0070007;
inline constexpr uint32_t ZAR_MSG_PLAYLIST_BUFFER_ALLOC_FAILED = 0xC0070008;
inline constexpr uint32_t ZAR_MSG_COMMON_BUFFER_ALLOC_FAILED = 0xC007000A;
inline constexpr uint32_t ZAR_MSG_MAP_REGISTERS_ALLOC_FAILED = 0xC007000B;
inline constexpr uint32_t ZAR_MSG_SCSI_THREAD_START_FAILED = 0xC007000C;
inline constexpr uint32_t ZAR_MSG_VIDEO_MONITOR_THREAD_START_FAILED = 0xC007000D;
inline constexpr uint32_t ZAR_MSG_AUDIO_DSP_THREAD_START_FAILED = 0xC007000E;
inline constexpr uint32_t ZAR_MSG_BOARD_NOT_FOUND = 0xC0070015;
inline constexpr uint32_t ZAR_MSG_RESOURCE_ALLOC_FAILED = 0xC0070016;
inline constexpr uint32_t ZAR_MSG_UNEXPECTED_IO_PORT = 0xC0070018;
inline constexpr uint32_t ZAR_MSG_APERTURE_NOT_READ_WRITE = 0xC007001B;
inline constexpr uint32_t ZAR_MSG_APERTURE_WRONG_SIZE = 0xC007001C;
inline constexpr uint32_t ZAR_MSG_NO_MEMORY_BASE = 0xC007001E;
inline constexpr uint32_t ZAR_MSG_NO_INTERRUPT_VECTOR = 0xC007001F;
inline constexpr uint32_t ZAR_MSG_DEVICE_CREATE_FAILED = 0xC0070020;
inline constexpr uint32_t ZAR_MSG_SYMBOLIC_LINK_FAILED = 0xC0070021;
inline constexpr uint32_t ZAR_MSG_ISR_CONNECT_FAILED = 0xC0070022;
inline constexpr uint32_t ZAR_MSG_FLEX_FILE_ACCESS_FAILED = 0xC0070023;
inline constexpr uint32_t ZAR_MSG_FLEX_BUFFER_ALLOC_FAILED = 0xC0070024;
inline constexpr uint32_t ZAR_MSG_FLEX_FILE_READ_FAILED = 0xC0070025;
inline constexpr uint32_t ZAR_MSG_FLEX_FILE_WRONG_STANDARD = 0xC0070026;
inline constexpr uint32_t ZAR_MSG_FLEX_FILE_BAD_HEADER = 0xC0070027;
inline constexpr uint32_t ZAR_MSG_DMA_ADAPTER_FAILED = 0xC0070028;
inline constexpr uint32_t ZAR_MSG_PAGE_TABLE_ALLOC_FAILED = 0xC0070029;
inline constexpr uint32_t ZAR_MSG_PAGE_TABLE_ALIGNMENT = 0xC007002A;
inline constexpr uint32_t ZAR_MSG_SCSI_DEVICE_NOT_READY = 0xC007002F;

struct ZAR_MESSAGE {
    uint32_t Id;
    const char* Name;
    uint32_t MinLevel;   // 0: always logged; 2: only at EventLogLevel >= 2
    const char* Text;
};

inline constexpr ZAR_MESSAGE ZarMessageTable[] = {
    {ZAR_MSG_EVENT_LOGGING_ENABLED, "ZAR_MSG_EVENT_LOGGING_ENABLED", 2, "Event logging enabled for ZARKD."},
    {ZAR_MSG_BOARD_FOUND, "ZAR_MSG_BOARD_FOUND", 2, "Solvane board PCI device found."},
    {ZAR_MSG_BOARD_FOUND_AT_BRIDGE_VENDOR_ID, "ZAR_MSG_BOARD_FOUND_AT_BRIDGE_VENDOR_ID", 0, "Solvane board found at Philips PCI Vendor Id."},
    {ZAR_MSG_RESOURCES_ALLOCATED, "ZAR_MSG_RESOURCES_ALLOCATED", 2, "Solvane board hardware resources successfully allocated."},
    {ZAR_MSG_DEVICE_CREATED, "ZAR_MSG_DEVICE_CREATED", 2, "Solvane board NT device successfully created."},
    {ZAR_MSG_NO_625_SUPPORT, "ZAR_MSG_NO_625_SUPPORT", 0, "Solvane board does not support 625 line operating mode."},
    {ZAR_MSG_AUDIO_FIFO_UNDERFLOW, "ZAR_MSG_AUDIO_FIFO_UNDERFLOW", 0, "Solvane Audio DMA FIFO underflow:  Bad audio may have been played."},
    {ZAR_MSG_WARP_BUFFER_ALLOC_FAILED, "ZAR_MSG_WARP_BUFFER_ALLOC_FAILED", 0, "Solvane board failed to allocate internal warp buffers."},
    {ZAR_MSG_PLAYLIST_BUFFER_ALLOC_FAILED, "ZAR_MSG_PLAYLIST_BUFFER_ALLOC_FAILED", 0, "Solvane board failed to allocate playlist buffers."},
    {ZAR_MSG_COMMON_BUFFER_ALLOC_FAILED, "ZAR_MSG_COMMON_BUFFER_ALLOC_FAILED", 0, "Solvane board failed to allocate common buffer for dma."},
    {ZAR_MSG_MAP_REGISTERS_ALLOC_FAILED, "ZAR_MSG_MAP_REGISTERS_ALLOC_FAILED", 0, "Solvane board failed to allocate DMA map registers."},
    {ZAR_MSG_SCSI_THREAD_START_FAILED, "ZAR_MSG_SCSI_THREAD_START_FAILED", 0, "Solvane board failed to start SCSI command thread."},
    {ZAR_MSG_VIDEO_MONITOR_THREAD_START_FAILED, "ZAR_MSG_VIDEO_MONITOR_THREAD_START_FAILED", 0, "Solvane board failed to start Video monitoring thread."},
    {ZAR_MSG_AUDIO_DSP_THREAD_START_FAILED, "ZAR_MSG_AUDIO_DSP_THREAD_START_FAILED", 0, "Solvane board failed to start Audio DSP command thread."},
    {ZAR_MSG_BOARD_NOT_FOUND, "ZAR_MSG_BOARD_NOT_FOUND", 0, "Solvane board not found during PCI bus scan."},
    {ZAR_MSG_RESOURCE_ALLOC_FAILED, "ZAR_MSG_RESOURCE_ALLOC_FAILED", 0, "Solvane board failed to allocate hardware resourses."},
    {ZAR_MSG_UNEXPECTED_IO_PORT, "ZAR_MSG_UNEXPECTED_IO_PORT", 0, "Solvane HAL reported unexpect IO port resource."},
    {ZAR_MSG_APERTURE_NOT_READ_WRITE, "ZAR_MSG_APERTURE_NOT_READ_WRITE", 0, "Solvane board memory aperture access is not R/W."},
    {ZAR_MSG_APERTURE_WRONG_SIZE, "ZAR_MSG_APERTURE_WRONG_SIZE", 0, "Solvane board PCI memory aperture assigned incorrect size."},
    {ZAR_MSG_NO_MEMORY_BASE, "ZAR_MSG_NO_MEMORY_BASE", 0, "Solvane board no memory base address was allocated."},
    {ZAR_MSG_NO_INTERRUPT_VECTOR, "ZAR_MSG_NO_INTERRUPT_VECTOR", 0, "Solvane board no interrupt vector was allocated."},
    {ZAR_MSG_DEVICE_CREATE_FAILED, "ZAR_MSG_DEVICE_CREATE_FAILED", 0, "Solvane board failed to create NT device object."},
    {ZAR_MSG_SYMBOLIC_LINK_FAILED, "ZAR_MSG_SYMBOLIC_LINK_FAILED", 0, "Solvane board failed to create Win32 symbolic link."},
    {ZAR_MSG_ISR_CONNECT_FAILED, "ZAR_MSG_ISR_CONNECT_FAILED", 0, "Solvane board failed to connect ISR routine."},
    {ZAR_MSG_FLEX_FILE_ACCESS_FAILED, "ZAR_MSG_FLEX_FILE_ACCESS_FAILED", 0, "Solvane board failed to access Flex program file."},
    {ZAR_MSG_FLEX_BUFFER_ALLOC_FAILED, "ZAR_MSG_FLEX_BUFFER_ALLOC_FAILED", 0, "Solvane board failed to allocate Flex program buffer."},
    {ZAR_MSG_FLEX_FILE_READ_FAILED, "ZAR_MSG_FLEX_FILE_READ_FAILED", 0, "Solvane board Flex program file read failed."},
    {ZAR_MSG_FLEX_FILE_WRONG_STANDARD, "ZAR_MSG_FLEX_FILE_WRONG_STANDARD", 0, "Solvane board invalid Flex program file standard (525/625)."},
    {ZAR_MSG_FLEX_FILE_BAD_HEADER, "ZAR_MSG_FLEX_FILE_BAD_HEADER", 0, "Solvane board unexpected Flex program file header data."},
    {ZAR_MSG_DMA_ADAPTER_FAILED, "ZAR_MSG_DMA_ADAPTER_FAILED", 0, "Solvane board DMA Adapter object not failed."},
    {ZAR_MSG_PAGE_TABLE_ALLOC_FAILED, "ZAR_MSG_PAGE_TABLE_ALLOC_FAILED", 0, "Solvane board DMA page table allocation failed."},
    {ZAR_MSG_PAGE_TABLE_ALIGNMENT, "ZAR_MSG_PAGE_TABLE_ALIGNMENT", 0, "Solvane board DMA page table alignment error."},
    {ZAR_MSG_SCSI_DEVICE_NOT_READY, "ZAR_MSG_SCSI_DEVICE_NOT_READY", 0, "Solvane board attached SCSI device not ready."},
};
inline constexpr size_t ZarMessageCount = sizeof(ZarMessageTable) / sizeof(ZarMessageTable[0]);

constexpr const ZAR_MESSAGE* ZarFindMessage(uint32_t id)
{
    for (const ZAR_MESSAGE& m : ZarMessageTable)
        if (m.Id == id) return &m;
    return nullptr;
}

// Severity from the identifier's top two bits: 1 informational, 2 warning, 3 error.
constexpr uint32_t ZarMsgSeverity(uint32_t id) { return id >> 30; }
constexpr uint32_t ZarMsgFacility(uint32_t id) { return (id >> 16) & 0xFFF; }

// Whether a message is logged at the given EventLogLevel.
constexpr bool ZarMsgLoggedAtLevel(uint32_t id, uint32_t eventLogLevel)
{
    const ZAR_MESSAGE* m = ZarFindMessage(id);
    return m != nullptr && eventLogLevel >= m->MinLevel;
}

constexpr bool ZarMessageTableIsWellFormed()
{
    for (size_t i = 0; i < ZarMessageCount; ++i) {
        const ZAR_MESSAGE& m = ZarMessageTable[i];
        if (ZarMsgFacility(m.Id) != 7 || ZarMsgSeverity(m.Id) == 0) return false;
        if (m.MinLevel != 0 && ZarMsgSeverity(m.Id) != 1) return false;
        for (size_t j = 0; j < i; ++j)
            if (ZarMessageTable[j].Id == m.Id) return false;
    }
    return true;
}
static_assert(ZarMessageTableIsWellFormed());
