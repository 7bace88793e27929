// The audio exports: the level conversion every fader and meter uses, the
// track controls, the source and the digital audio interfaces, meters,
// master, codec, level multipliers and the record monitoring switch. The
// frame has looked the board handle up and tested the record at its size.

#include <cmath>
#include <cstring>

#include "include/zardll.h"
#include "include/zario.h"
#include "include/zarkd.h"
#include "include/zarkd_audio.h"
#include "zar_export_frame.h"
#include "zar_option.h"
#include "zar_shared.h"

namespace {

bool BoardRequest(const ExportCall& call, uint32_t code, const void* in, DWORD inLength, void* out, DWORD outLength)
{
    DWORD returned = 0;
    return SendDeviceRequest(call.connection->m_hBoard, code, const_cast<void*>(in), inLength, out, outLength,
                             &returned, nullptr) != FALSE;
}

int32_t Result(bool sent) { return sent ? ZAR_OK : ZAR_E_DRIVER; }

ZAR_BOARD_SHARED& Shared(const ExportCall& call) { return *call.connection->m_pShared; }

uint32_t Word(const void* record, size_t index) { return static_cast<const uint32_t*>(record)[index]; }

// ---- Level conversion ----

double PowerLaw(double range, double fraction) { return range * std::pow(fraction, 0.3598365) - range; }

// dB of a value of a kind; false when the value is out of the kind's range.
bool LevelDb(uint32_t kind, uint32_t v, double* db)
{
    switch (kind) {
    case 0:  // fader
        if (v > 255) return false;
        *db = zarapi::FaderLevelDb(v);
        return true;
    case 1:  // pan, one side
        if (v > 255) return false;
        *db = v <= 128 ? 0.0 : v == 255 ? -70.0 : 70.0 * std::pow((255.0 - v) / 127.0, 0.15) - 70.0;
        return true;
    case 2:  // pan, the other side
        if (v > 255) return false;
        *db = v <= 1 ? -70.0 : v >= 128 ? 0.0 : 70.0 * std::pow((v - 1.0) / 127.0, 0.15) - 70.0;
        return true;
    case 3:
        if (v > 255) return false;
        *db = v == 0 ? -90.309 : v == 255 ? 0.0 : PowerLaw(90.309, v / 255.0);
        return true;
    case 4:
        if (v > 255) return false;
        *db = v == 0 ? -70.0 : v == 255 ? 0.0 : PowerLaw(70.0, v / 255.0);
        return true;
    case 5:
        if (v > 31) return false;
        *db = (8.0 - v) * 1.5;
        return true;
    case 6:
        if (v > 15) return false;
        *db = v * 1.5;
        return true;
    case 7:
        if (v > 63) return false;
        *db = -double(v) * 1.5;
        return true;
    default: return false;
    }
}

// The ends of the ranges are exact: silence is gain 0, not 10^(-90.309/20).
double LevelGain(uint32_t kind, uint32_t v, double db)
{
    if (kind == 0) return zarapi::FaderLevelGain(v);
    if ((kind == 1 && v == 255) || (kind == 2 && v <= 1) || ((kind == 3 || kind == 4) && v == 0)) return 0.0;
    return std::pow(10.0, db / 20.0);
}

int32_t DoZarAudCalcAudioDB(const ExportCall&, uint32_t kind, uint32_t value, double* dB, double* gain)
{
    double db = 0;
    if (!LevelDb(kind, value, &db)) return ZAR_E_BAD_ARGUMENT;
    if (dB) *dB = db;
    if (gain) *gain = LevelGain(kind, value, db);
    return ZAR_OK;
}

// ---- Track controls ----

// The track record's mask is the board driver's: pan, level and trim, then
// one bit a equaliser section.
constexpr uint32_t kTrackSections = 0xF0;
constexpr uint32_t kTrackMaskOffset = 176;

int32_t DoZarAudSetTrackControl(const ExportCall& call, void* record)
{
    const uint32_t track = Word(record, 0);
    if (track > 7) return ZAR_E_BAD_ARGUMENT;
    uint32_t mask = 0;
    std::memcpy(&mask, static_cast<uint8_t*>(record) + kTrackMaskOffset, sizeof mask);
    // The equaliser sections are designed by the play engine's audio
    // tracks, which this build does not have yet.
    if (mask & kTrackSections) return zarframe::NotBuilt(call);
    ZAR_AUDIO_TRACK_CONTROL block{};
    block.Pan = static_cast<uint8_t>(Word(record, 1));
    block.Level = static_cast<uint8_t>(Word(record, 2));
    block.Trim = static_cast<uint8_t>(Word(record, 3));
    const uint32_t request[3] = {track, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&block)),
                                 mask & (ZAR_TRACK_PAN | ZAR_TRACK_LEVEL | ZAR_TRACK_TRIM)};
    return Result(BoardRequest(call, IOCTL_ZAR_AUD_SET_TRACK_CONTROL, request, sizeof request, nullptr, 0));
}

