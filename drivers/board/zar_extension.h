// The board device's extension: everything ZARKD keeps per board, from the
// identity read at start-up to the DMA resources the channels run on.
//
// The record is 30,789 bytes because IOCTL_ZAR_GET_DEVICE_EXTENSION hands
// that many bytes to user mode as a diagnostic image. The named fields live
// in ZAR_EXTENSION_FIELDS (natural alignment, so kernel objects stay
// aligned); ZAR_DEVICE_EXTENSION pads them to the full size. Modules still to
// come take their state out of the spare bytes by adding named fields here.
//
// Locking
//
// Every lock of a board, what it guards, and the order they are taken in:
// outermost first. A thread holding one of them may take only locks further
// down the list, never one above it.
//
//   Wave.Mutex (mutex, passive)        the wave devices' opens, closes and rate mode
//   AudioLockEvent[2] (events)         the audio play and record resources: their
//                                      holders (AudioLockOwner, AudioUsers.LockUser)
//   AudioUsers.Mutex (mutex, passive)  the two audio users' settings and gains
//   ScsiOwnershipEvent (event)         the SCSI bus across a caller's disk requests;
//                                      taken with none of the locks above held
//   the I/O manager's cancel lock      the wave queues' cancel routines (the I/O
//                                      manager calls them holding it)
//   Wave.Lock                          the wave devices' queues and stream state
//   AudioDSrv.Lock                     the data server's state, position and fills
//   TimeCode.StreamLock                the time-code streams and the burn-in window
//   Lock                               the interrupt enable word, the shared mask,
//                                      the board control shadow and the proc-amp
//                                      hand-over to the interrupt routine
//   Jpeg.Lock                          stands in for the interrupt's lock in the
//                                      JPEG paths while the sync level is low
//   Debi.OwnerLock, FieldSemaphoreLock, AudioDSrv.ExceptionLock, Diag.Lock
//                                      leaves: DEBI engine ownership, the field
//                                      waiters, the data server's exceptions, the
//                                      diagnostic ring; nothing is taken under them
//   InterruptSpinLock (device IRQL)    whatever the interrupt routine shares with
//                                      the rest, entered through KeSynchronizeExecution
//                                      (ZarRunSynchronized); always the last lock
//
// The interrupt routine takes no spin lock of its own. The device queues of
// the five channels keep their own locks inside the kernel's queue calls.
#pragma once

#include "platform/nt/kernel.h"
#include "include/zarkd.h"
#include "zar_debi.h"
#include "zar_i2c.h"
#include "zar_flex.h"
#include "zar_boardsetup.h"
#include "zar_diag.h"
#include "zar_videochips.h"
#include "zar_vin.h"
#include "zar_scsi.h"
#include "zar_playlist.h"
#include "zar_jpeg.h"
#include "zar_brs.h"
#include "zar_mix.h"
#include "zar_gfx.h"
#include "zar_dve.h"
#include "zar_scrub.h"
#include "zar_audio.h"
#include "zar_timecode.h"
#include "zar_hps.h"

using PZAR_HARDWARE_INFO = ZAR_HARDWARE_INFO*;

// Pool tags. Look-aside tags are the character constants as written in C
// ('ZarI' and so on); the hardware-info tag reads "Ddk " in a pool dump.
constexpr ULONG ZarCharTag(char a, char b, char c, char d)
{
    return (ULONG(UCHAR(a)) << 24) | (ULONG(UCHAR(b)) << 16) | (ULONG(UCHAR(c)) << 8) | ULONG(UCHAR(d));
}
inline constexpr ULONG ZAR_TAG_HARDWARE_INFO = ZarCharTag(' ', 'k', 'd', 'D');
inline constexpr ULONG ZAR_TAG_I2C = ZarCharTag('Z', 'a', 'r', 'I');
inline constexpr ULONG ZAR_TAG_DEBI = ZarCharTag('Z', 'a', 'r', 'D');
inline constexpr ULONG ZAR_TAG_BRS = ZarCharTag('Z', 'a', 'r', 'B');
inline constexpr ULONG ZAR_TAG_HPS = ZarCharTag('Z', 'a', 'r', 'H');
inline constexpr ULONG ZAR_TAG_SCSI = ZarCharTag('T', 'i', 'c', 'S');
inline constexpr ULONG ZAR_TAG_WORK = ZarCharTag('Z', 'a', 'r', 'W');

