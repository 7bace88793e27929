// The binding to the board driver: its first board device opened by name,
// the board's time-code streams asked for through internal control codes,
// one device per stream (and the reader proxy) created and connected, and
// stream requests this driver does not serve passed down with the stream's
// index.

#include "include/tandrelkd_msg.h"
#include "tandrel_driver.h"

namespace {

const WCHAR kBoardName[] = u"Zar0";
const WCHAR kDevicePrefix[] = u"\\Device\\";
const WCHAR kLinkPrefix[] = u"\\DosDevices\\";
constexpr USHORT kHoldDepth = 32;

// A stream the board describes at a rate this driver cannot count: logged,
// so the missing devices can be explained.
void LogRefusedRate(const TANDREL_STREAM_VALUES& stream)
{
    char rate[12];
    ULONG n = stream.Rate, at = sizeof rate - 1;
    rate[at] = 0;
    do rate[--at] = char('0' + n % 10); while ((n /= 10) != 0 && at > 0);
    WCHAR strings[64] = {};
    ULONG length = 0;
    for (const WCHAR* s = stream.Name; s != nullptr && *s != 0 && length < 40; ++s) strings[length++] = *s;
    strings[length++] = 0;
    for (const char* s = rate + at; *s != 0; ++s) strings[length++] = WCHAR(*s);
    strings[length++] = 0;
    const ULONG head = offsetof(IO_ERROR_LOG_PACKET, DumpData);
    const ULONG size = head + length * sizeof(WCHAR);
    auto* packet = static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(TandrelGlobals.Driver, UCHAR(size)));
    if (packet == nullptr) return;
    RtlZeroMemory(packet, head);
    packet->ErrorCode = NTSTATUS(TANDREL_MSG_STREAM_RATE_REFUSED);
    packet->FinalStatus = STATUS_UNSUCCESSFUL;
    packet->UniqueErrorValue = stream.Index;
    packet->NumberOfStrings = 2;
    packet->StringOffset = USHORT(head);
    RtlCopyMemory(reinterpret_cast<PUCHAR>(packet) + head, strings, length * sizeof(WCHAR));
    IoWriteErrorLogEntry(packet);
}

