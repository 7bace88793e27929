// The board driver's interface header: the dispatch table against rows the
// driver and its callers depend on, its length rules, and the message table.
// Record sizes and offsets are asserted in the header itself.
#include "include/zarkd.h"
#include "include/zarkd_msg.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

TEST(ZarkdIoctlTable, SpotRows)
{
    struct Row {
        uint32_t code;
        const char* name;
        ZAR_LENGTH_RULE inRule;
        uint32_t in;
        ZAR_LENGTH_RULE outRule;
        uint32_t out;
        ZAR_IOCTL_WORK work;
    } rows[] = {
        {0x222004, "IOCTL_ZAR_GET_HARDWARE_INFO", ZAR_LEN_ANY, 0, ZAR_LEN_AT_LEAST, 311, ZAR_WORK_INLINE},
        {0x222008, "IOCTL_ZAR_GET_DEVICE_EXTENSION", ZAR_LEN_ANY, 0, ZAR_LEN_AT_LEAST, 30789, ZAR_WORK_INLINE},
        {0x22200c, "IOCTL_ZAR_GET_PCI_CONFIG", ZAR_LEN_AT_LEAST, 8, ZAR_LEN_AT_LEAST, 256, ZAR_WORK_INLINE},
        {0x222014, "IOCTL_ZAR_DEBI_IO", ZAR_LEN_EXACT, 28, ZAR_LEN_EXACT, 28, ZAR_WORK_QUEUED},
        {0x222044, "IOCTL_ZAR_SAA7113_SET_INPUT", ZAR_LEN_EXACT, 20, ZAR_LEN_ANY, 0, ZAR_WORK_HANDLER},
        {0x22204c, "IOCTL_ZAR_DISK_REQUEST", ZAR_LEN_EXACT, 104, ZAR_LEN_EXACT, 104, ZAR_WORK_QUEUED},
        {0x222054, "IOCTL_ZAR_GET_BOARD_STATE", ZAR_LEN_ANY, 0, ZAR_LEN_AT_LEAST, 4, ZAR_WORK_INLINE},
        {0x222098, "IOCTL_ZAR_MIX_SET_MASTER_FADE", ZAR_LEN_EXACT, 1, ZAR_LEN_ANY, 0, ZAR_WORK_HANDLER},
        {0x2220b7, "IOCTL_ZAR_POST_NODE_COMMAND", ZAR_LEN_ANY, 0, ZAR_LEN_ANY, 0, ZAR_WORK_INLINE},
        {0x2220f0, "IOCTL_ZAR_CODE_2220F0", ZAR_LEN_REFUSED, 0, ZAR_LEN_REFUSED, 0, ZAR_WORK_REFUSED},
        {0x222108, "IOCTL_ZAR_CODE_222108", ZAR_LEN_REFUSED, 0, ZAR_LEN_REFUSED, 0, ZAR_WORK_REFUSED},
        {0x222180, "IOCTL_ZAR_DVE_INIT_PERSPECTIVE_LUT", ZAR_LEN_EXACT, 16384, ZAR_LEN_ANY, 0, ZAR_WORK_HANDLER},
        {0x2221c4, "IOCTL_ZAR_DVE_PLAY_COMMAND", ZAR_LEN_EXACT, 32, ZAR_LEN_EXACT, 32, ZAR_WORK_HANDLER},
        {0x222238, "IOCTL_ZAR_GET_625_SUPPORT", ZAR_LEN_EXACT, 4, ZAR_LEN_EXACT, 4, ZAR_WORK_INLINE},
        {0x22225b, "IOCTL_ZAR_AUD_REC_SETUP", ZAR_LEN_EXACT, 88, ZAR_LEN_ANY, 0, ZAR_WORK_HANDLER},
        {0x2222a4, "IOCTL_ZAR_WAVE_OPEN_FOR_PLAY", ZAR_LEN_HANDLER, 0, ZAR_LEN_HANDLER, 0, ZAR_WORK_WAVE_FRONT},
        {0x222300, "IOCTL_ZAR_GET_24FPS_SUPPORT", ZAR_LEN_EXACT, 4, ZAR_LEN_EXACT, 4, ZAR_WORK_INLINE},
        {0x2223fc, "IOCTL_ZAR_I2C_REQUEST", ZAR_LEN_EXACT, 16, ZAR_LEN_EXACT, 16, ZAR_WORK_QUEUED},
        {0x22240c, "IOCTL_ZAR_PROC_AMP_PLAY_COMMAND", ZAR_LEN_EXACT, 36, ZAR_LEN_EXACT, 36, ZAR_WORK_HANDLER},
        {0x222944, "IOCTL_ZAR_TANDREL_VITC_SET_LINES", ZAR_LEN_ANY, 0, ZAR_LEN_ANY, 0, ZAR_WORK_TANDREL_ROUTED},
        {0x22300c, "IOCTL_ZAR_INTERNAL_DISCONNECT_STREAM", ZAR_LEN_HANDLER, 0, ZAR_LEN_HANDLER, 0, ZAR_WORK_INTERNAL},
    };
    for (const Row& r : rows) {
        const ZAR_IOCTL_ENTRY* e = ZarFindIoctl(r.code);
        ASSERT_NE(e, nullptr) << std::hex << r.code;
        EXPECT_STREQ(e->Name, r.name);
        EXPECT_EQ(e->InputRule, r.inRule) << r.name;
        EXPECT_EQ(e->InputLength, r.in) << r.name;
        EXPECT_EQ(e->OutputRule, r.outRule) << r.name;
        EXPECT_EQ(e->OutputLength, r.out) << r.name;
        EXPECT_EQ(e->Work, r.work) << r.name;
    }
    EXPECT_EQ(IOCTL_ZAR_GET_625_SUPPORT, 0x222238u);
    EXPECT_EQ(IOCTL_ZAR_JPEG_GET_NEXT_ENTRY, 0x2220BFu);
}

