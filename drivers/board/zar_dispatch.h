// Request entry points: open, close (with the clean-up of what a handle
// holds), read, write, shutdown and start-I/O, and the one completion rule
// every path of the driver follows.
#pragma once

#include "zar_extension.h"

NTSTATUS ZarDispatchOpen(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS ZarDispatchClose(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS ZarDispatchRead(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS ZarDispatchWrite(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS ZarDispatchShutdown(PDEVICE_OBJECT device, PIRP irp);
void ZarStartIo(PDEVICE_OBJECT device, PIRP irp);

// Prepares the events the close clean-up waits on (once per board).
void ZarInitEntryPointEvents(PZAR_DEVICE_EXTENSION ext);

// Completes 'irp' with 'status': the driver's one way to end a request. The
// byte count follows one rule on every path: an error hands back none, while
// success and a warning hand back 'bytes' (a warning such as a buffer
// overflow still returns what was filled).
NTSTATUS ZarCompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR bytes = 0, CCHAR boost = IO_NO_INCREMENT);
