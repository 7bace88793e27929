// The one place in tools/ that reads the board driver's device extension;
// see board_inspect.h.
#include "tools/board_inspect.h"

#include "drivers/board/zar_driver.h"
#include "machine.h"
#include "nt_internal.h"

namespace inspect {

namespace {

PZAR_DEVICE_EXTENSION Extension(uint32_t board)
{
    for (const auto& [service, driver] : nt::IoLoadedDrivers()) {
        if (service != u"ZARKD" || !driver) continue;
        for (PDEVICE_OBJECT device = driver->DeviceObject; device; device = device->NextDevice)
            if (ZarExtension(device)->BoardNumber == board) return ZarExtension(device);
    }
    return nullptr;
}

std::optional<uint32_t> Setting(ULONG value)
{
    return value == ZAR_REG_UNSET ? std::nullopt : std::optional<uint32_t>(value);
}

}  // namespace

bool ReadBoard(uint32_t board, BoardView* view)
{
    PZAR_DEVICE_EXTENSION ext = Extension(board);
    if (!ext) return false;
    BoardView v;
    v.board = board;
    v.deviceName = ObGetObjectName(ext->DeviceObject);
    if (ext->HardwareInfo) v.hardware = *ext->HardwareInfo;
    v.eventLogLevel = ext->EventLogLevel;
    v.standard = ext->Standard;
    v.activeLinesPerField = ext->ActiveLinesPerField;
    v.coreMode = ext->CoreMode;
    v.dvePresent = ext->DvePresent;
    v.dveWticDmaSizeWords = ext->DveWticDmaSizeWords;
    v.blackAdjust = ext->BlackAdjust;
    v.dmaTweakV = Setting(ext->DmaTweakV);
    v.dmaTweakA = Setting(ext->DmaTweakA);
    v.disableAudioFifoResets = ext->DisableAudioFifoResets;
    v.audioUnderflowLogging = ext->AudioUnderflowLogging;
    v.sensitiveTiming = ext->SensitiveTiming;
    v.shortBlankingWait = ext->ShortBlankingWait;
    v.eeprom625Support = ext->Eeprom625Support;
    v.eeprom24FpsSupport = ext->Eeprom24FpsSupport;
    v.boardRevision = ext->BoardRevision;
    v.boardReady = ext->BoardReady;
    v.interruptConnected = ext->InterruptObject != nullptr;
    v.fieldCounter = ext->FieldCounter;
    v.fieldParity = ext->FieldParity;
    v.interruptCount = ext->InterruptCount;
    v.spuriousInterruptCount = ext->SpuriousInterruptCount;
    v.videoSource = ext->Vin.Mode.Source;
    v.videoLocked = ext->Vin.Locked;
    v.videoQuality = ext->Vin.Quality;
    *view = v;
    return true;
}

}  // namespace inspect
