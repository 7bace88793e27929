// The reading side of the live source: an endless clip file whose fields
// come from another process's frame ring, mapped onto slots by the sync
// object; a field with nothing new plays the built-in empty field. Every
// field handed to the board is also queued for a running live recording.
//
// The ring's header is another process's data: its layout is checked once
// at open and kept, and a slot size that does not fit its slot is taken
// for an empty slot.
#pragma once

#include <string>
#include <vector>

#include "zar_empty_field.h"
#include "zar_file.h"
#include "zar_live_ring.h"

class CSysLiveSourceSync;
class CSysLiveSourceRecord;

class CSysLiveSourceVideoFile : public CZarFile {
public:
    static constexpr uint32_t kEndlessFrames = 0x20000000;

    explicit CSysLiveSourceVideoFile(CBoardConnection* connection);
    ~CSysLiveSourceVideoFile() override;

    // -1 when there is no ring of the name or its layout does not hold
    // (slot count not a power of two from 4 to 256, slot size not a
    // non-zero multiple of 512, offsets out of order, a section too small
    // for its slots); -23 for a ring of the other standard; -4 when the
    // recording queue cannot be made.
    int32_t OpenRing(CSysLiveSourceSync* sync, CSysLiveSourceRecord* queue, const std::string& mappingName);

    uint32_t GetFrameCount() override { return kEndlessFrames; }
    uint32_t GetAccessMode() override { return GENERIC_READ; }
    int32_t CreateFill(uint32_t, uint32_t, uint32_t, uint32_t) override { return ZAR_E_DRIVER; }
    int32_t CreateKey(uint32_t, uint32_t, uint32_t, uint32_t) override { return ZAR_E_DRIVER; }
    int32_t OpenForAccess(uint32_t) override { return ZAR_E_DRIVER; }
    int32_t CheckFieldWrite(uint32_t, uint32_t) override { return ZAR_E_DRIVER; }
    int32_t TransferField(const ZAR_FIELD_TRANSFER&) override { return ZAR_E_DRIVER; }
    int32_t GetFillNode(uint32_t field, ZAR_FIELD_LOCATION** node) override;
    int32_t CheckKeyFieldWrite(uint32_t, uint32_t) override { return ZAR_E_DRIVER; }
    int32_t GetKeyNode(uint32_t, ZAR_FIELD_LOCATION**) override { return ZAR_E_DRIVER; }
    int32_t FillFieldToBoard(uint32_t field, uint32_t slot, uint32_t keyWord = 0) override;
    int32_t FillFieldToBoardSync(uint32_t field, uint32_t slot, uint32_t value20 = 0, uint32_t value96 = 0) override;
    int32_t KeyFieldToBoard(uint32_t, uint32_t, uint32_t) override { return ZAR_E_DRIVER; }
    int32_t KeyFieldToBoardSync(uint32_t, uint32_t, uint32_t, uint32_t) override { return ZAR_E_DRIVER; }
    int32_t ReadFillField(uint32_t field, void* buffer, uint32_t bytes) override;
    int32_t ReadKeyField(uint32_t, void*, uint32_t) override { return ZAR_E_DRIVER; }
    uint32_t GetFillFieldSize(uint32_t field) override;
    uint32_t GetKeyFieldSize(uint32_t) override { return uint32_t(ZAR_E_DRIVER); }
    uint32_t IsFillUncompressed() override { return 0; }
    uint32_t IsKeyUncompressed() override { return 0; }
    int32_t GetFieldPlacement(uint32_t, uint32_t*, uint32_t*, uint32_t*) override { return 0; }

    uint32_t Slots() const { return m_slots; }
    ZAR_LIVE_RING_HEADER* Header() const { return m_header; }
    // Slot sizes from the writer that did not fit their slot.
    uint32_t OversizedSlots() const { return m_oversized; }

private:
    // The slot of a field (asked of the sync object once a field) and the
    // bytes it holds: the empty image for slot N or an unusable size.
    uint32_t SlotOf(uint32_t field);
    void SlotData(uint32_t slot, const uint8_t** data, uint32_t* bytes);
    int32_t SendField(uint32_t field, bool direct, uint32_t slot, uint32_t word20, uint32_t word96, uint32_t keyWord);
    void CloseRing();

    CBoardConnection* m_connection;
    CSysLiveSourceSync* m_sync = nullptr;
    CSysLiveSourceRecord* m_queue = nullptr;
    HANDLE m_mapping = nullptr;
    ZAR_LIVE_RING_HEADER* m_header = nullptr;
    const uint32_t* m_table = nullptr;
    const uint8_t* m_data = nullptr;
    uint32_t m_slots = 0;
    uint32_t m_slotSize = 0;
    std::vector<ZAR_FIELD_LOCATION> m_locations;
    EmptyFieldImage m_empty{};
    uint32_t m_cachedField = 0xFFFFFFFFu;
    uint32_t m_cachedSlot = 0;
    uint32_t m_oversized = 0;
};