TEST(ZarkdIoctlTable, CompleteAndConsistent)
{
    // 175 codes of the dispatch switch (two of them refused by number),
    // 14 of the wave front and 4 internal ones.
    EXPECT_EQ(ZarIoctlCount, 191u);
    std::set<std::string> names;
    size_t wave = 0, internal = 0, queued = 0, withoutBoard = 0;
    for (const ZAR_IOCTL_ENTRY& e : ZarIoctlTable) {
        EXPECT_TRUE(names.insert(e.Name).second) << e.Name;
        EXPECT_EQ(std::strncmp(e.Name, "IOCTL_ZAR_", 10), 0) << e.Name;
        EXPECT_EQ(ZarFindIoctl(e.Code), &e) << e.Name;
        wave += e.Work == ZAR_WORK_WAVE_FRONT;
        internal += e.Work == ZAR_WORK_INTERNAL;
        queued += e.Work == ZAR_WORK_QUEUED;
        withoutBoard += e.AllowedWithoutBoard;
        if (e.Work == ZAR_WORK_WAVE_FRONT) {
            EXPECT_EQ(std::strncmp(e.Name, "IOCTL_ZAR_WAVE_", 15), 0) << e.Name;
        }
        // Method-neither codes pass their buffers unchecked except the stated input lengths.
        if (e.Method == ZAR_METHOD_NEITHER) {
            EXPECT_EQ(e.OutputRule, ZAR_LEN_ANY) << e.Name;
        }
    }
    EXPECT_EQ(wave, 14u);
    EXPECT_EQ(internal, 4u);
    EXPECT_EQ(queued, 5u);
    EXPECT_EQ(withoutBoard, 2u);
    EXPECT_TRUE(ZarFindIoctl(IOCTL_ZAR_GET_PCI_CONFIG)->AllowedWithoutBoard);
    EXPECT_TRUE(ZarFindIoctl(IOCTL_ZAR_GET_BOARD_STATE)->AllowedWithoutBoard);
}

