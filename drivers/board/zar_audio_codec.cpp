// The board's AC'97 codec behind DEBI: register access with the busy wait
// and the two-read protocol, initialisation, and programming it from the
// current audio user's codec settings.

#include <cstring>

#include "include/zar_audio_hw.h"
#include "zar_audio.h"
#include "zar_board_regs.h"
#include "zar_debi.h"
#include "zar_extension.h"

using namespace zar_audio_hw;

namespace {

constexpr ULONG kBusyPolls = 100;
constexpr ULONG kBusyPollUs = 5;
// AC'97 register of each codec setting, in the settings' order.
constexpr ULONG kCodecRegister[ZAR_AUDIO_CODEC_REGISTERS] = {0x02, 0x1C, 0x10, 0x16, 0x14, 0x12, 0x18};
constexpr ULONG kRegReset = 0x00, kRegRecordSelect = 0x1A, kRegVendor1 = 0x7C, kRegVendor2 = 0x7E;
constexpr ULONG kMutedAtInit[] = {0x0A, 0x0C, 0x0E};  // PC beep, phone, microphone
constexpr USHORT kMute = 0x8000;
constexpr ULONG kRecordGainIndex = 1;

ULONG CodecAddress(ULONG index) { return kRegCodecBase + 2 * (index & 0x7E); }

// A codec that stays busy is accessed after the polls all the same.
void ZarCs4297WaitReady(PZAR_DEVICE_EXTENSION ext)
{
    for (ULONG i = 0; i < kBusyPolls; ++i) {
        if (!(ZarDebiPioRead(ext, ZAR_REG_BOARD_STATUS) & kStatusCodecBusy)) return;
        KeStallExecutionProcessor(kBusyPollUs);
    }
}

}  // namespace

void ZarCs4297RegWrite(PZAR_DEVICE_EXTENSION ext, ULONG index, USHORT value)
{
    ZarCs4297WaitReady(ext);
    ZarDebiPioWrite(ext, CodecAddress(index), value);
}

USHORT ZarCs4297Read(PZAR_DEVICE_EXTENSION ext, ULONG index)
{
    ZarCs4297WaitReady(ext);
    ZarDebiPioRead(ext, CodecAddress(index));  // starts the codec's read
    ZarCs4297WaitReady(ext);
    return USHORT(ZarDebiPioRead(ext, CodecAddress(index)));
}

// Record source: the same 3-bit source for both channels.
USHORT ZarAudRecordSelectWord(ULONG source) { return USHORT((source * 257) & 0x0707); }

void ZarAudIoSetCodec(PZAR_DEVICE_EXTENSION ext, bool force)
{
    ZAR_AUDIO_USERS_STATE& u = ext->AudioUsers;
    force = force || !u.HardwareValid;
    const ZAR_AUDIO_SETTINGS* user = ZarAudUserSet(ext, ext->Setup.AudioOwner);
    ZAR_AUDIO_SETTINGS* hw = ZarAudUserSet(ext, 0);
    // Master and record gain first, then the record source (written again
    // whenever the record gain was), then the inputs.
    bool recordGainWritten = false;
    const ULONG order[ZAR_AUDIO_CODEC_REGISTERS] = {0, 1, 2, 4, 3, 5, 6};
    for (ULONG k = 0; k < ZAR_AUDIO_CODEC_REGISTERS; ++k) {
        ULONG i = order[k];
        if (i == 2 && (force || recordGainWritten || user->RecordSource != hw->RecordSource)) {
            ZarCs4297RegWrite(ext, kRegRecordSelect, ZarAudRecordSelectWord(user->RecordSource));
            hw->RecordSource = user->RecordSource;
        }
        if (!force && user->Codec[i] == hw->Codec[i]) continue;
        ZarCs4297RegWrite(ext, kCodecRegister[i], user->Codec[i]);
        hw->Codec[i] = user->Codec[i];
        if (i == kRecordGainIndex) recordGainWritten = true;
    }
}

NTSTATUS ZarCs4297Init(PZAR_DEVICE_EXTENSION ext)
{
    ZarCs4297Read(ext, kRegVendor1);
    ZarCs4297Read(ext, kRegVendor2);
    ZarCs4297RegWrite(ext, kRegReset, 0);
    for (ULONG reg : kMutedAtInit) ZarCs4297RegWrite(ext, reg, kMute);
    ZAR_AUDIO_SETTINGS* user = ZarAudUserSet(ext, ext->Setup.AudioOwner);
    user->Codec[0] = 0;
    user->Codec[1] = 0;
    for (ULONG i = 2; i < ZAR_AUDIO_CODEC_REGISTERS; ++i) user->Codec[i] = 0x8808;
    user->RecordSource = 5;
    ZarAudIoSetCodec(ext, true);
    return STATUS_SUCCESS;
}

// IOCTL_ZAR_CS4297_REG_READ: 12 bytes, +0 the register index in, +4 the value out.
NTSTATUS ZarCs4297RegRead(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    auto* io = static_cast<PULONG>(buffer);
    if (io[0] > 0x7E) return STATUS_INVALID_PARAMETER;
    io[1] = ZarCs4297Read(ext, io[0]);
    return STATUS_SUCCESS;
}
