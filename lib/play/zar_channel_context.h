// A short-lived view of one board channel for one operation: the channel's
// 1,104-byte status block as the driver last reported it, the state word
// of the channel's group read from it, and the JPEG unit commands. It holds
// no lock; users that poll build one for their whole run.
#pragma once

#include <cstdint>
#include <memory>

#include "include/zarkd.h"

class CBoardConnection;

class ZAR_CHANNEL_CONTEXT {
public:
    ZAR_CHANNEL_CONTEXT(CBoardConnection* connection, uint32_t channel);
    ZAR_CHANNEL_CONTEXT(const ZAR_CHANNEL_CONTEXT&) = delete;
    ZAR_CHANNEL_CONTEXT& operator=(const ZAR_CHANNEL_CONTEXT&) = delete;

    // The driver's status of the channel into Status(); false when the request failed.
    bool QueryStatus();
    bool ResetChannel();
    // A command of the JPEG unit with nothing but the op and the unit set (op 0 stops and clears it).
    bool IssueJpegCommand(uint32_t op);
    // Loads a field pair into the JPEG unit (op 18 immediate, else 19) and
    // starts it (op 17) when its last known state is 0 or 32: 1 when the
    // unit runs or was started, else 0.
    int IssueJpegPlay(uint32_t fieldMode, uint32_t sectorsA, uint32_t sectorsB, uint32_t position, uint32_t immediate);
    bool IssueJpegCapture(uint32_t a, uint32_t b, uint32_t c, uint32_t d);
    bool AdvanceSdlHead(uint32_t value);
    // One 16-byte field entry through the context's ring into the play
    // channel's list (IOCTL_ZAR_POST_NODE_COMMAND).
    bool PostFieldEntry(const void* entry);
    // The record channel's next 32-byte field descriptor through the ring.
    bool GetNextEntry(void* descriptor);
    // A u32 of the last status read, by byte offset.
    uint32_t StatusWord(uint32_t offset) const { return Word(offset); }

    // The state word of the channel's group in the last status read; false
    // for a channel outside the groups that report one.
    bool StateWord(uint32_t* state) const;
    bool SecondPositionWord(uint32_t* position) const;
    // An effect channel is busy while its group's state word is 32.
    bool IsBusy();

    uint32_t Channel() const { return m_channel; }
    uint32_t Group() const { return m_group; }
    uint32_t Index() const { return m_index; }
    uint32_t JpegUnit() const { return m_jpegUnit; }
    uint32_t RingBytes() const { return m_ringBytes; }
    uint32_t WorkBytes() const { return m_workBytes; }
    bool RingActive() const { return m_ringActive != 0; }
    ZAR_CHANNEL_STATUS& Status() { return m_status; }

private:
    uint32_t Word(uint32_t offset) const;
    bool StateOffsets(uint32_t* state, uint32_t* position) const;

    CBoardConnection* m_connection;
    ZAR_CHANNEL_STATUS m_status{};
    uint32_t m_group = 0;
    uint32_t m_index = 0;
    std::unique_ptr<uint8_t[]> m_ring;
    uint32_t m_ringBytes = 0;
    uint8_t* m_ringRead = nullptr;
    uint8_t* m_ringWrite = nullptr;
    uint32_t m_ringActive = 0;
    uint32_t m_captureFlag = 0;
    uint32_t m_captureMarker = 0;
    std::unique_ptr<uint8_t[]> m_work;
    uint32_t m_workBytes = 0;
    uint32_t m_channel;
    uint32_t m_jpegUnit = 0;
};
