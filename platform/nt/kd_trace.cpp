// The kernel trace's lines: "ktrace irp: call IRP 0x... DEVICE_CONTROL
// device 0x... irql 0". Each line is formatted whole and written under one
// lock, so lines of several processors do not interleave.
#include "kd_trace.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "kernel.h"

namespace {

ULONG TopicsFromEnvironment()
{
    const char* text = std::getenv("ZAR_KTRACE");
    return text != nullptr ? KdTraceTopicsFromText(text) : 0;
}

std::mutex& SinkLock()
{
    static std::mutex lock;
    return lock;
}

KD_TRACE_SINK Sink = nullptr;

void Emit(const char* topic, const char* format, ...) __attribute__((format(printf, 2, 3)));

void Emit(const char* topic, const char* format, ...)
{
    char text[256];
    int used = std::snprintf(text, sizeof text, "ktrace %s: ", topic);
    va_list args;
    va_start(args, format);
    std::vsnprintf(text + used, sizeof text - used, format, args);
    va_end(args);
    std::lock_guard<std::mutex> guard(SinkLock());
    if (Sink != nullptr) Sink(text);
    else std::fprintf(stderr, "%s\n", text);
}

const char* MajorName(UCHAR major)
{
    static const char* const names[] = {
        "CREATE",         "CREATE_NAMED_PIPE", "CLOSE",          "READ",
        "WRITE",          "QUERY_INFORMATION", "SET_INFORMATION", "QUERY_EA",
        "SET_EA",         "FLUSH_BUFFERS",     "QUERY_VOLUME_INFORMATION", "SET_VOLUME_INFORMATION",
        "DIRECTORY_CONTROL", "FILE_SYSTEM_CONTROL", "DEVICE_CONTROL", "INTERNAL_DEVICE_CONTROL",
        "SHUTDOWN",       "LOCK_CONTROL",      "CLEANUP",
    };
    return major < sizeof(names) / sizeof(names[0]) ? names[major] : "OTHER";
}

// The major function of the IRP's current location; none once the IRP has
// gone past its last location.
const char* CurrentMajor(PIRP irp)
{
    if (irp->CurrentLocation > irp->StackCount) return "-";
    return MajorName(IoGetCurrentIrpStackLocation(irp)->MajorFunction);
}

ULONG Status(NTSTATUS status) { return static_cast<ULONG>(status); }

}  // namespace

ULONG KdTraceTopics = TopicsFromEnvironment();

ULONG KdTraceTopicsFromText(const char* text)
{
    static const struct {
        const char* name;
        ULONG topic;
    } words[] = {{"irp", KD_TRACE_IRP}, {"wait", KD_TRACE_WAIT}, {"dpc", KD_TRACE_DPC},
                 {"int", KD_TRACE_INT}, {"all", KD_TRACE_ALL}};
    ULONG topics = 0;
    while (*text != '\0') {
        size_t length = std::strcspn(text, ", ");
        for (const auto& w : words)
            if (length == std::strlen(w.name) && std::strncmp(text, w.name, length) == 0) topics |= w.topic;
        text += length;
        if (*text != '\0') ++text;
    }
    return topics;
}

void KdSetTraceTopics(ULONG topics) { KdTraceTopics = topics; }

void KdSetTraceSink(KD_TRACE_SINK sink)
{
    std::lock_guard<std::mutex> guard(SinkLock());
    Sink = sink;
}

void KdTraceCall(PDEVICE_OBJECT device, PIRP irp)
{
    Emit("irp", "call IRP %p %s device %p irql %u", static_cast<void*>(irp), CurrentMajor(irp),
         static_cast<void*>(device), unsigned(KeGetCurrentIrql()));
}

void KdTraceCallReturn(PIRP irp, NTSTATUS status)
{
    Emit("irp", "call IRP %p returned 0x%08lX irql %u", static_cast<void*>(irp),
         static_cast<unsigned long>(Status(status)), unsigned(KeGetCurrentIrql()));
}

void KdTraceComplete(PIRP irp)
{
    Emit("irp", "complete IRP %p %s status 0x%08lX information %lu irql %u", static_cast<void*>(irp),
         CurrentMajor(irp), static_cast<unsigned long>(Status(irp->IoStatus.Status)),
         static_cast<unsigned long>(irp->IoStatus.Information), unsigned(KeGetCurrentIrql()));
}

void KdTraceCancel(PIRP irp, BOOLEAN cancelled)
{
    Emit("irp", "cancel IRP %p %s %s irql %u", static_cast<void*>(irp), CurrentMajor(irp),
         cancelled ? "cancel routine called" : "no cancel routine", unsigned(KeGetCurrentIrql()));
}

void KdTraceWaitBegin(ULONG count, PVOID firstObject, bool delay)
{
    if (delay) Emit("wait", "delay irql %u", unsigned(KeGetCurrentIrql()));
    else
        Emit("wait", "wait on %lu object(s) first %p irql %u", static_cast<unsigned long>(count), firstObject,
             unsigned(KeGetCurrentIrql()));
}

void KdTraceWaitEnd(PVOID firstObject, NTSTATUS status)
{
    Emit("wait", "woken first %p status 0x%08lX irql %u", firstObject, static_cast<unsigned long>(Status(status)),
         unsigned(KeGetCurrentIrql()));
}

void KdTraceDpc(PRKDPC dpc, PVOID routine)
{
    Emit("dpc", "run DPC %p routine %p irql %u", static_cast<void*>(dpc), routine, unsigned(KeGetCurrentIrql()));
}

void KdTraceInterrupt(ULONG vector, PVOID routine, bool claimed)
{
    Emit("int", "vector %lu routine %p %s irql %u", static_cast<unsigned long>(vector), routine,
         claimed ? "claimed" : "not claimed", unsigned(KeGetCurrentIrql()));
}
