// Graphics frame store module: the board's two still stores A and B, each
// with two buffers; images loaded from the library's memory by BRS DMA or
// grabbed from the video input, erased, read out by mode and selection, and
// moved field by field from the play-list channels 200 (A) and 201 (B).
//
// The module's per-board state (ZAR_GFX_STATE) lives in the device
// extension as ext->Gfx. Store B's control register 0x5474 shares its shadow
// (the extension's DebiShadow5474) with the JPEG codecs and the video input;
// the write-window registers 0x5008 and 0x4C08 share theirs with the BRS
// channel (ext->Brs).
#pragma once

#include "platform/nt/kernel.h"
#include "include/zarkd.h"

struct ZAR_DEVICE_EXTENSION;
using PZAR_DEVICE_EXTENSION = ZAR_DEVICE_EXTENSION*;

inline constexpr ULONG ZAR_GFX_LOAD_REQUEST_SIZE = 72;
inline constexpr ULONG ZAR_GFX_SETTINGS_SIZE = 36;
inline constexpr ULONG ZAR_GFX_ERASE_WIDTH = 720;
inline constexpr ULONG ZAR_GFX_ERASE_HEIGHT = 730;
inline constexpr ULONG ZAR_GFX_BLACK = 0x801080;   // Cb 128, Y 16, Cr 128, key 0

// The frame-store settings block (IOCTL_ZAR_GFX_SET_FRAMESTORE).
struct ZAR_GFX_SETTINGS {
    ULONG ModeA, SelectionA, ColumnA, RowA;
    ULONG ModeB, SelectionB, ColumnB, RowB;
    ULONG Flags;                   // bit 0 apply store A, bit 1 store B
};
static_assert(sizeof(ZAR_GFX_SETTINGS) == ZAR_GFX_SETTINGS_SIZE);

// What a store's read-out is set from: its mode, selection and read address.
struct ZAR_GFX_READ {
    ULONG Mode;
    ULONG Selection;
    ULONG ColumnAddress;
    ULONG RowAddress;
};

struct ZAR_GFX_STATE {
    ZAR_GFX_SETTINGS Settings;     // as last accepted
    ULONG Registers[9];            // read-back block: A column, row, control; B column, row high, row, control
    ZAR_GFX_READ Read[2];          // what each store's read-out is set from now
    ULONG StoreAControl;           // shadow of 0x5484
    ULONG FieldBitChanged[2];      // the read-out's field bit moved (for the loader)
    ULONG Flip[2];                 // a flip is pending on the store
    KEVENT LoaderFree;             // serialises image loads
    BOOLEAN Ready;
};

// Prepares the state and writes the default settings (both stores frame
// read, buffer 1, at the origin).
void ZarGfxInitialize(PZAR_DEVICE_EXTENSION ext);
// The default block on both stores (a switch to an external video source).
void ZarGfxSetDefaultFramestore(PZAR_DEVICE_EXTENSION ext);
// Destination (column, row in pixels) to the stores' address words.
void ZarGfxDestinationToRC(ULONG column, ULONG row, PULONG columnAddress, PULONG rowAddress);
// Writes a store's read registers from ext->Gfx.Read (device IRQL); 1, or 0
// for a store number above 1.
ULONG ZarGfxCriticalSetReadAddress(PZAR_DEVICE_EXTENSION ext, ULONG store);
// Loads an image of 32-bit pixels (a DIB header and pixels at kernel or user
// addresses, 'mode' says which) into a store's buffer; the loader's checks
// and two BRS passes.
NTSTATUS ZarGfxLoadImage(PZAR_DEVICE_EXTENSION ext, UCHAR request[ZAR_GFX_LOAD_REQUEST_SIZE], KPROCESSOR_MODE mode);

// ---- the graphics frame stores (zar_gfx.cpp) ----
void ZarPlyGfxPreProcessNode(PZAR_DEVICE_EXTENSION ext);
void ZarPlyGfxProcessNode(PZAR_DEVICE_EXTENSION ext);
void ZarPlyGfxPostProcessNode(PZAR_DEVICE_EXTENSION ext);

// Graphics store read mode (store 0 A, 1 B): 1 and 2 the two buffers.
ULONG ZarGfxGetReadMode(PZAR_DEVICE_EXTENSION ext, ULONG store);
NTSTATUS ZarGfxSetReadMode(PZAR_DEVICE_EXTENSION ext, ULONG store, ULONG readMode);
NTSTATUS ZarGfxIoSetFramestore(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarGfxIoGetFramestore(PZAR_DEVICE_EXTENSION ext, PVOID buffer, ULONG store);
NTSTATUS ZarGfxIoLoadImage(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarGfxPlayCommand(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarGfxIoEraseFramestore(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
