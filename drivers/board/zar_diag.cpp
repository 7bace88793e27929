// Diagnostic exception ring, the HDCAM 24 fps mode and the shutdown of a
// board's running work.
//
// The ring belongs to one client at a time: the semaphore it registers is
// released once for every record added, so the client wakes exactly as
// often as there are records to take. The ring's spin lock is a plain
// spin lock, so records come from DISPATCH_LEVEL or below.

#include <cstring>

#include "zar_audio.h"
#include "zar_board_regs.h"
#include "zar_boardsetup.h"
#include "zar_debi.h"
#include "zar_diag.h"
#include "zar_digitalio.h"
#include "zar_extension.h"
#include "zar_jpeg.h"
#include "zar_timecode.h"

namespace {

constexpr ULONG kMasterFadeBlack = 0xFF;
constexpr ULONG kVideoControl24Fps = 0x1;       // the video control byte
constexpr ULONG kVideoInputControl24Fps = 0x20;  // the video-input control word (0x5C00)
constexpr ULONG kDigitalIoSet24Fps = 0x22211C;
constexpr ULONG kJpegStatePlay = 32;
constexpr ULONG kJpegStateRecord = 64;
constexpr ULONG kJpegStateIdle = 1;
constexpr ULONG kAudioRecStateRecording = 64;

// Stores one record and wakes the client; the ring's lock is held. A client
// that let its semaphore fill up loses the wake-up, not the record.
void ZarDiagWriteException(PZAR_DEVICE_EXTENSION ext, ULONG code, ULONG value)
{
    ZAR_DIAG_STATE& d = ext->Diag;
    d.Ring[d.Count].Code = code;
    d.Ring[d.Count].Value = value;
    ++d.Count;
    PKSEMAPHORE semaphore = d.Semaphore;
    SehTry([semaphore] { KeReleaseSemaphore(semaphore, IO_NO_INCREMENT, 1, FALSE); });
}

}  // namespace

NTSTATUS ZarDiagSetExceptionHandler(PZAR_DEVICE_EXTENSION ext, PKSEMAPHORE semaphore)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        if (semaphore != nullptr) ObDereferenceObject(semaphore);
        return STATUS_UNSUCCESSFUL;
    }
    ZAR_DIAG_STATE& d = ext->Diag;
    KIRQL oldIrql;
    KeAcquireSpinLock(&d.Lock, &oldIrql);
    PKSEMAPHORE previous = d.Semaphore;
    d.Semaphore = semaphore;
    if (semaphore != nullptr) {
        d.Count = 0;
        d.Lost = 0;
    }
    KeReleaseSpinLock(&d.Lock, oldIrql);
    if (previous != nullptr) ObDereferenceObject(previous);
    return STATUS_SUCCESS;
}

void ZarDiagAddException(PZAR_DEVICE_EXTENSION ext, ULONG code, ULONG value)
{
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) return;
    ZAR_DIAG_STATE& d = ext->Diag;
    KIRQL oldIrql;
    KeAcquireSpinLock(&d.Lock, &oldIrql);
    if (d.Semaphore != nullptr) {
        if (d.Count < ZAR_DIAG_RING_SIZE)
            ZarDiagWriteException(ext, code, value);
        else
            ++d.Lost;
    }
    KeReleaseSpinLock(&d.Lock, oldIrql);
}

NTSTATUS ZarDiagGetException(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    ZAR_DIAG_STATE& d = ext->Diag;
    ZAR_DIAG_EXCEPTION record;
    KIRQL oldIrql;
    KeAcquireSpinLock(&d.Lock, &oldIrql);
    if (d.Semaphore == nullptr || d.Count == 0) {
        KeReleaseSpinLock(&d.Lock, oldIrql);
        return STATUS_UNSUCCESSFUL;
    }
    record = d.Ring[0];
    --d.Count;
    std::memmove(&d.Ring[0], &d.Ring[1], d.Count * sizeof(ZAR_DIAG_EXCEPTION));
    if (d.Lost != 0) {
        ZarDiagWriteException(ext, ZAR_DIAG_EXCEPTION_LOST, d.Lost);
        d.Lost = 0;
    }
    KeReleaseSpinLock(&d.Lock, oldIrql);
    std::memcpy(buffer, &record, sizeof(record));
    return STATUS_SUCCESS;
}

NTSTATUS ZarSetHdcam24FpsMode(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_BOARD_SETUP_STATE& s = ext->Setup;
    // A refused mode falls back to mode 0 on the board as well: the timing
    // of a mode that was on before must not outlive the word that says off.
    NTSTATUS result = STATUS_SUCCESS;
    if (ext->Hdcam24FpsMode != 0 && !(ext->Eeprom24FpsSupport & ZAR_24FPS_SUPPORT_HDCAM)) {
        ext->Hdcam24FpsMode = 0;
        result = STATUS_UNSUCCESSFUL;
    }
    if (ext->Hdcam24FpsMode == ZAR_24FPS_MODE_DIGITAL_IO) {
        ULONG block[3] = {ext->Hdcam24FpsMode, 0, 0};
        NTSTATUS status = ZarSendDigitalIoIoctl(ext, kDigitalIoSet24Fps, block, sizeof(block), block, sizeof(block));
        if (NT_SUCCESS(status)) {
            std::memcpy(s.DigitalIo24Fps, block, sizeof(block));
        } else {
            ext->Hdcam24FpsMode = 0;
            result = STATUS_UNSUCCESSFUL;
        }
    }
    if (ext->Hdcam24FpsMode == ZAR_24FPS_MODE_ON) {
        s.VideoControl |= kVideoControl24Fps;
        ext->DebiShadow5C00 |= kVideoInputControl24Fps;
    } else {
        s.VideoControl &= ~kVideoControl24Fps;
        ext->DebiShadow5C00 &= ~kVideoInputControl24Fps;
    }
    ZarDebiPioWrite(ext, ZAR_REG_VIDEO_INPUT_CONTROL, ext->DebiShadow5C00);
    ZarTandrel_OnSetHdcam24FpsMode(ext);
    return result;
}

NTSTATUS ZarShutdown(PZAR_DEVICE_EXTENSION ext)
{
    // Without configured FPGAs nothing runs, and the board's registers
    // mean nothing yet.
    if (ext->FpgaState == 0) return STATUS_SUCCESS;

    ZarDebiPioWrite(ext, ZAR_REG_MASTER_FADE, kMasterFadeBlack);
    ZAR_M2_ROUTING routing = ext->M2Routing;
    routing.R[0] = routing.R[1] = routing.R[3] = routing.R[4] = 0;
    ZarDcIoSetM2Routing(ext, &routing);
    for (ULONG channel = 0; channel < ZAR_JPEG_CHANNEL_COUNT; ++channel) {
        ULONG state = ZarJpegGetState(ext, channel);
        if (state == kJpegStatePlay || state == kJpegStateRecord) ZarJpegSetState(ext, channel, kJpegStateIdle);
    }
    if (ext->AudioRecState == kAudioRecStateRecording) ext->AudioRecState = 0;
    ZarAudShutdown(ext);
    return STATUS_SUCCESS;
}
