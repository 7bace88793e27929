// Internals shared by the HAL's modules (PCI and interrupts, mapped
// registers, DMA).
#pragma once

#include "../hw/hw.h"
#include "nt_hal.h"

// A memory aperture the HAL assigned to a function's BAR.
struct HalAperture {
    ULONG base;
    ULONG size;
    hw::PciFunction* function;
    int bar;
};
// The aperture holding all of [physical, physical + bytes), if any.
bool HalpFindAperture(ULONGLONG physical, ULONG bytes, HalAperture* found);

// Device bus-master transfers (the Host calls): only ranges the HAL mapped
// for DMA (common buffers, mapped MDL pieces) are reachable.
bool HalpDmaRead(uint32_t busAddress, void* data, uint32_t length);
bool HalpDmaWrite(uint32_t busAddress, const void* data, uint32_t length);

// Forget everything of the detached machine.
void HalpResetMappings();
void HalpResetDma();
