// A machine on the virtual clock with ZARKD over one simulated board whose
// SCSI bus carries the drives a test names (sparse images in the machine
// folder), and ZARFSKD installed; loaded at set-up unless a test wants to
// prepare the drives first. Helpers reach the card's hardware context and
// look at the drive images behind the drivers' backs.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "drivers/mediafs/zarfs_backup.h"
#include "drivers/mediafs/zarfs_driver.h"
#include "outside/fpga_images.h"
#include "platform/nt/machine.h"
#include "sim/pci_layouts.h"
#include "tests/support/machine_fixture.h"

class MediaFsMachine : public MachineFixture {
protected:
    static constexpr ULONG kBlock = 512;
    static constexpr uint64_t kDriveBlocks = 16384;

    virtual std::vector<sim::DriveConfig> Drives() { return {Drive(0), Drive(1)}; }
    // False: the test loads ZARFSKD itself (LoadFs) after preparing the drives.
    virtual bool LoadFsAtSetUp() const { return true; }

    sim::DriveConfig Drive(int id, uint64_t blocks = kDriveBlocks)
    {
        sim::DriveConfig d;
        d.id = id;
        d.blocks = blocks;
        d.image = Folder() + "/drive" + std::to_string(id) + ".img";
        return d;
    }

    void Configure(nt::MachineOptions& options) override
    {
        sim::BoardOptions board;
        board.drives = Drives();
        built_ = sim::BuildTopology(sim::BoardsLayout(1, 4, board));
        options.pci = built_.topology;
        options.loadDrivers = false;
    }

    void SetUp() override
    {
        MachineFixture::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_EQ(RtlCreateRegistryKey(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(u"EventLog\\System")),
                  STATUS_SUCCESS);
        ASSERT_EQ(InstallDriver(u"ZARKD", "ZARKD.sys"), STATUS_SUCCESS);
        ASSERT_EQ(InstallDriver(u"ZARFSKD", "ZARFSKD.sys"), STATUS_SUCCESS);
        std::string error;
        ASSERT_TRUE(fpgaimages::InstallImageFiles(std::filesystem::path(Folder()) / "drives/C/WINNT/system32/drivers",
                                                  0, &error))
            << error;
        ASSERT_EQ(LoadDriver(u"ZARKD"), STATUS_SUCCESS);
        nt::ClockRunUntilIdle();
        if (LoadFsAtSetUp()) {
            ASSERT_EQ(LoadFs(), STATUS_SUCCESS);
        }
    }

    NTSTATUS LoadFs() { return LoadDriver(u"ZARFSKD"); }
    // Unloads and loads ZARFSKD again: a fresh scan and discovery.
    NTSTATUS RestartFs()
    {
        NTSTATUS status = nt::IoUnloadDriver(u"ZARFSKD");
        if (!NT_SUCCESS(status)) return status;
        return LoadFs();
    }

    ZARFS_CARD_INSTANCE* Card() { return ZarFsGlobFindCard(0); }
    ZARFS_HW_CONTEXT* Hw() { return &Card()->Hw; }
    sim::ScsiDisk* Disk(int id) { return built_.boards[0]->Drive(id); }

    std::vector<ZARFS_HW_VOLUME*> Volumes()
    {
        std::vector<ZARFS_HW_VOLUME*> out;
        for (PLIST_ENTRY e = Hw()->Volumes.Flink; e != &Hw()->Volumes; e = e->Flink)
            out.push_back(CONTAINING_RECORD(e, ZARFS_HW_VOLUME, Link));
        return out;
    }

    static ZAR_VOLUME_INFO VolumeRequest(const std::u16string& name, std::vector<ULONG> ids)
    {
        ZAR_VOLUME_INFO r{};
        std::memcpy(r.Name, name.data(), std::min<size_t>(name.size(), ZARFS_NAME_CHARS) * 2);
        r.DriveCount = ULONG(ids.size());
        for (ULONG i = 0; i < ZARFS_MAX_SCSI_IDS; ++i) r.ScsiIds[i] = i < ids.size() ? ids[i] : ZARFS_NO_DRIVE;
        return r;
    }

    // Formats through the driver's own routine; returns the result code.
    LONG Format(const std::u16string& name, std::vector<ULONG> ids, NTSTATUS* status = nullptr)
    {
        ZAR_VOLUME_INFO r = VolumeRequest(name, std::move(ids));
        LONG result = 1;
        NTSTATUS s = ZarFsHwFormatVolume(Hw(), &r, &result);
        if (status != nullptr) *status = s;
        EXPECT_TRUE(NT_SUCCESS(s) || status != nullptr) << NtStatusName(s);
        return result;
    }

    std::vector<UCHAR> ImageBlocks(int id, ULONG first, ULONG count)
    {
        std::vector<UCHAR> bytes(size_t(count) * kBlock);
        int fd = ::open(Drive(id).image.c_str(), O_RDONLY);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(::pread(fd, bytes.data(), bytes.size(), off_t(first) * kBlock), ssize_t(bytes.size()));
        ::close(fd);
        return bytes;
    }
    void WriteImageBlocks(int id, ULONG first, const void* bytes, size_t length)
    {
        int fd = ::open(Drive(id).image.c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::pwrite(fd, bytes, length, off_t(first) * kBlock), ssize_t(length));
        ::close(fd);
    }

    // Event-log entries of ZARFSKD with the given message id.
    static std::vector<nt::EventLogRecord> FsEvents(ULONG id)
    {
        std::vector<nt::EventLogRecord> out;
        for (nt::EventLogRecord& r : nt::EventLogRead())
            if (r.eventId == id) out.push_back(std::move(r));
        return out;
    }

    sim::BuiltTopology built_;
};