NTSTATUS GetStreamInfo(TANDREL_BINDING* binding, ULONG index, TANDREL_STREAM_VALUES* values)
{
    TANDREL_STREAM_INFO info{};
    NTSTATUS status = TandrelBoardRequest(binding, IOCTL_ZAR_INTERNAL_GET_STREAM_INFO, &index, sizeof index, &info, sizeof info);
    if (!NT_SUCCESS(status)) return status;
    *values = {info.Index, info.Type, info.FieldRate, reinterpret_cast<const WCHAR*>(info.Name), info.Delay};
    if (!TandrelRateValid(info.FieldRate)) {
        LogRefusedRate(*values);
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

NTSTATUS BuildName(PUNICODE_STRING name, const WCHAR* prefix, const WCHAR* board, const WCHAR* stream)
{
    const ULONG chars = TandrelWideLength(prefix) + TandrelWideLength(board) + TandrelWideLength(stream);
    NTSTATUS status = AllocateUnicodeString(name, chars);
    if (!NT_SUCCESS(status)) return status;
    TandrelWideCopy(name->Buffer, prefix);
    TandrelWideAppend(name->Buffer, board);
    TandrelWideAppend(name->Buffer, stream);
    name->Length = USHORT(chars * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

NTSTATUS ForwardDone(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    return STATUS_CONTINUE_COMPLETION;
}

}  // namespace

NTSTATUS TandrelBoardRequest(TANDREL_BINDING* binding, ULONG code, PVOID in, ULONG inLength, PVOID out, ULONG outLength)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(code, binding->BoardDevice, in, inLength, out, outLength, TRUE, &done, &iosb);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->FileObject = binding->BoardFile;
    NTSTATUS status = IoCallDriver(binding->BoardDevice, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    return status;
}

NTSTATUS TandrelConnectStream(TANDREL_BINDING* binding, ULONG index, PTANDREL_STREAM_CALLBACK callback, PVOID context)
{
    TANDREL_STREAM_CONNECT connect{index, callback, context};
    NTSTATUS status = TandrelBoardRequest(binding, IOCTL_ZAR_INTERNAL_CONNECT_STREAM, &connect, sizeof connect, nullptr, 0);
    if (NT_SUCCESS(status)) InterlockedIncrement(&binding->Connected);
    return status;
}

NTSTATUS TandrelDisconnectStream(TANDREL_BINDING* binding, ULONG index)
{
    NTSTATUS status = TandrelBoardRequest(binding, IOCTL_ZAR_INTERNAL_DISCONNECT_STREAM, &index, sizeof index, nullptr, 0);
    if (NT_SUCCESS(status)) InterlockedDecrement(&binding->Connected);
    return status;
}

NTSTATUS TandrelBind(TANDREL_BINDING** result)
{
    *result = nullptr;
    auto* binding = static_cast<TANDREL_BINDING*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(TANDREL_BINDING), TANDREL_TAG));
    if (binding == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(binding, sizeof *binding);
    NTSTATUS status = DuplicateUnicodeString(&binding->BoardName, kBoardName);
    UNICODE_STRING deviceName{};
    if (NT_SUCCESS(status)) status = BuildName(&deviceName, kDevicePrefix, kBoardName, u"");
    if (NT_SUCCESS(status))
        status = IoGetDeviceObjectPointer(&deviceName, FILE_ALL_ACCESS, &binding->BoardFile, &binding->BoardDevice);
    FreeUnicodeString(&deviceName);
    if (!NT_SUCCESS(status)) {
        binding->BoardFile = nullptr;
        binding->BoardDevice = nullptr;
        TandrelUnbind(binding);
        return status;
    }
    ObReferenceObject(binding->BoardDevice);

    ULONG count = 0;
    status = TandrelBoardRequest(binding, IOCTL_ZAR_INTERNAL_GET_STREAM_COUNT, nullptr, 0, &count, sizeof count);
    if (NT_SUCCESS(status) && count == 0) status = STATUS_UNSUCCESSFUL;
    TANDREL_STREAM_VALUES clockStream{};
    if (NT_SUCCESS(status)) status = GetStreamInfo(binding, 0, &clockStream);
    if (NT_SUCCESS(status) && clockStream.Type != TANDREL_STREAM_MASTER_CLOCK) status = STATUS_UNSUCCESSFUL;
    if (NT_SUCCESS(status)) {
        binding->StreamCount = count;
        binding->Clock = TandrelClockCreate(clockStream);
        if (binding->Clock == nullptr) status = STATUS_INSUFFICIENT_RESOURCES;
    }
    if (NT_SUCCESS(status)) status = TandrelConnectStream(binding, 0, TandrelClockBoardCallback, binding->Clock);
    binding->ClockConnected = NT_SUCCESS(status);
    if (!NT_SUCCESS(status)) {
        TandrelUnbind(binding);
        return status;
    }
    TandrelGlobals.Clock = binding->Clock;

    ULONG created = 0;
    for (ULONG index = 0; index < count; ++index) {
        TANDREL_STREAM_VALUES stream{};
        if (!NT_SUCCESS(GetStreamInfo(binding, index, &stream))) break;
        PTANDREL_EXTENSION ext = nullptr;
        if (NT_SUCCESS(TandrelCreateStreamDevice(binding, stream, FALSE, &ext))) ++created;
    }
    if (created == 0) {
        TandrelGlobals.Clock = nullptr;
        TandrelUnbind(binding);
        return STATUS_UNSUCCESSFUL;
    }
    *result = binding;
    return STATUS_SUCCESS;
}

void TandrelUnbind(TANDREL_BINDING* binding)
{
    if (binding == nullptr) return;
    // The clock stream's connection ends last: no field reaches it after this.
    if (binding->ClockConnected) TandrelDisconnectStream(binding, 0);
    TandrelClockDelete(binding->Clock);
    if (binding->BoardDevice != nullptr) ObDereferenceObject(binding->BoardDevice);
    if (binding->BoardFile != nullptr) ObDereferenceObject(binding->BoardFile);
    FreeUnicodeString(&binding->BoardName);
    ExFreePoolWithTag(binding, TANDREL_TAG);
}

NTSTATUS TandrelCreateStreamDevice(TANDREL_BINDING* binding, const TANDREL_STREAM_VALUES& stream, BOOLEAN proxy,
                                   PTANDREL_EXTENSION* created)
{
    *created = nullptr;
    const TANDREL_DEVICE_CLASS* cls = TandrelClassOfType(stream.Type);
    if (cls == nullptr) return STATUS_INVALID_PARAMETER;
    const WCHAR* streamName = proxy ? TANDREL_PROXY_NAME : stream.Name;
    UNICODE_STRING deviceName{}, shortName{};
    NTSTATUS status = BuildName(&deviceName, kDevicePrefix, kBoardName, streamName);
    if (NT_SUCCESS(status)) status = BuildName(&shortName, u"", kBoardName, streamName);
    PDEVICE_OBJECT device = nullptr;
    if (NT_SUCCESS(status))
        status = IoCreateDevice(TandrelGlobals.Driver, sizeof(TANDREL_EXTENSION) + cls->StateSize, &deviceName,
                                ZAR_DEVICE_TYPE, 0, FALSE, &device);
    FreeUnicodeString(&deviceName);
    if (!NT_SUCCESS(status)) {
        FreeUnicodeString(&shortName);
        return status;
    }
    device->Flags |= DO_BUFFERED_IO;
    PTANDREL_EXTENSION ext = TandrelExtension(device);
    RtlZeroMemory(ext, sizeof(TANDREL_EXTENSION) + cls->StateSize);
    device->StackSize = CCHAR((binding != nullptr ? binding->BoardDevice->StackSize : 0) + 1);
    ext->Class = cls;
    ext->DeviceName = shortName;
    ext->DeviceObject = device;
    ext->Forwards = !proxy;
    ext->Stream = stream;
    ext->Binding = proxy ? nullptr : binding;
    ext->Clock = TandrelGlobals.Clock;
    KeInitializeSpinLock(&ext->Lock);
    KeInitializeSpinLock(&ext->HeldLock);
    ExInitializeNPagedLookasideList(&ext->HoldLookaside, nullptr, nullptr, 0, 12, TANDREL_TAG_HOLD, kHoldDepth);
    ext->Held.Flink = nullptr;
    InitializeListHead(&ext->Polls);
    InitializeListHead(&ext->Listener.Link);
    TandrelTriggersInitialize(ext);
    status = BuildName(&ext->LinkName, kLinkPrefix, kBoardName, streamName);
    if (NT_SUCCESS(status)) {
        UNICODE_STRING target{};
        status = BuildName(&target, kDevicePrefix, kBoardName, streamName);
        if (NT_SUCCESS(status)) status = IoCreateSymbolicLink(&ext->LinkName, &target);
        FreeUnicodeString(&target);
        if (!NT_SUCCESS(status)) FreeUnicodeString(&ext->LinkName);
    }
    if (NT_SUCCESS(status)) status = TandrelStartStopInitialize(ext);
    if (NT_SUCCESS(status) && cls->Initialize != nullptr) status = cls->Initialize(ext);
    if (NT_SUCCESS(status)) {
        if (ext->Listener.Callback != nullptr) {
            TandrelClockAddListener(ext->Clock, &ext->Listener);
            ext->Listening = TRUE;
        } else if (ext->Binding != nullptr && cls->BoardCallback != nullptr) {
            status = TandrelConnectStream(ext->Binding, stream.Index, cls->BoardCallback, ext);
            ext->Connected = NT_SUCCESS(status);
        }
    }
    if (!NT_SUCCESS(status)) {
        TandrelDeleteDevice(ext);
        return status;
    }
    device->Flags &= ~ULONG(DO_DEVICE_INITIALIZING);
    *created = ext;
    return STATUS_SUCCESS;
}

void TandrelDeleteDevice(PTANDREL_EXTENSION ext)
{
    if (ext->LinkName.Buffer != nullptr) IoDeleteSymbolicLink(&ext->LinkName);
    if (ext->Listening) TandrelClockRemoveListener(ext->Clock, &ext->Listener);
    ext->Listening = FALSE;
    // No callback runs after the board answered the disconnect.
    if (ext->Binding != nullptr && ext->Connected) TandrelDisconnectStream(ext->Binding, ext->Stream.Index);
    ext->Connected = FALSE;
    if (ext->Class->Delete != nullptr) ext->Class->Delete(ext);
    TandrelRemovePolls(ext, nullptr);
    TandrelStartStopDelete(ext);
    TandrelTriggersDelete(ext);
    ReleaseHeld(ext);
    ExDeleteNPagedLookasideList(&ext->HoldLookaside);
    FreeUnicodeString(&ext->LinkName);
    FreeUnicodeString(&ext->DeviceName);
    IoDeleteDevice(ext->DeviceObject);
}

NTSTATUS TandrelForward(PTANDREL_EXTENSION ext, PIRP irp)
{
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoGetNextIrpStackLocation(irp)->MinorFunction = UCHAR(ext->Stream.Index);
    IoSetCompletionRoutine(irp, ForwardDone, nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(ext->Binding->BoardDevice, irp);
}

NTSTATUS TandrelDeviceOfHandle(ULONG handle, PIRP irp, PFILE_OBJECT* file, PTANDREL_EXTENSION* ext)
{
    PVOID object = nullptr;
    NTSTATUS status = ObReferenceObjectByHandle(TandrelHandle(handle), 0, IoFileObjectType, irp->RequestorMode, &object, nullptr);
    if (!NT_SUCCESS(status)) return status;
    auto* f = static_cast<PFILE_OBJECT>(object);
    if (f->DeviceObject == nullptr || f->DeviceObject->DriverObject != TandrelGlobals.Driver) {
        ObDereferenceObject(f);
        return STATUS_INVALID_PARAMETER;
    }
    *file = f;
    *ext = TandrelExtension(f->DeviceObject);
    return STATUS_SUCCESS;
}
