// Graphics frame store module: settings, read-out per field, image loads
// through the BRS channel or by grabbing the input, erase, and the play-list
// channels 200/201.

#include <cstring>

#include "zar_audio.h"
#include "zar_board_regs.h"
#include "zar_boardsetup.h"
#include "zar_bridge.h"
#include "zar_brs.h"
#include "zar_debi.h"
#include "zar_extension.h"
#include "zar_flex.h"
#include "zar_gfx.h"
#include "zar_ioctl.h"
#include "zar_playlist.h"
#include "zar_vin.h"

namespace {

constexpr ULONG kModeFrame = 1;
constexpr ULONG kModeField = 2;
constexpr ULONG kModeAlternate = 3;
constexpr ULONG kModeOff = 255;           // store B only
constexpr ULONG kSelectionNone = 10;      // store B only
constexpr ULONG kApplyA = 0x1, kApplyB = 0x2;

// Store A's read registers, store B's (its control is 0x5474).
constexpr ULONG kRegAColumn = ZAR_REG_FRAME_STORES[0], kRegARow = ZAR_REG_FRAME_STORES[1];
constexpr ULONG kRegAControl = ZAR_REG_FRAME_STORES[2];
constexpr ULONG kRegBColumn = ZAR_REG_FRAME_STORES[3], kRegBRowHigh = ZAR_REG_FRAME_STORES[4];
constexpr ULONG kRegBRow = ZAR_REG_FRAME_STORES[5], kRegBControl = ZAR_REG_INPUT_CONTROL;
constexpr ULONG kRegAWriteRow = ZAR_REG_STORE_A_WRITE_ROW, kRegAWriteOffset = ZAR_REG_STORE_A_WRITE_OFFSET;
constexpr ULONG kRegAWriteWidth = ZAR_REG_STORE_A_WRITE_WIDTH;
constexpr ULONG kRegBWriteRow = ZAR_REG_STORE_B_WRITE_ROW, kRegBWriteOffset = ZAR_REG_STORE_B_WRITE_OFFSET;
constexpr ULONG kRegBWriteWidth = ZAR_REG_STORE_B_WRITE_WIDTH;
constexpr ULONG kWriteEnable = ZAR_STORE_WRITE_ENABLE, kWideLayout = ZAR_STORE_WIDE_LAYOUT;
constexpr ULONG kGrabBit = ZAR_INPUT_CONTROL_GRAB;
constexpr ULONG kStoreBReadBits = ZAR_INPUT_CONTROL_STORE_B_READ;
constexpr ULONG kVideoControlKeyFormat = ZAR_VIDEO_INPUT_KEY_FORMAT;
constexpr ULONG kSecondFieldRows = 1024;
constexpr ULONG kLineLength = 720, kWideLineLength = 1536;
constexpr LONGLONG kLoaderWait = -10000000LL;  // 1 s

ULONG ZarGfxDword(const UCHAR* p)
{
    ULONG v;
    std::memcpy(&v, p, sizeof(v));
    return v;
}
void ZarGfxPutDword(UCHAR* p, ULONG v) { std::memcpy(p, &v, sizeof(v)); }

void ZarGfxFieldStep(PZAR_DEVICE_EXTENSION ext) { ZarDcIoSynchronizeExecution(ext, 2); }

// Changes the stores' read settings with 'edit' and writes their read
// registers, all under the interrupt's lock: the interrupt routine takes
// nodes into the same settings and writes the registers every field.
template <typename Edit>
void ZarGfxApply(PZAR_DEVICE_EXTENSION ext, ULONG stores, Edit edit)
{
    struct Apply {
        PZAR_DEVICE_EXTENSION Ext;
        ULONG Stores;  // bit per store
        Edit* Change;
    } apply{ext, stores, &edit};
    PKSYNCHRONIZE_ROUTINE run = [](PVOID context) -> BOOLEAN {
        auto* a = static_cast<Apply*>(context);
        (*a->Change)();
        for (ULONG store = 0; store < 2; ++store)
            if (a->Stores & (1u << store)) ZarGfxCriticalSetReadAddress(a->Ext, store);
        return TRUE;
    };
    ZarRunSynchronized(ext, run, &apply);
}

// The buffer a store shows: 2 for selection 3, else 1.
ULONG ZarGfxShownBuffer(PZAR_DEVICE_EXTENSION ext, ULONG store) { return ext->Gfx.Read[store].Selection == 3 ? 2 : 1; }

void ZarGfxShowBuffer(PZAR_DEVICE_EXTENSION ext, ULONG store, ULONG buffer)
{
    ZarGfxApply(ext, 1u << store, [ext, store, buffer] {
        ext->Gfx.Read[store].Selection = buffer == 2 ? 3 : 0;
        if (store == 0) ext->Gfx.Settings.SelectionA = ext->Gfx.Read[0].Selection;
        else ext->Gfx.Settings.SelectionB = ext->Gfx.Read[1].Selection;
    });
}

// The video control register's bits (0x5C00), changed under the interrupt's
// lock: the mixer's chroma filter and the 24-frame switch share the shadow.
void ZarGfxSetVideoControlBits(PZAR_DEVICE_EXTENSION ext, ULONG bits, bool set)
{
    struct Change {
        PZAR_DEVICE_EXTENSION Ext;
        ULONG Bits;
        bool Set;
    } change{ext, bits, set};
    PKSYNCHRONIZE_ROUTINE run = [](PVOID context) -> BOOLEAN {
        auto* c = static_cast<Change*>(context);
        ULONG& shadow = c->Ext->DebiShadow5C00;
        shadow = c->Set ? shadow | c->Bits : shadow & ~c->Bits;
        ZarDebiPioWrite(c->Ext, ZAR_REG_VIDEO_INPUT_CONTROL, shadow);
        return TRUE;
    };
    ZarRunSynchronized(ext, run, &change);
}

// The BRS command's write-buffer word for a pass.
void ZarGfxSetWriteBuffer(PZAR_DEVICE_EXTENSION ext, ZAR_BRS_DMA_COMMAND* command, ULONG selection, ULONG store)
{
    if (store > 1) return;
    switch (selection) {
    case 0: command->WriteBuffer = ext->Gfx.Read[store].Mode == kModeFrame ? 0 : 1; break;
    case 1: command->WriteBuffer = 1; break;
    case 2: command->WriteBuffer = 0; break;
    case 3: command->WriteBuffer = command->Field == 1 ? 1 : 0; break;
    default: break;
    }
}

// The video input's FPGA mode for a grab (4, 5, 6, 100, 3).
void ZarGfxSetInputMode(PZAR_DEVICE_EXTENSION ext, ULONG mode)
{
    ext->Vin.Mode.Word2 = mode;
    ZarVinSetFpgaMode(ext, FALSE);
}

void ZarGfxSetStoreBControl(PZAR_DEVICE_EXTENSION ext, ULONG bits, bool set)
{
    auto change = [](PVOID context) -> BOOLEAN {
        auto* c = static_cast<std::pair<PZAR_DEVICE_EXTENSION, LONG>*>(context);
        ULONG bits = ULONG(c->second & 0x7FFFFFFF);
        if (c->second < 0)
            c->first->DebiShadow5474 |= bits;
        else
            c->first->DebiShadow5474 &= ~bits;
        ZarDebiPioWrite(c->first, kRegBControl, c->first->DebiShadow5474);
        return TRUE;
    };
    std::pair<PZAR_DEVICE_EXTENSION, LONG> context{ext, LONG(bits | (set ? 0x80000000u : 0))};
    ZarRunSynchronized(ext, change, &context);
}

// Store B's write buffer (1 or 2): where a grab lands. A BRS pass sets it
// for itself; a grab must set it too, or it lands wherever the last load
// left the bit.
void ZarGfxSetStoreBWriteBuffer(PZAR_DEVICE_EXTENSION ext, ULONG buffer)
{
    auto change = [](PVOID context) -> BOOLEAN {
        auto* c = static_cast<std::pair<PZAR_DEVICE_EXTENSION, ULONG>*>(context);
        ULONG& shadow = c->first->Brs.StoreBWrite;
        shadow = (shadow & ~ZAR_STORE_B_WRITE_BUFFER) | (c->second == 2 ? ZAR_STORE_B_WRITE_BUFFER : 0);
        ZarDebiPioWrite(c->first, ZAR_REG_STORE_B_WRITE, shadow);
        return TRUE;
    };
    std::pair<PZAR_DEVICE_EXTENSION, ULONG> context{ext, buffer};
    ZarRunSynchronized(ext, change, &context);
}

NTSTATUS ZarGfxGrab(PZAR_DEVICE_EXTENSION ext, const UCHAR* request)
{
    ULONG source = ZarGfxDword(request);
    ULONG target = ZarGfxDword(request + 4);
    ULONG writeBuffer = target == 1 || target == 3 ? 2 : 1;
    if (source == 6) {
        ZarGfxShowBuffer(ext, 1, 2);
        ZarGfxSetInputMode(ext, 100);
    } else {
        ZarGfxSetInputMode(ext, source + 1);  // sources 3-5: input modes 4-6
        if (ZarGfxShownBuffer(ext, 1) == writeBuffer || ext->Gfx.Read[1].Mode == kModeOff)
            ZarGfxShowBuffer(ext, 1, writeBuffer == 2 ? 1 : 2);
    }
    ZarGfxSetStoreBWriteBuffer(ext, writeBuffer);
    ZarGfxSetStoreBControl(ext, kGrabBit, true);
    ZarGfxFieldStep(ext);
    ZarGfxFieldStep(ext);
    ZarGfxSetStoreBControl(ext, kGrabBit, false);
    if (source == 6) {
        ZarGfxSetInputMode(ext, 4);
    } else if (ZarGfxDword(request + 16) != 0) {
        ZarGfxShowBuffer(ext, 1, ZarGfxShownBuffer(ext, 1) == 2 ? 1 : 2);
    }
    return STATUS_SUCCESS;
}

// The write window of a store at a destination.
void ZarGfxSetWriteWindow(PZAR_DEVICE_EXTENSION ext, ULONG store, ULONG columnAddress, ULONG rowAddress, ULONG width,
                          bool wide)
{
    ULONG lineLength = wide ? kWideLineLength : kLineLength;
    ULONG h = (lineLength - width) / 2;
    ULONG offset = ((h + 1) & 0x7F) | (h & 0x380);
    ULONG widthWord = (0u - width / 2) & 0x1FF;
    struct Window {
        PZAR_DEVICE_EXTENSION Ext;
        ULONG Store, Column, Row, Offset, Width;
        bool Wide;
    } w{ext, store, columnAddress, rowAddress, offset, widthWord, wide};
    auto set = [](PVOID context) -> BOOLEAN {
        auto* w = static_cast<Window*>(context);
        PZAR_DEVICE_EXTENSION e = w->Ext;
        ULONG& shadow = w->Store == 0 ? e->Brs.StoreAWrite : e->Brs.StoreBWrite;
        shadow = (shadow & ~(0x7FUL | kWideLayout)) | (w->Column & 0x7F) | kWriteEnable | (w->Wide ? kWideLayout : 0);
        ZarDebiPioWrite(e, w->Store == 0 ? ZAR_REG_STORE_A_WRITE : ZAR_REG_STORE_B_WRITE, shadow);
        ZarDebiPioWrite(e, w->Store == 0 ? kRegAWriteRow : kRegBWriteRow, w->Row);
        ZarDebiPioWrite(e, w->Store == 0 ? kRegAWriteOffset : kRegBWriteOffset, w->Offset);
        ZarDebiPioWrite(e, w->Store == 0 ? kRegAWriteWidth : kRegBWriteWidth, w->Width);
        return TRUE;
    };
    ZarRunSynchronized(ext, set, &w);
}

NTSTATUS ZarGfxLoadFromMemory(PZAR_DEVICE_EXTENSION ext, UCHAR* request, KPROCESSOR_MODE mode)
{
    ULONG target = ZarGfxDword(request + 4);
    ULONG store = ZarGfxDword(request + 8);
    bool wide = ZarGfxDword(request + 68) != 0;
    ULONG format = ZarGfxDword(request + 28);
    ULONG fieldOrder = ZarGfxDword(request + 24);
    const auto* header = reinterpret_cast<const UCHAR*>(static_cast<ULONG_PTR>(ZarGfxDword(request + 20)));
    UCHAR head[16];
    NTSTATUS status = ZarCaptureFromCaller(mode, header, head, sizeof(head));
    if (!NT_SUCCESS(status)) return status;
    ULONG width = ZarGfxDword(head + 4), height = ZarGfxDword(head + 8);
    USHORT bits;
    std::memcpy(&bits, head + 14, sizeof(bits));
    bool good = bits == 32 && (wide ? width == 256 && height <= 256 && target == 3
                                    : (width & 1) == 0 && width <= 720 && height <= 730);
    if (!good || width == 0 || height < 2) return STATUS_INVALID_PARAMETER;
    if (format != 0 && format != 17) return STATUS_INVALID_PARAMETER;
    if (fieldOrder > 1) return STATUS_INVALID_PARAMETER;

    ZarGfxSetVideoControlBits(ext, kVideoControlKeyFormat, format == 17);

    ULONG columnAddress, rowAddress;
    ZarGfxDestinationToRC(ZarGfxDword(request + 32), ZarGfxDword(request + 36), &columnAddress, &rowAddress);
    ZarGfxSetWriteWindow(ext, store, columnAddress, rowAddress, width, wide);
    ULONG grabWas = ext->DebiShadow5474 & kGrabBit;
    if (store == 1) {
        // Store B takes the BRS data through its input path.
        ZarGfxSetInputMode(ext, 3);
        ZarGfxSetStoreBControl(ext, kGrabBit, true);
    }
    bool readBack = ZarGfxDword(request + 56) != 0;
    if (readBack) ZarDebiPioWrite(ext, ZAR_REG_PATH_CONTROL, ZarDebiPioRead(ext, ZAR_REG_PATH_CONTROL) & ~1UL);

    for (ULONG pass = 1; pass <= 2 && NT_SUCCESS(status); ++pass) {
        ZAR_BRS_DMA_COMMAND c{};
        c.Kind = 2;
        c.DestinationStore = store;
        c.Source = 0;
        c.ByteLength = width * height * 4;
        c.HostAddress = ZarGfxDword(request + 40);
        c.Field = pass;
        c.FieldOrder = fieldOrder + 1;
        c.BottomUp = 1;  // a DIB's lines go bottom-up
        c.PixelFormat = format;
        c.Width = width;
        c.Height = height;
        ZarGfxSetWriteBuffer(ext, &c, target, store);
        // A buffer shown while written is switched away first.
        ULONG writeBuffer = (c.WriteBuffer & 1) ? 2 : 1;
        if (target != 3 && ZarGfxShownBuffer(ext, store) == writeBuffer && ext->Gfx.Read[store].Mode != kModeAlternate) {
            ZarGfxShowBuffer(ext, store, writeBuffer == 2 ? 1 : 2);
            ZarGfxFieldStep(ext);
        }
        if (pass == 2)
            ZarDebiPioWrite(ext, store == 0 ? kRegAWriteRow : kRegBWriteRow, rowAddress + kSecondFieldRows);
        status = ZarBrsDmaCommand(ext, &c, mode);
        if (readBack) ZarGfxPutDword(request + (pass == 1 ? 60 : 64), ZarDebiPioRead(ext, ZAR_REG_PATH_CONTROL));
    }
    if (store == 1 && grabWas == 0) ZarGfxSetStoreBControl(ext, kGrabBit, false);
    return status;
}

}  // namespace