// Look-aside entry sizes of the five transfer channels.
inline constexpr ULONG ZAR_I2C_ENTRY_SIZE = 64;
inline constexpr ULONG ZAR_DEBI_ENTRY_SIZE = 28;
inline constexpr ULONG ZAR_BRS_ENTRY_SIZE = 60;
inline constexpr ULONG ZAR_HPS_ENTRY_SIZE = 56;
inline constexpr ULONG ZAR_SCSI_ENTRY_SIZE = 28;
inline constexpr USHORT ZAR_LOOKASIDE_DEPTH = 64;

inline constexpr ULONG ZAR_DMA_ADAPTER_COUNT = 7;
inline constexpr ULONG ZAR_MAP_REGISTERS_WANTED = 1024;
inline constexpr ULONG ZAR_DMA_MAX_TRANSFER = 0x400000;
inline constexpr ULONG ZAR_CHANNEL_PAGE_COUNT = 7;

inline constexpr ULONG ZAR_REGISTER_WINDOW = 512;  // bytes of the bridge aperture mapped
inline constexpr ULONG ZAR_FIELD_SEMAPHORE_LIMIT = 256;

// Bridge registers reached through the mapping (byte offsets).
inline constexpr ULONG ZAR_BRIDGE_DEBI_COMMAND = 0x80;
inline constexpr ULONG ZAR_BRIDGE_DEBI_AD = 0x88;
inline constexpr ULONG ZAR_BRIDGE_IER = 0xDC;
inline constexpr ULONG ZAR_BRIDGE_MC1 = 0xFC;
inline constexpr ULONG ZAR_BRIDGE_MC2 = 0x100;
inline constexpr ULONG ZAR_BRIDGE_ISR = 0x10C;

// Registry values kept as read (or defaulted) at start-up.
inline constexpr ULONG ZAR_REG_UNSET = 0xFFFFFFFF;
inline constexpr ULONG ZAR_DEFAULT_CORE_MODE = 3;
inline constexpr ULONG ZAR_DEFAULT_DVE_WTIC_DMA_WORDS = 64;
inline constexpr ULONG ZAR_DEFAULT_BLACK_ADJUST = 10;

// A DMA common buffer and where it came from, so release can return it.
struct ZAR_COMMON_BUFFER {
    PVOID VirtualAddress;
    PHYSICAL_ADDRESS LogicalAddress;
    ULONG Length;
    PADAPTER_OBJECT Adapter;
};

// One of the board's system threads: the referenced thread object and the
// event that wakes it. Stop is set before the last wake at release.
struct ZAR_SYSTEM_THREAD {
    PVOID Thread;
    KEVENT Wake;
    volatile BOOLEAN Stop;
};

// The audio engine's record DMA geometry (the rest of the engine follows).
struct ZAR_AUDIO_DMA {
    ULONG RecBlockCount;
    ULONG RecDmaSize;
    ULONG RecDmaHalfSize;
    ULONG RecDmaPosition;
    PVOID WorkBuffer[3];  // 8,000 bytes each
};
inline constexpr ULONG ZAR_AUDIO_WORK_BUFFER_SIZE = 8000;
inline constexpr ULONG ZAR_AUDIO_REC_BLOCK_COUNT = 16384;

// interrupt frame and request entry points

// Per-field hooks recorded while the extension's HookTraceOn is set (a
// diagnostic for tests and the device-extension image; off, it costs one
// test of a flag per hook).
inline constexpr ULONG ZAR_HOOK_TRACE_SIZE = 64;

// An event that a module arms from the interrupt routine and that the VBI
// DPC signals (and disarms) once per field.
struct ZAR_FIELD_SIGNAL {
    PKEVENT Event;
    volatile LONG Armed;
};
inline constexpr ULONG ZAR_FIELD_SIGNAL_COUNT = 20;  // 4-14: play-list modules; 16-19: the JPEG channels

// The SCSI DMA control block of the current disk request's pass.
struct ZAR_SCSI_DCB {
    PVOID CurrentVa;          // where this pass starts (user or system address)
    ULONG Remaining;          // bytes of the request still to move
    ULONG PassLength;         // bytes of this pass
    ULONG PageCount;          // pages this pass spans
    BOOLEAN WriteToDevice;    // host to board
    BOOLEAN Bounce;           // misaligned start: served through a system mapping
    BOOLEAN Failed;           // the start failed: nothing ran
    BOOLEAN PassFailed;       // a command of this pass failed: no later pass runs
    PVOID SystemVa;           // the system mapping of a bounced buffer
    PVOID MapRegisterBase;
    PVOID CurrentEntry;       // the request's ZAR_SCSI_ENTRY
};

