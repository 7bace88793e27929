// What every class shares: the lock pair, the class of a stream type, the
// sample forms answered by output length, device information and
// configuration, and the notification queue's control codes.

#include "tandrel_driver.h"

TandrelLocks::TandrelLocks(PTANDREL_EXTENSION ext) : Ext(ext)
{
    KeAcquireSpinLock(&ext->Clock->Lock, &Old);
    KeAcquireSpinLockAtDpcLevel(&ext->Lock);
}

TandrelLocks::~TandrelLocks()
{
    KeReleaseSpinLockFromDpcLevel(&Ext->Lock);
    KeReleaseSpinLock(&Ext->Clock->Lock, Old);
}

const TANDREL_DEVICE_CLASS* TandrelClassOfType(ULONG type)
{
    switch (type) {
    case TANDREL_STREAM_MASTER_CLOCK: return &TandrelMasterClockClass;
    case TANDREL_STREAM_FIELD_COUNTER: return &TandrelFieldCountClass;
    case TANDREL_STREAM_LTC_READER:
    case TANDREL_STREAM_VITC_READER: return &TandrelInputClass;
    case TANDREL_STREAM_LTC_GENERATOR:
    case TANDREL_STREAM_VITC_GENERATOR:
    case TANDREL_STREAM_BURN_IN: return &TandrelOutputClass;
    }
    return nullptr;
}

ULONG TandrelWriteSample(PIRP irp, const TANDREL_SAMPLE& sample, ULONG field, LONG running, ULONGLONG time, ULONG most)
{
    const ULONG length = TandrelOutputLength(irp);
    TANDREL_TIMESTAMPED_SAMPLE full{{sample, field, running}, time};
    ULONG bytes = sizeof(TANDREL_SAMPLE);
    if (length >= sizeof(TANDREL_TIMESTAMPED_SAMPLE) && most >= sizeof(TANDREL_TIMESTAMPED_SAMPLE))
        bytes = sizeof(TANDREL_TIMESTAMPED_SAMPLE);
    else if (length >= sizeof(TANDREL_REFERENCED_SAMPLE) && most >= sizeof(TANDREL_REFERENCED_SAMPLE))
        bytes = sizeof(TANDREL_REFERENCED_SAMPLE);
    RtlCopyMemory(TandrelBuffer(irp), &full, bytes);
    return bytes;
}

NTSTATUS TandrelOnGetDeviceInfo(PTANDREL_EXTENSION ext, PIRP irp)
{
    TANDREL_DEVICE_INFO info{};
    info.Rate = UCHAR(ext->Stream.Rate);
    const ULONG type = ext->Stream.Type;
    info.Video = type != TANDREL_STREAM_LTC_READER && type != TANDREL_STREAM_LTC_GENERATOR;
    switch (ext->Class->ClassBit) {
    case TANDREL_CLASS_FIELD_COUNT: info.Mark[0] = 1, info.Mark[1] = 1; break;
    case TANDREL_CLASS_INPUT: info.Mark[0] = 7, info.Mark[1] = 7; break;
    default: info.Mark[0] = 6, info.Mark[1] = 5; break;
    }
    RtlCopyMemory(TandrelBuffer(irp), &info, sizeof info);
    irp->IoStatus.Information = sizeof info;
    return STATUS_SUCCESS;
}

NTSTATUS TandrelOnGetConfiguration(PTANDREL_EXTENSION ext, PIRP irp)
{
    const ULONG type = ext->Stream.Type;
    TANDREL_CONFIGURATION config{ext->Stream.Rate, ULONG(type == TANDREL_STREAM_LTC_READER || type == TANDREL_STREAM_LTC_GENERATOR ? 0 : 1)};
    RtlCopyMemory(TandrelBuffer(irp), &config, sizeof config);
    irp->IoStatus.Information = sizeof config;
    return STATUS_SUCCESS;
}

NTSTATUS TandrelEnableNotices(PTANDREL_EXTENSION ext, PIRP irp, TANDREL_NOTICE_QUEUE** queue, BOOLEAN* overflow, ULONG size)
{
    if (*queue != nullptr) return STATUS_DEVICE_BUSY;
    PKSEMAPHORE semaphore = nullptr;
    NTSTATUS status = TandrelReferenceSemaphore(*static_cast<PULONG>(TandrelBuffer(irp)), irp, &semaphore);
    if (!NT_SUCCESS(status)) return status;
    TANDREL_NOTICE_QUEUE* created = nullptr;
    status = TandrelNoticeCreate(semaphore, size, &created);
    if (!NT_SUCCESS(status)) {
        ObDereferenceObject(semaphore);
        return status;
    }
    BOOLEAN busy;
    {
        TandrelLocks locks(ext);
        busy = *queue != nullptr;
        if (!busy) {
            *queue = created;
            *overflow = FALSE;
        }
    }
    if (busy) {
        TandrelNoticeDestroy(created);
        return STATUS_DEVICE_BUSY;
    }
    irp->IoStatus.Information = 4;
    return STATUS_SUCCESS;
}

NTSTATUS TandrelDisableNotices(PTANDREL_EXTENSION ext, TANDREL_NOTICE_QUEUE** queue)
{
    TANDREL_NOTICE_QUEUE* taken;
    {
        TandrelLocks locks(ext);
        taken = *queue;
        *queue = nullptr;
    }
    TandrelNoticeDestroy(taken);
    return STATUS_SUCCESS;
}

NTSTATUS TandrelPopNotice(PTANDREL_EXTENSION ext, PIRP irp, TANDREL_NOTICE_QUEUE* const* queue, BOOLEAN* overflow, ULONG size)
{
    UCHAR element[64];
    BOOLEAN popped = FALSE;
    {
        TandrelLocks locks(ext);
        if (*queue != nullptr) popped = TandrelNoticePop(*queue, element);
        if (popped) *overflow = FALSE;
    }
    if (!popped) return STATUS_UNSUCCESSFUL;
    RtlCopyMemory(TandrelBuffer(irp), element, size);
    irp->IoStatus.Information = size;
    return STATUS_SUCCESS;
}
