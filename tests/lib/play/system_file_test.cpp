// Clip files on an ordinary volume through the board: fill and key recorded
// from board memory, the file laid out as the format says and re-opened
// byte for byte, empty fields as the built-in pictures (valid baseline
// JPEG of a black field), a field too large refused before any transfer,
// clip info read and written, and a key refused for a file without key
// chunks.
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <cstring>
#include <memory>
#include <vector>

#include "lib/api/zar_connection.h"
#include "lib/play/zar_clip_format.h"
#include "lib/play/zar_empty_field.h"
#include "lib/play/zar_system_file.h"
#include "tests/drivers/mediafs/mediafs_machine.h"

namespace {

constexpr char16_t kClip[] = u"C:\\clips\\take.kiv";
constexpr uint32_t kSlot = 0x2000;

std::vector<uint8_t> FieldData(uint32_t field, uint32_t key, uint32_t sectors)
{
    std::vector<uint8_t> data(size_t(sectors) * 512);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(field * 13 + key * 101 + i * 3 + (i >> 9));
    return data;
}

struct HostBuffer {
    explicit HostBuffer(size_t n) : bytes(static_cast<uint8_t*>(VirtualAlloc(nullptr, n, MEM_COMMIT, PAGE_READWRITE))) {}
    ~HostBuffer() { VirtualFree(bytes, 0, MEM_RELEASE); }
    uint8_t* bytes;
};

void ReleaseFile(CZarFile* f) { f->Release(); }
using FilePtr = std::unique_ptr<CZarSystemFile, void (*)(CZarFile*)>;

class SystemClip : public MediaFsMachine {
protected:
    void SetUp() override
    {
        MediaFsMachine::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_TRUE(CreateDirectoryA("C:\\clips", nullptr)) << GetLastError();
        connection_ = std::make_unique<CBoardConnection>(0);
        ASSERT_NE(connection_->m_hBoard, INVALID_HANDLE_VALUE);
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
        return Board(IOCTL_ZAR_DISK_REQUEST, &r, sizeof r) && r.ScsiStatus == 0;
    }
    CZarSystemFile* NewFile(const char16_t* path = kClip) { return new CZarSystemFile(path, connection_.get()); }
    std::unique_ptr<CBoardConnection> connection_;
};

// Field sizes of the recording; 0 leaves a field empty.
uint32_t FillSectors(uint32_t n) { return n == 5 ? 0 : 1 + n % 7; }
uint32_t KeySectors(uint32_t n) { return n == 8 ? 0 : 2 + n % 3; }

TEST_F(SystemClip, FillAndKeyRecordedThroughTheBoardReadBackByteExact)
{
    constexpr uint32_t kFrames = 10;
    HostBuffer host(CZarSystemFile::kBufferBytes);
    {
        FilePtr file(NewFile(), ReleaseFile);
        ASSERT_EQ(file->CreateFill(20, kFrames, 0, 0), ZAR_OK);
        ASSERT_EQ(file->CreateKey(20, kFrames, 0, 0), ZAR_OK) << "a key prepared on the fill file being created";
        ASSERT_TRUE(Board(IOCTL_ZAR_ACQUIRE_SCSI));
        for (uint32_t n = 0; n < 2 * kFrames; ++n) {
            for (uint32_t key = 0; key < 2; ++key) {
                const uint32_t sectors = key ? KeySectors(n) : FillSectors(n);
                std::vector<uint8_t> data = FieldData(n, key, sectors);
                std::memcpy(host.bytes, data.data(), data.size());
                if (sectors) {
                    ASSERT_TRUE(BoardMemory(ZAR_DISK_OP_SDRAM_WRITE, host.bytes, sectors, kSlot));
                }
                // Larger than any field: refused before the board is asked for it.
                EXPECT_EQ(key ? file->CheckKeyFieldWrite(n, 811) : file->CheckFieldWrite(n, 811), ZAR_E_NO_ROOM);
                ASSERT_EQ(key ? file->CheckKeyFieldWrite(n, sectors) : file->CheckFieldWrite(n, sectors), ZAR_OK);
                ZAR_DISK_REQUEST request{};
                request.AccessMode = ZAR_DISK_ACCESS_1;
                ASSERT_EQ(file->TransferField({n, key, kSlot, 0, 0, &request}), ZAR_OK) << n << " " << key;
            }
        }
        ASSERT_TRUE(Board(IOCTL_ZAR_RELEASE_SCSI));
    }

    uint64_t fillSectors = 0, keySectors = 0;
    for (uint32_t n = 0; n < 2 * kFrames; ++n) fillSectors += FillSectors(n), keySectors += KeySectors(n);
    const kiv::Layout layout = kiv::ComputeLayout(true, kFrames, fillSectors, keySectors);
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW(kClip, &found);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    FindClose(find);
    EXPECT_EQ((uint64_t(found.nFileSizeHigh) << 32) | found.nFileSizeLow, layout.end);

    FilePtr file(NewFile(), ReleaseFile);
    ASSERT_EQ(file->OpenForAccess(GENERIC_READ), ZAR_OK);
    EXPECT_EQ(file->GetFrameCount(), kFrames);
    for (uint32_t n = 0; n < 2 * kFrames; ++n) {
        for (uint32_t key = 0; key < 2; ++key) {
            const uint32_t sectors = key ? KeySectors(n) : FillSectors(n);
            ASSERT_EQ(key ? file->ReadKeyField(n, host.bytes, CZarSystemFile::kBufferBytes)
                          : file->ReadFillField(n, host.bytes, CZarSystemFile::kBufferBytes),
                      ZAR_OK);
            if (sectors == 0) {
                // An empty field is the built-in picture of its channel.
                const EmptyFieldImage image = GetEmptyFieldImage(key, false);
                ASSERT_NE(image.bytes, nullptr);
                EXPECT_EQ(key ? file->GetKeyFieldSize(n) : file->GetFillFieldSize(n), 9u);
                EXPECT_EQ(std::memcmp(host.bytes, image.bytes, 4608), 0) << n << " " << key;
            } else {
                EXPECT_EQ(std::memcmp(host.bytes, FieldData(n, key, sectors).data(), sectors * 512), 0) << n << " " << key;
            }
        }
    }
    // The empty field goes to the board as the picture.
    ASSERT_TRUE(Board(IOCTL_ZAR_ACQUIRE_SCSI));
    ASSERT_EQ(file->FillFieldToBoard(5, kSlot), ZAR_OK);
    std::memset(host.bytes, 0, 4608);
    ASSERT_TRUE(BoardMemory(ZAR_DISK_OP_SDRAM_READ, host.bytes, 9, kSlot));
    EXPECT_EQ(std::memcmp(host.bytes, GetEmptyFieldImage(false, false).bytes, 4608), 0);
    ASSERT_TRUE(Board(IOCTL_ZAR_RELEASE_SCSI));
    file.reset();

    // The clip's information in the media file entry's form, and its info block replaced.
    ZAR_FILE_INFO info;
    ASSERT_EQ(CZarSystemFile::ReadClipInfo(kClip, &info), ZAR_OK);
    EXPECT_EQ(info.FrameCount, kFrames);
    EXPECT_EQ(info.VideoStandard, 525u);
    EXPECT_EQ(info.VideoStreamValue[0], fillSectors);
    EXPECT_EQ(info.AlphaStreamValue[0], keySectors);
    EXPECT_EQ(info.Flags, 1u);
    EXPECT_EQ(info.VideoBodyTableBlocks, 1u);
    EXPECT_EQ(std::u16string(info.Name), u"take.kiv");
    uint8_t block[256];
    for (int i = 0; i < 256; ++i) block[i] = uint8_t(i ^ 0x55);
    ASSERT_EQ(CZarSystemFile::WriteClipInfo(kClip, block), ZAR_OK);
    ASSERT_EQ(CZarSystemFile::ReadClipInfo(kClip, &info), ZAR_OK);
    EXPECT_EQ(std::memcmp(info.AppData, block, 256), 0);
    EXPECT_EQ(CZarSystemFile::ReadClipInfo(u"C:\\clips\\none.kiv", &info), ZAR_E_DRIVER);
}

TEST_F(SystemClip, AKeyIsAddedToAClipWithKeyChunksAndRefusedWithoutThem)
{
    // A clip of 2 frames written by the library without a key, then given one.
    {
        FilePtr file(NewFile(), ReleaseFile);
        ASSERT_EQ(file->CreateFill(8, 2, 1, 0), ZAR_OK);
        for (uint32_t n = 0; n < 4; ++n) {
            ASSERT_EQ(file->CheckFieldWrite(n, 3), ZAR_OK);
            ZAR_FIELD_LOCATION* l;
            ASSERT_EQ(file->GetFillNode(n, &l), ZAR_OK);
            EXPECT_EQ(l->padding, 5) << "reserved size in sectors a field";
            std::vector<uint8_t> data = FieldData(n, 0, 3);
            ASSERT_EQ(file->WriteAt(*l, data.data(), 3 * 512), ZAR_OK);
        }
    }
    {
        FilePtr file(NewFile(), ReleaseFile);
        ASSERT_EQ(file->CreateKey(4, 2, 0, 0), ZAR_OK);
        for (uint32_t n = 0; n < 4; ++n) {
            ASSERT_EQ(file->CheckKeyFieldWrite(n, 2), ZAR_OK);
            ZAR_FIELD_LOCATION* l;
            ASSERT_EQ(file->GetKeyNode(n, &l), ZAR_OK);
            std::vector<uint8_t> data = FieldData(n, 1, 2);
            ASSERT_EQ(file->WriteAt(*l, data.data(), 2 * 512), ZAR_OK);
        }
    }
    HostBuffer host(CZarSystemFile::kBufferBytes);
    {
        FilePtr file(NewFile(), ReleaseFile);
        ASSERT_EQ(file->OpenForAccess(GENERIC_READ), ZAR_OK);
        for (uint32_t n = 0; n < 4; ++n) {
            ASSERT_EQ(file->ReadFillField(n, host.bytes, CZarSystemFile::kBufferBytes), ZAR_OK);
            EXPECT_EQ(std::memcmp(host.bytes, FieldData(n, 0, 3).data(), 3 * 512), 0) << n;
            ASSERT_EQ(file->ReadKeyField(n, host.bytes, CZarSystemFile::kBufferBytes), ZAR_OK);
            EXPECT_EQ(std::memcmp(host.bytes, FieldData(n, 1, 2).data(), 2 * 512), 0) << n;
        }
    }

    // A file of 4 chunks has no key format or key index: no key can be added.
    const uint32_t i = kiv::IndexBytes(1);
    const kiv::Layout layout = kiv::ComputeLayout(false, 1, 2, 0);
    std::vector<uint8_t> bytes(size_t(layout.end), 0);
    std::memcpy(bytes.data(), "KIV0", 4);
    const uint32_t words[] = {16, 4, uint32_t(layout.fillDataHeader)};
    std::memcpy(&bytes[4], words, sizeof words);
    kiv::WriteChunkHeader(&bytes[16], 272, kiv::kInfo, 0);
    kiv::WriteFormatChunk(&bytes[288], 0, false, 0, 1);
    kiv::WriteChunkHeader(&bytes[layout.fillIndexHeader], i + 16, kiv::kIndex, 0);
    const uint16_t entries[4] = {1, 0, 1, 0};
    std::memcpy(&bytes[layout.fillIndexHeader + 16], entries, sizeof entries);
    kiv::WriteChunkHeader(&bytes[layout.fillDataHeader], 16 + 1024, kiv::kData, 0);
    constexpr char16_t kFour[] = u"C:\\clips\\four.kiv";
    HANDLE h = CreateFileW(kFour, GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h, bytes.data(), DWORD(bytes.size()), &written, nullptr));
    CloseHandle(h);
    FilePtr four(NewFile(kFour), ReleaseFile);
    EXPECT_EQ(four->OpenForAccess(GENERIC_READ), ZAR_OK) << "the file itself is readable";
    FilePtr keyed(new CZarSystemFile(u"C:\\clips\\four.kiv", connection_.get()), ReleaseFile);
    four.reset();
    EXPECT_EQ(keyed->CreateKey(4, 1, 0, 0), ZAR_E_DRIVER);
}