// Queue entries of the SCSI and I2C channels (the device-queue links first,
// as every channel's entry).
struct ZAR_SCSI_ENTRY {
    KDEVICE_QUEUE_ENTRY QueueEntry;
    PVOID SystemBuffer;       // the caller's ZAR_DISK_REQUEST
    PIRP Irp;
    PMDL Mdl;                 // the locked data buffer, null without data
};
static_assert(sizeof(ZAR_SCSI_ENTRY) == ZAR_SCSI_ENTRY_SIZE);

// How the audio engine runs the playback DMA.
enum ZAR_AUDIO_PLAY_MODE : ULONG {
    ZAR_AUDIO_PLAY_DOUBLE_BUFFERED = 0,
    ZAR_AUDIO_PLAY_SINGLE_DMA = 1,
    ZAR_AUDIO_PLAY_DATA_SERVER = 2,
    ZAR_AUDIO_PLAY_WAVE_DRIVER = 3,
};

// How the audio engine runs the record DMA.
enum ZAR_AUDIO_REC_MODE : ULONG {
    ZAR_AUDIO_REC_DOUBLE_BUFFERED = 0,
    ZAR_AUDIO_REC_SINGLE_DMA = 1,
    ZAR_AUDIO_REC_WAVE_DRIVER = 3,
};

// The scaled capture's state, as far as the interrupt routine looks at it.
enum ZAR_CAPTURE_STATE : ULONG {
    ZAR_CAPTURE_FINISHING = 100,    // the capture is running to its end
};

struct ZAR_I2C_COMMAND {
    ULONG Kind;               // ZAR_I2C_WRITE_WAIT, ZAR_I2C_READ_WAIT or ZAR_I2C_WRITE_NO_WAIT (zar_i2c.h)
    ULONG Device;             // 8-bit address, bit 0 clear
    ULONG Register;
    ULONG Data;               // write: the byte; read: the byte read
};
static_assert(sizeof(ZAR_I2C_COMMAND) == 16);

struct ZAR_I2C_ENTRY {
    KDEVICE_QUEUE_ENTRY QueueEntry;
    PVOID SystemBuffer;       // the caller's command, or null when the entry holds a copy
    PIRP Irp;                 // null for a kernel caller
    ZAR_I2C_COMMAND Command;  // the engine's copy; a read's byte lands in its Data
    KEVENT Done;              // set at the end while a waiting caller shares the entry
    NTSTATUS Status;
    volatile LONG Waiter;     // 1 while a waiting caller shares the entry; the later of it and the engine frees it
};
static_assert(sizeof(ZAR_I2C_ENTRY) == ZAR_I2C_ENTRY_SIZE);

// control-code dispatch

// Queue entries of the DEBI, BRS and HPS channels: the device-queue links,
// the request's system buffer and IRP, and the MDL over the buffer the
// request names (null when it names none). The rest of each entry belongs
// to its channel.
struct ZAR_DEBI_ENTRY {
    KDEVICE_QUEUE_ENTRY QueueEntry;
    PVOID SystemBuffer;       // the caller's ZAR_DEBI_REQUEST
    PIRP Irp;
    PMDL Mdl;                 // the locked DMA buffer of operations 0x101/0x102
};
static_assert(sizeof(ZAR_DEBI_ENTRY) == ZAR_DEBI_ENTRY_SIZE);

struct ZAR_BRS_ENTRY {
    KDEVICE_QUEUE_ENTRY QueueEntry;
    PVOID SystemBuffer;       // the caller's ZAR_BRS_DMA_COMMAND
    PIRP Irp;
    PMDL Mdl;
    UCHAR Channel[ZAR_BRS_ENTRY_SIZE - 28];
};
static_assert(sizeof(ZAR_BRS_ENTRY) == ZAR_BRS_ENTRY_SIZE);

struct ZAR_HPS_ENTRY {
    KDEVICE_QUEUE_ENTRY QueueEntry;
    PVOID SystemBuffer;       // the caller's ZAR_HPS_CAPTURE_REQUEST
    PIRP Irp;
    PMDL Mdl;
    UCHAR Channel[ZAR_HPS_ENTRY_SIZE - 28];
};
static_assert(sizeof(ZAR_HPS_ENTRY) == ZAR_HPS_ENTRY_SIZE);

