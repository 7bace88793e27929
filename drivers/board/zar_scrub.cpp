// Scrub list: entries filled part by part, committed with their due field,
// and applied from the interrupt routine (the DVE's up-stream part first,
// the down-stream parts at their own counter).

#include <cstring>

#include "zar_boardsetup.h"
#include "zar_bridge.h"
#include "zar_dve.h"
#include "zar_extension.h"
#include "zar_ioctl.h"
#include "zar_jpeg.h"
#include "zar_mix.h"
#include "zar_scrub.h"

namespace {

struct ZAR_SCRUB_PART {
    ULONG Kind;
    ULONG Offset;
    ULONG Length;
};
constexpr ZAR_SCRUB_PART kParts[] = {
    {0x1, 8, 9},      {0x2, 17, 11},   {0x4, 28, 11},   {0x8, 39, 1},     {0x10, 40, 108},
    {0x20, 148, 96},  {0x40, 244, 24}, {0x80, 268, 79}, {0x100, 347, 20}, {0x200, 367, 20},
    {0x400, 387, 10}, {0x800, 397, 10}, {0x1000, 407, 8}, {0x2000, 415, 20},
};

ULONG Flags(const UCHAR* entry)
{
    ULONG v;
    std::memcpy(&v, entry, sizeof(v));
    return v;
}
void SetFlags(UCHAR* entry, ULONG v) { std::memcpy(entry, &v, sizeof(v)); }

UCHAR* Slot(PZAR_DEVICE_EXTENSION ext, ULONG index) { return ext->Scrub.Entry[index & (ZAR_SCRUB_ENTRIES - 1)]; }

// The entry at the write index once it is free: waits a field step at a
// time, at most 16.
UCHAR* ZarScrubFreeEntry(PZAR_DEVICE_EXTENSION ext)
{
    for (ULONG step = 0;; ++step) {
        UCHAR* entry = Slot(ext, ext->Scrub.Write);
        if ((Flags(entry) & ZAR_SCRUB_READY) == 0) return entry;
        if (step == ZAR_SCRUB_WAIT_STEPS || KeGetCurrentIrql() >= DISPATCH_LEVEL) return nullptr;
        ZarDcIoSynchronizeExecution(ext, 2);
    }
}

BOOLEAN ZarScrubListCriticalSetState(PVOID context)
{
    auto* ext = static_cast<PZAR_DEVICE_EXTENSION>(context);
    ZAR_SCRUB_STATE& s = ext->Scrub;
    UCHAR* entry = Slot(ext, s.Write);
    bool upstream = (Flags(entry) & ZAR_SCRUB_DVE_UPSTREAM) != 0;
    if (s.DownRead == s.Write) {
        s.UpCounter = s.NextDue = 2;
        s.DownCounter = upstream ? 0 : 2;
    } else if (upstream) {
        s.DownCounter = s.UpCounter - 2;
    }
    if (s.NextDue < s.UpCounter) s.NextDue = s.UpCounter;
    std::memcpy(entry + 4, &s.NextDue, sizeof(ULONG));
    ++s.NextDue;
    ++s.Write;
    SetFlags(entry, Flags(entry) | ZAR_SCRUB_READY);
    return TRUE;
}

}  // namespace