// ---- addresses and read-out ----

void ZarGfxDestinationToRC(ULONG column, ULONG row, PULONG columnAddress, PULONG rowAddress)
{
    ULONG a = (row * kLineLength + column) / 2;
    *columnAddress = a & 127;
    *rowAddress = a >> 7;
}

namespace {

// Writes a store's read registers; unless forced, only those whose value
// changed (the registers hold what they were given).
ULONG ZarGfxWriteReadRegisters(PZAR_DEVICE_EXTENSION ext, ULONG store, bool force)
{
    if (store > 1) return 0;
    ZAR_GFX_STATE& gfx = ext->Gfx;
    const ZAR_GFX_READ& r = gfx.Read[store];
    ULONG parity = ext->FieldParity & 1;
    if (store == 0) {
        ULONG c = gfx.StoreAControl;
        ULONG before = c & 0x10;
        ULONG frameBit = r.Mode == kModeFrame ? 0x10 : r.Mode == kModeAlternate ? (parity << 4) : 0;
        c = (c & ~0x37UL) | frameBit | (r.Selection == 3 ? 0x20 : 0);
        ULONG rowBits = (r.RowAddress >> 8) & 7;
        if ((r.Selection == 1 && parity == 0) || (r.Selection == 2 && parity == 1)) rowBits ^= 4;
        c |= rowBits;
        if ((c & 0x10) != before) gfx.FieldBitChanged[0] = 1;
        gfx.StoreAControl = c;
        const ULONG values[3] = {r.ColumnAddress, r.RowAddress, c};
        const ULONG registers[3] = {kRegAColumn, kRegARow, kRegAControl};
        for (ULONG i = 0; i < 3; ++i)
            if (force || gfx.Registers[i] != values[i]) ZarDebiPioWrite(ext, registers[i], values[i]);
        std::memcpy(gfx.Registers, values, sizeof(values));
        return 1;
    }
    // 0x5474 is shared: bits 0-2 and 4 belong to the input path (the video
    // input's set-up and the codecs), so store B's read control keeps to
    // bit 3 (frame, or the field of mode 3) and bit 5 (buffer 2).
    ULONG c = ext->DebiShadow5474;
    ULONG before = c & 0x8;
    c &= ~kStoreBReadBits;
    if (r.Mode == kModeFrame || (r.Mode == kModeAlternate && parity == 1)) c |= 0x8;
    if (r.Selection == 3) c |= 0x20;
    ULONG row = r.RowAddress;
    if ((r.Selection == 1 && parity == 0) || (r.Selection == 2 && parity == 1)) row ^= 0x400;
    if ((c & 0x8) != before) gfx.FieldBitChanged[1] = 1;
    // Other modules change 0x5474's other bits through the same shadow.
    bool controlChanged = force || gfx.Registers[6] != c || (ext->DebiShadow5474 & kStoreBReadBits) != (c & kStoreBReadBits);
    ext->DebiShadow5474 = c;
    const ULONG values[3] = {r.ColumnAddress, (row >> 8) & 0xFF, row};
    const ULONG registers[3] = {kRegBColumn, kRegBRowHigh, kRegBRow};
    for (ULONG i = 0; i < 3; ++i)
        if (force || gfx.Registers[3 + i] != values[i]) ZarDebiPioWrite(ext, registers[i], values[i]);
    if (controlChanged) ZarDebiPioWrite(ext, kRegBControl, c);
    std::memcpy(gfx.Registers + 3, values, sizeof(values));
    gfx.Registers[6] = c;
    return 1;
}

}  // namespace