TEST(ZarkdIoctlTable, UnknownCodesAreNotFound)
{
    // Gaps in the range, the file-system driver's codes, the bounds.
    for (uint32_t code : {0x222000u, 0x222018u, 0x222028u, 0x222048u, 0x22223cu, 0x222410u, 0x222804u, 0x223010u,
                          0x00222004u | 0x10000000u})
        EXPECT_EQ(ZarFindIoctl(code), nullptr) << std::hex << code;
}

TEST(ZarkdIoctlTable, LengthRules)
{
    struct Case {
        uint32_t code, in, out;
        bool passes;
    } cases[] = {
        {IOCTL_ZAR_GET_HARDWARE_INFO, 0, 400, true},
        {IOCTL_ZAR_GET_HARDWARE_INFO, 0, 311, true},
        {IOCTL_ZAR_GET_HARDWARE_INFO, 0, 310, false},
        {IOCTL_ZAR_GET_PCI_CONFIG, 7, 256, false},
        {IOCTL_ZAR_GET_PCI_CONFIG, 8, 255, false},
        {IOCTL_ZAR_GET_PCI_CONFIG, 12, 300, true},
        {IOCTL_ZAR_DVE_PLAY_COMMAND, 32, 32, true},
        {IOCTL_ZAR_DVE_PLAY_COMMAND, 32, 36, false},
        {IOCTL_ZAR_DVE_PLAY_COMMAND, 36, 32, false},
        {IOCTL_ZAR_MIX_SET_MASTER_FADE, 1, 12345, true},
        {IOCTL_ZAR_MIX_SET_MASTER_FADE, 2, 0, false},
        {IOCTL_ZAR_SYNCHRONIZE_EXECUTION, 3, 4, false},
        {IOCTL_ZAR_SYNCHRONIZE_EXECUTION, 4, 4, true},
        {IOCTL_ZAR_CODE_2220F0, 0, 0, false},
        {IOCTL_ZAR_CODE_222108, 8, 8, false},
        {IOCTL_ZAR_WAVE_SET_FORMAT, 0, 0, true},
        {IOCTL_ZAR_ACQUIRE_SCSI, 99, 99, true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ZarIoctlLengthsPass(*ZarFindIoctl(c.code), c.in, c.out), c.passes)
            << ZarFindIoctl(c.code)->Name << " " << c.in << "/" << c.out;
}

TEST(ZarkdHeader, RecordSizes)
{
    EXPECT_EQ(sizeof(ZAR_HARDWARE_INFO), 311u);
    EXPECT_EQ(sizeof(ZAR_DISK_REQUEST), 104u);
    EXPECT_EQ(sizeof(ZAR_SCSI_DEVICE_INFO), 196u);
    EXPECT_EQ(sizeof(ZAR_DEBI_REQUEST), 28u);
    // The records that codes return whole match the codes' lengths.
    EXPECT_EQ(ZarFindIoctl(IOCTL_ZAR_GET_HARDWARE_INFO)->OutputLength, sizeof(ZAR_HARDWARE_INFO));
    EXPECT_EQ(ZarFindIoctl(IOCTL_ZAR_DISK_REQUEST)->InputLength, sizeof(ZAR_DISK_REQUEST));
    EXPECT_EQ(ZarFindIoctl(IOCTL_ZAR_GET_SCSI_DEVICE)->OutputLength, sizeof(ZAR_SCSI_DEVICE_INFO));
    EXPECT_EQ(ZarFindIoctl(IOCTL_ZAR_DEBI_IO)->InputLength, sizeof(ZAR_DEBI_REQUEST));
    EXPECT_EQ(ZarFindIoctl(IOCTL_ZAR_SCSI_SEQ_STATUS)->InputLength, sizeof(ZAR_SCSI_SEQ_STATUS));
    EXPECT_EQ(ZarFindIoctl(IOCTL_ZAR_GET_GENLOCK)->OutputLength, sizeof(ZAR_GENLOCK));
    EXPECT_EQ(ZarFindIoctl(IOCTL_ZAR_GET_ENCODER)->OutputLength, sizeof(ZAR_ENCODER));
    EXPECT_EQ(ZarFindIoctl(IOCTL_ZAR_GET_CALIBRATION)->OutputLength, sizeof(ZAR_CALIBRATION));
    EXPECT_EQ(ZarFindIoctl(IOCTL_ZAR_GET_M2_ROUTING)->OutputLength, sizeof(ZAR_M2_ROUTING));
    EXPECT_EQ(ZarFindIoctl(IOCTL_ZAR_JPEG_PLAYLIST_QUERY)->InputLength, ZAR_CHANNEL_STATUS_SIZE);
    EXPECT_EQ(ZarFindIoctl(IOCTL_ZAR_BRS_DMA_COMMAND)->InputLength, ZAR_BRS_DMA_COMMAND_SIZE);
    EXPECT_EQ(ZarFindIoctl(IOCTL_ZAR_HPS_CAPTURE)->InputLength, ZAR_HPS_CAPTURE_REQUEST_SIZE);
    EXPECT_EQ(ZarPciSlot(31, 7), 0xFFu);
    EXPECT_TRUE(ZarIsBoardSubsystem(0x5A52, 0x0203));
    EXPECT_FALSE(ZarIsBoardSubsystem(0x5A52, 0x0204));
}

TEST(ZarkdMessages, IdentifiersTextsAndLevels)
{
    EXPECT_EQ(ZarMessageCount, 33u);
    struct Row {
        uint32_t id;
        const char* text;
    } rows[] = {
        {ZAR_MSG_EVENT_LOGGING_ENABLED, "Event logging enabled for ZARKD."},
        {ZAR_MSG_AUDIO_FIFO_UNDERFLOW, "Solvane Audio DMA FIFO underflow:  Bad audio may have been played."},
        {ZAR_MSG_RESOURCE_ALLOC_FAILED, "Solvane board failed to allocate hardware resourses."},
        {ZAR_MSG_UNEXPECTED_IO_PORT, "Solvane HAL reported unexpect IO port resource."},
        {ZAR_MSG_DMA_ADAPTER_FAILED, "Solvane board DMA Adapter object not failed."},
        {ZAR_MSG_SCSI_DEVICE_NOT_READY, "Solvane board attached SCSI device not ready."},
    };
    for (const Row& r : rows) EXPECT_STREQ(ZarFindMessage(r.id)->Text, r.text);
    EXPECT_EQ(ZAR_MSG_BOARD_NOT_FOUND, 0xC0070015u);
    EXPECT_EQ(ZAR_MSG_NO_625_SUPPORT, 0x80070030u);
    EXPECT_EQ(ZAR_MSG_BOARD_FOUND_AT_BRIDGE_VENDOR_ID, 0x40070006u);

    // Only the four informational start-up messages wait for level 2; the
    // bridge-only notice is informational too but always logged.
    std::set<uint32_t> levelTwo;
    for (const ZAR_MESSAGE& m : ZarMessageTable)
        if (!ZarMsgLoggedAtLevel(m.Id, 1)) levelTwo.insert(m.Id);
    EXPECT_EQ(levelTwo, (std::set<uint32_t>{ZAR_MSG_EVENT_LOGGING_ENABLED, ZAR_MSG_BOARD_FOUND,
                                            ZAR_MSG_RESOURCES_ALLOCATED, ZAR_MSG_DEVICE_CREATED}));
    for (uint32_t id : levelTwo) EXPECT_TRUE(ZarMsgLoggedAtLevel(id, 2));
    EXPECT_TRUE(ZarMsgLoggedAtLevel(ZAR_MSG_BOARD_FOUND_AT_BRIDGE_VENDOR_ID, 0));
    EXPECT_FALSE(ZarMsgLoggedAtLevel(0xC0070099, 5));
}
