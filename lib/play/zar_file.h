// The base of every clip file: what a clip item asks a file, field by
// field (where a field lies, how large it is, how it moves between the
// board and the storage), and three process-wide services of all file
// classes: the registry of open clip files by path, the per-board
// field-sync mutex that serialises field transfers across processes, and
// the AllowDataOverruns setting.
//
// Failures inside create and open are thrown as ZarFileError and caught by
// the same operation, which returns the code: no exception leaves a file
// operation.
#pragma once

#include <cstdint>
#include <string>

#include "include/zarply.h"
#include "platform/win32/win32.h"

class CBoardConnection;
class CClipItem;
struct ZAR_DISK_REQUEST;

// Where one field lies: two placement words (media volume: SCSI target,
// then the first 512-byte block; ordinary volume: the high, then the low
// half of the file offset), the sectors its data use and the padding
// sectors after it. A field of 0 sectors used is empty.
#pragma pack(push, 1)
struct ZAR_FIELD_LOCATION {
    uint32_t place[2];
    uint16_t used;
    uint16_t padding;
};
#pragma pack(pop)
static_assert(sizeof(ZAR_FIELD_LOCATION) == 12);

enum : int32_t {
    ZAR_E_FIELD_RANGE = -71,  // a field number not below the field count
};

// One recorded field moved from board memory to its place in the clip: the
// field, its channel, the board-memory field slot (512-byte units), which of
// the board's two field buffers holds it, and the caller's disk request
// (operation, key word; null: the file's own, a write). With 'setBuffer'
// clear the request's channel word is the caller's.
struct ZAR_FIELD_TRANSFER {
    uint32_t field;
    uint32_t key;
    uint32_t boardSlot;
    uint32_t secondBuffer;
    uint32_t setBuffer;
    ZAR_DISK_REQUEST* request;
};

// Sizes reported for an empty field: the black-field format code of the standard.
inline constexpr uint32_t kEmptyFieldSize525 = 9;
inline constexpr uint32_t kEmptyFieldSize625 = 10;

class CZarFile {
public:
    struct ZarFileError {
        int32_t code;
    };
    static constexpr DWORD kFieldSyncWaitMs = 20000;
    static constexpr uint32_t kMaxBoards = 10;

    // Registered by its path unless the path is empty; a path already
    // registered now names this file.
    explicit CZarFile(std::u16string path = {});
    virtual ~CZarFile();
    CZarFile(const CZarFile&) = delete;
    CZarFile& operator=(const CZarFile&) = delete;

