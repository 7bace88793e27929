// The media drive on a formatted two-drive volume "Media": Win32 and NT
// helpers to list, open and query it, and a clip written behind the
// driver's back (fields striped over the drives, a body table, a file
// entry) whose clip-file view the tests know byte for byte.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/nt/nt_syscall.h"
#include "platform/win32/win32.h"
#include "tests/drivers/mediafs/mediafs_machine.h"

class MediaDrive : public MediaFsMachine {
protected:
    static constexpr ULONG kVideoFirst = 2000;  // data blocks, the same on both drives
    static constexpr ULONG kTableFirst = 3000;  // body table, drive 0

    void SetUp() override
    {
        MediaFsMachine::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_EQ(Format(u"Media", {0, 1}), ZARFS_FORMAT_OK);
        ASSERT_TRUE(CreateDirectoryA("P:\\KIV\\Media\\Clips", nullptr)) << GetLastError();
    }

    struct Found {
        std::string name;
        uint64_t size;
        bool directory;
        bool operator==(const Found& o) const { return name == o.name && size == o.size && directory == o.directory; }
    };
    friend void PrintTo(const Found& f, std::ostream* os)
    {
        *os << f.name << (f.directory ? "\\" : "") << " " << f.size;
    }

    static std::vector<Found> List(const char* pattern)
    {
        std::vector<Found> out;
        WIN32_FIND_DATAA data;
        HANDLE h = FindFirstFileA(pattern, &data);
        if (h == INVALID_HANDLE_VALUE) return out;
        do {
            out.push_back({data.cFileName, (uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow,
                           (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
        } while (FindNextFileA(h, &data));
        FindClose(h);
        return out;
    }

    // NtCreateFile on the drive, the path below "\??\P:".
    static NTSTATUS Open(const std::u16string& path, ULONG disposition, ULONG options, HANDLE* handle,
                         ULONG_PTR* information = nullptr, ACCESS_MASK access = GENERIC_READ | SYNCHRONIZE,
                         ULONG share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)
    {
        std::u16string full = u"\\??\\P:" + path;
        UNICODE_STRING name{USHORT(full.size() * 2), USHORT(full.size() * 2), full.data()};
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        IO_STATUS_BLOCK iosb{};
        NTSTATUS status = NtCreateFile(handle, access, &attributes, &iosb, nullptr, 0, share, disposition,
                                       options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
        if (information != nullptr) *information = iosb.Information;
        return status;
    }

    ZARFS_HW_VOLUME* MediaVolume() { return Volumes().at(0); }

    // Field k of the clip takes FieldBlocks(k) blocks; each block is filled
    // with bytes naming the field and the block.
    static ULONG FieldBlocks(ULONG k) { return k + 2; }
    static UCHAR FieldByte(ULONG k, ULONG block, ULONG i) { return UCHAR(k * 16 + block + i * 7); }

    // A clip of 'frames' frames in folder slot 0; returns the bytes its
    // frame data reads as, field after field.
    std::vector<UCHAR> WriteClip(const std::u16string& name, ULONG frames, bool pal = true)
    {
        std::vector<UCHAR> data;
        std::vector<ULONG> table(frames * 2);
        ULONG cursor[2] = {kVideoFirst, kVideoFirst};
        for (ULONG k = 0; k < frames * 2; ++k) {
            ULONG blocks = FieldBlocks(k);
            table[k] = 1 | ((blocks - 1) << 16);  // two counts that add up to the field
            std::vector<UCHAR> field(size_t(blocks) * kBlock);
            for (ULONG b = 0; b < blocks; ++b)
                for (ULONG i = 0; i < kBlock; ++i) field[b * kBlock + i] = FieldByte(k, b, i);
            WriteImageBlocks(int(k % 2), cursor[k % 2], field.data(), field.size());
            cursor[k % 2] += blocks;
            data.insert(data.end(), field.begin(), field.end());
        }
        ULONG tableBlocks = ZarFsHwGetBodyTableSize(frames) / kBlock;
        std::vector<UCHAR> tableBytes(size_t(tableBlocks) * kBlock);
        std::memcpy(tableBytes.data(), table.data(), table.size() * 4);
        WriteImageBlocks(0, kTableFirst, tableBytes.data(), tableBytes.size());

        ZAR_FILE_INFO entry{};
        std::memcpy(entry.Magic, "FIL0", 4);
        entry.CreationTime = 0x01D0000000000000ull;
        entry.MediaKind = ZARFS_MEDIA_FRAMES;
        entry.VideoStandard = pal ? 625 : 525;
        entry.FrameCount = frames;
        entry.VideoFirstBlock = kVideoFirst;
        entry.VideoBlocksPerDrive = std::max(cursor[0], cursor[1]) - kVideoFirst;
        entry.VideoStreamValue[0] = ULONG(data.size() / kBlock);
        entry.VideoBodyTableFirst = kTableFirst;
        entry.VideoBodyTableBlocks = tableBlocks;
        for (int i = 0; i < 256; ++i) entry.AppData[i] = UCHAR(255 - i);
        ZarFsHwStoreName(entry.Name, name.data(), ULONG(name.size()));
        ULONG block = 0;
        EXPECT_EQ(ZarFsHwCreateFileEntry(Hw(), MediaVolume(), 0, &entry, &block), STATUS_SUCCESS);
        return data;
    }
};
