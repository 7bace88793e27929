// ZARKD's FPGA image loader, driven through IOCTL_ZAR_FLEX_DOWNLOAD from
// user mode: image files of every kind written into the machine's drivers
// folder, the status and event-log entry each one gives, the FPGA state the
// driver reports, and what the simulated FPGAs really run.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>

#include "zarkd_ioctl_machine.h"

namespace {

using fpgaimages::ImageFile;

struct Download {
    NTSTATUS status;
    ULONG bytes;
    ULONG out[4];
};

class ZarkdFlex : public ZarkdIoctlMachine {
protected:
    sim::Fpgas& Fpgas() { return Board().FpgaUnit(); }

    std::filesystem::path DriversFolder() const
    {
        return std::filesystem::path(Folder()) / "drives/C/WINNT/system32/drivers";
    }
    void InstallFile(const std::vector<uint8_t>& bytes, int revision = 3)
    {
        std::ofstream out(DriversFolder() / fpgaimages::ImageFileName(revision), std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        ASSERT_TRUE(out.good());
    }

    // The driver's idea of the board and the hardware's must agree.
    void SetBoard(int standard, bool dve)
    {
        ext_->Standard = standard;
        ext_->DvePresent = dve;
        Fpgas().SetConfig({3, standard, dve});
    }

    Download Send(ULONG dword0)
    {
        ULONG in[4] = {dword0, 0, 0, 0};
        Download d{};
        d.out[0] = 0xDEADBEEF;
        Result r = ZarkdIoctlMachine::Send(IOCTL_ZAR_FLEX_DOWNLOAD, in, sizeof(in), d.out, sizeof(d.out));
        d.status = r.status;
        d.bytes = r.bytes;
        return d;
    }

    sim::Eeprom& Eeprom() { return Board().EepromUnit(); }
    void StoreChoice(std::array<uint8_t, 4> choice)
    {
        for (int f = 0; f < 4; ++f) Eeprom().SetByte(uint8_t(sim::eeprom::kFpgaChoice + f), choice[f]);
    }
    std::array<uint8_t, 4> StoredChoice()
    {
        std::array<uint8_t, 4> choice;
        for (int f = 0; f < 4; ++f) choice[f] = Eeprom().Byte(uint8_t(sim::eeprom::kFpgaChoice + f));
        return choice;
    }
    // A board fresh from the factory: FPGAs cleared, no image choice stored.
    void PowerOn(int standard, bool dve)
    {
        Fpgas().Reset();
        ext_->FpgaState = 0;
        SetBoard(standard, dve);
        StoreChoice({0xFF, 0xFF, 0xFF, 0xFF});
    }

    std::vector<ULONG> FlexMessages(std::vector<std::string>* names = nullptr)
    {
        std::vector<ULONG> ids;
        for (const nt::EventLogRecord& r : nt::EventLogRead())
            if (r.source == u"ZARKD" && r.eventId >= ZAR_MSG_FLEX_FILE_ACCESS_FAILED &&
                r.eventId <= ZAR_MSG_FLEX_FILE_BAD_HEADER) {
                ids.push_back(r.eventId);
                if (names) names->push_back(r.strings.size() == 1 ? std::string(r.strings[0].begin(), r.strings[0].end()) : "");
            }
        return ids;
    }
};

// ---- the file table ----

TEST_F(ZarkdFlex, EachFileGivesItsStatusMessageAndFpgaState)
{
    using fpgaimages::StandardImageSet;
    auto bytes = [](const ImageFile& f) { return fpgaimages::WriteImageFile(f); };
    auto edited = [](ImageFile f, const std::function<void(ImageFile&)>& edit) {
        edit(f);
        return fpgaimages::WriteImageFile(f);
    };
    std::vector<uint8_t> standard = bytes(StandardImageSet(3, 0));
    std::vector<uint8_t> noMagic = standard;
    noMagic[0] = 'X';
    std::vector<uint8_t> truncated = standard;
    truncated.resize(truncated.size() - 100);
    std::vector<uint8_t> headerOnly(standard.begin(), standard.begin() + 1000);

    struct Case {
        const char* what;
        std::vector<uint8_t> file;  // empty: no file at all
        int standard;
        NTSTATUS status;
        ULONG message;  // 0: nothing logged
        ULONG fpgaState;
        bool running;   // the simulated FPGAs all run afterwards
    } cases[] = {
        {"the standard set", standard, 525, STATUS_SUCCESS, 0, 1, true},
        {"the standard set on a 625-line board", standard, 625, STATUS_SUCCESS, 0, 1, true},
        {"spoiled images ahead of the good ones", bytes(fpgaimages::DecoyImageSet(3, 0)), 525, STATUS_SUCCESS, 0, 1,
         true},
        {"a 525-line file", bytes(StandardImageSet(3, 525)), 525, STATUS_SUCCESS, 0, 1, true},
        {"a 625-line file on a 525-line board", bytes(StandardImageSet(3, 625)), 525, STATUS_UNSUCCESSFUL,
         ZAR_MSG_FLEX_FILE_WRONG_STANDARD, 0, false},
        {"a 525-line file on a 625-line board", bytes(StandardImageSet(3, 525)), 625, STATUS_UNSUCCESSFUL,
         ZAR_MSG_FLEX_FILE_WRONG_STANDARD, 0, false},
        {"images of the other board revision only", bytes(StandardImageSet(2, 0)), 525, STATUS_UNSUCCESSFUL, 0, 0,
         false},
        {"no \"Copy\"", noMagic, 525, STATUS_UNSUCCESSFUL, ZAR_MSG_FLEX_FILE_BAD_HEADER, 0, false},
        {"three FPGAs", edited(StandardImageSet(3, 0), [](ImageFile& f) { f.fpgaCount = 3; }), 525,
         STATUS_UNSUCCESSFUL, ZAR_MSG_FLEX_FILE_BAD_HEADER, 0, false},
        {"an FPGA without images", edited(StandardImageSet(3, 0), [](ImageFile& f) { f.images[2].clear(); }), 525,
         STATUS_UNSUCCESSFUL, ZAR_MSG_FLEX_FILE_BAD_HEADER, 0, false},
        {"17 images for one FPGA",
         edited(StandardImageSet(3, 0), [](ImageFile& f) { f.images[1].resize(17, f.images[1][0]); }), 525,
         STATUS_UNSUCCESSFUL, ZAR_MSG_FLEX_FILE_BAD_HEADER, 0, false},
        {"16 images for one FPGA",
         edited(StandardImageSet(3, 0), [](ImageFile& f) { f.images[1].resize(16, f.images[1][0]); }), 525,
         STATUS_SUCCESS, 0, 1, true},
        {"an image of 0x100001 bytes",
         edited(StandardImageSet(3, 0), [](ImageFile& f) { f.images[0].push_back(std::vector<uint8_t>(0x100001)); }),
         525, STATUS_UNSUCCESSFUL, ZAR_MSG_FLEX_FILE_BAD_HEADER, 0, false},
        {"a largest-image field over the limit",
         edited(StandardImageSet(3, 0), [](ImageFile& f) { f.largestOverride = 0x100001; }), 525,
         STATUS_UNSUCCESSFUL, ZAR_MSG_FLEX_FILE_BAD_HEADER, 0, false},
        {"a largest-image field smaller than the images",
         edited(StandardImageSet(3, 0), [](ImageFile& f) { f.largestOverride = 16; }), 525, STATUS_SUCCESS, 0, 1,
         true},
        {"a file that ends inside its last image", truncated, 525, STATUS_UNSUCCESSFUL, ZAR_MSG_FLEX_FILE_BAD_HEADER,
         0, false},
        {"a file shorter than its header", headerOnly, 525, STATUS_UNSUCCESSFUL, ZAR_MSG_FLEX_FILE_BAD_HEADER, 0,
         false},
        {"no file", {}, 525, STATUS_OBJECT_NAME_NOT_FOUND, ZAR_MSG_FLEX_FILE_ACCESS_FAILED, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PowerOn(c.standard, false);
        std::filesystem::remove(DriversFolder() / fpgaimages::ImageFileName(3));
        if (!c.file.empty()) InstallFile(c.file);
        size_t logged = FlexMessages().size();

        Download d = Send(0);
        EXPECT_EQ(d.status, c.status) << NtStatusName(d.status);
        std::vector<std::string> names;
        std::vector<ULONG> messages = FlexMessages(&names);
        messages.erase(messages.begin(), messages.begin() + ptrdiff_t(logged));
        EXPECT_EQ(messages, c.message ? std::vector<ULONG>{c.message} : std::vector<ULONG>{});
        // The entry names the file, so a damaged one can be found.
        for (size_t i = logged; i < names.size(); ++i) EXPECT_EQ(names[i], fpgaimages::ImageFileName(3));
        EXPECT_EQ(ext_->FpgaState, c.fpgaState);
        EXPECT_EQ(Fpgas().AllRunning(), c.running);
        if (c.status == STATUS_SUCCESS) {
            EXPECT_EQ(d.bytes, 16u);
            EXPECT_EQ(d.out[0], 0u);
            EXPECT_EQ(d.out[1], c.fpgaState);
            EXPECT_EQ(d.out[2], fpgaimages::kVersionA);
            EXPECT_EQ(d.out[3], fpgaimages::kVersionB);
            for (int f = 0; f < sim::fpga::kCount; ++f) {
                EXPECT_EQ(Fpgas().HeaderOf(f).standard, c.standard) << "FPGA " << f;
                EXPECT_EQ(Fpgas().HeaderOf(f).flags & sim::fpga::kFlagDve, 0u) << "FPGA " << f;
            }
        }
    }
}

// A file refused after its header was read sends nothing to the FPGAs: the
// configuration they run stays.
TEST_F(ZarkdFlex, ARefusedFileLeavesTheFpgasUntouched)
{
    ASSERT_EQ(Send(0).status, STATUS_SUCCESS);
    uint32_t pulses = Fpgas().ProgramPulses();
    uint64_t clocks = Fpgas().Clocks();
    std::vector<uint8_t> file = fpgaimages::WriteImageFile(fpgaimages::StandardImageSet(3, 0));
    file.resize(file.size() - 1);
    InstallFile(file);
    EXPECT_EQ(Send(0).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Fpgas().ProgramPulses(), pulses);
    EXPECT_EQ(Fpgas().Clocks(), clocks);
    EXPECT_TRUE(Fpgas().AllRunning());
}

// ---- the search ----

TEST_F(ZarkdFlex, TheSearchStepsLikeAnOdometerFpgaZeroFirst)
{
    // Per FPGA, whether each of its images works.
    struct Case {
        const char* what;
        std::vector<bool> works[4];
        uint32_t sends;
        NTSTATUS status;
    } cases[] = {
        // FPGA 0 fastest: (0,0) (1,0) (2,0), wrap, (0,1) (1,1). FPGA 1 first
        // would find (1,1) at the fourth send.
        {"FPGA 0 steps first and wraps", {{false, true, false}, {false, true}, {true}, {true}}, 5, STATUS_SUCCESS},
        {"every combination fails once", {{false, false}, {false, false, false}, {true}, {false}}, 6,
         STATUS_UNSUCCESSFUL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PowerOn(525, false);
        ImageFile file;
        file.standard = 525;
        for (int f = 0; f < 4; ++f) {
            for (bool works : c.works[f]) {
                fpgaimages::ImageSpec spec;
                spec.device = f;
                spec.standard = 525;
                spec.fault = works ? fpgaimages::Fault::None : fpgaimages::Fault::BadCrc;
                file.images[f].push_back(fpgaimages::BuildImage(spec));
            }
        }
        InstallFile(fpgaimages::WriteImageFile(file));
        uint32_t pulses = Fpgas().ProgramPulses();
        EXPECT_EQ(Send(0).status, c.status);
        EXPECT_EQ(Fpgas().ProgramPulses() - pulses, c.sends);
        EXPECT_EQ(Fpgas().AllRunning(), c.status == STATUS_SUCCESS);
        EXPECT_EQ(ext_->FpgaState, c.status == STATUS_SUCCESS ? 1u : 0u);
    }
}

TEST_F(ZarkdFlex, TheDveBoardNeedsTheDveImage)
{
    struct Case {
        const char* what;
        bool dvePresent;
        bool dveImages;  // the file carries images for the DVE module
        NTSTATUS status;
        ULONG fpgaState;
        bool dveConfigured;
        bool dveImageRuns;
    } cases[] = {
        {"a board without DVE takes the plain image", false, true, STATUS_SUCCESS, 1, false, false},
        {"a board with DVE searches on to the DVE image", true, true, STATUS_SUCCESS, 3, true, true},
        {"a board with DVE and no DVE image", true, false, STATUS_UNSUCCESSFUL, 1, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PowerOn(525, c.dvePresent);
        ImageFile file = fpgaimages::StandardImageSet(3, 525);
        if (!c.dveImages) file.images[3].resize(1);
        InstallFile(fpgaimages::WriteImageFile(file));

        Download d = Send(0);
        EXPECT_EQ(d.status, c.status);
        EXPECT_EQ(ext_->FpgaState, c.fpgaState);
        EXPECT_EQ(bool(ext_->Flex.DveConfigured), c.dveConfigured);
        EXPECT_TRUE(Fpgas().AllRunning());
        EXPECT_EQ((Fpgas().HeaderOf(3).flags & sim::fpga::kFlagDve) != 0, c.dveImageRuns);
        EXPECT_EQ(Fpgas().DveAnswers(), c.dveImageRuns);
    }
}

// ---- the EEPROM's image choice ----

TEST_F(ZarkdFlex, AStoredChoiceThatWorksIsSentOnceAndKept)
{
    // 625 lines: the search would have to step past the 525-line images.
    // Global numbers in the standard set: FPGA 0 {0, 1}, 1 {2, 3}, 2 {4, 5},
    // 3 {6, 7, 8, 9} (525 before 625, FPGA 3's DVE images last).
    SetBoard(625, false);
    StoreChoice({1, 3, 5, 7});
    uint32_t pulses = Fpgas().ProgramPulses();
    uint64_t writes = Eeprom().WriteCycles();
    ASSERT_EQ(Send(0).status, STATUS_SUCCESS);
    EXPECT_EQ(Fpgas().ProgramPulses() - pulses, 1u);
    EXPECT_EQ(Eeprom().WriteCycles(), writes);
    EXPECT_EQ(StoredChoice(), (std::array<uint8_t, 4>{1, 3, 5, 7}));
    EXPECT_EQ(ext_->FpgaState, 1u);
}

TEST_F(ZarkdFlex, AMissingOrFailingChoiceIsSearchedForAndWrittenBack)
{
    struct Case {
        const char* what;
        std::array<uint8_t, 4> stored;
    } cases[] = {
        {"nothing stored yet", {0xFF, 0xFF, 0xFF, 0xFF}},
        {"an image of another FPGA", {2, 3, 5, 7}},
        {"images that do not configure", {0, 2, 4, 6}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PowerOn(625, false);
        StoreChoice(c.stored);
        ASSERT_EQ(Send(0).status, STATUS_SUCCESS);
        EXPECT_EQ(StoredChoice(), (std::array<uint8_t, 4>{1, 3, 5, 7}));
        EXPECT_EQ(Board().EepromUnit().Byte(sim::eeprom::kBoardRevision), 3u);
    }
}

TEST_F(ZarkdFlex, RevisionTwoBoardsReadTheirOwnFile)
{
    Eeprom().SetByte(sim::eeprom::kBoardRevision, 2);
    Fpgas().SetConfig({2, 525, false});
    std::filesystem::remove(DriversFolder() / fpgaimages::ImageFileName(3));
    ASSERT_EQ(Send(0).status, STATUS_SUCCESS);
    EXPECT_EQ(ext_->BoardRevision, 2u);
    EXPECT_EQ(Fpgas().HeaderOf(0).boardRevision, 2u);
}

TEST_F(ZarkdFlex, AnEepromWithoutTheBoardsSignatureIsNeitherTrustedNorWritten)
{
    PowerOn(525, false);
    Eeprom().SetByte(sim::eeprom::kIdHigh, 0x00);
    Eeprom().SetByte(sim::eeprom::kBoardRevision, 2);  // would name Zar10kr2.mbf
    std::filesystem::remove(DriversFolder() / fpgaimages::ImageFileName(2));
    uint64_t writes = Eeprom().WriteCycles();
    ASSERT_EQ(Send(0).status, STATUS_SUCCESS);
    EXPECT_EQ(ext_->BoardRevision, 3u);
    EXPECT_EQ(Eeprom().WriteCycles(), writes);
    EXPECT_EQ(StoredChoice(), (std::array<uint8_t, 4>{0xFF, 0xFF, 0xFF, 0xFF}));
}

// ---- the control code ----

TEST_F(ZarkdFlex, ANonZeroFirstDwordOnlyReports)
{
    ext_->VinMonitorPaused = TRUE;
    Download report = Send(1);
    EXPECT_EQ(report.status, STATUS_SUCCESS);
    EXPECT_EQ(report.bytes, 16u);
    EXPECT_EQ(report.out[0], 1u);
    EXPECT_EQ(report.out[1], 0u);
    EXPECT_EQ(Fpgas().ProgramPulses(), 0u);
    EXPECT_TRUE(ext_->VinMonitorPaused);

    ASSERT_EQ(Send(0).status, STATUS_SUCCESS);
    EXPECT_FALSE(ext_->VinMonitorPaused);
    uint32_t pulses = Fpgas().ProgramPulses();
    report = Send(0x80000000);
    EXPECT_EQ(report.status, STATUS_SUCCESS);
    EXPECT_EQ(report.out[0], 0x80000000u);
    EXPECT_EQ(report.out[1], 1u);
    EXPECT_EQ(report.out[2], fpgaimages::kVersionA);
    EXPECT_EQ(report.out[3], fpgaimages::kVersionB);
    EXPECT_EQ(Fpgas().ProgramPulses(), pulses);
}

TEST_F(ZarkdFlex, AFailedDownloadKeepsTheVideoInputMonitorPaused)
{
    std::filesystem::remove(DriversFolder() / fpgaimages::ImageFileName(3));
    ext_->VinMonitorPaused = TRUE;
    EXPECT_EQ(Send(0).status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_TRUE(ext_->VinMonitorPaused);
}

TEST_F(ZarkdFlex, TheBoardWaitsForItsSetUpAfterADownload)
{
    ext_->BoardReady = TRUE;
    ASSERT_EQ(Send(0).status, STATUS_SUCCESS);
    EXPECT_FALSE(ext_->BoardReady);
    EXPECT_EQ(ext_->Flex.DebiConfig, 0x8A0000u);
}

// A register write that comes in the middle of a stream byte (between its
// command and its upload), as another thread's would: the stream owns DEBI
// from its first byte to its last, so the write is refused and says so,
// instead of taking the byte's command (the byte would land in the register
// and the FPGAs would miss it) or having its upload refused by the bridge
// unseen.
TEST_F(ZarkdFlex, ARegisterWriteInsideTheStreamIsRefusedAndTheStreamStaysWhole)
{
    constexpr ULONG kStreamCommand = 0x4FFFE;
    constexpr ULONG kRegister = 0x5800;
    const uint16_t registerBefore = Board().Regs().Peek(kRegister);
    const uint64_t refusedBefore = Board().DebiUnit().GetStats().refused;
    ULONG streamCommands = 0;
    bool inside = false, written = true;
    Board().Bridge().OnRegisterWrite(ZAR_BRIDGE_DEBI_COMMAND, [&](uint32_t word) {
        if (word != kStreamCommand || inside || ++streamCommands != 1000) return;
        inside = true;
        written = ZarDebiPioWrite(ext_, kRegister, 0x1234);
        inside = false;
    });
    Download d = Send(0);
    Board().Bridge().OnRegisterWrite(ZAR_BRIDGE_DEBI_COMMAND, nullptr);

    ASSERT_GE(streamCommands, 1000u);
    EXPECT_FALSE(written) << "the write says it did not happen";
    EXPECT_EQ(ext_->Debi.PioRefused, 1u);
    EXPECT_EQ(Board().Regs().Peek(kRegister), registerBefore);
    EXPECT_EQ(Board().DebiUnit().GetStats().refused, refusedBefore) << "an upload the bridge refused, unseen";
    EXPECT_EQ(d.status, STATUS_SUCCESS);
    EXPECT_EQ(d.out[1], ULONG(ZAR_FPGA_CONFIGURED)) << "the stream arrived whole";
    // Once the stream has ended, writes go through again.
    EXPECT_TRUE(ZarDebiPioWrite(ext_, kRegister, 0x4321));
    EXPECT_EQ(Board().Regs().Peek(kRegister), 0x4321);
}

// How long downloads take on the machine's clock and on the host's: the
// installed set (the EEPROM's choice first missing, then stored) and a set
// of large images, where the byte loop dominates.
TEST_F(ZarkdFlex, DownloadTime)
{
    ImageFile large;
    large.standard = 525;
    for (int f = 0; f < 4; ++f) {
        fpgaimages::ImageSpec spec;
        spec.device = f;
        spec.standard = 525;
        spec.payloadBytes = 256 * 1024;
        large.images[f].push_back(fpgaimages::BuildImage(spec));
    }
    std::vector<uint8_t> largeFile = fpgaimages::WriteImageFile(large);
    struct Case {
        const char* what;
        std::vector<uint8_t> file;  // empty: the installed set
    } cases[] = {
        {"installed set, searched", {}},
        {"installed set, stored choice", {}},
        {"four 256 KB images", largeFile},
    };
    for (const Case& c : cases) {
        if (!c.file.empty()) InstallFile(c.file);
        uint64_t clocks = Fpgas().Clocks();
        uint64_t machineStart = nt::ClockNow();
        auto wallStart = std::chrono::steady_clock::now();
        ASSERT_EQ(Send(0).status, STATUS_SUCCESS) << c.what;
        double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
        std::printf("%-30s %9.3f ms machine time %9.3f ms wall time %9llu stream bytes\n", c.what,
                    Seconds(nt::ClockNow() - machineStart) * 1e3, wall * 1e3,
                    static_cast<unsigned long long>(Fpgas().Clocks() - clocks));
    }
}

}  // namespace
