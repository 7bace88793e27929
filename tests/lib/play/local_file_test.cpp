// Clips on a media volume through the library: recorded field by field
// (from board memory and from host buffers), placed round-robin over the
// volume's drives, read back through the library and through the drive
// letter byte for byte, and a clip written through the drive letter read
// through the library; WriteAt's lengths, an existing name, the padding of
// an overrun and the recording side file.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "lib/api/zar_connection.h"
#include "lib/play/zar_clip_format.h"
#include "lib/play/zar_local_file.h"
#include "lib/play/zar_system_file.h"
#include "tests/drivers/mediafs/mediafs_machine.h"

namespace {

constexpr char16_t kClip[] = u"P:\\KIV\\Media\\Clips\\take.kiv";
constexpr uint32_t kSlot = 0x2000;  // board memory the test stages fields in, in 512-byte units

uint8_t FieldByte(uint32_t field, uint32_t i) { return uint8_t(field * 31 + i * 7 + (i >> 9)); }

std::vector<uint8_t> FieldData(uint32_t field, uint32_t sectors)
{
    std::vector<uint8_t> data(size_t(sectors) * 512);
    for (size_t i = 0; i < data.size(); ++i) data[i] = FieldByte(field, uint32_t(i));
    return data;
}

// Host memory a disk request may name.
struct HostBuffer {
    explicit HostBuffer(size_t n) : bytes(static_cast<uint8_t*>(VirtualAlloc(nullptr, n, MEM_COMMIT, PAGE_READWRITE))) {}
    ~HostBuffer() { VirtualFree(bytes, 0, MEM_RELEASE); }
    uint8_t* bytes;
};

std::vector<uint8_t> ReadWhole(const char16_t* path)
{
    std::vector<uint8_t> out;
    HANDLE h = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return out;
    std::vector<uint8_t> chunk(65536);
    DWORD got = 0;
    while (ReadFile(h, chunk.data(), DWORD(chunk.size()), &got, nullptr) && got > 0)
        out.insert(out.end(), chunk.begin(), chunk.begin() + got);
    CloseHandle(h);
    return out;
}

class MediaClip : public MediaFsMachine, public ::testing::WithParamInterface<int> {
protected:
    std::vector<sim::DriveConfig> Drives() override
    {
        std::vector<sim::DriveConfig> drives;
        for (int i = 0; i < DriveCount(); ++i) drives.push_back(Drive(i));
        return drives;
    }
    virtual int DriveCount() const { return GetParam(); }

    void SetUp() override
    {
        MediaFsMachine::SetUp();
        if (HasFatalFailure()) return;
        std::vector<ULONG> ids;
        for (int i = 0; i < DriveCount(); ++i) ids.push_back(ULONG(i));
        ASSERT_EQ(Format(u"Media", ids), ZARFS_FORMAT_OK);
        ASSERT_TRUE(CreateDirectoryA("P:\\KIV\\Media\\Clips", nullptr)) << GetLastError();
        connection_ = std::make_unique<CBoardConnection>(0);
        ASSERT_NE(connection_->m_hBoard, INVALID_HANDLE_VALUE);
        ASSERT_NE(connection_->m_hFileSystem, INVALID_HANDLE_VALUE);
    }
    void TearDown() override
    {
        connection_.reset();
        MediaFsMachine::TearDown();
    }

    bool Board(uint32_t code, void* record = nullptr, DWORD bytes = 0)
    {
        DWORD returned = 0;
        return DeviceIoControl(connection_->m_hBoard, code, record, bytes, record, bytes, &returned, nullptr);
    }
    // Host memory to board memory and back, the bus held by the caller.
    bool BoardMemory(uint32_t op, uint8_t* host, uint32_t sectors, uint32_t slot)
    {
        ZAR_DISK_REQUEST r{};
        r.Operation = op;
        r.BlockCount = sectors;
        r.AccessMode = ZAR_DISK_ACCESS_1;
        r.OwnsScsi = 1;
        r.SdramAddress = slot * 512;
        r.UserBuffer = uint32_t(reinterpret_cast<uintptr_t>(host));
        r.UserBufferLength = sectors * 512;
        r.ScsiStatus = 0;  // a copy writes its status only when it fails
        return Board(IOCTL_ZAR_DISK_REQUEST, &r, sizeof r) && r.ScsiStatus == 0;
    }