ULONG ZarGfxCriticalSetReadAddress(PZAR_DEVICE_EXTENSION ext, ULONG store) { return ZarGfxWriteReadRegisters(ext, store, true); }

void ZarGfxInitialize(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_GFX_STATE& gfx = ext->Gfx;
    if (!gfx.Ready) {
        KeInitializeEvent(&gfx.LoaderFree, SynchronizationEvent, TRUE);
        gfx.Ready = TRUE;
    }
}

void ZarGfxSetDefaultFramestore(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_GFX_SETTINGS settings{};
    settings.ModeA = settings.ModeB = kModeFrame;
    settings.Flags = kApplyA | kApplyB;
    ZarGfxIoSetFramestore(ext, &settings);
}

// ---- control codes ----

NTSTATUS ZarGfxIoSetFramestore(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    ZarGfxInitialize(ext);
    ZAR_GFX_SETTINGS s;
    std::memcpy(&s, buffer, sizeof(s));
    bool a = (s.Flags & kApplyA) != 0, b = (s.Flags & kApplyB) != 0;
    if (a && (s.ModeA < 1 || s.ModeA > 3 || s.SelectionA > 3)) return STATUS_UNSUCCESSFUL;
    if (b && (((s.ModeB < 1 || s.ModeB > 3) && s.ModeB != kModeOff) || (s.SelectionB > 3 && s.SelectionB != kSelectionNone)))
        return STATUS_UNSUCCESSFUL;
    ZAR_GFX_STATE& gfx = ext->Gfx;
    ULONG stores = (a ? 1u : 0u) | (b ? 2u : 0u);
    ZarGfxApply(ext, stores, [&] {
        auto keep = [&](ULONG store, ULONG mode, ULONG selection, ULONG column, ULONG row) {
            ZAR_GFX_READ& r = gfx.Read[store];
            r.Mode = mode;
            r.Selection = selection;
            ZarGfxDestinationToRC(column, row, &r.ColumnAddress, &r.RowAddress);
        };
        if (a) {
            std::memcpy(&gfx.Settings.ModeA, &s.ModeA, 4 * sizeof(ULONG));
            keep(0, s.ModeA, s.SelectionA, s.ColumnA, s.RowA);
        }
        if (b) {
            std::memcpy(&gfx.Settings.ModeB, &s.ModeB, 4 * sizeof(ULONG));
            keep(1, s.ModeB, s.SelectionB, s.ColumnB, s.RowB);
        }
        gfx.Settings.Flags = s.Flags;
    });
    return STATUS_SUCCESS;
}

