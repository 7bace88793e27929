// The board's interrupt: the bridge's enable word and the routine that the
// interrupt object runs. The per-field work, the audio and channel decisions
// and the shared-line poll join ZarIsr with their modules; until then it
// acknowledges what the bridge reports.

#include "zar_driver.h"

namespace {

volatile ULONG* ZarBridgeRegister(PZAR_DEVICE_EXTENSION ext, ULONG offset)
{
    return reinterpret_cast<volatile ULONG*>(ext->Registers + offset);
}

}  // namespace

void ZarSetIntModeAtIrql(PZAR_DEVICE_EXTENSION ext, ULONG mask, BOOLEAN set)
{
    if (set)
        ext->InterruptEnable |= mask;
    else
        ext->InterruptEnable &= ~mask;
    if (ext->Registers != nullptr) WRITE_REGISTER_ULONG(ZarBridgeRegister(ext, ZAR_BRIDGE_IER), ext->InterruptEnable);
}

void ZarSetIntMode(PZAR_DEVICE_EXTENSION ext, ULONG mask, BOOLEAN set)
{
    // At device IRQL the interrupt's own lock already orders the change.
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        ZarSetIntModeAtIrql(ext, mask, set);
        return;
    }
    KIRQL oldIrql;
    KeAcquireSpinLock(&ext->Lock, &oldIrql);
    ZarSetIntModeAtIrql(ext, mask, set);
    KeReleaseSpinLock(&ext->Lock, oldIrql);
}

BOOLEAN ZarIsr(PKINTERRUPT, PVOID context)
{
    auto* ext = static_cast<PZAR_DEVICE_EXTENSION>(context);
    ++ext->InterruptCount;
    ULONG status = READ_REGISTER_ULONG(ZarBridgeRegister(ext, ZAR_BRIDGE_ISR));
    if (status == 0) {
        // Another device on a shared line.
        ++ext->SpuriousInterruptCount;
        return FALSE;
    }
    WRITE_REGISTER_ULONG(ZarBridgeRegister(ext, ZAR_BRIDGE_ISR), status);
    return TRUE;
}

void ZarDpcForIsr(PKDPC, PDEVICE_OBJECT, PIRP, PVOID)
{
    // The device's standard DPC has no work: each source has a DPC of its own.
}
