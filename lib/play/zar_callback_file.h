// A clip whose fields are chosen by the application: for every field an
// application callback names a clip item and a field of it, and the
// operation runs on that item. The file has no storage and no path.
#pragma once

#include "zar_file.h"

// The application's callback: (context, field, out clip-item handle, out
// field of that item) -> non-zero when it mapped the field.
using ZarClipFieldCallback = uint32_t (*)(uint32_t context, uint32_t field, uint32_t* item, uint32_t* itemField);

class CZarCallbackFile : public CZarFile {
public:
    static constexpr int32_t kNothingMapped = -90;

    CZarCallbackFile(CBoardConnection* connection, ZarClipFieldCallback callback, uint32_t context, uint32_t frames);

    uint32_t GetFrameCount() override { return m_frames; }
    uint32_t GetAccessMode() override { return GENERIC_READ; }
    int32_t CreateFill(uint32_t, uint32_t, uint32_t, uint32_t) override { return ZAR_E_DRIVER; }
    int32_t CreateKey(uint32_t, uint32_t, uint32_t, uint32_t) override { return ZAR_E_DRIVER; }
    int32_t OpenForAccess(uint32_t) override { return ZAR_E_DRIVER; }
    int32_t CheckFieldWrite(uint32_t, uint32_t) override { return ZAR_E_DRIVER; }
    int32_t TransferField(const ZAR_FIELD_TRANSFER&) override { return ZAR_E_DRIVER; }
    int32_t WriteAt(const ZAR_FIELD_LOCATION&, const void*, uint32_t) override { return ZAR_E_DRIVER; }
    int32_t CheckKeyFieldWrite(uint32_t, uint32_t) override { return ZAR_E_DRIVER; }
    int32_t GetKeyNode(uint32_t, ZAR_FIELD_LOCATION**) override { return ZAR_E_DRIVER; }
    int32_t KeyFieldToBoard(uint32_t, uint32_t, uint32_t) override { return ZAR_E_DRIVER; }
    int32_t KeyFieldToBoardSync(uint32_t, uint32_t, uint32_t, uint32_t) override { return ZAR_E_DRIVER; }
    int32_t ReadKeyField(uint32_t, void*, uint32_t) override { return ZAR_E_DRIVER; }
    uint32_t GetKeyFieldSize(uint32_t) override { return uint32_t(ZAR_E_DRIVER); }
    uint32_t IsKeyUncompressed() override { return 0; }

    int32_t GetFillNode(uint32_t field, ZAR_FIELD_LOCATION** node) override;
    int32_t FillFieldToBoard(uint32_t field, uint32_t slot, uint32_t keyWord = 0) override;
    int32_t FillFieldToBoardSync(uint32_t field, uint32_t slot, uint32_t value20 = 0, uint32_t value96 = 0) override;
    int32_t ReadFillField(uint32_t field, void* buffer, uint32_t bytes) override;
    // Sectors of the mapped field; -90 or -9 (as an unsigned number) when none.
    // A handle that is not a clip item's gives -9.
    uint32_t GetFillFieldSize(uint32_t field) override;
    int32_t GetFieldPlacement(uint32_t field, uint32_t* target, uint32_t* block, uint32_t* sectors) override;
    // Field 0's item's flag; 0 when it maps to none.
    uint32_t IsFillUncompressed() override;
    uint32_t GetFieldParity(uint32_t field) override;

private:
    // The clip item a field maps to, kept alive while the operation runs.
    class Target;

    CBoardConnection* m_connection;
    ZarClipFieldCallback m_callback;
    uint32_t m_context;
    uint32_t m_frames;
};