struct ZAR_EXTENSION_FIELDS {
    // ---- identity ----
    PDRIVER_OBJECT DriverObject;
    PDEVICE_OBJECT DeviceObject;
    PZAR_HARDWARE_INFO HardwareInfo;
    ULONG BoardNumber;
    ULONG EventLogLevel;
    ULONG Standard;             // 525 or 625
    ULONG CoreMode;
    ULONG TimeIncrement;        // 100 ns units per clock tick
    ULONG ActiveLinesPerField;  // 243 / 288
    ULONG ActiveLinesPerFrame;  // 486 / 576
    ULONG UncompressedFieldBlocks;  // 684 / 810 blocks of 512 bytes
    ULONG BoardRevision;
    ULONG FpgaState;            // 0 until the FPGAs are configured
    ULONG FpgaVersion[4];
    ULONG Eeprom625Support;     // EEPROM option word, sub-address 16
    ULONG Eeprom24FpsSupport;   // EEPROM option word, sub-address 48 (bit 0: HDCAM 24 fps)

    // ---- registry settings ----
    ULONG DveWticDmaSizeWords;
    ULONG BlackAdjust;
    ULONG DmaTweakV;
    ULONG DmaTweakA;

    // ---- bridge registers ----
    PUCHAR Registers;           // the mapped 512-byte window, null when unmapped
    volatile ULONG* DebiCommandRegister;
    volatile ULONG* DebiDataRegister;
    volatile ULONG* MainControl1Register;
    volatile ULONG* MainControl2Register;

    // ---- interrupt ----
    PKINTERRUPT InterruptObject;
    KSPIN_LOCK InterruptSpinLock;  // the interrupt object's lock: all the interrupt routine shares
    KSPIN_LOCK Lock;               // guards the enable word, the shared mask, Setup.AudioControl and
                                   // the pending proc amp below device IRQL
    ULONG InterruptEnable;         // mirror of the bridge's IER
    ULONG SharedIrqMask;           // mirror of board register 0xB840
    ULONG InterruptCount;
    ULONG SpuriousInterruptCount;
    ULONG FieldCounter;
    ULONG FieldParity;

    // ---- DPCs (the device's own DPC runs ZarDpcForIsr) ----
    KDPC DpcDebiDma;
    KDPC DpcBrsDma;
    KDPC DpcHpsDma;
    KDPC DpcScsiRequestComplete;
    KDPC DpcScsiIrq;
    KDPC DpcAudioRecord;
    KDPC DpcAudioPlayback;
    KDPC DpcAudioPlaybackSingleDma;
    KDPC DpcAudioRecordSingleDma;
    KDPC DpcAudDSrv;
    KDPC DpcWaveDrvPlayback;
    KDPC DpcWaveDrvCapture;
    KDPC DpcAudioFifoUnderflowLog;
    KDPC DpcAudioDsp;
    KDPC DpcI2c;
    KDPC DpcVbi;

    // ---- transfer channels ----
    KDEVICE_QUEUE DebiQueue;
    KDEVICE_QUEUE BrsQueue;
    KDEVICE_QUEUE HpsQueue;
    KDEVICE_QUEUE ScsiQueue;
    NPAGED_LOOKASIDE_LIST DebiLookaside;
    NPAGED_LOOKASIDE_LIST BrsLookaside;
    NPAGED_LOOKASIDE_LIST HpsLookaside;
    NPAGED_LOOKASIDE_LIST ScsiLookaside;
    KEVENT ScsiOwnershipEvent;     // signalled while nobody holds the SCSI bus
    KSEMAPHORE FieldSemaphore;     // released once per field for each registered waiter
    KSPIN_LOCK FieldSemaphoreLock;  // guards FieldWaiters and FieldWaiterGeneration
    ULONG FieldWaiters;

