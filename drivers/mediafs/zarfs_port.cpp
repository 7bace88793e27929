// The port file "___Port0___": a program writes a command into it and reads
// the reply back, and the driver passes the command on to the file-system
// service (a new media file in the port file's folder, or the free space of
// its volume). Each handle has its own command buffer and reply.

#include "zarfs_driver.h"

namespace {

constexpr ULONG kPortTag = ZarFsTag("Iprt");

}  // namespace

struct ZARFS_PORT_FILE {
    ZARFS_SERVICE_CHANNEL* Channel;
    KMUTEX Lock;                    // one write at a time on a handle, the service's answer included
    UCHAR Command[ZARFS_PORT_COMMAND_BYTES];
    ULONG Reply[8];                 // reply length (also the file's size), status, results
};

namespace {

void SetReply(ZARFS_PORT_FILE* port, ULONG length, LONG status)
{
    port->Reply[0] = length;
    port->Reply[1] = ULONG(status);
}

// The path that goes in front of a command's name: the drive letter, ':'
// and the full name of the port file's folder with a backslash, or of the
// volume that holds it. Runs under the drive's resource.
NTSTATUS PathPrefix(ZARFS_VCB* vcb, ZARFS_FCB* fcb, bool volume, PWCHAR prefix, PULONG chars)
{
    ZARFS_FCB* node = fcb->Parent;
    if (volume) {
        while (node != nullptr && node->Kind != ZarFsNodeVolume) node = node->Parent;
        if (node == nullptr) return STATUS_UNSUCCESSFUL;  // not inside a volume
    }
    NTSTATUS status = ZarFsFCBSetupFullName(node);
    if (!NT_SUCCESS(status)) return status;
    ULONG nameChars = node->FullName.Length / sizeof(WCHAR);
    bool slash = !volume && !(node->Flags & ZARFS_FCB_ROOT);
    *chars = 2 + nameChars + (slash ? 1 : 0);
    if (*chars >= ZARFS_PORT_PATH_CHARS) return STATUS_UNSUCCESSFUL;
    prefix[0] = vcb->Card->DriveLetter;
    prefix[1] = u':';
    RtlCopyMemory(prefix + 2, node->FullName.Buffer, node->FullName.Length);
    if (slash) prefix[2 + nameChars] = u'\\';
    return STATUS_SUCCESS;
}

// The argument of a command as the service takes it: the prefix in front of
// the name it begins with (512 characters at most with the zero), the rest
// of the arguments moved right behind it, zeroes after them.
NTSTATUS BuildArgument(ZARFS_VCB* vcb, ZARFS_FCB* fcb, const ZARFS_PORT_FILE* port, ULONG total, bool volume,
                       PUCHAR argument, ULONG argumentBytes)
{
    WCHAR prefix[ZARFS_PORT_PATH_CHARS];
    ULONG prefixChars = 0;
    NTSTATUS status = ZarFsUnderResource(&vcb->Resource, true, [&] {
        return PathPrefix(vcb, fcb, volume, prefix, &prefixChars);
    });
    if (!NT_SUCCESS(status)) return status;
    const UCHAR* given = port->Command + 8;
    ULONG givenBytes = total - 8;
    ULONG nameChars = 0;
    while ((nameChars + 1) * sizeof(WCHAR) <= givenBytes && nameChars < ZARFS_PORT_PATH_CHARS &&
           (given[nameChars * 2] | given[nameChars * 2 + 1]) != 0)
        ++nameChars;
    ULONG prefixBytes = prefixChars * sizeof(WCHAR);
    if (prefixChars + nameChars + 1 > ZARFS_PORT_PATH_CHARS || prefixBytes + givenBytes > argumentBytes)
        return STATUS_UNSUCCESSFUL;
    RtlZeroMemory(argument, argumentBytes);
    RtlCopyMemory(argument, prefix, prefixBytes);
    RtlCopyMemory(argument + prefixBytes, given, givenBytes);
    return STATUS_SUCCESS;
}

NTSTATUS Dispatch(ZARFS_VCB* vcb, ZARFS_FCB* fcb, ZARFS_PORT_FILE* port)
{
    ULONG total, code;
    RtlCopyMemory(&total, port->Command, 4);
    RtlCopyMemory(&code, port->Command + 4, 4);
    ULONG argumentBytes = code == ZARFS_PORT_CMD_CREATE_MEDIA_FILE    ? ZARFS_PORT_CREATE_ARGUMENT_BYTES
                          : code == ZARFS_PORT_CMD_GET_AVAILABLE_SPACE ? ZARFS_PORT_SPACE_ARGUMENT_BYTES
                                                                       : 0;
    if (code == 2 || code == 3) return STATUS_SUCCESS;  // accepted, nothing to do
    if (argumentBytes == 0) {
        SetReply(port, 8, ZARFS_PORT_REPLY_UNKNOWN);
        return STATUS_SUCCESS;
    }
    // The length must hold the header and no more than the argument takes.
    if (total < 8 || total > 8 + argumentBytes) {
        SetReply(port, 8, ZARFS_PORT_REPLY_UNKNOWN);
        return STATUS_INVALID_PARAMETER;
    }
    if (code == ZARFS_PORT_CMD_CREATE_MEDIA_FILE) {
        UCHAR argument[ZARFS_PORT_CREATE_ARGUMENT_BYTES];
        NTSTATUS status = BuildArgument(vcb, fcb, port, total, false, argument, sizeof argument);
        if (NT_SUCCESS(status)) status = ZarFsSReqCreateMediaFile(port->Channel, argument);
        if (NT_SUCCESS(status)) SetReply(port, 8, 0);
        return status;
    }
    UCHAR argument[ZARFS_PORT_SPACE_ARGUMENT_BYTES];
    ULONG space[6] = {};
    NTSTATUS status = BuildArgument(vcb, fcb, port, total, true, argument, sizeof argument);
    if (NT_SUCCESS(status)) status = ZarFsSReqGetAvailableSpace(port->Channel, argument, space);
    if (NT_SUCCESS(status)) {
        SetReply(port, 32, 0);
        RtlCopyMemory(&port->Reply[2], space, sizeof space);
    }
    return status;
}

}  // namespace