    virtual int32_t AddRef();
    virtual uint32_t GetFrameCount() = 0;
    virtual uint32_t GetAccessMode() { return m_accessMode; }
    virtual int32_t CreateFill(uint32_t sectorsPerField, uint32_t frames, uint32_t reserve, uint32_t fixedSize) = 0;
    virtual int32_t CreateKey(uint32_t sectorsPerField, uint32_t frames, uint32_t reserve, uint32_t fixedSize) = 0;
    virtual int32_t CreateFillFrom(CZarFile*, uint32_t, uint32_t) { return ZAR_E_DRIVER; }
    virtual int32_t CreateKeyFrom(CZarFile*, uint32_t, uint32_t) { return ZAR_E_DRIVER; }
    // Copies fields first..last of the source's channel into this file
    // through a host buffer; the progress word counts copied fields, a set
    // abort word stops the copy after a whole frame.
    virtual int32_t CopyFillFields(CZarFile*, uint32_t, uint32_t, volatile LONG*, volatile LONG*) { return ZAR_OK; }
    virtual int32_t CopyKeyFields(CZarFile*, uint32_t, uint32_t, volatile LONG*, volatile LONG*) { return ZAR_OK; }
    virtual int32_t OpenForAccess(uint32_t access) = 0;
    virtual int32_t CheckFieldWrite(uint32_t field, uint32_t sectors) = 0;
    virtual int32_t TransferField(const ZAR_FIELD_TRANSFER& transfer) = 0;
    virtual int32_t WriteAt(const ZAR_FIELD_LOCATION&, const void*, uint32_t) { return ZAR_E_DRIVER; }
    virtual int32_t GetFillNode(uint32_t field, ZAR_FIELD_LOCATION** node) = 0;
    virtual int32_t CheckKeyFieldWrite(uint32_t field, uint32_t sectors) = 0;
    virtual int32_t GetKeyNode(uint32_t field, ZAR_FIELD_LOCATION** node) = 0;
    // Field n into board memory at the field slot (512-byte units): the
    // queued form with the caller's key word, and the direct form under the
    // field-sync mutex with the caller's words at 20 and 96 of the request.
    virtual int32_t FillFieldToBoard(uint32_t field, uint32_t slot, uint32_t keyWord = 0) = 0;
    virtual int32_t FillFieldToBoardSync(uint32_t field, uint32_t slot, uint32_t value20 = 0, uint32_t value96 = 0) = 0;
    virtual int32_t KeyFieldToBoard(uint32_t field, uint32_t slot, uint32_t keyWord = 0) = 0;
    virtual int32_t KeyFieldToBoardSync(uint32_t field, uint32_t slot, uint32_t value20 = 0, uint32_t value96 = 0) = 0;
    virtual int32_t ReadFillField(uint32_t field, void* buffer, uint32_t bytes) = 0;
    virtual int32_t ReadKeyField(uint32_t field, void* buffer, uint32_t bytes) = 0;
    virtual uint32_t GetFillFieldSize(uint32_t field) = 0;
    virtual uint32_t GetKeyFieldSize(uint32_t field) = 0;
    virtual uint32_t IsFillUncompressed() = 0;
    virtual uint32_t IsKeyUncompressed() = 0;
    virtual int32_t GetFieldPlacement(uint32_t field, uint32_t* target, uint32_t* block, uint32_t* sectors) = 0;
    virtual int32_t Unused28() { return 0; }
    // The recording side file: 1 when written, else 0 (channel 0 fill, 1 key).
    virtual int32_t CreateSideFile(uint32_t) { return ZAR_OK; }
    // 'count' entries {0, sectors an entry covers} from field 'first' on,
    // going on at 'wrap' when 'limit' is reached.
    virtual int32_t AppendSideFile(uint32_t, uint32_t, uint32_t, uint32_t) { return ZAR_OK; }
    virtual int32_t SetSideFileField(uint32_t, uint32_t) { return ZAR_OK; }
    virtual int32_t DeleteSideFile() { return ZAR_OK; }
    virtual uint32_t IsOnMediaVolume() { return 0; }
    virtual uint32_t GetFieldParity(uint32_t field) { return field & 1; }

    // Drops one reference; the last leaves the registry (its own entry
    // only) and deletes the file.
    void Release();
    LONG References() const { return m_references; }
    const std::u16string& Path() const { return m_path; }
    uint32_t Standard() const { return m_standard; }
    uint32_t EmptyFieldSize() const { return m_standard == 625 ? kEmptyFieldSize625 : kEmptyFieldSize525; }

    // The open file registered under the path with a reference taken for
    // the caller (who releases it), or false.
    static bool FindOpenClipFile(const std::u16string& path, CZarFile** file);
    static size_t OpenClipFiles();

    // The board's cross-process field-sync mutex (ZAR_FIELD_SYNC_MUTEX<n>):
    // made once a board and process, kept until CloseFieldSyncMutex.
    static bool CreateFieldSyncMutex(uint32_t board);
    // False when it did not come within 20 s (or the board has none).
    static bool WaitFieldSyncMutex(uint32_t board);
    static void ReleaseFieldSyncMutex(uint32_t board);
    static void CloseFieldSyncMutex(uint32_t board);
    // The board's AllowDataOverruns (ZARKD's Parameters, Parameters<n> for
    // board n above 0): true only when the key opens, the value reads and
    // it is not 0.
    static bool ReadAllowDataOverruns(uint32_t board);
    static std::string ParametersKeyPath(uint32_t board);

protected:
    volatile LONG m_references = 1;
    std::u16string m_path;
    uint32_t m_allowOverruns = 0;
    uint32_t m_accessMode = 0;
    HANDLE m_file = INVALID_HANDLE_VALUE;
    uint32_t m_standard = 525;
};
