// The writing side of the live source: a clip file into which a recording
// stream transfers fields from board memory, each into the next slot of a
// frame ring that another process plays. A frame is published (the write
// count moves by two and the ring's event is set) once both its fields
// arrived; a frame the reader has no room for is counted as dropped.
#pragma once

#include <string>
#include <vector>

#include "zar_file.h"
#include "zar_live_ring.h"

class CSysLiveSinkVideoFile : public CZarFile {
public:
    static constexpr uint32_t kEndlessFrames = 0x20000000;

    explicit CSysLiveSinkVideoFile(CBoardConnection* connection);
    ~CSysLiveSinkVideoFile() override;

    // Creates the ring: -2 for a slot count that is not a power of two from
    // 8 to 256, no name or no sectors; -4 when it would pass 1 GiB; -1 when
    // a ring of the name exists already (a writer never joins one), this
    // writer has one, or the section or event cannot be made.
    int32_t OpenRing(uint32_t sectorsPerField, uint32_t slots, const std::string& mappingName,
                     const std::string& eventName);

    uint32_t GetFrameCount() override { return kEndlessFrames; }
    uint32_t GetAccessMode() override { return GENERIC_WRITE; }
    int32_t CreateFill(uint32_t, uint32_t, uint32_t, uint32_t) override { return ZAR_E_DRIVER; }
    int32_t CreateKey(uint32_t, uint32_t, uint32_t, uint32_t) override { return ZAR_E_DRIVER; }
    int32_t OpenForAccess(uint32_t) override { return ZAR_E_DRIVER; }
    int32_t CheckFieldWrite(uint32_t field, uint32_t sectors) override;
    int32_t TransferField(const ZAR_FIELD_TRANSFER& transfer) override;
    int32_t GetFillNode(uint32_t field, ZAR_FIELD_LOCATION** node) override;
    int32_t CheckKeyFieldWrite(uint32_t, uint32_t) override { return ZAR_E_DRIVER; }
    int32_t GetKeyNode(uint32_t, ZAR_FIELD_LOCATION**) override { return ZAR_E_DRIVER; }
    int32_t FillFieldToBoard(uint32_t, uint32_t, uint32_t) override { return ZAR_E_DRIVER; }
    int32_t FillFieldToBoardSync(uint32_t, uint32_t, uint32_t, uint32_t) override { return ZAR_E_DRIVER; }
    int32_t KeyFieldToBoard(uint32_t, uint32_t, uint32_t) override { return ZAR_E_DRIVER; }
    int32_t KeyFieldToBoardSync(uint32_t, uint32_t, uint32_t, uint32_t) override { return ZAR_E_DRIVER; }
    int32_t ReadFillField(uint32_t, void*, uint32_t) override { return ZAR_E_DRIVER; }
    int32_t ReadKeyField(uint32_t, void*, uint32_t) override { return ZAR_E_DRIVER; }
    uint32_t GetFillFieldSize(uint32_t) override { return m_sectors; }
    uint32_t GetKeyFieldSize(uint32_t) override { return uint32_t(ZAR_E_DRIVER); }
    // At the standard's uncompressed size of a half-height field.
    uint32_t IsFillUncompressed() override;
    uint32_t IsKeyUncompressed() override { return 0; }
    int32_t GetFieldPlacement(uint32_t, uint32_t*, uint32_t*, uint32_t*) override { return 0; }

    // Moves the write count a frame on unless the reader is N - 2 fields
    // behind; sets the event. False when the ring is full.
    bool Publish();
    // A frame that arrived whole but found the ring full: published at the
    // next field, or dropped.
    bool PublishPending() const { return m_pending; }
    ZAR_LIVE_RING_HEADER* Header() const { return m_header; }

private:
    bool Copy(const ZAR_FIELD_TRANSFER& transfer, uint32_t slot);
    void CloseRing();

    CBoardConnection* m_connection;
    HANDLE m_mapping = nullptr;
    HANDLE m_event = nullptr;
    ZAR_LIVE_RING_HEADER* m_header = nullptr;
    uint32_t* m_table = nullptr;
    uint8_t* m_data = nullptr;
    uint32_t m_slotSize = 0;
    uint32_t m_slots = 0;
    bool m_pending = false;
    uint32_t m_sectors = 0;
    std::vector<ZAR_FIELD_LOCATION> m_locations;
};