NTSTATUS ZarFsComPortInitialize(ZARFS_VCB* vcb, ZARFS_PORT_FILE** out)
{
    auto* port = static_cast<ZARFS_PORT_FILE*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(ZARFS_PORT_FILE), kPortTag));
    if (port == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(port, sizeof *port);
    port->Channel = &vcb->Card->Service;
    KeInitializeMutex(&port->Lock, 0);
    // The first reply names the drive and the service's SDTI flags.
    port->Reply[0] = 16;
    RtlCopyMemory(&port->Reply[1], "KIVF", 4);
    port->Reply[2] = 1;
    port->Reply[3] = port->Channel->SdtiFlags;
    *out = port;
    return STATUS_SUCCESS;
}

void ZarFsComPortFree(ZARFS_PORT_FILE* port) { ExFreePoolWithTag(port, kPortTag); }

ULONG ZarFsComPortReplyLength(const ZARFS_PORT_FILE* port) { return port->Reply[0]; }

NTSTATUS ZarFsComPortRead(ZARFS_VCB* vcb, ZARFS_PORT_FILE* port, PUCHAR buffer, ULONGLONG offset, PULONG length)
{
    (void)vcb;
    KeWaitForSingleObject(&port->Lock, Executive, KernelMode, FALSE, nullptr);
    ULONG replyLength = port->Reply[0] < sizeof port->Reply ? port->Reply[0] : sizeof port->Reply;
    NTSTATUS status = STATUS_SUCCESS;
    if (offset >= replyLength) {
        *length = 0;
        status = STATUS_END_OF_FILE;
    } else {
        if (*length > replyLength - offset) *length = ULONG(replyLength - offset);
        RtlCopyMemory(buffer, reinterpret_cast<const UCHAR*>(port->Reply) + offset, *length);
    }
    KeReleaseMutex(&port->Lock, FALSE);
    return status;
}

NTSTATUS ZarFsComPortWrite(ZARFS_VCB* vcb, ZARFS_FCB* fcb, ZARFS_PORT_FILE* port, const UCHAR* buffer,
                           ULONGLONG offset, PULONG length)
{
    // Nothing of such a write could reach the command: it is refused, not
    // answered as done with nothing written.
    if (offset >= ZARFS_PORT_COMMAND_BYTES) {
        *length = 0;
        return STATUS_INVALID_PARAMETER;
    }
    KeWaitForSingleObject(&port->Lock, Executive, KernelMode, FALSE, nullptr);
    ULONG room = ZARFS_PORT_COMMAND_BYTES - ULONG(offset);
    if (*length > room) *length = room;
    RtlCopyMemory(port->Command + offset, buffer, *length);
    port->Reply[1] = ULONG(ZARFS_PORT_REPLY_PENDING);
    ULONG end = ULONG(offset) + *length;
    ULONG total;
    RtlCopyMemory(&total, port->Command, 4);
    NTSTATUS status = STATUS_SUCCESS;
    // Dispatched once the piece that completes it is written.
    if (end >= 8 && end >= total) status = Dispatch(vcb, fcb, port);
    KeReleaseMutex(&port->Lock, FALSE);
    if (!NT_SUCCESS(status)) *length = 0;
    return status;
}
