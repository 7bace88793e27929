// The demo's media-volume section on a machine of its own: it formats a
// board's drives only when every one is blank; a volume with a drive missing
// or a drive whose volume entry is damaged is named and left as it is, so
// putting the image back brings every folder back. The listing tells what
// discovery left out.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "tests/drivers/mediafs/mediafs_machine.h"
#include "tools/media_volumes.h"

namespace {

class DemoMediaVolumes : public MediaFsMachine {
protected:
    // The section on board 0, and what it printed.
    std::string Show()
    {
        testing::internal::CaptureStdout();
        ShowMediaVolumes({0}, &built_);
        return testing::internal::GetCapturedStdout();
    }

    // A two-drive volume "Media" holding the folder "Clips".
    void MakeVolumeWithAFolder()
    {
        ASSERT_EQ(FormatMediaVolume(0, u"Media", {0, 1}), ZARFS_FORMAT_OK);
        ULONG slot = 0;
        ASSERT_EQ(ZarFsHwCreateFolder(Hw(), Volumes().at(0), u"Clips", 5, &slot), STATUS_SUCCESS);
    }

    // The machine started again over the drives as they are now; drive 1
    // left off the bus when 'withoutDrive1' (its image gone, and not made
    // again since it held data).
    void Restart(bool withoutDrive1)
    {
        nt::Machine::Shutdown();
        sim::BoardOptions board;
        board.drives = {Drive(0), Drive(1)};
        board.drives[1].createImage = !withoutDrive1;
        sim::BuiltTopology old = std::move(built_);
        built_ = sim::BuildTopology(sim::BoardsLayout(1, 4, board));
        Options().pci = built_.topology;
        ASSERT_EQ(nt::Machine::Boot(Options()), STATUS_SUCCESS);
        ASSERT_EQ(LoadDriver(u"ZARKD"), STATUS_SUCCESS);
        nt::ClockRunUntilIdle();
        ASSERT_EQ(LoadFs(), STATUS_SUCCESS);
    }

