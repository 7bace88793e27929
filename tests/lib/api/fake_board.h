// A stand-in board driver for the library's tests: one device answering as
// the board driver's \\.\KIVZAR<n> does, with the answers a test orders
// (board state, firmware answers, a firmware request that fails, a request
// held pending until the test completes it), and a log of the control
// codes it received. Its file-system link is made and removed on demand.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "include/zarkd.h"
#include "platform/nt/kernel.h"
#include "platform/nt/nt_internal.h"

namespace fakeboard {

inline constexpr ULONG kHoldCode = 0x222FF0;  // held until CompleteHeld

struct Orders {
    std::atomic<uint32_t> boardState{ZAR_BOARD_STATE_BOARD};
    std::atomic<uint32_t> reportAnswer{1};   // firmware report
    std::atomic<uint32_t> programAnswer{1};  // firmware programming
    std::atomic<bool> firmwareFails{false};  // the firmware request itself fails
    std::atomic<bool> allFail{false};        // every control request fails
};

inline Orders orders;
inline std::mutex logLock;
inline std::vector<ULONG> codes;
inline std::vector<int32_t> lastGammaTable;
inline std::atomic<PIRP> held{nullptr};

inline void ResetOrders()
{
    orders.boardState = ZAR_BOARD_STATE_BOARD;
    orders.reportAnswer = 1;
    orders.programAnswer = 1;
    orders.firmwareFails = false;
    orders.allFail = false;
    std::lock_guard<std::mutex> g(logLock);
    codes.clear();
    lastGammaTable.clear();
}

inline std::vector<ULONG> Codes()
{
    std::lock_guard<std::mutex> g(logLock);
    return codes;
}

inline size_t CountOf(ULONG code)
{
    size_t n = 0;
    for (ULONG c : Codes()) n += c == code;
    return n;
}

inline NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

inline void CancelHeld(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    PIRP expected = irp;
    held.compare_exchange_strong(expected, nullptr);
    Complete(irp, STATUS_CANCELLED, 0);
}

inline NTSTATUS Open(PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS, 0); }

inline NTSTATUS Control(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = s->Parameters.DeviceIoControl.IoControlCode;
    const ULONG out = s->Parameters.DeviceIoControl.OutputBufferLength;
    auto* buffer = static_cast<uint32_t*>(irp->AssociatedIrp.SystemBuffer);
    {
        std::lock_guard<std::mutex> g(logLock);
        codes.push_back(code);
        if (code == IOCTL_ZAR_VIN_LOAD_PROC_AMP_TABLE) {
            // Embedded, the caller's table is readable at its address.
            const auto* table = reinterpret_cast<const int32_t*>(uintptr_t(buffer[0]));
            lastGammaTable.assign(table, table + 256);
        }
    }
    if (orders.allFail) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    switch (code) {
    case kHoldCode:
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, CancelHeld);
        held = irp;
        return STATUS_PENDING;
    case IOCTL_ZAR_GET_BOARD_STATE:
        buffer[0] = orders.boardState;
        return Complete(irp, STATUS_SUCCESS, 4);
    case IOCTL_ZAR_FLEX_DOWNLOAD:
        if (orders.firmwareFails) return Complete(irp, STATUS_IO_DEVICE_ERROR, 0);
        buffer[1] = buffer[0] == 1 ? orders.reportAnswer.load() : orders.programAnswer.load();
        if (buffer[0] == 0 && buffer[1] != 0) orders.reportAnswer = buffer[1];
        buffer[2] = 0x12345678;
        buffer[3] = 0x9ABCDEF0;
        return Complete(irp, STATUS_SUCCESS, 16);
    default:
        if (out) std::memset(buffer, 0, out);
        return Complete(irp, STATUS_SUCCESS, out);
    }
}

inline std::u16string DeviceName(ULONG board) { return u"\\Device\\FakeZar" + std::u16string(1, char16_t(u'0' + board)); }

inline NTSTATUS Link(const std::u16string& linkName, const std::u16string& target)
{
    UNICODE_STRING link, name;
    RtlInitUnicodeString(&link, linkName.c_str());
    RtlInitUnicodeString(&name, target.c_str());
    return IoCreateSymbolicLink(&link, &name);
}

inline NTSTATUS Unlink(const std::u16string& linkName)
{
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, linkName.c_str());
    return IoDeleteSymbolicLink(&link);
}

inline ULONG boardNumber = 7;

inline NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    const std::u16string name = DeviceName(boardNumber);
    UNICODE_STRING deviceName;
    RtlInitUnicodeString(&deviceName, name.c_str());
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(driver, 0, &deviceName, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    driver->MajorFunction[IRP_MJ_CREATE] = Open;
    driver->MajorFunction[IRP_MJ_CLEANUP] = Open;
    driver->MajorFunction[IRP_MJ_CLOSE] = Open;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Control;
    return Link(u"\\??\\KIVZAR" + std::u16string(1, char16_t(u'0' + boardNumber)), name);
}

// The fake board as board 'board' (its \\.\KIVZAR<n>); once per program.
inline void Install(ULONG board)
{
    boardNumber = board;
    PDRIVER_OBJECT driver;
    ASSERT_EQ(IoCreateDriver(u"FakeZar", DriverEntry, &driver), STATUS_SUCCESS);
}

// Its file-system control device (the same device answers) appears or goes.
inline void SetFileSystemLink(bool present)
{
    const std::u16string link = u"\\??\\ZarFsDevice" + std::u16string(1, char16_t(u'0' + boardNumber));
    if (present)
        Link(link, DeviceName(boardNumber));
    else
        Unlink(link);
}

// Completes the held request with success.
inline bool CompleteHeld()
{
    PIRP irp = held.exchange(nullptr);
    if (!irp || !IoSetCancelRoutine(irp, nullptr)) return false;
    Complete(irp, STATUS_SUCCESS, 0);
    return true;
}

}  // namespace fakeboard
