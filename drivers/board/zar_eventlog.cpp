// Event log of ZARKD: the event source in the registry and the one routine
// every module writes its entries through. The texts belong to the message
// table (include/zarkd_msg.h); entries carry the message id and a final
// status, so the viewer supplies the text, and where it helps the name of
// what the message is about (the FPGA image file).

#include <cstdarg>

#include "include/zarkd_msg.h"
#include "zar_eventlog.h"

namespace {

const WCHAR kEventLogSystemKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\EventLog\\System";
const WCHAR kEventSourceKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\EventLog\\System\\ZARKD";

// The packet head as the entry size counts it (the packet with its first
// dump-data word, rounded as the system lays it out).
constexpr ULONG kEntryHead = ZAR_EVENT_ENTRY_HEAD;
// Strings follow the dump data; the system puts them one word before the
// end of the head.
constexpr ULONG kStringBase = kEntryHead - sizeof(ULONG);
static_assert(kStringBase >= offsetof(IO_ERROR_LOG_PACKET, DumpData));

}  // namespace

NTSTATUS LogError(PVOID ioObject, NTSTATUS errorCode, NTSTATUS finalStatus, PVOID dumpData, USHORT dumpDataSize, ...)
{
    // Size the strings first: the whole entry must fit the system's limit.
    ULONG stringBytes = 0;
    USHORT stringCount = 0;
    va_list args;
    va_start(args, dumpDataSize);
    for (const char* s = va_arg(args, const char*); s != nullptr; s = va_arg(args, const char*)) {
        stringBytes += (ULONG(std::strlen(s)) + 1) * sizeof(WCHAR);
        ++stringCount;
    }
    va_end(args);

    ULONG entrySize = kEntryHead + dumpDataSize + stringBytes;
    if (entrySize > ZAR_EVENT_ENTRY_MAX) return STATUS_UNSUCCESSFUL;

    auto* packet = static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(ioObject, UCHAR(entrySize)));
    if (packet == nullptr) return STATUS_UNSUCCESSFUL;

    RtlZeroMemory(packet, kEntryHead);
    packet->ErrorCode = errorCode;
    packet->FinalStatus = finalStatus;
    packet->DumpDataSize = dumpDataSize;
    packet->StringOffset = USHORT(kStringBase + dumpDataSize);
    if (dumpDataSize != 0) RtlCopyMemory(packet->DumpData, dumpData, dumpDataSize);

    // ANSI insertion strings are widened character by character, each
    // with its terminator.
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

void ZarLogEvent(PVOID ioObject, ULONG eventLogLevel, ULONG messageId, NTSTATUS finalStatus)
{
    // Informational start-up messages wait for EventLogLevel 2; everything
    // else is always logged.
    if (!ZarMsgLoggedAtLevel(messageId, eventLogLevel)) return;
    LogError(ioObject, NTSTATUS(messageId), finalStatus, nullptr, 0, static_cast<const char*>(nullptr));
}

void ZarLogEventNaming(PVOID ioObject, ULONG eventLogLevel, ULONG messageId, NTSTATUS finalStatus, const char* name)
{
    if (!ZarMsgLoggedAtLevel(messageId, eventLogLevel)) return;
    // A name too long for the entry must not cost the entry itself.
    if (!NT_SUCCESS(LogError(ioObject, NTSTATUS(messageId), finalStatus, nullptr, 0, name, static_cast<const char*>(nullptr))))
        LogError(ioObject, NTSTATUS(messageId), finalStatus, nullptr, 0, static_cast<const char*>(nullptr));
}

NTSTATUS ZarCheckRegEventLog()
{
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES attributes;
    HANDLE key = nullptr;
    RtlInitUnicodeString(&name, kEventSourceKey);
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    if (NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes))) {
        ZwClose(key);
        return STATUS_SUCCESS;
    }
    return ZarSetupRegEventLog();
}

NTSTATUS ZarSetupRegEventLog()
{
    // Without the system's log key there is nothing to hang the source on;
    // the driver then loads without one.
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES attributes;
    HANDLE systemKey = nullptr;
    RtlInitUnicodeString(&name, kEventLogSystemKey);
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    if (!NT_SUCCESS(ZwOpenKey(&systemKey, KEY_READ, &attributes))) return STATUS_SUCCESS;
    ZwClose(systemKey);

    HANDLE sourceKey = nullptr;
    ULONG disposition = 0;
    RtlInitUnicodeString(&name, kEventSourceKey);
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    if (!NT_SUCCESS(ZwCreateKey(&sourceKey, KEY_ALL_ACCESS, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                &disposition)))
        return STATUS_SUCCESS;

    // A key someone else created keeps the values it has.
    if (disposition == REG_CREATED_NEW_KEY) {
        WCHAR messageFile[128];
        ULONG length = 0;
        for (const char* s = ZAR_EVENT_MESSAGE_FILE; *s != '\0' && length + 1 < std::size(messageFile); ++s)
            messageFile[length++] = WCHAR(UCHAR(*s));
        messageFile[length++] = 0;

        UNICODE_STRING valueName = RTL_CONSTANT_STRING(u"EventMessageFile");
        ZwSetValueKey(sourceKey, &valueName, 0, REG_EXPAND_SZ, messageFile, length * sizeof(WCHAR));
        ULONG types = ZAR_EVENT_TYPES_SUPPORTED;
        valueName = RTL_CONSTANT_STRING(u"TypesSupported");
        ZwSetValueKey(sourceKey, &valueName, 0, REG_DWORD, &types, sizeof(types));
    }
    ZwClose(sourceKey);
    return STATUS_SUCCESS;
}