NTSTATUS ZarGfxIoGetFramestore(PZAR_DEVICE_EXTENSION ext, PVOID buffer, ULONG which)
{
    if (which == 0)
        std::memcpy(buffer, &ext->Gfx.Settings, ZAR_GFX_SETTINGS_SIZE);
    else
        std::memcpy(buffer, ext->Gfx.Registers, ZAR_GFX_SETTINGS_SIZE);
    return STATUS_SUCCESS;
}

ULONG ZarGfxGetReadMode(PZAR_DEVICE_EXTENSION ext, ULONG store) { return store <= 1 ? ext->Gfx.Read[store].Mode : 0; }

NTSTATUS ZarGfxSetReadMode(PZAR_DEVICE_EXTENSION ext, ULONG store, ULONG readMode)
{
    if (store > 1) return STATUS_UNSUCCESSFUL;
    ZarGfxApply(ext, 1u << store, [ext, store, readMode] {
        ext->Gfx.Read[store].Mode = readMode;
        if (store == 0) ext->Gfx.Settings.ModeA = readMode;
        else ext->Gfx.Settings.ModeB = readMode;
    });
    return STATUS_SUCCESS;
}

NTSTATUS ZarGfxLoadImage(PZAR_DEVICE_EXTENSION ext, UCHAR request[ZAR_GFX_LOAD_REQUEST_SIZE], KPROCESSOR_MODE mode)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) return STATUS_UNSUCCESSFUL;
    ULONG source = ZarGfxDword(request), target = ZarGfxDword(request + 4), store = ZarGfxDword(request + 8);
    bool grab = source >= 3 && source <= 6;
    if ((source != 1 && !grab) || target > 3 || store > 1 || (grab && store != 1)) return STATUS_UNSUCCESSFUL;
    ZarGfxInitialize(ext);
    LARGE_INTEGER limit;
    limit.QuadPart = kLoaderWait;
    if (KeWaitForSingleObject(&ext->Gfx.LoaderFree, Executive, KernelMode, FALSE, &limit) == STATUS_TIMEOUT)
        return STATUS_IO_TIMEOUT;
    if (target != 3 && ext->Gfx.Flip[store] != 0) ZarGfxFieldStep(ext);
    NTSTATUS status = grab ? ZarGfxGrab(ext, request) : ZarGfxLoadFromMemory(ext, request, mode);
    if (NT_SUCCESS(status) && !grab && ZarGfxDword(request + 16) != 0) {
        ZarGfxShowBuffer(ext, store, ZarGfxShownBuffer(ext, store) == 2 ? 1 : 2);
        ZarGfxFieldStep(ext);
    }
    KeSetEvent(&ext->Gfx.LoaderFree, IO_NO_INCREMENT, FALSE);
    return status;
}

