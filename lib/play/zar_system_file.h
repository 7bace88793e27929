// A clip file in the "KIV0" format on an ordinary volume. Field data travel
// between the board's memory and the file through a host buffer of the
// file's own: to record, the board copies a field into it and the field is
// written at its place; to play, the field is read from the file and handed
// to the board. A key stream may be recorded beside the fill of a clip
// being created (its fields wait in a side store until the fill data end is
// known) or added to an existing clip. Sizes are counted in sectors a field.
#pragma once

#include <string>
#include <vector>

#include "include/zarfs.h"
#include "include/zarkd.h"
#include "zar_clip_format.h"
#include "zar_file.h"

class CZarSystemFile : public CZarFile {
public:
    static constexpr uint32_t kMaxFieldSectors = 810;  // an uncompressed 625-line field
    static constexpr uint32_t kBufferBytes = kMaxFieldSectors * 512;

    CZarSystemFile(std::u16string path, CBoardConnection* connection);
    ~CZarSystemFile() override;

    uint32_t GetFrameCount() override { return m_frames; }
    int32_t CreateFill(uint32_t sectorsPerField, uint32_t frames, uint32_t reserve, uint32_t fixedSize) override;
    int32_t CreateKey(uint32_t sectorsPerField, uint32_t frames, uint32_t reserve, uint32_t fixedSize) override;
    int32_t OpenForAccess(uint32_t access) override;
    int32_t CheckFieldWrite(uint32_t field, uint32_t sectors) override { return CheckWrite(0, field, sectors); }
    int32_t CheckKeyFieldWrite(uint32_t field, uint32_t sectors) override { return CheckWrite(1, field, sectors); }
    int32_t TransferField(const ZAR_FIELD_TRANSFER& transfer) override;
    int32_t WriteAt(const ZAR_FIELD_LOCATION& location, const void* buffer, uint32_t length) override;
    int32_t GetFillNode(uint32_t field, ZAR_FIELD_LOCATION** node) override { return GetNode(0, field, node); }
    int32_t GetKeyNode(uint32_t field, ZAR_FIELD_LOCATION** node) override { return GetNode(1, field, node); }
    int32_t FillFieldToBoard(uint32_t field, uint32_t slot, uint32_t keyWord = 0) override;
    int32_t FillFieldToBoardSync(uint32_t field, uint32_t slot, uint32_t value20 = 0, uint32_t value96 = 0) override;
    int32_t KeyFieldToBoard(uint32_t field, uint32_t slot, uint32_t keyWord = 0) override;
    int32_t KeyFieldToBoardSync(uint32_t field, uint32_t slot, uint32_t value20 = 0, uint32_t value96 = 0) override;
    int32_t ReadFillField(uint32_t field, void* buffer, uint32_t bytes) override { return ReadField(0, field, buffer, bytes); }
    int32_t ReadKeyField(uint32_t field, void* buffer, uint32_t bytes) override { return ReadField(1, field, buffer, bytes); }
    uint32_t GetFillFieldSize(uint32_t field) override { return FieldSize(0, field); }
    uint32_t GetKeyFieldSize(uint32_t field) override { return FieldSize(1, field); }
    uint32_t IsFillUncompressed() override { return m_channels[0].uncompressed; }
    uint32_t IsKeyUncompressed() override { return m_channels[1].uncompressed; }
    int32_t GetFieldPlacement(uint32_t field, uint32_t* target, uint32_t* block, uint32_t* sectors) override;

    // A clip file's information in the media file entry's form, without
    // keeping the file open: 0, or -1 when it does not open or read.
    static int32_t ReadClipInfo(const std::u16string& path, ZAR_FILE_INFO* info);
    // Replaces the 256-byte info block of a clip file.
    static int32_t WriteClipInfo(const std::u16string& path, const uint8_t* block);

private:
    struct Channel {
        bool present = false;
        bool writing = false;       // recorded by this object
        bool pending = false;       // key fields kept in the side store until the fill data end
        uint32_t uncompressed = 0;
        uint64_t indexBody = 0;
        uint64_t dataStart = 0;
        uint64_t dataSectors = 0;
        uint32_t next = 0;          // the next field to record
        std::vector<ZAR_FIELD_LOCATION> fields;
    };

    int32_t CheckWrite(uint32_t channel, uint32_t field, uint32_t sectors);
    int32_t GetNode(uint32_t channel, uint32_t field, ZAR_FIELD_LOCATION** node);
    int32_t FieldToBoard(uint32_t channel, uint32_t field, uint32_t slot, bool direct, uint32_t word20,
                         uint32_t word96, uint32_t keyWord);
    int32_t ReadField(uint32_t channel, uint32_t field, void* buffer, uint32_t bytes);
    uint32_t FieldSize(uint32_t channel, uint32_t field);
    bool Disk(ZAR_DISK_REQUEST& request);
    bool WriteFile64(HANDLE file, uint64_t at, const void* data, uint32_t bytes);
    bool ReadFile64(HANDLE file, uint64_t at, void* data, uint32_t bytes);
    HANDLE FieldFile(uint32_t channel) const { return m_channels[channel].pending ? m_keyStore : m_file; }
    uint8_t* Buffer();
    bool Writable() const { return (m_accessMode & GENERIC_WRITE) != 0; }
    void Positions(uint32_t frames);
    int32_t Finish();
    void Close();

    CBoardConnection* m_connection;
    uint32_t m_board;
    Channel m_channels[2];
    uint32_t m_frames = 0, m_indexBytes = 0;
    uint32_t m_sectorsPerField = 0, m_reserve = 0, m_fixedSize = 0;
    bool m_created = false;         // made by CreateFill: the layout of a new clip
    ZAR_FIELD_LOCATION m_empty{};
    uint8_t* m_buffer = nullptr;    // the file's own field buffer, made at its first use
    HANDLE m_keyStore = INVALID_HANDLE_VALUE;
    std::u16string m_keyStorePath;
};