NTSTATUS ZarScrubListSetNode(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    ZAR_SCRUB_LIST_NODE node;
    std::memcpy(&node, buffer, sizeof(node));
    if (node.Kind == ZAR_SCRUB_COMMIT) {
        if (KeGetCurrentIrql() >= DISPATCH_LEVEL || ZarScrubFreeEntry(ext) == nullptr) return STATUS_UNSUCCESSFUL;
        ZarRunSynchronized(ext, ZarScrubListCriticalSetState, ext);
        return STATUS_SUCCESS;
    }
    const ZAR_SCRUB_PART* part = nullptr;
    for (const ZAR_SCRUB_PART& p : kParts)
        if (p.Kind == node.Kind) part = &p;
    if (part == nullptr) return STATUS_UNSUCCESSFUL;
    if (part->Kind == 0x100 || part->Kind == 0x200) {
        ZAR_JPEG_COMMAND command;
        const void* from = reinterpret_cast<const void*>(static_cast<ULONG_PTR>(node.Address));
        NTSTATUS status = ZarCaptureFromCaller(UserMode, from, &command, sizeof(command));
        if (!NT_SUCCESS(status)) return status;
        return ZarScrubListAddVideoPart(ext, part->Kind, &command);
    }
    UCHAR* entry = ZarScrubFreeEntry(ext);
    if (entry == nullptr) return STATUS_UNSUCCESSFUL;
    const void* from = reinterpret_cast<const void*>(static_cast<ULONG_PTR>(node.Address));
    UCHAR data[108];
    NTSTATUS status = ZarCaptureFromCaller(UserMode, from, data, part->Length);
    if (!NT_SUCCESS(status)) return status;
    std::memcpy(entry + part->Offset, data, part->Length);
    SetFlags(entry, Flags(entry) | part->Kind);
    return STATUS_SUCCESS;
}

NTSTATUS ZarScrubListAddVideoPart(PZAR_DEVICE_EXTENSION ext, ULONG kind, const void* jpegCommand)
{
    if (kind != 0x100 && kind != 0x200) return STATUS_UNSUCCESSFUL;
    UCHAR* entry = ZarScrubFreeEntry(ext);
    if (entry == nullptr) return STATUS_UNSUCCESSFUL;
    struct Call {
        PZAR_DEVICE_EXTENSION Ext;
        ULONG Kind;
        UCHAR* Entry;
        const ZAR_JPEG_COMMAND* Command;
    } call{ext, kind, entry, static_cast<const ZAR_JPEG_COMMAND*>(jpegCommand)};
    auto set = [](PVOID context) -> BOOLEAN {
        auto* c = static_cast<Call*>(context);
        auto* display = reinterpret_cast<ZAR_JPEG_DISPLAY*>(c->Entry + (c->Kind == 0x100 ? 347 : 367));
        ZAR_JPEG_DISPLAY part;
        ZarScrubJpegSetNode(c->Ext, c->Command, &part);
        std::memcpy(display, &part, sizeof(part));
        SetFlags(c->Entry, Flags(c->Entry) | c->Kind);
        return TRUE;
    };
    ZarRunSynchronized(ext, set, &call);
    return STATUS_SUCCESS;
}

BOOLEAN ZarScrubListIsEmpty(PZAR_DEVICE_EXTENSION ext) { return ext->Scrub.DownRead == ext->Scrub.Write; }

void ZarScrubListIsr(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_SCRUB_STATE& s = ext->Scrub;
    if (s.DownRead == s.Write && s.UpRead == s.Write) return;
    UCHAR* up = Slot(ext, s.UpRead);
    ULONG due;
    if (s.UpRead != s.Write && (Flags(up) & ZAR_SCRUB_READY)) {
        std::memcpy(&due, up + 4, sizeof(due));
        if (due <= s.UpCounter) {
            ZarScrubDveProcessUpStreamNode(ext, up);
            ++s.UpRead;
        }
    }
    UCHAR* down = Slot(ext, s.DownRead);
    if (s.DownRead != s.Write && (Flags(down) & ZAR_SCRUB_READY)) {
        std::memcpy(&due, down + 4, sizeof(due));
        if (due <= s.DownCounter) {
            ZarScrubDveProcessDownStreamNode(ext, down);
            ZarScrubMixProcessNode(ext, down);
            ZAR_JPEG_DISPLAY parts[2];
            std::memcpy(&parts[0], down + 347, sizeof(parts[0]));
            std::memcpy(&parts[1], down + 367, sizeof(parts[1]));
            ZarScrubJpegProcessNode(ext, Flags(down), parts);
            ZarScrubProcAmpProcessNode(ext, down);
            ZarScrubBusProcessNode(ext, down);
            ++s.DownRead;
            SetFlags(down, 0);
        }
    }
    ++s.UpCounter;
    ++s.DownCounter;
}
