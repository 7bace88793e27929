// Clip files with no storage of their own, whose field pixels lie in host
// memory: read-only, never created, opened or recorded, and never entered
// in the registry of open clip files (their path is empty). A field goes
// to the board straight from the pixels' memory.
#pragma once

#include "zar_file.h"

class CZarVirtualFile : public CZarFile {
public:
    CZarVirtualFile(CBoardConnection* connection, uint32_t frames);

    // The pixels of a field and their size in bytes.
    virtual int32_t GetFieldData(const uint8_t** data, uint32_t* bytes) = 0;

    uint32_t GetFrameCount() override { return m_frames; }
    uint32_t GetAccessMode() override { return GENERIC_READ; }
    int32_t CreateFill(uint32_t, uint32_t, uint32_t, uint32_t) override { return ZAR_E_DRIVER; }
    int32_t CreateKey(uint32_t, uint32_t, uint32_t, uint32_t) override { return ZAR_E_DRIVER; }
    int32_t OpenForAccess(uint32_t) override { return ZAR_E_DRIVER; }
    int32_t CheckFieldWrite(uint32_t, uint32_t) override { return ZAR_E_DRIVER; }
    int32_t TransferField(const ZAR_FIELD_TRANSFER&) override { return ZAR_E_DRIVER; }
    int32_t CheckKeyFieldWrite(uint32_t, uint32_t) override { return ZAR_E_DRIVER; }
    int32_t GetKeyNode(uint32_t, ZAR_FIELD_LOCATION**) override { return ZAR_E_DRIVER; }
    int32_t KeyFieldToBoard(uint32_t, uint32_t, uint32_t) override { return ZAR_E_DRIVER; }
    int32_t KeyFieldToBoardSync(uint32_t, uint32_t, uint32_t, uint32_t) override { return ZAR_E_DRIVER; }
    int32_t ReadKeyField(uint32_t, void*, uint32_t) override { return ZAR_E_DRIVER; }
    uint32_t GetKeyFieldSize(uint32_t) override { return uint32_t(ZAR_E_DRIVER); }
    uint32_t IsKeyUncompressed() override { return 0; }
    int32_t GetFieldPlacement(uint32_t, uint32_t*, uint32_t*, uint32_t*) override { return 0; }

    // The field's pixels into board memory at the field slot (512-byte
    // units): the queued form with the caller's key word (channel word 2
    // when it is set), and the direct form under the field-sync mutex with
    // the caller's words at 20 and 96.
    int32_t FillFieldToBoard(uint32_t field, uint32_t slot, uint32_t keyWord = 0) override;
    int32_t FillFieldToBoardSync(uint32_t field, uint32_t slot, uint32_t value20 = 0, uint32_t value96 = 0) override;
    int32_t ReadFillField(uint32_t field, void* buffer, uint32_t bytes) override;
    uint32_t GetFillFieldSize(uint32_t field) override;

    CBoardConnection* Connection() const { return m_connection; }

protected:
    int32_t SendField(bool direct, uint32_t slot, uint32_t word20, uint32_t word96, uint32_t keyWord);

    CBoardConnection* m_connection;
    uint32_t m_frames;
};