int32_t DoZarAudGetTrackControl(const ExportCall& call, void* record)
{
    const uint32_t track = Word(record, 0);
    if (track > 7) return ZAR_E_BAD_ARGUMENT;
    uint8_t answer[88] = {};
    std::memcpy(answer, &track, sizeof track);
    if (!BoardRequest(call, IOCTL_ZAR_AUD_GET_TRACK_CONTROL, answer, sizeof answer, answer, sizeof answer))
        return ZAR_E_DRIVER;
    ZAR_AUDIO_TRACK_CONTROL block;
    std::memcpy(&block, answer + 4, sizeof block);
    const uint32_t values[3] = {block.Pan, block.Level, block.Trim};
    std::memcpy(static_cast<uint8_t*>(record) + 4, values, sizeof values);
    return ZAR_OK;
}

// ---- Source ----

int32_t DoZarAudSetSource(const ExportCall& call, void* record)
{
    const uint32_t source = Word(record, 0);
    if (source > 5) return ZAR_E_BAD_ARGUMENT;
    static constexpr uint32_t kNeeds[6] = {0, ZAR_CAP_SDI_AUDIO_IN, ZAR_CAP_DV, ZAR_CAP_AES_IN, ZAR_CAP_FOURTH_SOURCE, 0};
    if ((Shared(call).Capabilities & kNeeds[source]) != kNeeds[source]) return ZAR_E_NOT_CAPABLE;
    if (!BoardRequest(call, IOCTL_ZAR_AUD_SET_SOURCE, &source, sizeof source, nullptr, 0)) return ZAR_E_DRIVER;
    Shared(call).AudioSource = source;
    return ZAR_OK;
}

int32_t DoZarAudGetSource(const ExportCall& call, void* record)
{
    std::memcpy(record, &Shared(call).AudioSource, 4);
    return ZAR_OK;
}

// ---- Digital audio interfaces, on the option board ----

int32_t OptionAudio(const ExportCall& call, uint32_t capability, uint32_t code, void* record, DWORD length)
{
    if (!Shared(call).IoBoardPresent || !(Shared(call).Capabilities & capability)) return ZAR_E_NOT_CAPABLE;
    return Result(SendOptionRequest(*call.connection, code, record, length));
}

// Group and channel pair of the SDI records: 0..3 each.
bool SdiFieldsValid(const void* record) { return Word(record, 0) <= 3 && Word(record, 1) <= 3; }