NTSTATUS ZarGfxIoLoadImage(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    // The addresses inside come from the library's memory.
    return ZarGfxLoadImage(ext, static_cast<UCHAR*>(buffer), UserMode);
}

NTSTATUS ZarGfxIoEraseFramestore(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    ULONG store = *static_cast<const ULONG*>(buffer) != 0 ? 1 : 0;
    constexpr ULONG kPixels = ZAR_GFX_ERASE_WIDTH * ZAR_GFX_ERASE_HEIGHT;
    auto* image = static_cast<PULONG>(ExAllocatePoolWithTag(PagedPool, kPixels * 4 + 64, ZAR_TAG_WORK));
    if (image == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    for (ULONG i = 0; i < kPixels; ++i) image[16 + i] = ZAR_GFX_BLACK;
    // A DIB header before the pixels.
    auto* head = reinterpret_cast<UCHAR*>(image);
    std::memset(head, 0, 64);
    ZarGfxPutDword(head + 4, ZAR_GFX_ERASE_WIDTH);
    ZarGfxPutDword(head + 8, ZAR_GFX_ERASE_HEIGHT);
    USHORT bits = 32;
    std::memcpy(head + 14, &bits, sizeof(bits));
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG target : {2u, 1u}) {  // buffer 1, then buffer 2
        UCHAR request[ZAR_GFX_LOAD_REQUEST_SIZE] = {};
        ZarGfxPutDword(request, 1);
        ZarGfxPutDword(request + 4, target);
        ZarGfxPutDword(request + 8, store);
        ZarGfxPutDword(request + 20, ULONG(reinterpret_cast<ULONG_PTR>(head)));
        ZarGfxPutDword(request + 40, ULONG(reinterpret_cast<ULONG_PTR>(image + 16)));
        NTSTATUS s = ZarGfxLoadImage(ext, request, KernelMode);
        if (NT_SUCCESS(status)) status = s;
    }
    ExFreePoolWithTag(image, ZAR_TAG_WORK);
    return status;
}