    // ---- DMA ----
    PADAPTER_OBJECT DmaAdapter[ZAR_DMA_ADAPTER_COUNT];
    ULONG MapRegisterCount[ZAR_DMA_ADAPTER_COUNT];
    ZAR_COMMON_BUFFER ChannelPage[ZAR_CHANNEL_PAGE_COUNT];  // page tables and descriptors
    ZAR_COMMON_BUFFER BridgePage[2];
    ZAR_COMMON_BUFFER SmallBuffer;         // 256 bytes
    ZAR_COMMON_BUFFER DveWarpLut;          // 16 KB
    ZAR_COMMON_BUFFER PlaylistBuffer;      // 32,752 bytes
    ZAR_COMMON_BUFFER WorkPage[2];
    ZAR_COMMON_BUFFER ExtraPage[2];
    ZAR_COMMON_BUFFER AudioBuffer;         // 32 KB
    ZAR_COMMON_BUFFER BrsBounce;           // 32 KB, the BRS channel's source 2
    PVOID WorkArea;                        // 73,728 bytes
    PVOID CaptureAreaAllocation;           // 528,384 bytes as allocated
    PUCHAR CaptureArea[2];                 // two 262,144-byte areas from a 4 KB boundary

    ZAR_AUDIO_DMA Audio;

    // ---- system threads ----
    ZAR_SYSTEM_THREAD ScsiThread;
    ZAR_SYSTEM_THREAD VinMonitorThread;
    ZAR_SYSTEM_THREAD DspThread;

    // interrupt frame and request entry points
    // ---- what the interrupt routine keeps between fields ----
    ULONG BoardStatus;             // board status word 0xBC00 as last kept (bit 0x4000 changes)
    ULONG SharedPollPasses;        // passes of the last shared-line poll
    ULONG DeferredRegisterValue;   // written to 0x4C40 at the next field when pending
    ULONG HookTraceCount;          // hooks recorded while HookTraceOn (index of the next slot)
    UCHAR HookTrace[ZAR_HOOK_TRACE_SIZE];
    // Audio DMA decisions of the interrupt routine (the audio engine sets the
    // modes, buffer starts and half sizes).
    ZAR_AUDIO_PLAY_MODE AudioPlayMode;
    ZAR_AUDIO_REC_MODE AudioRecMode;
    ULONG AudioRecState;           // record engine's state word (64 recording)
    ULONG AudioPlayBufferStart;    // bus address of the playback buffer
    ULONG AudioPlayHalfSize;
    ULONG AudioPlayHalf;           // half playing as last seen
    ULONG AudioPlayHalfCounter;
    ULONG AudioPlayBitsSeen;       // single DMA with two channels: progress bits collected
    ULONG AudioLastPlayPage;       // two channels: page of the last counted event
    ULONG AudioDSrvStopHalfCounter;
    ULONG AudioDSrvStopOffset;
    ULONG AudioRecBufferStart;     // bus address of the record buffer
    ULONG AudioRecHalf;
    ULONG AudioRecHalfCounter;
    ULONG AudioRecHalfComplete;    // which record half the DPC may take
    // BRS completion test (the BRS channel sets these when it starts).
    ULONG BrsEndAddress;
    LONG BrsPitch;                 // direction of the transfer: negative counts down
    ULONG BrsStartField;
    ULONG BrsTimeoutCount;
    // Scaled capture (the capture path's state machine sets these).
    ZAR_CAPTURE_STATE CaptureState;
    // VBI DPC.
    ULONG FieldWaiterGeneration;   // advanced each time the waiters are released
    ULONG DecoderResetDelay;       // fields until the decoder's real-time control is reset
    ULONG BrsSyncSelector;         // pending field-synchronous BRS start: 1 odd field, 2 even
    PVOID BrsSyncEntry;
    PKEVENT AudioFieldEvent;
    ZAR_FIELD_SIGNAL FieldSignal[ZAR_FIELD_SIGNAL_COUNT];
    // Close clean-up: the file objects that own what a handle can hold.
    PFILE_OBJECT HpsCaptureOwner;
    PFILE_OBJECT HpsCircularOwner;
    PFILE_OBJECT AudioLockOwner[2];
    KEVENT AudioLockEvent[2];      // signalled while the resource is free
    PFILE_OBJECT AudioRecordOwner;
    PFILE_OBJECT VariPlayOwner[2];
    KEVENT HpsStopEvent;
    KEVENT HpsCircularStopEvent;
    volatile LONG CleanupEventsReady;  // 0 not yet, 1 being set up, 2 ready
    // SCSI DMA control block of the current disk request.
    ZAR_SCSI_DCB ScsiDcb;

