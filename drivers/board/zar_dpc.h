// The DPCs of the frame: the VBI DPC with its field waiters and field
// signals, and the I2C completion.
#pragma once

#include "zar_extension.h"

void ZarDpcForI2c(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2);
void ZarDpcForVbi(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2);

// Registers the caller as a field waiter and waits for the next field's VBI
// DPC, at most 'timeout' (relative, 100 ns units, negative). STATUS_SUCCESS
// or STATUS_TIMEOUT; a waiter that timed out is no longer registered.
NTSTATUS ZarWaitForField(PZAR_DEVICE_EXTENSION ext, LONGLONG timeout);
// Arms field signal 'slot' (set up by the module with its event) so the
// next VBI DPC signals it. Any IRQL.
void ZarArmFieldSignal(PZAR_DEVICE_EXTENSION ext, ULONG slot);