void ZarGfxInitFramestore(PZAR_DEVICE_EXTENSION ext)
{
    ULONG store = 0;
    ZarGfxIoEraseFramestore(ext, &store);
    store = 1;
    ZarGfxIoEraseFramestore(ext, &store);
}

NTSTATUS ZarGfxPlayCommand(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    const auto* record = static_cast<const UCHAR*>(buffer);
    ULONG store = ZarGfxDword(record + 4);
    if (store > 1) return STATUS_UNSUCCESSFUL;
    ZAR_PLAY_COMMAND c{ZarGfxDword(record),      ZarGfxDword(record + 8),  ZarGfxDword(record + 12),
                       ZarGfxDword(record + 16), ZarGfxDword(record + 20), ZarGfxDword(record + 24),
                       ZarGfxDword(record + 28), ZarGfxDword(record + 32)};
    return ZarPlyPlayCommand(ext, ZAR_PLY_MODULE_GFX0 + store, &c);
}

// ---- per field ----

void ZarPlyGfxPreProcessNode(PZAR_DEVICE_EXTENSION ext)
{
    ZarPlyModulePreProcess(ext, ZAR_PLY_MODULE_GFX0);
    ZarPlyModulePreProcess(ext, ZAR_PLY_MODULE_GFX1);
}