    // control-code dispatch
    // Shadows of the board registers the dispatch writes for user mode
    // (the hardware is never read back for them).
    ULONG DebiShadow5474;
    ULONG DebiShadow5C00;
    ULONG DebiShadow5470;
    ULONG DebiShadow5450;
    ULONG SystemPrefs;             // board register 0x5468; bits 0-1 set by user mode
    // Blocks last stored by the board set-up's set codes.
    ZAR_GENLOCK Genlock;
    ZAR_ENCODER Encoder;
    ZAR_CALIBRATION Calibration;
    ZAR_M2_ROUTING M2Routing;
    ULONG Hdcam24FpsMode;          // 0 off, 1 on, 2 on with the digital-I/O option

    // ---- module state (each module's header defines its record) ----
    ZAR_DEBI_STATE Debi;
    ZAR_I2C_STATE I2c;
    ZAR_FLEX_STATE Flex;
    ZAR_BOARD_SETUP_STATE Setup;
    ZAR_DIAG_STATE Diag;
    ZAR_VIDEO_CHIPS_STATE Chips;
    ZAR_VIN_STATE Vin;
    ZAR_SCSI_STATE Scsi;
    ZAR_PLAYLIST_STATE Playlist;
    ZAR_JPEG_STATE Jpeg;
    ZAR_BRS_STATE Brs;
    ZAR_MIX_STATE Mix;
    ZAR_GFX_STATE Gfx;
    ZAR_DVE_STATE Dve;
    ZAR_SCRUB_STATE Scrub;
    ZAR_AUDIO_ENGINE_STATE AudioEngine;
    ZAR_AUDIO_USERS_STATE AudioUsers;
    ZAR_AUDIO_FX_STATE AudioFx;
    ZAR_DSRV_STATE_BLOCK AudioDSrv;
    ZAR_VARIPLAY_STATE VariPlay;
    ZAR_WAVE_STATE Wave;
    ZAR_TIMECODE_STATE TimeCode;
    ZAR_HPS_STATE Hps;

    // ---- flags (bytes last, so the words above keep their alignment) ----
    BOOLEAN BoardReady;
    UCHAR SyncLevel;               // the JPEG wrappers synchronise with the interrupt only above 2
    BOOLEAN DvePresent;
    BOOLEAN ShutdownRegistered;
    BOOLEAN DisableAudioFifoResets;
    BOOLEAN AudioUnderflowLogging;
    BOOLEAN SensitiveTiming;
    BOOLEAN ShortBlankingWait;
    BOOLEAN LookasidesReady;
    BOOLEAN QueuesReady;
    BOOLEAN DveWarpTablesAllocated;
    BOOLEAN PlaylistBuffersAllocated;
    // interrupt frame and request entry points
    BOOLEAN HookTraceOn;           // record the per-field hooks in HookTrace
    BOOLEAN DeferredRegisterPending;
    BOOLEAN AudioPlayDualChannel;  // both playback channels run
    BOOLEAN AudioPlaySizesDiffer;  // the two channels' size settings differ
    BOOLEAN AudioPlaySingleArmed;
    BOOLEAN AudioRecSingleArmed;
    BOOLEAN AudioDSrvStopPending;
    BOOLEAN AudioDSrvStopReached;
    BOOLEAN AudioPlayPrepared;     // data-server play memory prepared
    BOOLEAN AudioPlaying;          // playback DMA set up
    BOOLEAN AudioRecording;        // record DMA running
    BOOLEAN AudioFieldEventArmed;
    BOOLEAN BrsWaiting;            // a BRS transfer waits for its completion
    BOOLEAN BrsSyncPending;
    BOOLEAN CaptureCompletionAwaited;
    BOOLEAN CaptureAbandoned;      // set by the capture state machine
    BOOLEAN HpsCircularRunning;
    BOOLEAN VinProcAmpPending;
    BOOLEAN AudioTrackPanPending;
    // control-code dispatch
    BOOLEAN VinMonitorPaused;      // set before an FPGA download, cleared after it
};

#pragma pack(push, 1)
struct ZAR_DEVICE_EXTENSION : ZAR_EXTENSION_FIELDS {
    UCHAR Spare[ZAR_DEVICE_EXTENSION_SIZE - sizeof(ZAR_EXTENSION_FIELDS)];
};
#pragma pack(pop)
static_assert(sizeof(ZAR_DEVICE_EXTENSION) == ZAR_DEVICE_EXTENSION_SIZE);
using PZAR_DEVICE_EXTENSION = ZAR_DEVICE_EXTENSION*;

inline PZAR_DEVICE_EXTENSION ZarExtension(PDEVICE_OBJECT device)
{
    return static_cast<PZAR_DEVICE_EXTENSION>(device->DeviceExtension);
}
