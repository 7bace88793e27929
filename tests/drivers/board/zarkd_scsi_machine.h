// A machine with ZARKD over one board whose SCSI bus carries the drives a
// test names (sparse image files in the machine folder), and helpers that
// send disk requests from user mode and look at the drives' images.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include "zarkd_ioctl_machine.h"

class ZarkdScsiMachine : public ZarkdIoctlMachine {
protected:
    static constexpr ULONG kBlock = 512;

    // The drives of board 0.
    virtual std::vector<sim::DriveConfig> Drives() { return {Drive(0)}; }

    sim::DriveConfig Drive(int id, uint64_t blocks = 8192)
    {
        sim::DriveConfig d;
        d.id = id;
        d.blocks = blocks;
        d.vendor = "ACME";
        d.product = "TESTDISK " + std::to_string(id);
        d.revision = "0102";
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

    sim::Board& TheBoard() { return *built_.boards[0]; }
    sim::ScsiDisk* Disk(int id) { return TheBoard().Drive(id); }

    static ZAR_DISK_REQUEST Request(ULONG operation, ULONG id = 0, ULONG first = 0, ULONG count = 0)
    {
        ZAR_DISK_REQUEST r{};
        r.Operation = operation;
        r.TargetId = id;
        r.FirstBlock = first;
        r.BlockCount = count;
        r.OwnsScsi = 1;
        return r;
    }

    // Sends a disk request with an optional buffer and returns the record
    // as it came back; every disk request completes with success.
    ZAR_DISK_REQUEST Run(ZAR_DISK_REQUEST r, void* buffer = nullptr, ULONG length = 0)
    {
        r.UserBuffer = ULONG(reinterpret_cast<ULONG_PTR>(buffer));
        r.UserBufferLength = length;
        ZAR_DISK_REQUEST out{};
        Result result = Send(IOCTL_ZAR_DISK_REQUEST, &r, sizeof(r), &out, sizeof(out));
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(result.bytes, sizeof(out));
        return out;
    }

    void Scan() { Run(Request(ZAR_DISK_OP_SCAN)); }

    ZAR_SCSI_DEVICE_INFO Device(ULONG id)
    {
        ZAR_SCSI_DEVICE_INFO info{};
        info.ScsiId = id;
        Result r = Send(IOCTL_ZAR_GET_SCSI_DEVICE, &info, sizeof(info), &info, sizeof(info));
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        return info;
    }

    // A DWORD under the driver's SCSI key ('id' < 0) or a target's subkey.
    void SetScsiOption(int id, const std::u16string& name, ULONG value)
    {
        std::u16string path = u"ZARKD\\Parameters";
        RtlCreateRegistryKey(RTL_REGISTRY_SERVICES, path.data());
        path += u"\\SCSI";
        RtlCreateRegistryKey(RTL_REGISTRY_SERVICES, path.data());
        if (id >= 0) {
            std::string digits = std::to_string(id);
            path += u"\\" + std::u16string(digits.begin(), digits.end());
            RtlCreateRegistryKey(RTL_REGISTRY_SERVICES, path.data());
        }
        ASSERT_EQ(SetDword(RTL_REGISTRY_SERVICES, path, name, value), STATUS_SUCCESS);
    }

    // The image file of a drive, read and written behind the driver's back.
    std::vector<UCHAR> ImageBlocks(int id, ULONG first, ULONG count)
    {
        std::vector<UCHAR> bytes(size_t(count) * kBlock);
        int fd = ::open(Disk(id)->Config().image.c_str(), O_RDONLY);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(::pread(fd, bytes.data(), bytes.size(), off_t(first) * kBlock), ssize_t(bytes.size()));
        ::close(fd);
        return bytes;
    }
    void WriteImageBlocks(int id, ULONG first, const std::vector<UCHAR>& bytes)
    {
        int fd = ::open(Disk(id)->Config().image.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), off_t(first) * kBlock), ssize_t(bytes.size()));
        ::close(fd);
    }

    static std::vector<UCHAR> RandomBytes(size_t count, uint32_t seed)
    {
        std::mt19937 gen(seed);
        std::vector<UCHAR> bytes(count);
        for (UCHAR& b : bytes) b = UCHAR(gen());
        return bytes;
    }
};

// The bus scanned and drive 0 (of 'Blocks' blocks) ready: where most disk
// tests start.
template <uint64_t Blocks>
class ZarkdReadyDriveMachine : public ZarkdScsiMachine {
protected:
    std::vector<sim::DriveConfig> Drives() override { return {Drive(0, Blocks)}; }

    void SetUp() override
    {
        ZarkdScsiMachine::SetUp();
        if (HasFatalFailure()) return;
        Scan();
        ASSERT_EQ(Device(0).State, ZAR_SCSI_DEVICE_READY);
    }
};
