// A clip on the board's media volume, seen through the media drive letter.
// The file system owns the clip's entry, its space and its body tables; this
// class creates or opens the clip through the drive letter, asks the file
// system for space and for the body-table nodes (one field location a
// field, in a section the file system shares), and moves field data itself
// with the board's disk requests. While it records it may keep the side
// file from which the file system rebuilds an interrupted recording's body
// table.
#pragma once

#include <string>

#include "include/zarfs.h"
#include "include/zarkd.h"
#include "zar_file.h"

class CZarLocalFile : public CZarFile {
public:
    // Uncompressed field sizes in sectors.
    static constexpr uint32_t kUncompressed525 = 684;
    static constexpr uint32_t kUncompressed625 = 810;
    // The largest host transfer: one uncompressed 625-line field.
    static constexpr uint32_t kMaxTransferBytes = 414720;

    CZarLocalFile(std::u16string path, CBoardConnection* connection);
    ~CZarLocalFile() override;

    uint32_t GetFrameCount() override { return m_frameCount; }
    int32_t CreateFill(uint32_t sectorsPerField, uint32_t frames, uint32_t reserve, uint32_t fixedSize) override;
    int32_t CreateKey(uint32_t sectorsPerField, uint32_t frames, uint32_t reserve, uint32_t fixedSize) override;
    int32_t CopyFillFields(CZarFile* source, uint32_t first, uint32_t last, volatile LONG* progress,
                           volatile LONG* abort) override
    {
        return CopyFields(0, source, first, last, progress, abort);
    }
    int32_t CopyKeyFields(CZarFile* source, uint32_t first, uint32_t last, volatile LONG* progress,
                          volatile LONG* abort) override
    {
        return CopyFields(1, source, first, last, progress, abort);
    }
    int32_t OpenForAccess(uint32_t access) override;
    int32_t CheckFieldWrite(uint32_t field, uint32_t sectors) override { return CheckWrite(0, field, sectors); }
    int32_t TransferField(const ZAR_FIELD_TRANSFER& transfer) override;
    int32_t WriteAt(const ZAR_FIELD_LOCATION& location, const void* buffer, uint32_t length) override;
    int32_t GetFillNode(uint32_t field, ZAR_FIELD_LOCATION** node) override { return GetNode(0, field, node); }
    int32_t CheckKeyFieldWrite(uint32_t field, uint32_t sectors) override { return CheckWrite(1, field, sectors); }
    int32_t GetKeyNode(uint32_t field, ZAR_FIELD_LOCATION** node) override { return GetNode(1, field, node); }
    int32_t FillFieldToBoard(uint32_t field, uint32_t slot, uint32_t keyWord = 0) override;
    int32_t FillFieldToBoardSync(uint32_t field, uint32_t slot, uint32_t value20 = 0, uint32_t value96 = 0) override;
    int32_t KeyFieldToBoard(uint32_t field, uint32_t slot, uint32_t keyWord = 0) override;
    int32_t KeyFieldToBoardSync(uint32_t field, uint32_t slot, uint32_t value20 = 0, uint32_t value96 = 0) override;
    int32_t ReadFillField(uint32_t field, void* buffer, uint32_t bytes) override { return ReadField(0, field, buffer, bytes); }
    int32_t ReadKeyField(uint32_t field, void* buffer, uint32_t bytes) override { return ReadField(1, field, buffer, bytes); }
    uint32_t GetFillFieldSize(uint32_t field) override { return FieldSize(0, field); }
    uint32_t GetKeyFieldSize(uint32_t field) override { return FieldSize(1, field); }
    uint32_t IsFillUncompressed() override { return m_uncompressed; }
    uint32_t IsKeyUncompressed() override { return m_uncompressed; }
    int32_t GetFieldPlacement(uint32_t field, uint32_t* target, uint32_t* block, uint32_t* sectors) override;
    int32_t CreateSideFile(uint32_t channel) override;
    int32_t AppendSideFile(uint32_t first, uint32_t wrap, uint32_t limit, uint32_t count) override;
    int32_t SetSideFileField(uint32_t field, uint32_t used) override;
    int32_t DeleteSideFile() override;
    uint32_t IsOnMediaVolume() override { return 1; }