int32_t DoZarAudSetSdiRxMode(const ExportCall& call, void* record)
{
    if (!SdiFieldsValid(record)) return ZAR_E_BAD_ARGUMENT;
    return OptionAudio(call, ZAR_CAP_SDI_AUDIO_IN, IOCTL_ZARIO_SET_SDI_AUDIO_RECEIVE, record, 16);
}
int32_t DoZarAudGetSdiRxMode(const ExportCall& call, void* record)
{
    return OptionAudio(call, ZAR_CAP_SDI_AUDIO_IN, IOCTL_ZARIO_GET_SDI_AUDIO_RECEIVE, record, 16);
}
int32_t DoZarAudSetSdiTxMode(const ExportCall& call, void* record)
{
    if (!SdiFieldsValid(record) || Word(record, 3) > 1) return ZAR_E_BAD_ARGUMENT;
    return OptionAudio(call, ZAR_CAP_SDI_OUT, IOCTL_ZARIO_SET_SDI_AUDIO_TRANSMIT, record, 16);
}
int32_t DoZarAudGetSdiTxMode(const ExportCall& call, void* record)
{
    return OptionAudio(call, ZAR_CAP_SDI_OUT, IOCTL_ZARIO_GET_SDI_AUDIO_TRANSMIT, record, 16);
}
int32_t DoZarAudSetAesTxMode(const ExportCall& call, void* record)
{
    if (Word(record, 1) > 1) return ZAR_E_BAD_ARGUMENT;
    return OptionAudio(call, ZAR_CAP_AES_OUT, IOCTL_ZARIO_SET_AES_TRANSMIT, record, 8);
}
int32_t DoZarAudGetAesTxMode(const ExportCall& call, void* record)
{
    return OptionAudio(call, ZAR_CAP_AES_OUT, IOCTL_ZARIO_GET_AES_TRANSMIT, record, 8);
}
int32_t DoZarAudGetAesRxStatus(const ExportCall& call, void* record)
{
    return OptionAudio(call, ZAR_CAP_AES_IN, IOCTL_ZARIO_GET_AES_RECEIVE_STATUS, record, 4);
}

// ---- Meters, master, codec ----

int32_t DoZarAudGetPlayVuLevel(const ExportCall& call, void* record)
{
    return Result(BoardRequest(call, IOCTL_ZAR_AUD_GET_PLAY_VU_LEVEL, record, 80, record, 80));
}
int32_t DoZarAudGetRecVuLevel(const ExportCall& call, void* record)
{
    return Result(BoardRequest(call, IOCTL_ZAR_AUD_GET_REC_VU_LEVEL, record, 16, record, 16));
}
int32_t DoZarAudSetMasterControl(const ExportCall& call, void* record)
{
    return Result(BoardRequest(call, IOCTL_ZAR_AUD_SET_MASTER_LEVEL, record, 8, nullptr, 0));
}
int32_t DoZarAudGetMasterControl(const ExportCall& call, void* record)
{
    return Result(BoardRequest(call, IOCTL_ZAR_AUD_GET_MASTER_LEVEL, record, 8, record, 8));
}
int32_t DoZarAudSetCodec(const ExportCall& call, void* record)
{
    return Result(BoardRequest(call, IOCTL_ZAR_AUD_SET_CODEC, record, 22, nullptr, 0));
}
int32_t DoZarAudGetCodec(const ExportCall& call, void* record)
{
    return Result(BoardRequest(call, IOCTL_ZAR_AUD_GET_CODEC, nullptr, 0, record, 22));
}

// The equaliser response belongs to the play engine's audio tracks.
int32_t DoZarAudGetEqResponse(const ExportCall& call, uint32_t, void*) { return zarframe::NotBuilt(call); }
int32_t DoZarAudGetEqResponseEx(const ExportCall& call, void*) { return zarframe::NotBuilt(call); }

