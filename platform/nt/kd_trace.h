// The kernel layer's switchable trace: one line per IofCallDriver,
// IofCompleteRequest, IoCancelIrp, wait, DPC and interrupt, with the IRP,
// its major function, the status and the IRQL, so that a failing driver test
// can show what happened. Off by default; ZAR_KTRACE turns topics on by name
// ("irp,dpc", "wait", "int", "all"), read once when the layer loads. While a
// topic is off its hook costs one predictable branch on a global word.
#pragma once

#include "nt_io.h"

enum KD_TRACE_TOPIC : ULONG {
    KD_TRACE_IRP = 0x1,   // calls, completions and cancels of IRPs
    KD_TRACE_WAIT = 0x2,  // waits of kernel threads: entry and outcome
    KD_TRACE_DPC = 0x4,   // each DPC routine run
    KD_TRACE_INT = 0x8,   // each interrupt service routine run
    KD_TRACE_ALL = 0xF,
};

// The topics on; written at load and by KdSetTraceTopics only.
extern ULONG KdTraceTopics;

inline bool KdTracing(ULONG topic) { return __builtin_expect((KdTraceTopics & topic) != 0, 0); }

// The topics a ZAR_KTRACE value names; unknown words are ignored.
ULONG KdTraceTopicsFromText(const char* text);
void KdSetTraceTopics(ULONG topics);
// Lines go to standard error, or to 'sink' when one is set (nullptr: back
// to standard error).
using KD_TRACE_SINK = void (*)(const char* line);
void KdSetTraceSink(KD_TRACE_SINK sink);

// The hooks; called only when KdTracing(topic) is true.
void KdTraceCall(PDEVICE_OBJECT device, PIRP irp);
void KdTraceCallReturn(PIRP irp, NTSTATUS status);
void KdTraceComplete(PIRP irp);
void KdTraceCancel(PIRP irp, BOOLEAN cancelled);
void KdTraceWaitBegin(ULONG count, PVOID firstObject, bool delay);
void KdTraceWaitEnd(PVOID firstObject, NTSTATUS status);
void KdTraceDpc(PRKDPC dpc, PVOID routine);
void KdTraceInterrupt(ULONG vector, PVOID routine, bool claimed);
