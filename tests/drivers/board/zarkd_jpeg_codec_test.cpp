// The JPEG codecs as the driver runs them on the simulated board: the
// initialisation programme as the codec received it, and a channel that
// records the test pattern into SDRAM and plays it back on the field clock.

#include <gtest/gtest.h>

#include <map>

#include "drivers/board/zar_driver.h"
#include "platform/nt/clock.h"
#include "tests/drivers/board/zarkd_ioctl_machine.h"
#include "tests/support/jpeg_programme.h"

namespace {

class ZarkdJpegCodec : public ZarkdIoctlMachine, public testing::WithParamInterface<const char*> {
protected:
    const char* Layout() const override { return GetParam(); }

    void SetUp() override
    {
        ZarkdIoctlMachine::SetUp();
        if (HasFatalFailure()) return;
        // The driver runs at the board's standard, as its registry would set it.
        ext_->Standard = ULONG(Board().Options().standard);
        ZarSetLineCounts(ext_);
    }

    void RunFields(uint64_t fields)
    {
        uint64_t target = Board().Clock().FieldCount() + fields;
        while (Board().Clock().FieldCount() < target) nt::ClockRunFor(1000000);
        nt::ClockRunUntilIdle();
    }
    NTSTATUS Command(ZAR_JPEG_COMMAND c)
    {
        return Send(IOCTL_ZAR_JPEG_COMMAND, &c, sizeof(c), &c, sizeof(c)).status;
    }
};

// What each register of codec 0 holds after the programme, for play and
// record, against the register list the codec model was built from.
TEST_P(ZarkdJpegCodec, InitialisationLoadsTheProgrammeOfTheStandardAndDirection)
{
    const int standard = Board().Options().standard;
    ASSERT_EQ(ext_->Standard, ULONG(standard));
    ZarJpegReset(ext_);
    for (bool record : {false, true}) {
        SCOPED_TRACE(record ? "record" : "play");
        ZAR_JPEG_COMMAND c = {};
        c.Command = record ? ZAR_JPEG_CMD_RECORD : ZAR_JPEG_CMD_INIT;
        ASSERT_EQ(ZarJpegCodecInit(ext_, 0, &c), STATUS_SUCCESS);
        sim::JpegCodec& codec = Board().Jpeg().Codec(0);
        EXPECT_TRUE(codec.Loaded()) << codec.LoadError();
        std::map<uint32_t, uint8_t> expected;
        for (auto [reg, value] : simtest::CodecProgramme(standard, record)) expected[reg] = value;
        expected.erase(0x00);   // the load strobe reads back 0
        for (auto [reg, value] : expected) ASSERT_EQ(codec.ReadRegister(reg), value) << std::hex << reg;
        EXPECT_EQ(codec.FieldLines(), standard == 625 ? 288 : 248);
        EXPECT_EQ(ext_->Jpeg.Channel[0].State.StateWord, ZAR_VIDEO_IDLE);
    }
    ZAR_JPEG_COMMAND c = {};
    EXPECT_EQ(ZarJpegCodecInit(ext_, 2, &c), STATUS_UNSUCCESSFUL);
}

// A multi-byte write sets the address high byte again where it changes, and
// each data write carries the rest of the value (the register keeps its low byte).
TEST_P(ZarkdJpegCodec, MultiByteWritesCrossARegisterPage)
{
    ZarJpegReset(ext_);
    ZarJpegRegWrite16(ext_, 0, 0xFF, 0x1234);
    sim::JpegCodec& codec = Board().Jpeg().Codec(0);
    EXPECT_EQ(codec.ReadRegister(0xFF), 0x12);
    EXPECT_EQ(codec.ReadRegister(0x100), 0x34);
    ZarJpegRegWrite32(ext_, 1, 0x1FE, 0xA1B2C3D4);
    sim::JpegCodec& codec1 = Board().Jpeg().Codec(1);
    EXPECT_EQ(codec1.ReadRegister(0x1FE), 0xA1);
    EXPECT_EQ(codec1.ReadRegister(0x1FF), 0xB2);
    EXPECT_EQ(codec1.ReadRegister(0x200), 0xC3);
    EXPECT_EQ(codec1.ReadRegister(0x201), 0xD4);
    EXPECT_EQ(ZarJpegRegRead(ext_, 1, 0x22) & 0xFF, sim::jpeg::kCodecId);
}

// Record the test pattern through codec 0 into SDRAM, fetch the descriptors,
// move the fields into the play ring, queue them as play nodes on channel 20
// and play them back through the same codec: every played field decodes, and the picture matches the source.
TEST_P(ZarkdJpegCodec, RecordedFieldsPlayBackMatchingTheSource)
{
    const double kMinPsnr = 30.0;
    ZAR_JPEG_COMMAND reset = {};
    reset.Command = ZAR_JPEG_CMD_RESET;
    reset.Channel = 2;
    ASSERT_TRUE(NT_SUCCESS(Command(reset)));

    ZAR_JPEG_COMMAND record = {};
    record.Command = ZAR_JPEG_CMD_RECORD;
    record.RateMode = 1;
    record.UpperSize[0] = record.UpperSize[1] = 60;
    record.End = ZAR_JPEG_NO_OUT_POINT;
    ASSERT_EQ(Command(record), STATUS_SUCCESS);
    ASSERT_EQ(ext_->Jpeg.Channel[0].State.StateWord, ZAR_VIDEO_RECORD);
    RunFields(16);
    ULONG stop = 0;
    ASSERT_EQ(Send(IOCTL_ZAR_JPEG_PLAYLIST_STOP, &stop, 4, &stop, 4).status, STATUS_SUCCESS);
    RunFields(3);
    EXPECT_EQ(ext_->Jpeg.Channel[0].State.StateWord, ZAR_VIDEO_IDLE);
    EXPECT_EQ(ext_->Jpeg.Channel[0].State.ErrorFlag, 0u);
    EXPECT_GE(Board().Jpeg().Codec(0).FieldsEncoded(), 12u);

    struct Node {
        ZAR_NODE_RECORD head;
        ULONG address, size;
    };
    std::vector<Node> nodes;
    ZAR_JPEG_FIELD_DESCRIPTOR d;
    ULONG head = 0;
    while (ZarJpegGetNextEntry(ext_, ZAR_JPEG_RECORD_CHANNEL, &d) == STATUS_SUCCESS) {
        ASSERT_EQ(d.Dropped, 0u);
        ASSERT_GT(d.Size, 1u);
        ASSERT_LE(d.Size, 90u) << "the hard limit of an upper size of 60";
        // From the parity's record bank to the play ring, as the disk round trip would.
        std::vector<UCHAR> field(size_t(d.Size) * ZAR_JPEG_BLOCK_BYTES);
        Board().Memory().Read(d.Address, sim::Sdram::RecordBankMode(d.Parity), 0, field.data(), ULONG(field.size()));
        Board().Memory().Write(head, sim::Sdram::kModeRing, 0, field.data(), ULONG(field.size()));
        nodes.push_back({{16, 0, 0, 0, d.Position}, head, d.Size});
        head += d.Size;
    }
    ASSERT_GE(nodes.size(), 12u);

    ZAR_JPEG_COMMAND play = {};
    play.Command = ZAR_JPEG_CMD_PLAY;
    play.Start = nodes.front().head.Field;
    play.End = nodes.back().head.Field + 1;
    ASSERT_EQ(ZarPlyInsertNodes(ext_, ZAR_FX_CHANNEL_VIDEO0, nodes.data(), ULONG(nodes.size())), STATUS_SUCCESS);
    const uint64_t decodedBefore = Board().Jpeg().Codec(0).FieldsDecoded();
    ASSERT_EQ(Command(play), STATUS_SUCCESS);
    RunFields(nodes.size() + 4);
    sim::JpegCodec& codec = Board().Jpeg().Codec(0);
    EXPECT_EQ(codec.DecodeErrors(), 0u) << codec.LastError();
    EXPECT_GE(codec.FieldsDecoded() - decodedBefore, nodes.size() - 2);
    EXPECT_EQ(ext_->Jpeg.Channel[0].State.StateWord, ZAR_VIDEO_HOLD) << "holds the last frame at the end";

    for (int parity = 0; parity < 2; ++parity) {
        const sim::VideoField& shown = Board().VideoOut().Field(0, parity);
        double best = 0;
        for (uint64_t f = 0; f < 2; ++f) best = std::max(best, sim::Psnr(shown, Board().VideoIn().Field(f)));
        EXPECT_GE(best, kMinPsnr) << "parity " << parity;
    }
}

INSTANTIATE_TEST_SUITE_P(Standards, ZarkdJpegCodec, testing::Values("one-board", "one-board-625"));

}  // namespace
