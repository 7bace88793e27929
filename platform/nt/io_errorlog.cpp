// I/O manager: the drivers' error log. An entry is a packet the driver
// fills; writing it appends a record to the machine's event log with the
// driver's service name as the source, the packet's strings and its dump
// data.
#include "io_internal.h"
#include "machine.h"
#include "ob_internal.h"

namespace {

// Hidden in front of each packet: who allocated it.
struct ErrorLogEntry {
    PDRIVER_OBJECT Driver;
    ULONG Size;
    ULONG Pad[2];
};

std::u16string ServiceNameOf(PDRIVER_OBJECT driver)
{
    if (!driver) return u"System";
    if (driver->DriverExtension && driver->DriverExtension->ServiceKeyName.Length)
        return std::u16string(driver->DriverExtension->ServiceKeyName.Buffer,
                              driver->DriverExtension->ServiceKeyName.Length / 2);
    std::u16string n(driver->DriverName.Buffer, driver->DriverName.Length / 2);
    size_t cut = n.rfind(u'\\');
    return cut == std::u16string::npos ? n : n.substr(cut + 1);
}

USHORT EventTypeOf(NTSTATUS code)
{
    switch (ULONG(code) >> 30) {
    case 3: return 1;  // error
    case 2: return 2;  // warning
    default: return 4;  // information (and success)
    }
}

}  // namespace

PVOID IoAllocateErrorLogEntry(PVOID ioObject, UCHAR entrySize)
{
    if (entrySize > ERROR_LOG_MAXIMUM_SIZE || entrySize < offsetof(IO_ERROR_LOG_PACKET, DumpData)) return nullptr;
    PDRIVER_OBJECT driver = nullptr;
    if (ObGetObjectType(ioObject) == IoDeviceObjectType) driver = static_cast<PDEVICE_OBJECT>(ioObject)->DriverObject;
    else if (ObGetObjectType(ioObject) == IoDriverObjectType) driver = static_cast<PDRIVER_OBJECT>(ioObject);
    auto* e = static_cast<ErrorLogEntry*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(ErrorLogEntry) + entrySize, kTagErrorLog));
    if (!e) return nullptr;
    std::memset(e, 0, sizeof(ErrorLogEntry) + entrySize);
    if (driver) ObfReferenceObject(driver);
    e->Driver = driver;
    e->Size = entrySize;
    return e + 1;
}

void IoFreeErrorLogEntry(PVOID entry)
{
    if (!entry) return;
    ErrorLogEntry* e = static_cast<ErrorLogEntry*>(entry) - 1;
    if (e->Driver) ObfDereferenceObject(e->Driver);
    ExFreePoolWithTag(e, kTagErrorLog);
}

void IoWriteErrorLogEntry(PVOID entry)
{
    ErrorLogEntry* e = static_cast<ErrorLogEntry*>(entry) - 1;
    auto* p = static_cast<PIO_ERROR_LOG_PACKET>(entry);
    nt::EventLogRecord r{};
    r.source = ServiceNameOf(e->Driver);
    r.eventId = ULONG(p->ErrorCode);
    r.type = EventTypeOf(p->ErrorCode);
    r.category = p->EventCategory;
    r.finalStatus = p->FinalStatus;
    r.uniqueValue = p->UniqueErrorValue;
    const auto* base = static_cast<const UCHAR*>(entry);
    size_t dumpEnd = offsetof(IO_ERROR_LOG_PACKET, DumpData) + p->DumpDataSize;
    if (dumpEnd <= e->Size) {
        const auto* dump = base + offsetof(IO_ERROR_LOG_PACKET, DumpData);
        r.data.assign(dump, dump + p->DumpDataSize);
    }
    // Strings: terminated UTF-16, one after another from StringOffset,
    // never read past the packet.
    size_t off = p->StringOffset;
    for (USHORT i = 0; i < p->NumberOfStrings && off + 2 <= e->Size; i++) {
        std::u16string s;
        while (off + 2 <= e->Size) {
            char16_t c;
            std::memcpy(&c, base + off, 2);
            off += 2;
            if (!c) break;
            s.push_back(c);
        }
        r.strings.push_back(std::move(s));
    }
    nt::EventLogAppend(std::move(r));
    IoFreeErrorLogEntry(entry);
}