void ZarPlyGfxProcessNode(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_GFX_STATE& gfx = ext->Gfx;
    gfx.Flip[0] = gfx.Flip[1] = 0;
    for (ULONG store = 0; store < 2; ++store) {
        ZAR_PLY_MODULE_STATE& s = ext->Playlist.Gfx[store];
        if (s.Play.State != ZAR_PLY_PLAYING) continue;
        ULONG channel = store == 0 ? ZAR_FX_CHANNEL_GFX0 : ZAR_FX_CHANNEL_GFX1;
        PZAR_NODE_QUEUE queue = ZarPlyNodeQueue(ext, channel);
        queue->PreviousLastIndex = queue->LastIndex;
        if (ZarPlyQueuedCount(queue) == 0) continue;
        ULONG size = ZarPlyNodeEntrySize(channel);
        ZAR_NODE_RECORD* node = ZarPlyQueueSlot(queue, queue->ReadIndex, size);
        if (!ZarPlIsNodePlaytime(ext, &s.Play, node, 0)) continue;
        const UCHAR* p = reinterpret_cast<const UCHAR*>(node) + sizeof(ZAR_NODE_RECORD);
        ULONG request = ZarGfxDword(p);
        ZAR_GFX_READ& r = gfx.Read[store];
        r.Mode = request == 0 ? ZarGfxDword(p + 12) : kModeAlternate;
        r.Selection = request < 2 ? 0 : 3;
        r.ColumnAddress = ZarGfxDword(p + 4) & 127;
        r.RowAddress = ZarGfxDword(p + 8);
        ZarPlyNodePipelineAdd(queue, node);
        if (!ZarPlyNodeHolds(node)) ZarPlyIncNodeHeadEx(ext, &s.Play, queue, size);
    }
    if (!gfx.Ready) return;  // nothing set up yet: the stores keep what the board set-up wrote
    ZarGfxWriteReadRegisters(ext, 0, false);
    ZarGfxWriteReadRegisters(ext, 1, false);
}

void ZarPlyGfxPostProcessNode(PZAR_DEVICE_EXTENSION ext)
{
    ZarPlyModulePostProcess(ext, ZAR_PLY_MODULE_GFX0);
    ZarPlyModulePostProcess(ext, ZAR_PLY_MODULE_GFX1);
}
