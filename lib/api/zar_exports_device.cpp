// Device control, video input, time code, SCSI, versions, the mixer
// settings kept in the shared record, the scaler settings, and the calls
// that are one control code on the board or the digital-I/O option. The
// frame has looked the board handle up and tested the record at its size
// before any body here runs.

#include <cstring>

#include "include/zardll.h"
#include "include/zarfs.h"
#include "include/zario.h"
#include "include/zarkd.h"
#include "include/zarkd_jpeg.h"
#include "zar_engine.h"
#include "zar_export_frame.h"
#include "zar_option.h"
#include "zar_shared.h"

namespace {

// ---- Requests ----

bool BoardRequest(const ExportCall& call, uint32_t code, const void* in, DWORD inLength, void* out, DWORD outLength)
{
    DWORD returned = 0;
    return SendDeviceRequest(call.connection->m_hBoard, code, const_cast<void*>(in), inLength, out, outLength,
                             &returned, nullptr) != FALSE;
}

// A record the board takes and answers with the same bytes.
bool BoardInOut(const ExportCall& call, uint32_t code, void* record, DWORD length)
{
    return BoardRequest(call, code, record, length, record, length);
}

int32_t Result(bool sent) { return sent ? ZAR_OK : ZAR_E_DRIVER; }

ZAR_BOARD_SHARED& Shared(const ExportCall& call) { return *call.connection->m_pShared; }

uint32_t Word(const void* record, size_t index) { return static_cast<const uint32_t*>(record)[index]; }

// A call that is one code on the digital-I/O option, its record both ways.
int32_t Option(const ExportCall& call, uint32_t code, void* record, DWORD length)
{
    return Result(SendOptionRequest(*call.connection, code, record, length));
}

// ---- Device control ----

int32_t DoZarDcReset(const ExportCall& call, uint32_t flags)
{
    if (!BoardRequest(call, IOCTL_ZAR_RESET, &flags, sizeof flags, nullptr, 0)) return ZAR_E_DRIVER;
    if (flags & 2) zarapi::ResetMixerSettings(&Shared(call));
    if (flags & 8) ZarEngine().ResetDve(*call.connection, 0);
    return ZAR_OK;
}

int32_t DoZarDcSetGenlock(const ExportCall& call, void* record)
{
    const auto& genlock = *static_cast<const ZAR_GENLOCK*>(record);
    if (genlock.HorizontalPosition > 63 || genlock.SubcarrierPhase > 255) return ZAR_E_BAD_ARGUMENT;
    return Result(BoardRequest(call, IOCTL_ZAR_SET_GENLOCK, record, sizeof(ZAR_GENLOCK), nullptr, 0));
}

int32_t DoZarDcGetGenlock(const ExportCall& call, void* record)
{
    return Result(BoardRequest(call, IOCTL_ZAR_GET_GENLOCK, nullptr, 0, record, sizeof(ZAR_GENLOCK)));
}

// Both layouts of the preferences record are the same 17 bytes.
int32_t DoZarDcSetSystemPrefs(const ExportCall& call, void* record)
{
    const uint32_t batch = Word(record, 0);
    if (batch < 1 || batch > 40) return ZAR_E_BAD_ARGUMENT;
    uint32_t flags = (Word(record, 1) != 0 ? 1u : 0u) | (Word(record, 2) != 0 ? 2u : 0u);
    uint32_t answer = 0;
    // The record is kept only once the board took it, so the shared
    // preferences never disagree with the board's.
    if (!BoardRequest(call, IOCTL_ZAR_SET_SYSTEM_PREFS, &flags, sizeof flags, &answer, sizeof answer))
        return ZAR_E_DRIVER;
    std::memcpy(&Shared(call), record, ZAR_SYSTEM_PREFS_SIZE);
    return ZAR_OK;
}

int32_t DoZarDcGetSystemPrefs(const ExportCall& call, void* record)
{
    std::memcpy(record, &Shared(call), ZAR_SYSTEM_PREFS_SIZE);
    return ZAR_OK;
}

int32_t DoZarDcSetAudioStandards(const ExportCall& call, void* record)
{
    uint32_t code = Word(record, 0);
    if (code > 3) return ZAR_E_BAD_ARGUMENT;
    if (!BoardRequest(call, IOCTL_ZAR_SET_AUDIO_STANDARDS, &code, sizeof code, nullptr, 0)) return ZAR_E_DRIVER;
    Shared(call).SampleRate = zarapi::SampleRateOfCode(code);
    return ZAR_OK;
}

int32_t DoZarDcGetAudioStandards(const ExportCall& call, void* record)
{
    uint32_t code = 0;
    if (!BoardRequest(call, IOCTL_ZAR_GET_AUDIO_STANDARDS, nullptr, 0, &code, sizeof code)) return ZAR_E_DRIVER;
    std::memcpy(record, &code, sizeof code);
    Shared(call).SampleRate = zarapi::SampleRateOfCode(code);
    return ZAR_OK;
}

int32_t SynchronizeExecution(const ExportCall& call, uint32_t mode)
{
    if (mode > 2) return ZAR_E_BAD_ARGUMENT;
    uint32_t answer = 0;
    return Result(BoardRequest(call, IOCTL_ZAR_SYNCHRONIZE_EXECUTION, &mode, sizeof mode, &answer, sizeof answer));
}

int32_t DoZarDcSynchronizeExecution(const ExportCall& call, uint32_t mode) { return SynchronizeExecution(call, mode); }

// The board takes the routing and settles (synchronised at mode 2), then
// the option board follows; with word 3 = 2 the option board goes first.
int32_t DoZarDcSetM2Routing(const ExportCall& call, void* record)
{
    if (Word(record, 0) > 3 || Word(record, 1) > 3 || Word(record, 2) > 1) return ZAR_E_BAD_ARGUMENT;
    const bool optionFirst = Word(record, 3) == 2;
    auto board = [&] {
        return BoardRequest(call, IOCTL_ZAR_SET_M2_ROUTING, record, sizeof(ZAR_M2_ROUTING), nullptr, 0) &&
               SynchronizeExecution(call, 2) == ZAR_OK;
    };
    auto option = [&] {
        if (!Shared(call).IoBoardPresent) return true;
        ZAR_M2_ROUTING copy;
        std::memcpy(&copy, record, sizeof copy);
        return SendOptionRequest(*call.connection, IOCTL_ZARIO_SET_M2_ROUTING, &copy, sizeof copy);
    };
    const bool sent = optionFirst ? option() && board() : board() && option();
    return Result(sent);
}

int32_t DoZarDcGetM2Routing(const ExportCall& call, void* record)
{
    return Result(BoardRequest(call, IOCTL_ZAR_GET_M2_ROUTING, nullptr, 0, record, sizeof(ZAR_M2_ROUTING)));
}

int32_t DoZarDcSetVideoPrefs(const ExportCall& call, void* record)
{
    return Result(BoardInOut(call, IOCTL_ZAR_SET_VIDEO_PREFS, record, ZAR_VIDEO_PREFS_SIZE));
}

int32_t DoZarDcGetVideoPrefs(const ExportCall& call, void* record)
{
    return Result(BoardInOut(call, IOCTL_ZAR_GET_VIDEO_PREFS, record, ZAR_VIDEO_PREFS_SIZE));
}

int32_t DoZarDcSetEncoder(const ExportCall& call, void* record)
{
    return Result(BoardRequest(call, IOCTL_ZAR_SET_ENCODER, record, sizeof(ZAR_ENCODER), nullptr, 0));
}

int32_t DoZarDcGetEncoder(const ExportCall& call, void* record)
{
    return Result(BoardRequest(call, IOCTL_ZAR_GET_ENCODER, nullptr, 0, record, sizeof(ZAR_ENCODER)));
}

int32_t DoZarDcSetCalibration(const ExportCall& call, void* record)
{
    return Result(BoardRequest(call, IOCTL_ZAR_SET_CALIBRATION, record, sizeof(ZAR_CALIBRATION), nullptr, 0));
}

int32_t DoZarDcGetCalibration(const ExportCall& call, void* record)
{
    return Result(BoardRequest(call, IOCTL_ZAR_GET_CALIBRATION, nullptr, 0, record, sizeof(ZAR_CALIBRATION)));
}

// ---- JPEG mode ----

// A mode and the codec command that puts a channel into it, and the state
// word the channel then reports.
struct JpegMode {
    uint32_t mode;
    uint32_t command;
    int32_t state;
};
constexpr JpegMode kJpegModes[] = {
    {ZAR_JPEG_MODE_IDLE, 128, 1},
    {ZAR_JPEG_MODE_INITIALISED, 0, 0},
    {ZAR_JPEG_MODE_HOLD, 17, 17},
    {ZAR_JPEG_MODE_RECORD, 64, 64},
};

int32_t DoZarDcSetJpegMode(const ExportCall& call, void* record)
{
    for (uint32_t channel = 0; channel < 2; ++channel) {
        const uint32_t mode = Word(record, channel);
        for (const JpegMode& m : kJpegModes) {
            if (m.mode != mode) continue;
            ZAR_JPEG_COMMAND command{};
            command.Command = m.command;
            command.Channel = channel;
            if (!BoardInOut(call, IOCTL_ZAR_JPEG_COMMAND, &command, sizeof command)) return ZAR_E_DRIVER;
        }
    }
    return ZAR_OK;
}

// A state no mode leads to leaves the caller's word as it was.
int32_t DoZarDcGetJpegMode(const ExportCall& call, void* record)
{
    for (uint32_t channel = 0; channel < 2; ++channel) {
        ZAR_CHANNEL_STATUS status{};
        status.Channel = channel;
        if (!BoardInOut(call, IOCTL_ZAR_JPEG_PLAYLIST_QUERY, &status, sizeof status)) return ZAR_E_DRIVER;
        ZAR_VIDEO_CHANNEL_STATE state;
        std::memcpy(&state, status.VideoState, sizeof state);
        for (const JpegMode& m : kJpegModes)
            if (m.state == state.StateWord) static_cast<uint32_t*>(record)[channel] = m.mode;
    }
    return ZAR_OK;
}

int32_t DoZarDcFormatVolume(const ExportCall& call, void* record)
{
    int32_t answer = 0;
    DWORD returned = 0;
    if (!SendDeviceRequest(call.connection->m_hFileSystem, IOCTL_ZARFS_FORMAT_VOLUME, record, sizeof(ZAR_VOLUME_INFO),
                           &answer, sizeof answer, &returned, nullptr))
        return ZAR_E_DRIVER;
    return answer;
}

// ---- Digital-I/O option: one code each ----

int32_t DoZarIoDvFcpCommand(const ExportCall& call, void* record)
{
    return Option(call, IOCTL_ZARIO_DV_FCP_COMMAND, record, 33);
}
int32_t DoZarIoGetDvVcrStatus(const ExportCall& call, void* record)
{
    return Option(call, IOCTL_ZARIO_GET_DV_VCR_STATUS, record, 20);
}
int32_t DoZarIoQueryDvVcrTimecode(const ExportCall& call, void* record)
{
    return Option(call, IOCTL_ZARIO_QUERY_DV_VCR_TIMECODE, record, 8);
}
int32_t DoZarIoSetDvCodec(const ExportCall& call, void* record) { return Option(call, IOCTL_ZARIO_SET_DV_CODEC, record, 12); }
int32_t DoZarIoGetDvCodec(const ExportCall& call, void* record) { return Option(call, IOCTL_ZARIO_GET_DV_CODEC, record, 12); }
int32_t DoZarIoDvSetAudioMix(const ExportCall& call, uint32_t mix)
{
    return Option(call, IOCTL_ZARIO_DV_SET_AUDIO_MIX, &mix, sizeof mix);
}
int32_t DoZarIoSdiQueryEdh(const ExportCall& call, void* record) { return Option(call, IOCTL_ZARIO_SDI_QUERY_EDH, record, 20); }
int32_t DoZarIoSetCaptureProcAmp(const ExportCall& call, void* record)
{
    return Option(call, IOCTL_ZARIO_SET_CAPTURE_PROC_AMP, record, 10);
}
int32_t DoZarIoGetCaptureProcAmp(const ExportCall& call, void* record)
{
    return Option(call, IOCTL_ZARIO_GET_CAPTURE_PROC_AMP, record, 10);
}
int32_t DoZarIoSetFramestore(const ExportCall& call, void* record) { return Option(call, IOCTL_ZARIO_SET_FRAMESTORE, record, 8); }
int32_t DoZarIoGetFramestore(const ExportCall& call, void* record) { return Option(call, IOCTL_ZARIO_GET_FRAMESTORE, record, 8); }
int32_t DoZarIoSetSDIOutput(const ExportCall& call, void* record) { return Option(call, IOCTL_ZARIO_SET_SDI_OUTPUT, record, 8); }

int32_t DoZarIoSetSDIMode(const ExportCall& call, uint32_t mode)
{
    if (!(Shared(call).Capabilities & ZAR_CAP_SDI_OUT)) return ZAR_E_NOT_CAPABLE;
    return Option(call, IOCTL_ZARIO_SET_SDI_MODE, &mode, sizeof mode);
}

int32_t DoZarIoGetSDIMode(const ExportCall& call, void* record)
{
    std::memset(record, 0, 4);
    if (!(Shared(call).Capabilities & ZAR_CAP_SDI_OUT)) return ZAR_E_NOT_CAPABLE;
    return Option(call, IOCTL_ZARIO_GET_SDI_MODE, record, 4);
}

// ---- Time code ----

int32_t DoZarTcSetVideoOutputSource(const ExportCall& call, void* record)
{
    const uint32_t source = Word(record, 0);
    if (source > 1) return ZAR_E_BAD_ARGUMENT;
    return Result(BoardRequest(call, IOCTL_ZAR_TC_SET_VIDEO_OUTPUT_SOURCE, &source, sizeof source, nullptr, 0));
}

int32_t DoZarTcSetBase(const ExportCall& call, void* record)
{
    if (Word(record, 0) > 1) return ZAR_E_BAD_ARGUMENT;
    return Result(BoardRequest(call, IOCTL_ZAR_FIELD_COUNTER_SET_BASE, record, 16, nullptr, 0));
}

// ---- Video input ----

int32_t DoZarVinSetProcAmp(const ExportCall& call, void* record)
{
    return Result(BoardRequest(call, IOCTL_ZAR_VIN_SET_PROC_AMP, record, 4, nullptr, 0));
}

int32_t DoZarVinGetProcAmp(const ExportCall& call, void* record)
{
    return Result(BoardRequest(call, IOCTL_ZAR_VIN_GET_PROC_AMP, nullptr, 0, record, 4));
}

// The caller's record in the current layout: a handle from ZarDcOpen
// passes the older four words, and the fifth is 0 for it.
ZAR_VIN_MODE VinModeOf(const ExportCall& call, const void* record)
{
    ZAR_VIN_MODE mode{};
    std::memcpy(&mode, record, call.olderLayout ? ZAR_VIN_MODE_OLDER_SIZE : sizeof mode);
    return mode;
}

int32_t DoZarVinSetMode(const ExportCall& call, void* record)
{
    ZAR_VIN_MODE mode = VinModeOf(call, record);
    if (mode.Source > 8) return ZAR_E_BAD_ARGUMENT;
    const uint32_t capabilities = Shared(call).Capabilities;
    if (mode.Source == 7 && !(capabilities & ZAR_CAP_SDI_AUDIO_IN)) return ZAR_E_NOT_CAPABLE;
    if (mode.Source == 8 && !(capabilities & ZAR_CAP_DV)) return ZAR_E_NOT_CAPABLE;
    ZAR_VIN_MODE sent = mode;
    if (!BoardInOut(call, IOCTL_ZAR_VIN_SET_MODE, &sent, sizeof sent)) return ZAR_E_DRIVER;
    if (Shared(call).IoBoardPresent) {
        ZAR_VIN_MODE option = mode;
        if (!SendOptionRequest(*call.connection, IOCTL_ZARIO_SET_VIDEO_INPUT_MODE, &option, sizeof option))
            return ZAR_E_DRIVER;
    }
    if (mode.Word4 & 1) {
        uint32_t removeSetup = (mode.Word4 & 0x80000000u) ? 1 : 0;
        if (!BoardInOut(call, IOCTL_ZAR_VIN_SET_STANDARDS, &removeSetup, sizeof removeSetup)) return ZAR_E_DRIVER;
    }
    // The board has no request that reads the mode back: the last one set
    // is kept for ZarVinGetMode, as the board took it.
    std::memcpy(Shared(call).VinMode, &mode, sizeof mode);
    return ZAR_OK;
}

int32_t DoZarVinGetMode(const ExportCall& call, void* record)
{
    ZAR_VIN_MODE mode;
    std::memcpy(&mode, Shared(call).VinMode, sizeof mode);
    uint32_t removeSetup = 0;
    if (!BoardInOut(call, IOCTL_ZAR_VIN_GET_STANDARDS, &removeSetup, sizeof removeSetup)) return ZAR_E_DRIVER;
    mode.Word4 = removeSetup ? 1 : 0;
    std::memcpy(record, &mode, call.olderLayout ? ZAR_VIN_MODE_OLDER_SIZE : sizeof mode);
    return ZAR_OK;
}

int32_t DoZarVinSetHorizontalPosition(const ExportCall& call, uint32_t position)
{
    return Result(BoardRequest(call, IOCTL_ZAR_SET_VIN_H_POSITION, &position, sizeof position, nullptr, 0));
}

// ---- Scaler settings ----

int32_t DoZarHpsSetProcAmps(const ExportCall& call, void* record)
{
    uint32_t values[3];
    std::memcpy(values, record, sizeof values);
    if (values[0] > 127 || values[1] > 255 || values[2] > 127) return ZAR_E_BAD_ARGUMENT;
    if (!BoardRequest(call, IOCTL_ZAR_HPS_SET_PROC_AMPS, values, sizeof values, nullptr, 0)) return ZAR_E_DRIVER;
    std::memcpy(Shared(call).ScalerProcAmp, values, sizeof values);
    return ZAR_OK;
}

int32_t DoZarHpsGetProcAmps(const ExportCall& call, void* record)
{
    std::memcpy(record, Shared(call).ScalerProcAmp, sizeof Shared(call).ScalerProcAmp);
    return ZAR_OK;
}

int32_t DoZarHpsSetPreFilter(const ExportCall& call, uint32_t filter)
{
    if (!BoardRequest(call, IOCTL_ZAR_HPS_SET_PRE_FILTER, &filter, sizeof filter, nullptr, 0)) return ZAR_E_DRIVER;
    Shared(call).ScalerPreFilter = filter;
    return ZAR_OK;
}

int32_t DoZarHpsGetPreFilter(const ExportCall& call, void* record)
{
    std::memcpy(record, &Shared(call).ScalerPreFilter, 4);
    return ZAR_OK;
}

// ---- Mixer settings ----

int32_t DoZarMixSetMasterFade(const ExportCall& call, uint32_t level)
{
    if (level > 255) return ZAR_E_BAD_ARGUMENT;
    uint8_t byte = static_cast<uint8_t>(level);
    if (!BoardRequest(call, IOCTL_ZAR_MIX_SET_MASTER_FADE, &byte, 1, nullptr, 0)) return ZAR_E_DRIVER;
    Shared(call).MasterFade = byte;
    return ZAR_OK;
}

int32_t DoZarMixGetMasterFade(const ExportCall& call, void* record)
{
    uint8_t byte = 0;
    if (!BoardInOut(call, IOCTL_ZAR_MIX_GET_MASTER_FADE, &byte, 1)) return ZAR_E_DRIVER;
    Shared(call).MasterFade = byte;
    const uint32_t level = byte;
    std::memcpy(record, &level, sizeof level);
    return ZAR_OK;
}

int32_t DoZarMixGetDownStreamKey(const ExportCall& call, void* record)
{
    std::memcpy(record, Shared(call).MixDownStreamKey, sizeof Shared(call).MixDownStreamKey);
    return ZAR_OK;
}
int32_t DoZarMixGetDve(const ExportCall& call, void* record)
{
    std::memcpy(record, Shared(call).MixDve, sizeof Shared(call).MixDve);
    return ZAR_OK;
}
int32_t DoZarMixGetMixEffects(const ExportCall& call, void* record)
{
    std::memcpy(record, Shared(call).MixEffects, sizeof Shared(call).MixEffects);
    return ZAR_OK;
}

// The DVE and down-stream-key layers' board form (11 bytes): the first word
// carries mode and source, bytes 4, 5, 6 and 10 the layer's levels and
// flags; bits a kind does not set keep the earlier packing's values.
int32_t PackMixLayer(const int32_t (&r)[9], const uint32_t* keyGain, uint8_t (&packed)[11])
{
    const int32_t enabled = r[0], kind = r[1], flag = r[2], mode = r[3], source = r[4];
    const int32_t levelA = r[5], levelB = r[6], levelC = r[7], levelD = r[8];
    auto byteRange = [](int32_t v) { return v >= 0 && v <= 255; };
    if (mode < 0 || mode > 7 || source < 0 || source > 4) return ZAR_E_BAD_ARGUMENT;
    if (!enabled) {
        packed[4] = 0;
        packed[10] = 0;
        packed[6] = uint8_t((packed[6] & 0x74) | 0x04);
    } else {
        if (kind < 0 || kind > 2) return ZAR_E_BAD_ARGUMENT;
        if (kind <= 1 && !(byteRange(levelA) && byteRange(levelB) && byteRange(levelD))) return ZAR_E_BAD_ARGUMENT;
        if (kind == 0) {
            if (!byteRange(levelC)) return ZAR_E_BAD_ARGUMENT;
            packed[4] = uint8_t(levelC);
            packed[6] = uint8_t((packed[6] & 0x74) | 0x04);
            packed[10] = uint8_t(levelD);
        } else if (kind == 1) {
            const uint32_t t = keyGain[levelB];
            packed[4] = uint8_t(levelA);
            packed[5] = uint8_t(t >> 2);
            packed[6] = uint8_t((packed[6] & 0x78) | (t & 3));
            packed[6] = uint8_t(flag ? packed[6] | 0x08 : packed[6] & ~0x08);
            packed[10] = uint8_t(levelD);
        } else {
            packed[4] = 0;
            packed[5] = 1;
            packed[6] = uint8_t((packed[6] & 0xF0) | 0x80);
            packed[10] = 0xFF;
        }
    }
    uint32_t first;
    std::memcpy(&first, packed, sizeof first);
    first = (first & ~0x3Fu) | uint32_t(mode) | (uint32_t(source) << 3);
    std::memcpy(packed, &first, sizeof first);
    return ZAR_OK;
}

// The record and its packed form are kept only once the board took them.
int32_t SetMixLayer(const ExportCall& call, const void* record, uint32_t code, uint32_t* kept, uint8_t* keptPacked)
{
    int32_t values[9];
    std::memcpy(values, record, sizeof values);
    uint8_t packed[11];
    std::memcpy(packed, keptPacked, sizeof packed);
    const auto* keyGain = reinterpret_cast<const uint32_t*>(static_cast<const uint8_t*>(call.app.SharedView()) +
                                                            ZAR_SHARED_KEY_GAIN_OFFSET);
    const int32_t packing = PackMixLayer(values, keyGain, packed);
    if (packing != ZAR_OK) return packing;
    if (!BoardRequest(call, code, packed, sizeof packed, nullptr, 0)) return ZAR_E_DRIVER;
    std::memcpy(keptPacked, packed, sizeof packed);
    std::memcpy(kept, values, sizeof values);
    return ZAR_OK;
}

int32_t DoZarMixSetDownStreamKey(const ExportCall& call, void* record)
{
    return SetMixLayer(call, record, IOCTL_ZAR_MIX_SET_DOWN_STREAM_KEY, Shared(call).MixDownStreamKey,
                       Shared(call).MixDownStreamKeyBoard);
}
int32_t DoZarMixSetDve(const ExportCall& call, void* record)
{
    return SetMixLayer(call, record, IOCTL_ZAR_MIX_SET_DVE, Shared(call).MixDve, Shared(call).MixDveBoard);
}
// The mix-effects record's board form takes its colour through the effects
// code's colour space, which is not part of this build yet.
int32_t DoZarMixSetMixEffects(const ExportCall& call, void*) { return zarframe::NotBuilt(call); }

// ---- Graphics frame stores ----

int32_t DoZarGfxEraseFramestore(const ExportCall& call, uint32_t store)
{
    return Result(BoardRequest(call, IOCTL_ZAR_GFX_ERASE_FRAMESTORE, &store, sizeof store, nullptr, 0));
}
int32_t DoZarGfxSetFramestore(const ExportCall& call, void* record)
{
    return Result(BoardInOut(call, IOCTL_ZAR_GFX_SET_FRAMESTORE, record, 36));
}
int32_t DoZarGfxGetFramestore(const ExportCall& call, void* record)
{
    return Result(BoardInOut(call, IOCTL_ZAR_GFX_GET_FRAMESTORE, record, 36));
}

// ---- The user virtual frame ----

// A NUL-terminated UTF-16 name of at most 259 characters.
int32_t DoZarSetUserVirtualFrameName(const ExportCall& call, void* record)
{
    constexpr size_t kChars = sizeof Shared(call).UserVirtualFrame / sizeof(uint16_t);
    uint16_t name[kChars] = {};
    const auto* text = static_cast<const uint16_t*>(record);
    for (size_t i = 0;; ++i) {
        if (i == kChars || IsBadReadPtr(text + i, sizeof *text)) return ZAR_E_BAD_ARGUMENT;
        name[i] = text[i];
        if (name[i] == 0) break;
    }
    std::memcpy(Shared(call).UserVirtualFrame, name, sizeof name);
    return ZAR_OK;
}

}  // namespace

// The SCSI and version bodies live in their own files.
int32_t DoZarScsiCommand(const ExportCall& call, void* record);
int32_t DoZarScsiCommandEx(const ExportCall& call, void* record, void* extended);
int32_t DoZarScsiQueryDeviceInfo(const ExportCall& call, void* record);
int32_t DoZarDcGetVersionInfo(const ExportCall& call, void* record);
int32_t DoZarDcGetVersionInfoEx(const ExportCall& call, void* record);

#define ZAR_EXPAND_DEVICE ZAR_DEFINE_EXPORT
#include "zar_export_groups.h"

ZAR_EXPORT_TABLE(ZAR_EXPORT_ROW_BY_GROUP)
