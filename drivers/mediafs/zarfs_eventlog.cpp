// Event-log entries of ZARFSKD. The texts live in the message table
// (include/zarfs_msg.h); an entry carries the id, the final status, dump
// data and the insertion strings widened to UTF-16.

#include "zarfs_eventlog.h"

#include <cstdarg>
#include <cstring>

NTSTATUS ZarFsGlobLogEvent(PVOID ioObject, ULONG messageId, NTSTATUS finalStatus, const void* dumpData,
                           USHORT dumpDataSize, ...)
{
    ULONG stringBytes = 0;
    USHORT stringCount = 0;
    va_list args;
    va_start(args, dumpDataSize);
    for (const char* s = va_arg(args, const char*); s != nullptr; s = va_arg(args, const char*)) {
        stringBytes += (ULONG(std::strlen(s)) + 1) * sizeof(WCHAR);
        ++stringCount;
    }
    va_end(args);

    ULONG entrySize = ZARFS_EVENT_ENTRY_HEAD + dumpDataSize + stringBytes;
    if (ioObject == nullptr || entrySize > ZARFS_EVENT_ENTRY_MAX) return STATUS_UNSUCCESSFUL;
    auto* packet = static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(ioObject, UCHAR(entrySize)));
    if (packet == nullptr) return STATUS_UNSUCCESSFUL;

    // The strings start one word before the end of the head, after the dump.
    constexpr ULONG kStringBase = ZARFS_EVENT_ENTRY_HEAD - sizeof(ULONG);
    RtlZeroMemory(packet, ZARFS_EVENT_ENTRY_HEAD);
    packet->ErrorCode = NTSTATUS(messageId);
    packet->FinalStatus = finalStatus;
    packet->DumpDataSize = dumpDataSize;
    packet->StringOffset = USHORT(kStringBase + dumpDataSize);
    if (dumpDataSize != 0) RtlCopyMemory(packet->DumpData, dumpData, dumpDataSize);

    auto* out = reinterpret_cast<PWCHAR>(reinterpret_cast<PUCHAR>(packet) + packet->StringOffset);
    va_start(args, dumpDataSize);
    for (const char* s = va_arg(args, const char*); s != nullptr; s = va_arg(args, const char*)) {
        while (*s != '\0') *out++ = WCHAR(UCHAR(*s++));
        *out++ = 0;
    }
    va_end(args);
    packet->NumberOfStrings = stringCount;
    IoWriteErrorLogEntry(packet);
    return STATUS_SUCCESS;
}
