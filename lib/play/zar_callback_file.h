// A clip whose fields are chosen by the application: for every field an
// application callback names a clip item and a field of it, and the
// operation runs on that item. The file has no storage and no path.
//
// The clip item's side is reached through a table of its field operations
// that the clip item class registers (SetClipItemOps), so that this file
// needs to know of a clip item only its handle and type.
#pragma once

#include "zar_file.h"

class CPlayItem;

// The application's callback: (context, field, out clip-item handle, out
// field of that item) -> non-zero when it mapped the field.
using ZarClipFieldCallback = uint32_t (*)(uint32_t context, uint32_t field, uint32_t* item, uint32_t* itemField);

// A clip item's field operations on its own output fields.
struct ZAR_CLIP_ITEM_FIELD_OPS {
    int32_t (*getFieldNode)(CPlayItem* item, uint32_t field, ZAR_FIELD_LOCATION** node);
    int32_t (*fieldToBoard)(CPlayItem* item, uint32_t field, uint32_t slot, uint32_t keyWord);
    int32_t (*fieldToBoardSync)(CPlayItem* item, uint32_t field, uint32_t slot, uint32_t value20, uint32_t value96);
    int32_t (*readField)(CPlayItem* item, uint32_t field, void* buffer, uint32_t bytes);
    uint32_t (*getFieldSize)(CPlayItem* item, uint32_t field);
    int32_t (*getFieldPlacement)(CPlayItem* item, uint32_t field, uint32_t* target, uint32_t* block, uint32_t* sectors);
    // Its file's fill or key uncompressed flag, by the item's channel.
    uint32_t (*isUncompressed)(CPlayItem* item);
    // The parity its file gives the source field of an output field.
    uint32_t (*fieldParity)(CPlayItem* item, uint32_t field);
};

class CZarCallbackFile : public CZarFile {
public:
    static constexpr int32_t kNothingMapped = -90;
    static constexpr uint32_t kClipItemType = 100;

    CZarCallbackFile(CBoardConnection* connection, ZarClipFieldCallback callback, uint32_t context, uint32_t frames);

    // Registered once by the clip item class; until then every field
    // operation answers -9.
    static void SetClipItemOps(const ZAR_CLIP_ITEM_FIELD_OPS* ops);

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
