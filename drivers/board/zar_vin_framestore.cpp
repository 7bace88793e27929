// The video input's frame store read back into a caller's image: each line
// comes from the store's port by DEBI DMA into one of two line buffers,
// the next line's transfer running while the last one is converted, and is
// written bottom-up, the two fields interleaved.

#include <cstring>

#include "zar_bridge.h"
#include "zar_debi.h"
#include "zar_extension.h"
#include "zar_ioctl.h"
#include "zar_vin.h"

namespace {

constexpr ULONG kPort = 0x4800;
constexpr ULONG kFieldSelect = 0x4C10;
constexpr ULONG kLineAddress = 0x4C20;
constexpr ULONG kSecondField = 1024;
constexpr ULONG kPixels = 720;
constexpr ULONG kStoreLineBytes = kPixels * 4;
constexpr ULONG kDebiReadCommand = 0x10000 | kPort | (kStoreLineBytes << 17);

// BT.601 studio range to RGB in fixed point with 4 fraction bits: five
// tables of terms and one clamp, so a pixel costs additions and look-ups.
struct ColourTables {
    SHORT Y[256], CrR[256], CrG[256], CbG[256], CbB[256];
    UCHAR Clamp[1024];  // index: value + 384
    ColourTables()
    {
        auto fixed = [](double factor, int v) { return SHORT(factor * v * 16 + (factor * v >= 0 ? 0.5 : -0.5)); };
        for (int i = 0; i < 256; ++i) {
            Y[i] = fixed(1.164, i - 16);
            CrR[i] = fixed(1.596, i - 128);
            CrG[i] = fixed(-0.813, i - 128);
            CbG[i] = fixed(-0.392, i - 128);
            CbB[i] = fixed(2.018, i - 128);
        }
        for (int i = 0; i < 1024; ++i) Clamp[i] = UCHAR(i < 384 ? 0 : i > 384 + 255 ? 255 : i - 384);
    }
    UCHAR Fix(int sum) const { return Clamp[((sum + 8) >> 4) + 384]; }
    void Bgr(UCHAR y, UCHAR cb, UCHAR cr, UCHAR* out) const
    {
        out[0] = Fix(Y[y] + CbB[cb]);
        out[1] = Fix(Y[y] + CrG[cr] + CbG[cb]);
        out[2] = Fix(Y[y] + CrR[cr]);
    }
};
const ColourTables kColour;

struct Read {
    ZAR_FRAMESTORE_READ Request;
    ULONG LineBytes;   // of the caller's image
    ULONG FrameLines;
    UCHAR Fill[kStoreLineBytes];
    UCHAR Key[kStoreLineBytes];
};

// The second pixel of a pair takes the chroma halfway to the next pair's;
// the last pair has no next and keeps its own.
UCHAR Between(const UCHAR* pair, ULONG index, ULONG offset)
{
    return index + 1 < kPixels / 2 ? UCHAR((pair[offset] + pair[offset + 8] + 1) / 2) : pair[offset];
}

UCHAR KeyOf(const UCHAR* pair, ULONG pixel)
{
    const ULONG high = pixel == 0 ? 1 : 5;
    return UCHAR((pair[high] & 0xF) << 4 | (pair[high + 2] & 0xF));
}

// One store line (8 bytes a pixel pair: Cb, key, Y0, key, Cr, key, Y1, key)
// into the caller's formats.
void ConvertLine(Read* r, const UCHAR* line)
{
    const ZAR_FRAMESTORE_READ& q = r->Request;
    const bool twoImages = q.KeyMode == ZAR_FS_KEY_TWO_IMAGES && q.Format == ZAR_FS_FORMAT_BGR;
    const ULONG step = q.Format == ZAR_FS_FORMAT_BGR ? 3 : 4;
    UCHAR* fill = r->Fill;
    UCHAR* key = r->Key;
    for (ULONG p = 0; p < kPixels / 2; ++p) {
        const UCHAR* pair = line + p * 8;
        const UCHAR cb[2] = {pair[0], Between(pair, p, 0)};
        const UCHAR cr[2] = {pair[4], Between(pair, p, 4)};
        const UCHAR y[2] = {pair[2], pair[6]};
        for (ULONG i = 0; i < 2; ++i, fill += step) {
            const UCHAR alpha = q.KeyMode == ZAR_FS_KEY_OPAQUE ? 255 : KeyOf(pair, i);
            if (q.Format == ZAR_FS_FORMAT_CBYCRA) {
                fill[0] = cb[i];
                fill[1] = y[i];
                fill[2] = cr[i];
            } else {
                kColour.Bgr(y[i], cb[i], cr[i], fill);
            }
            if (step == 4) fill[3] = alpha;
        }
        if (twoImages) {
            // The key bytes read as a picture of their own.
            const UCHAR kcb[2] = {pair[1], Between(pair, p, 1)};
            const UCHAR kcr[2] = {pair[5], Between(pair, p, 5)};
            kColour.Bgr(pair[3], kcb[0], kcr[0], key);
            kColour.Bgr(pair[7], kcb[1], kcr[1], key + 3);
            key += 6;
        }
    }
}

// A line's transfer takes about half a millisecond: polled in steps of
// 20 us rather than spinning on the bus, up to 100 ms.
BOOLEAN WaitLine(PZAR_DEVICE_EXTENSION ext)
{
    for (ULONG i = 0; i < 5000; ++i) {
        if (!(ZarBridgeRead(ext, ZAR_BRIDGE_PSR) & ZAR_PSR_DEBI_BUSY)) return TRUE;
        KeStallExecutionProcessor(20);
    }
    return FALSE;
}

BOOLEAN StartLine(PZAR_DEVICE_EXTENSION ext, ULONG buffer)
{
    const ZAR_COMMON_BUFFER& b = ext->WorkPage[buffer];
    return ZarDebiFsDmaStartDevice(ext, kDebiReadCommand, 0, b.LogicalAddress.LowPart);
}

// One field: its lines to every second image row, from 'row' down.
NTSTATUS ReadField(PZAR_DEVICE_EXTENSION ext, Read* r, ULONG field, ULONG row)
{
    ZarDebiPioWrite(ext, kFieldSelect, field == 0 ? 0 : kSecondField);
    ZarDebiPioWrite(ext, kLineAddress, 0);
    const ULONG lines = r->FrameLines / 2;
    auto* fillImage = reinterpret_cast<UCHAR*>(ULONG_PTR(r->Request.FillImage));
    auto* keyImage = reinterpret_cast<UCHAR*>(ULONG_PTR(r->Request.KeyImage));
    const bool twoImages =
        r->Request.KeyMode == ZAR_FS_KEY_TWO_IMAGES && r->Request.Format == ZAR_FS_FORMAT_BGR;
    if (!StartLine(ext, 0) || !WaitLine(ext)) return STATUS_UNSUCCESSFUL;
    for (ULONG line = 0; line < lines; ++line, row -= 2) {
        const ULONG current = line & 1;
        const bool more = line + 1 < lines;
        if (more && !StartLine(ext, current ^ 1)) return STATUS_UNSUCCESSFUL;
        ConvertLine(r, static_cast<const UCHAR*>(ext->WorkPage[current].VirtualAddress));
        NTSTATUS status = ZarCopyToCaller(UserMode, fillImage + ULONG_PTR(row) * r->LineBytes, r->Fill, r->LineBytes);
        if (NT_SUCCESS(status) && twoImages)
            status = ZarCopyToCaller(UserMode, keyImage + ULONG_PTR(row) * r->LineBytes, r->Key, r->LineBytes);
        if (!NT_SUCCESS(status)) return status;
        if (more && !WaitLine(ext)) return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS ZarVinFramestoreRead(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    auto* r = static_cast<Read*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Read), ZAR_TAG_WORK));
    if (r == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    std::memcpy(&r->Request, buffer, sizeof(r->Request));
    const ZAR_FRAMESTORE_READ& q = r->Request;
    NTSTATUS status = STATUS_SUCCESS;
    if (q.KeyMode > ZAR_FS_KEY_TWO_IMAGES ||
        (q.Format != ZAR_FS_FORMAT_BGRA && q.Format != ZAR_FS_FORMAT_BGR && q.Format != ZAR_FS_FORMAT_CBYCRA) ||
        ext->WorkPage[0].VirtualAddress == nullptr || ext->WorkPage[1].VirtualAddress == nullptr)
        status = STATUS_UNSUCCESSFUL;
    r->LineBytes = q.Format == ZAR_FS_FORMAT_BGR ? kPixels * 3 : kPixels * 4;
    r->FrameLines = ext->Standard == ZAR_STANDARD_625 ? 576 : 486;
    // Both images must take the whole frame before the first line goes.
    if (NT_SUCCESS(status))
        status = SehTry([&] {
            const SIZE_T bytes = SIZE_T(r->FrameLines) * r->LineBytes;
            ProbeForWrite(reinterpret_cast<PVOID>(ULONG_PTR(q.FillImage)), bytes, 1);
            if (q.KeyMode == ZAR_FS_KEY_TWO_IMAGES && q.Format == ZAR_FS_FORMAT_BGR)
                ProbeForWrite(reinterpret_cast<PVOID>(ULONG_PTR(q.KeyImage)), bytes, 1);
        });
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(r, ZAR_TAG_WORK);
        return status;
    }
    const bool wasHeld = ZarVinFrameStoreHeld(ext);
    if (q.KeyMode == ZAR_FS_KEY_TWO_IMAGES) ZarVinSetFrameStoreHold(ext, true);
    // The field read first starts one row lower at 525 lines, the other at 625.
    const ULONG top = r->FrameLines - 1;
    const bool firstLower = ext->Standard != ZAR_STANDARD_625;
    for (ULONG field = 0; field < 2 && NT_SUCCESS(status); ++field) {
        if (!ZarDebiAcquireForCopy(ext)) {
            status = STATUS_UNSUCCESSFUL;
            break;
        }
        const bool lower = (field == 0) == firstLower;
        status = ReadField(ext, r, field, lower ? top - 1 : top);
        ZarDebiReleaseFromCopy(ext);
    }
    if (q.KeyMode == ZAR_FS_KEY_TWO_IMAGES) ZarVinSetFrameStoreHold(ext, wasHeld);
    ExFreePoolWithTag(r, ZAR_TAG_WORK);
    return status;
}