    // The board writes a field of its memory (board address in 512-byte
    // units) straight to the place the location names.
    int32_t WriteFieldFromBoard(const ZAR_FIELD_LOCATION& location, uint32_t key, uint32_t boardSlot);

    // Clip-entry operations on a clip of the media drive, each through an
    // open of its own: the 1,024-byte entry, the 256-byte application block,
    // the SDTI types.
    static int32_t ReadFileEntry(CBoardConnection* connection, const std::u16string& path, ZAR_FILE_INFO* entry);
    static int32_t WriteAppInfo(CBoardConnection* connection, const std::u16string& path, const uint8_t* block);
    static int32_t SetSdtiType(CBoardConnection* connection, const std::u16string& path, uint32_t video,
                               uint32_t alpha);

    // The recording side file of a board: !KIVBKUP.!BT in the system's
    // drivers folder for board 0, !KIVBKUP<n>.!BT beside it for board n.
    static std::string SideFilePath(uint32_t board);

    uint32_t Drives() const { return m_volume.DriveCount; }
    uint32_t SectorsPerField() const { return m_sectorsPerField; }

private:
    struct Channel {
        bool present = false;
        uint32_t first = 0, blocks = 0, end = 0;   // the data run, per drive
        uint32_t tableFirst = 0, tableBlocks = 0;  // the body-table run
        HANDLE section = nullptr;
        ZAR_FIELD_LOCATION* nodes = nullptr;
        uint32_t next = 0;                         // the next field to record
        uint32_t frames = 0;                       // frames recorded whole
        uint64_t totalBlocks = 0;                  // used + padding of those frames
    };

    int32_t Create(uint32_t channel, uint32_t sectorsPerField, uint32_t frames, uint32_t reserve, uint32_t fixedSize);
    void OpenFile(DWORD access, DWORD disposition);
    void FileInfo(ZARFS_GET_FILE_INFO* info);
    void MapNodes(uint32_t channel, const char16_t* name);
    int32_t CheckWrite(uint32_t channel, uint32_t field, uint32_t sectors);
    int32_t GetNode(uint32_t channel, uint32_t field, ZAR_FIELD_LOCATION** node);
    int32_t FieldToBoard(uint32_t channel, uint32_t field, uint32_t slot, bool direct, uint32_t word20,
                         uint32_t word96, uint32_t keyWord);
    int32_t ReadField(uint32_t channel, uint32_t field, void* buffer, uint32_t bytes);
    uint32_t FieldSize(uint32_t channel, uint32_t field);
    int32_t CopyFields(uint32_t channel, CZarFile* source, uint32_t first, uint32_t last, volatile LONG* progress,
                       volatile LONG* abort);
    bool Disk(ZAR_DISK_REQUEST& request);
    bool FileSystem(uint32_t code, void* record, uint32_t bytes, void* out = nullptr, uint32_t outBytes = 0);
    uint32_t Fps24Mode() const;
    bool Writable() const { return (m_accessMode & GENERIC_WRITE) != 0; }
    void Finish();
    void CloseAll();

    CBoardConnection* m_connection;
    uint32_t m_board;
    bool m_modified = false;
    ZAR_VOLUME_INFO m_volume{};
    uint32_t m_uncompressed = 0;
    Channel m_channels[2];
    uint32_t m_fieldCount = 0, m_frameCount = 0;
    uint32_t m_reserve = 0, m_fixedSize = 0, m_sectorsPerField = 0;
    bool m_bodyTable = false;  // a body table was made or referenced through this file's handle
    ZAR_FIELD_LOCATION m_empty{};
    ZAR_DISK_REQUEST m_request{};
    HANDLE m_side = INVALID_HANDLE_VALUE;
    std::string m_sidePath;
    uint32_t m_sideCovered = 0;
};
