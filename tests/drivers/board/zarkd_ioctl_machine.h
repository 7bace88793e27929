// A machine with ZARKD loaded over a named PCI layout, on the virtual
// clock, the FPGA image files installed in its drivers folder, and board 0
// opened from user mode as \\.\KIVZAR0 (overlapped, so a
// request's exact NTSTATUS comes back in the OVERLAPPED). The transfer
// channels can be held busy so queued requests stay in their queues, then
// drained with a status of the test's choosing.
#pragma once

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <vector>

#include "drivers/board/zar_driver.h"
#include "platform/nt/clock.h"
#include "outside/fpga_images.h"
#include "platform/win32/win32.h"
#include "tests/support/zarkd_machine.h"

class ZarkdIoctlMachine : public ZarkdMachineFixture {
protected:
    struct Result {
        NTSTATUS status;
        ULONG bytes;
    };

    void SetUp() override
    {
        ZarkdMachineFixture::SetUp();
        if (HasFatalFailure()) return;
        std::string error;
        ASSERT_TRUE(fpgaimages::InstallImageFiles(std::filesystem::path(Folder()) / "drives/C/WINNT/system32/drivers",
                                                  0, &error))
            << error;
        LoadBoardDriver();
        if (HasFatalFailure()) return;
        // Start-up talks to the video chips; let the last transfer's DPC finish.
        nt::ClockRunUntilIdle();
        ext_ = ZarkdBoard(0);
        handle_ = CreateFileA("\\\\.\\KIVZAR0", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
        ASSERT_NE(handle_, INVALID_HANDLE_VALUE) << GetLastError();
        event_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        noAccess_ = ::mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(noAccess_, MAP_FAILED);
    }

    void TearDown() override
    {
        if (held_) DrainQueues(STATUS_CANCELLED);
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
        if (event_ != nullptr) CloseHandle(event_);
        if (noAccess_ != nullptr && noAccess_ != MAP_FAILED) ::munmap(noAccess_, 4096);
        ZarkdMachineFixture::TearDown();
    }

    // One request; a pending one is waited for unless 'wait' is false (then
    // the result is STATUS_PENDING and the request stays with the driver).
    Result Send(ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength, bool wait = true)
    {
        // A request left pending writes its status block when it ends, so
        // the block lives as long as the fixture.
        OVERLAPPED& ov = overlapped_.emplace_back();
        ov.hEvent = event_;
        ResetEvent(event_);
        DWORD bytes = 0;
        if (!DeviceIoControl(handle_, code, const_cast<void*>(in), inLength, out, outLength, &bytes, &ov) &&
            GetLastError() == ERROR_IO_PENDING) {
            if (!wait) return {STATUS_PENDING, 0};
            WaitForSingleObject(event_, INFINITE);
        }
        return {static_cast<NTSTATUS>(ov.Internal), static_cast<ULONG>(ov.InternalHigh)};
    }
    // A request with zeroed buffers of at least a page, so a method-neither
    // code reading a fixed record past a short length stays in them.
    Result SendLengths(ULONG code, ULONG inLength, ULONG outLength, bool wait = true)
    {
        std::vector<UCHAR> in(std::max<ULONG>(inLength, 4096)), out(std::max<ULONG>(outLength, 4096));
        return Send(code, in.data(), inLength, out.data(), outLength, wait);
    }

    // Marks the five transfer queues busy: queued requests wait in them.
    void HoldQueues()
    {
        WaitQueuesIdle();
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        for (PKDEVICE_QUEUE q : Queues()) {
            KDEVICE_QUEUE_ENTRY dummy{};
            ASSERT_FALSE(KeInsertDeviceQueue(q, &dummy)) << "queue already busy";
        }
        KeLowerIrql(old);
        held_ = true;
    }
    // Ends every queued request with 'status' and leaves the queues idle.
    // Returns how many there were.
    ULONG DrainQueues(NTSTATUS status)
    {
        // Taken off at DISPATCH_LEVEL as a channel's DPC would, ended at
        // PASSIVE_LEVEL so each request finishes at once.
        struct Taken {
            PNPAGED_LOOKASIDE_LIST lookaside;
            PVOID entry;
            PIRP irp;
            PMDL mdl;
        };
        std::vector<Taken> taken;
        PNPAGED_LOOKASIDE_LIST lists[] = {&ext_->DebiLookaside, &ext_->BrsLookaside, &ext_->HpsLookaside,
                                          &ext_->I2c.Lookaside, &ext_->ScsiLookaside};
        auto queues = Queues();
        taken.reserve(64);
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        for (size_t i = 0; i < queues.size(); ++i) {
            if (!queues[i]->Busy) continue;  // an idle queue holds nothing
            while (PKDEVICE_QUEUE_ENTRY e = KeRemoveDeviceQueue(queues[i])) {
                if (queues[i] == &ext_->I2c.Queue) {
                    auto* entry = CONTAINING_RECORD(e, ZAR_I2C_ENTRY, QueueEntry);
                    if (entry->Irp == nullptr) {
                        // The driver's own command (no request): ended as the engine ends one.
                        entry->Status = status;
                        ZarI2cEndEntry(ext_, entry);
                        continue;
                    }
                    taken.push_back({lists[i], entry, entry->Irp, nullptr});
                } else {
                    auto* entry = CONTAINING_RECORD(e, ZAR_DEBI_ENTRY, QueueEntry);
                    taken.push_back({lists[i], entry, entry->Irp, entry->Mdl});
                }
            }
        }
        KeLowerIrql(old);
        for (const Taken& t : taken) ZarQueueEndRequest(t.lookaside, t.entry, t.irp, t.mdl, status, 0);
        held_ = false;
        return ULONG(taken.size());
    }
    // Lets the channels finish the board's own traffic (the start-up's I2C
    // writes, the video-input monitor's reads).
    void WaitQueuesIdle()
    {
        for (;;) {
            nt::ClockRunUntilIdle();
            auto queues = Queues();
            if (std::none_of(queues.begin(), queues.end(), [](PKDEVICE_QUEUE q) { return q->Busy; })) return;
            nt::ClockRunFor(100000);
        }
    }
    std::vector<PKDEVICE_QUEUE> Queues()
    {
        return {&ext_->DebiQueue, &ext_->BrsQueue, &ext_->HpsQueue, &ext_->I2c.Queue, &ext_->ScsiQueue};
    }

    // Requests waiting in a queue (the one being served is not counted).
    static ULONG Waiting(PKDEVICE_QUEUE q)
    {
        ULONG n = 0;
        for (PLIST_ENTRY e = q->DeviceListHead.Flink; e != &q->DeviceListHead; e = e->Flink) ++n;
        return n;
    }

    static double Seconds(uint64_t ns) { return double(ns) / 1e9; }

    PZAR_DEVICE_EXTENSION ext_ = nullptr;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    HANDLE event_ = nullptr;
    void* noAccess_ = nullptr;  // a page that faults on any access
    bool held_ = false;
    std::deque<OVERLAPPED> overlapped_;
};