TEST(EmptyFieldImages, AreBaselineJpegsOfABlackFieldAtTheirExactSizes)
{
    tjhandle decoder = tjInitDecompress();
    ASSERT_NE(decoder, nullptr);
    for (bool is625 : {false, true}) {
        for (bool key : {false, true}) {
            const EmptyFieldImage image = GetEmptyFieldImage(key, is625);
            ASSERT_NE(image.bytes, nullptr);
            EXPECT_EQ(image.length, is625 ? 5120u : 4608u);
            EXPECT_EQ(image.sectors * 512, image.length);
            EXPECT_EQ(std::memcmp(image.bytes + 6, "JFIF", 4), 0);
            int width = 0, height = 0, sampling = 0, colours = 0;
            ASSERT_EQ(tjDecompressHeader3(decoder, image.bytes, image.length, &width, &height, &sampling, &colours), 0);
            EXPECT_EQ(width, 720);
            EXPECT_EQ(height, is625 ? 288 : 243);
            EXPECT_EQ(sampling, TJSAMP_422);
            std::vector<uint8_t> gray(size_t(width) * height);
            ASSERT_EQ(tjDecompress2(decoder, image.bytes, image.length, gray.data(), width, 0, height, TJPF_GRAY, 0), 0)
                << tjGetErrorStr2(decoder);
            for (size_t p = 0; p < gray.size(); p += 997) ASSERT_NEAR(gray[p], 16, 1) << p;
        }
    }
    tjDestroy(decoder);
}

}  // namespace
