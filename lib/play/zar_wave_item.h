// The wave record item: the board's recorded audio (16-bit stereo sample
// frames) captured into a RIFF WAVE image while a record runs, either a
// WAVE file or a named shared-memory section holding a WAVE image with a
// live-ring block that other processes read while it is written. The item
// keeps every ratio-th sample frame for its own rate and reduces it to mono
// or 8 bits when asked.
//
// It removes or shortens only what it made itself: a file opened to append
// to, or a backing file that was there before, is never cut or deleted.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/win32/win32.h"
#include "zar_play_item.h"

class CBoardConnection;

inline constexpr uint32_t kWaveFileHeaderBytes = 44;
inline constexpr uint32_t kWaveSectionHeaderBytes = 84;
inline constexpr uint32_t kWaveLiveBlockOffset = 44;    // 32 bytes
inline constexpr uint32_t kWaveLivePositionOffset = 48; // i64 sample frames written

enum : uint32_t {
    ZAR_WAVE_MODE_FILE = 0,
    ZAR_WAVE_MODE_SECTION = 1,
};
enum : uint32_t {
    ZAR_WAVE_STEREO = 0,
    ZAR_WAVE_MONO_LEFT = 1,
    ZAR_WAVE_MONO_RIGHT = 2,
};
enum : uint32_t {
    ZAR_WAVE_CREATE_ALWAYS = 1,  // else create new
    ZAR_WAVE_KEEP_FILE = 2,
    ZAR_WAVE_OPEN_EXISTING = 4,  // takes precedence
};

struct ZAR_WAVE_CREATE {
    uint32_t mode;
    std::string path;
    uint32_t rate;
    uint32_t channelCode;
    uint32_t eightBit;
    HANDLE event;                // signalled after each write; may be null
    std::string sectionName;
    uint32_t samples;            // 0: from the field count
    uint32_t fields;
    uint32_t flags;
};

class CWaveItem : public CPlayItem {
public:
    static constexpr uint32_t kType = 102;
    static constexpr uint32_t kBoardFrameBytes = 4;  // 16-bit left, 16-bit right

    explicit CWaveItem(CBoardConnection* connection = nullptr) : m_connection(connection) {}
    ~CWaveItem() override;
    uint32_t GetType() const override { return kType; }

    int32_t Create(const ZAR_WAVE_CREATE& request);
    // Before the record starts: the board's rate must be a whole multiple
    // of the item's; in section mode the record's in, out and pre-roll
    // (sample frames) must lie inside the ring.
    int32_t PrepareForRecord(uint32_t boardRate, uint64_t in = 0, uint64_t out = 0, uint64_t preroll = 0);
    // A block of board sample frames, converted and appended.
    int32_t Write(const void* samples, uint32_t bytes);
    // The header with the final sizes (unless the keep flag holds them).
    int32_t Finish();

    uint32_t Channels() const { return m_channels; }
    uint32_t BitsPerSample() const { return m_bits; }
    uint32_t BlockAlign() const { return m_blockAlign; }
    uint32_t Ratio() const { return m_ratio; }
    uint64_t BytesWritten() const { return m_written; }
    uint32_t PlannedDataBytes() const { return m_dataBytes; }

private:
    void WriteHeader(uint8_t* header, uint32_t dataBytes) const;
    int32_t CreateFileImage(const ZAR_WAVE_CREATE& request);
    int32_t CreateSection(const ZAR_WAVE_CREATE& request);
    uint32_t Convert(const uint8_t* in, uint32_t frames);
    double FrameRate() const;

    CBoardConnection* m_connection;
    uint32_t m_mode = ZAR_WAVE_MODE_FILE;
    uint32_t m_flags = 0;
    uint32_t m_channels = 2;
    uint32_t m_rate = 0;
    uint32_t m_bits = 16;
    uint32_t m_blockAlign = 4;
    bool m_right = false;
    bool m_fixedLength = false;
    uint32_t m_samples = 0;
    uint32_t m_dataBytes = 0;
    uint64_t m_existingData = 0;   // data already in a file opened to append to
    bool m_createdFile = false;    // the file (or backing file) is this item's own
    HANDLE m_event = nullptr;
    std::string m_path;
    HANDLE m_file = INVALID_HANDLE_VALUE;
    HANDLE m_section = nullptr;
    uint8_t* m_view = nullptr;     // the whole section image
    uint32_t m_ratio = 1;
    std::vector<uint8_t> m_conversion;
    uint64_t m_written = 0;        // bytes of converted samples written by this item
    uint64_t m_ringPosition = 0;   // sample frames written into the ring
};