    // Blocks 0-1 and the folder area of a drive.
    std::vector<UCHAR> Metadata(int id)
    {
        std::vector<UCHAR> bytes = ImageBlocks(id, 0, 2);
        std::vector<UCHAR> folders =
            ImageBlocks(id, ULONG(kDriveBlocks - ZARFS_FOLDER_AREA_BLOCKS), ZARFS_FOLDER_AREA_BLOCKS);
        bytes.insert(bytes.end(), folders.begin(), folders.end());
        return bytes;
    }
};

TEST_F(DemoMediaVolumes, FormatsBlankDrivesAndFindsTheVolumeNextTime)
{
    std::string out = Show();
    EXPECT_NE(out.find("blank drives 0 1 as one striped volume \"Media\": formatted"), std::string::npos) << out;
    Restart(false);
    out = Show();
    EXPECT_NE(out.find("found at start-up"), std::string::npos) << out;
}

// A drive that holds a volume's entry, complete or not, is never formatted
// unasked; the section names what is wrong.
TEST_F(DemoMediaVolumes, AMissingOrDamagedDriveIsNamedAndNothingIsFormatted)
{
    const std::string image1 = Drive(1).image;
    struct Row {
        const char* what;
        std::function<void()> harm, mend;
        std::vector<const char*> said;
    } rows[] = {
        {"drive 1's image missing",
         [&] { std::filesystem::rename(image1, image1 + ".away"); },
         [&] { std::filesystem::rename(image1 + ".away", image1); },
         {"volume \"Media\" is missing its drive 2 of 2", "SCSI id 1 not attached", "nothing formatted"}},
        {"blocks 0-1 of drive 0 damaged",
         [&] {
             std::vector<UCHAR> junk(2 * kBlock, 0x5A);
             WriteImageBlocks(0, 0, junk.data(), junk.size());
         },
         nullptr,
         {"volume \"Media\" is missing its drive 1 of 2",
          "SCSI id 0 (" /* its image named */, "drive0.img): blocks 0-1 hold no volume entry", "nothing formatted"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_NO_FATAL_FAILURE(MakeVolumeWithAFolder());
        std::vector<UCHAR> kept0 = Metadata(0), kept1 = Metadata(1);
        row.harm();
        // The damage is the row's; everything else must stay as it was.
        if (row.mend == nullptr) kept0 = Metadata(0);
        ASSERT_NO_FATAL_FAILURE(Restart(row.mend != nullptr));

        const std::string out = Show();
        for (const char* text : row.said) EXPECT_NE(out.find(text), std::string::npos) << text << "\n" << out;
        EXPECT_EQ(out.find("formatted ("), std::string::npos) << out;
        EXPECT_EQ(Metadata(0), kept0);
        if (row.mend != nullptr) row.mend();
        EXPECT_EQ(Metadata(1), kept1);

        if (row.mend != nullptr) {
            // The image back, the volume is whole with its folder.
            ASSERT_NO_FATAL_FAILURE(Restart(false));
            ASSERT_EQ(Volumes().size(), 1u);
            ZARFS_HW_VOLUME* v = Volumes()[0];
            EXPECT_TRUE(ZarFsHwVolumeUsable(v));
            EXPECT_EQ(v->FolderCount, 1u);
        }
        // The next row starts from blank drives.
        std::vector<UCHAR> zeros(2 * kBlock, 0);
        for (int id : {0, 1}) WriteImageBlocks(id, 0, zeros.data(), zeros.size());
        ASSERT_NO_FATAL_FAILURE(Restart(false));
    }
}

// zar-volumes lists what discovery left out: a folder slot that named a
// file another slot holds, with the volume and both slots.
TEST_F(DemoMediaVolumes, TheListingNamesTheSlotDiscoveryLeftOut)
{
    ASSERT_EQ(FormatMediaVolume(0, u"Media", {0, 1}), ZARFS_FORMAT_OK);
    ZARFS_HW_VOLUME* v = Volumes().at(0);
    ULONG a = 0, b = 0, file = 0;
    ASSERT_EQ(ZarFsHwCreateFolder(Hw(), v, u"A", 1, &a), STATUS_SUCCESS);
    ASSERT_EQ(ZarFsHwCreateFolder(Hw(), v, u"B", 1, &b), STATUS_SUCCESS);
    ZAR_FILE_INFO clip{};
    clip.CreationTime = 5;
    ZarFsHwStoreName(clip.Name, u"one.kiv", 7);
    ASSERT_EQ(ZarFsHwCreateFileEntry(Hw(), v, a, &clip, &file), STATUS_SUCCESS);
    const ULONG at = ZarFsHwFolderBlock(v->FolderAreaFirst, b);
    ZARFS_DIR_ENTRY folder;
    std::vector<UCHAR> bytes = ImageBlocks(0, at, ZARFS_DIR_ENTRY_BLOCKS);
    std::memcpy(&folder, bytes.data(), sizeof folder);
    folder.FileSlots[3] = file;
    folder.FileCount = 1;
    ZarFsHwSetChecksum(&folder, ZarFsEntryDir);
    WriteImageBlocks(0, at, &folder, sizeof folder);

    const uint64_t mark = LastEventSequence();
    ASSERT_EQ(RestartFs(), STATUS_SUCCESS);
    std::vector<ZAR_VOLUME_INFO> volumes;
    ASSERT_TRUE(ListMediaVolumes(0, &volumes));
    auto said = [&](unsigned long board, uint64_t after) {
        testing::internal::CaptureStdout();
        PrintLeftOutAtDiscovery(board, volumes, after);
        return testing::internal::GetCapturedStdout();
    };
    const std::string expected = "left out of \"Media\": slot 3 of folder 1 named the file entry at block " +
                                 std::to_string(file) + ", which slot 0 of folder 0 holds; the repeat was cleared\n";
    EXPECT_NE(said(0, mark).find(expected), std::string::npos) << said(0, mark);
    // Entries of an earlier start, and another board's, are not this listing's.
    EXPECT_EQ(said(0, LastEventSequence()), "");
    EXPECT_EQ(said(1, mark), "");
}

}  // namespace