// Track -1 sets all eight; the factor is the multiplier (0..128), sent in Q16.
int32_t DoZarAudSetTrackLevelMultiplier(const ExportCall& call, int32_t track, double factor)
{
    if (track < -1 || track > 7 || !(factor >= 0.0 && factor <= 128.0)) return ZAR_E_BAD_ARGUMENT;
    uint32_t request[9] = {};
    const uint32_t q16 = static_cast<uint32_t>(std::lround(factor * 65536.0));
    for (int i = 0; i < 8; ++i) request[i] = q16;
    request[8] = track < 0 ? 0xFFu : 1u << track;
    return Result(BoardRequest(call, IOCTL_ZAR_AUD_SET_TRACK_LEVEL_MULT, request, sizeof request, nullptr, 0));
}

// ---- Record monitoring ----

constexpr uint32_t kRecordResource = 1;
constexpr uint32_t kLockWait = 5000;      // ms
constexpr uint32_t kRecordStop = 0, kRecordMonitor = 65;

int32_t DoZarAudEnableEE(const ExportCall& call, uint32_t enable)
{
    uint32_t lock[3] = {kRecordResource, kLockWait, 0};
    if (!BoardRequest(call, IOCTL_ZAR_AUD_ACQUIRE_AUDIO_LOCK, lock, sizeof lock, lock, sizeof lock))
        return ZAR_E_DRIVER;
    if (lock[2] != 1) return ZAR_E_AUDIO_LOCK;
    ZAR_AUDIO_RECORD_COMMAND command{};
    command.Command = enable ? kRecordMonitor : kRecordStop;
    const bool sent = BoardRequest(call, IOCTL_ZAR_AUD_RECORD_COMMAND, &command, sizeof command, &command, sizeof command);
    uint32_t release[2] = {kRecordResource, 0};
    BoardRequest(call, IOCTL_ZAR_AUD_RELEASE_AUDIO_LOCK, release, sizeof release, release, sizeof release);
    return Result(sent);
}

// The level, pan and equaliser effect items and streams stand on the
// effects code's stream base, not part of this build yet: the frame's tests
// (the record, the stream and item handles), then -1.
#define ZAR_AUDIO_EFFECT_NOT_BUILT(name)                  \
    template <class... Args>                              \
    int32_t Do##name(const ExportCall& call, Args&&...)   \
    {                                                     \
        return zarframe::NotBuilt(call);                  \
    }
ZAR_AUDIO_EFFECT_NOT_BUILT(ZarAudCreateLevelItem)
ZAR_AUDIO_EFFECT_NOT_BUILT(ZarAudCreateLevelStream)
ZAR_AUDIO_EFFECT_NOT_BUILT(ZarAudLevelStreamInsertItem)
ZAR_AUDIO_EFFECT_NOT_BUILT(ZarAudLevelStreamRemoveItem)
ZAR_AUDIO_EFFECT_NOT_BUILT(ZarAudLevelStreamRepositionItem)
ZAR_AUDIO_EFFECT_NOT_BUILT(ZarAudCreatePanItem)
ZAR_AUDIO_EFFECT_NOT_BUILT(ZarAudCreatePanStream)
ZAR_AUDIO_EFFECT_NOT_BUILT(ZarAudPanStreamInsertItem)
ZAR_AUDIO_EFFECT_NOT_BUILT(ZarAudPanStreamRemoveItem)
ZAR_AUDIO_EFFECT_NOT_BUILT(ZarAudPanStreamRepositionItem)
ZAR_AUDIO_EFFECT_NOT_BUILT(ZarAudCreateEqItem)
ZAR_AUDIO_EFFECT_NOT_BUILT(ZarAudCreateEqStream)
ZAR_AUDIO_EFFECT_NOT_BUILT(ZarAudEqStreamInsertItem)
ZAR_AUDIO_EFFECT_NOT_BUILT(ZarAudEqStreamRemoveItem)
ZAR_AUDIO_EFFECT_NOT_BUILT(ZarAudEqStreamRepositionItem)

}  // namespace

#define ZAR_EXPAND_AUDIO ZAR_DEFINE_EXPORT
#include "zar_export_groups.h"

ZAR_EXPORT_TABLE(ZAR_EXPORT_ROW_BY_GROUP)