    CZarLocalFile* NewFile(const char16_t* path = kClip) { return new CZarLocalFile(path, connection_.get()); }

    std::unique_ptr<CBoardConnection> connection_;
};

void ReleaseFile(CZarFile* f) { f->Release(); }
using FilePtr = std::unique_ptr<CZarLocalFile, void (*)(CZarFile*)>;

TEST_P(MediaClip, ThreeHundredFieldsReadBackIdenticalThroughTheLibraryAndTheDrive)
{
    constexpr uint32_t kFrames = 150, kFields = 2 * kFrames, kPerField = 40;
    const uint32_t drives = uint32_t(DriveCount());
    auto sectorsOf = [](uint32_t n) { return 1 + (n * 7) % kPerField; };
    HostBuffer host(CZarLocalFile::kMaxTransferBytes);
    {
        FilePtr file(NewFile(), ReleaseFile);
        ASSERT_EQ(file->CreateFill(kPerField, kFrames, 0, 0), ZAR_OK);
        ASSERT_EQ(file->Drives(), drives);
        ASSERT_TRUE(Board(IOCTL_ZAR_ACQUIRE_SCSI));
        std::vector<uint32_t> cursor(drives, 0);
        for (uint32_t n = 0; n < kFields; ++n) {
            const uint32_t sectors = sectorsOf(n);
            std::vector<uint8_t> data = FieldData(n, sectors);
            std::memcpy(host.bytes, data.data(), data.size());
            ASSERT_EQ(file->CheckFieldWrite(n, sectors), ZAR_OK) << n;
            ZAR_FIELD_LOCATION* node;
            ASSERT_EQ(file->GetFillNode(n, &node), ZAR_OK);
            // Round robin: field n on drive n mod d, each drive's fields back to back.
            if (n < drives) cursor[n] = node->place[1];
            EXPECT_EQ(node->place[0], n % drives) << n;
            EXPECT_EQ(node->place[1], cursor[n % drives]) << n;
            cursor[n % drives] += sectors;
            if (n % 3 == 0) {
                ASSERT_EQ(file->WriteAt(*node, host.bytes, sectors * 512), ZAR_OK) << n;
            } else {
                // The recorder's way: the field from board memory to its place.
                ASSERT_TRUE(BoardMemory(ZAR_DISK_OP_SDRAM_WRITE, host.bytes, sectors, kSlot));
                ZAR_DISK_REQUEST request{};
                request.Operation = ZAR_DISK_OP_WRITE;
                request.AccessMode = ZAR_DISK_ACCESS_1;
                request.OwnsScsi = 1;
                ASSERT_EQ(file->TransferField({n, 0, kSlot, 0, 0, &request}), ZAR_OK) << n;
            }
        }
        // Back from the disk to board memory, then to the host: the same bytes.
        for (uint32_t n : {0u, 1u, 151u, 299u}) {
            ASSERT_EQ(file->FillFieldToBoard(n, kSlot), ZAR_OK);
            std::memset(host.bytes, 0, sectorsOf(n) * 512);
            ASSERT_TRUE(BoardMemory(ZAR_DISK_OP_SDRAM_READ, host.bytes, sectorsOf(n), kSlot));
            EXPECT_EQ(std::memcmp(host.bytes, FieldData(n, sectorsOf(n)).data(), sectorsOf(n) * 512), 0) << n;
        }
        ASSERT_TRUE(Board(IOCTL_ZAR_RELEASE_SCSI));
        for (uint32_t n = 0; n < kFields; ++n) {
            ASSERT_EQ(file->ReadFillField(n, host.bytes, CZarLocalFile::kMaxTransferBytes), ZAR_OK);
            ASSERT_EQ(std::memcmp(host.bytes, FieldData(n, sectorsOf(n)).data(), sectorsOf(n) * 512), 0) << n;
        }
    }  // finished: the clip settled with its 150 frames

    // Through the drive letter: a clip file whose every field is the field recorded.
    std::vector<uint8_t> view = ReadWhole(kClip);
    ASSERT_FALSE(view.empty());
    kiv::Clip clip;
    auto reader = [&view](uint64_t at, void* out, uint32_t n) {
        if (at > view.size() || view.size() - at < n) return false;
        std::memcpy(out, &view[at], n);
        return true;
    };
    ASSERT_EQ(kiv::ReadClip(reader, &clip), ZAR_OK);
    ASSERT_EQ(clip.frames, kFrames);
    for (uint32_t n = 0; n < kFields; ++n) {
        ASSERT_EQ(clip.fill[n].used, sectorsOf(n)) << n;
        ASSERT_EQ(std::memcmp(&view[kiv::FieldOffset(clip.fill[n])], FieldData(n, sectorsOf(n)).data(),
                              sectorsOf(n) * 512),
                  0)
            << n;
    }

    // The other way round: that clip file written through the drive letter
    // becomes a media clip the library reads field for field.
    constexpr char16_t kCopy[] = u"P:\\KIV\\Media\\Clips\\copy.kiv";
    HANDLE out = CreateFileW(kCopy, GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(out, INVALID_HANDLE_VALUE) << GetLastError();
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(out, view.data(), DWORD(view.size()), &written, nullptr));
    ASSERT_EQ(written, view.size());
    CloseHandle(out);
    for (const char16_t* path : {kClip, kCopy}) {
        FilePtr file(NewFile(path), ReleaseFile);
        ASSERT_EQ(file->OpenForAccess(GENERIC_READ), ZAR_OK);
        EXPECT_EQ(file->GetFrameCount(), kFrames);
        for (uint32_t n = 0; n < kFields; ++n) {
            ASSERT_EQ(file->GetFillFieldSize(n), sectorsOf(n));
            ASSERT_EQ(file->ReadFillField(n, host.bytes, CZarLocalFile::kMaxTransferBytes), ZAR_OK);
            ASSERT_EQ(std::memcmp(host.bytes, FieldData(n, sectorsOf(n)).data(), sectorsOf(n) * 512), 0) << n;
        }
        ZAR_FIELD_LOCATION* node;
        EXPECT_EQ(file->GetFillNode(kFields, &node), ZAR_E_FIELD_RANGE);
    }
}

INSTANTIATE_TEST_SUITE_P(Drives, MediaClip, ::testing::Values(2, 4),
                         [](const ::testing::TestParamInfo<int>& info) { return std::to_string(info.param); });

class MediaClipTwoDrives : public MediaClip {
protected:
    int DriveCount() const override { return 2; }
};

TEST_F(MediaClipTwoDrives, WriteAtTakesWholeSectorsUpToAnUncompressedFieldAndAnExistingNameIsRefused)
{
    HostBuffer host(CZarLocalFile::kMaxTransferBytes + 512);
    std::memset(host.bytes, 0x5A, CZarLocalFile::kMaxTransferBytes + 512);
    FilePtr file(NewFile(), ReleaseFile);
    ASSERT_EQ(file->CreateFill(810, 2, 0, 0), ZAR_OK);
    ASSERT_EQ(file->CheckFieldWrite(0, 810), ZAR_OK);
    ZAR_FIELD_LOCATION* node;
    ASSERT_EQ(file->GetFillNode(0, &node), ZAR_OK);
    const struct {
        uint32_t length;
        int32_t result;
    } cases[] = {{414720, ZAR_OK}, {414721, ZAR_E_DRIVER}, {511, ZAR_E_DRIVER}, {1000, ZAR_E_DRIVER}, {512, ZAR_OK}};
    for (const auto& c : cases) EXPECT_EQ(file->WriteAt(*node, host.bytes, c.length), c.result) << c.length;
    EXPECT_EQ(file->WriteAt(*node, nullptr, 512), ZAR_E_DRIVER);

    FilePtr again(NewFile(), ReleaseFile);
    EXPECT_EQ(again->CreateFill(40, 2, 0, 0), ZAR_E_CLIP_EXISTS);
}

TEST_F(MediaClipTwoDrives, AClipCopiedFromAnotherClipFileHoldsItsFieldsAndARangeOfOtherFramesIsRefused)
{
    // The source: a clip of 3 frames on an ordinary volume.
    ASSERT_TRUE(CreateDirectoryA("C:\\clips", nullptr));
    auto* source = new CZarSystemFile(u"C:\\clips\\source.kiv", connection_.get());
    ASSERT_EQ(source->CreateFill(16, 3, 0, 0), ZAR_OK);
    for (uint32_t n = 0; n < 6; ++n) {
        std::vector<uint8_t> data = FieldData(n, n + 3);
        ZAR_FIELD_LOCATION* l;
        ASSERT_EQ(source->CheckFieldWrite(n, n + 3), ZAR_OK);
        ASSERT_EQ(source->GetFillNode(n, &l), ZAR_OK);
        ASSERT_EQ(source->WriteAt(*l, data.data(), uint32_t(data.size())), ZAR_OK);
    }
    source->Release();
    source = new CZarSystemFile(u"C:\\clips\\source.kiv", connection_.get());
    ASSERT_EQ(source->OpenForAccess(GENERIC_READ), ZAR_OK);

    FilePtr file(NewFile(), ReleaseFile);
    ASSERT_EQ(file->CreateFill(16, 3, 0, 0), ZAR_OK);
    volatile LONG progress = 0;
    EXPECT_EQ(file->CopyFillFields(source, 0, 3, &progress, nullptr), ZAR_E_FRAME_COUNT);
    EXPECT_EQ(progress, 0);
    ASSERT_EQ(file->CopyFillFields(source, 0, 5, &progress, nullptr), ZAR_OK);
    EXPECT_EQ(progress, 6);
    HostBuffer host(CZarLocalFile::kMaxTransferBytes);
    for (uint32_t n = 0; n < 6; ++n) {
        ASSERT_EQ(file->GetFillFieldSize(n), n + 3);
        ASSERT_EQ(file->ReadFillField(n, host.bytes, CZarLocalFile::kMaxTransferBytes), ZAR_OK);
        EXPECT_EQ(std::memcmp(host.bytes, FieldData(n, n + 3).data(), (n + 3) * 512), 0) << n;
    }
    source->Release();
}

TEST_F(MediaClipTwoDrives, AnOverrunLeavesNoNegativePaddingAndAReRecordedFieldKeepsItsRoom)
{
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, CZarFile::ParametersKeyPath(0).c_str(), 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    DWORD one = 1;
    ASSERT_EQ(RegSetValueExA(key, "AllowDataOverruns", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4),
              ERROR_SUCCESS);
    RegCloseKey(key);
    FilePtr file(NewFile(), ReleaseFile);
    ASSERT_EQ(file->CreateFill(10, 4, /*reserve*/ 1, 0), ZAR_OK);
    ZAR_FIELD_LOCATION* node;
    ASSERT_EQ(file->CheckFieldWrite(0, 15), ZAR_OK);
    ASSERT_EQ(file->GetFillNode(0, &node), ZAR_OK);
    EXPECT_EQ(node->used, 15);
    EXPECT_EQ(node->padding, 0) << "an overrun gets no padding, never a negative one";
    ASSERT_EQ(file->CheckFieldWrite(1, 4), ZAR_OK);
    ASSERT_EQ(file->GetFillNode(1, &node), ZAR_OK);
    EXPECT_EQ(node->padding, 6);
    // Field 0 recorded again: smaller fits and the rest becomes padding, larger does not.
    EXPECT_EQ(file->CheckFieldWrite(0, 16), ZAR_E_NO_ROOM);
    ASSERT_EQ(file->CheckFieldWrite(0, 5), ZAR_OK);
    ASSERT_EQ(file->GetFillNode(0, &node), ZAR_OK);
    EXPECT_EQ(node->used, 5);
    EXPECT_EQ(node->padding, 10);
    EXPECT_EQ(file->CheckFieldWrite(3, 4), ZAR_E_NO_ROOM) << "a field beyond the next";
    // Field 2 goes on drive 0 after field 0's room; a field past the run is refused.
    ASSERT_EQ(file->CheckFieldWrite(2, 10), ZAR_OK);
    ZAR_FIELD_LOCATION* first;
    ASSERT_EQ(file->GetFillNode(0, &first), ZAR_OK);
    ASSERT_EQ(file->GetFillNode(2, &node), ZAR_OK);
    EXPECT_EQ(node->place[1], first->place[1] + 15);
}

TEST_F(MediaClipTwoDrives, TheSideFileIsTheBoardsOwnAndHoldsTheClipAndItsFieldEntries)
{
    EXPECT_NE(CZarLocalFile::SideFilePath(0).find("\\system32\\drivers\\!KIVBKUP.!BT"), std::string::npos);
    EXPECT_NE(CZarLocalFile::SideFilePath(3).find("\\system32\\drivers\\!KIVBKUP3.!BT"), std::string::npos);
    FilePtr file(NewFile(), ReleaseFile);
    ASSERT_EQ(file->CreateFill(20, 3, 1, 0), ZAR_OK);
    EXPECT_EQ(file->CreateSideFile(0), 0) << "no field recorded yet: nothing written";
    ASSERT_EQ(file->CheckFieldWrite(0, 12), ZAR_OK);
    ASSERT_EQ(file->CreateSideFile(0), 1);
    ASSERT_EQ(file->AppendSideFile(1, 0, 6, 7), ZAR_OK);  // fields 1-5, then wraps to 0 and 1
    ASSERT_EQ(file->SetSideFileField(2, 7), ZAR_OK);
    std::vector<uint8_t> bytes;
    {
        HANDLE h = CreateFileA(CZarLocalFile::SideFilePath(0).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        bytes.resize(4096);
        DWORD got = 0;
        ASSERT_TRUE(ReadFile(h, bytes.data(), DWORD(bytes.size()), &got, nullptr));
        bytes.resize(got);
        CloseHandle(h);
    }
    ASSERT_EQ(bytes.size(), 1056u + 512u);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(bytes.data())), kClip);
    auto u32 = [&](size_t at) { uint32_t v; std::memcpy(&v, &bytes[at], 4); return v; };
    auto u16 = [&](size_t at) { uint16_t v; std::memcpy(&v, &bytes[at], 2); return v; };
    EXPECT_EQ(u32(1032), 6u);
    EXPECT_EQ(u16(1036), 20u);
    EXPECT_EQ(u16(1038), 0u);
    EXPECT_EQ(u16(1056), 0u) << "field 0 rewritten by the wrap";
    EXPECT_EQ(u16(1058), 20u);
    EXPECT_EQ(u16(1056 + 8), 7u);
    EXPECT_EQ(u16(1056 + 10), 13u);
    EXPECT_EQ(file->DeleteSideFile(), ZAR_OK);
    EXPECT_EQ(GetFileAttributesA(CZarLocalFile::SideFilePath(0).c_str()), INVALID_FILE_ATTRIBUTES);
}

}  // namespace
