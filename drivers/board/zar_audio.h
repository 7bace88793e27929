// The audio engine's records: the play and record DMA control blocks, the
// play state the vertical interrupt advances, the record ring in the
// caller's memory, the VU meters, and the control records of the audio
// codes. The engine's state lives in the device extension as ext->AudioEngine.
#pragma once

#include "platform/nt/kernel.h"
#include "include/zarkd.h"
#include "include/zarkd_audio.h"
#include "zar_boardsetup.h"
#include "zar_playlist.h"

struct ZAR_DEVICE_EXTENSION;
using PZAR_DEVICE_EXTENSION = ZAR_DEVICE_EXTENSION*;


struct ZAR_AUDIO_PLAY_DCB {
    PVOID Va;                  // the 256 KB bank buffer (common buffer)
    PHYSICAL_ADDRESS Logical;
    PADAPTER_OBJECT Adapter;
    PULONG PageTable;          // one page of bus addresses
    PHYSICAL_ADDRESS PageTableLogical;
    ULONG Size;                // bytes in use, both halves
    ULONG HalfOffset[2];
    ULONG Slots;               // tracks interleaved in the bank
    ULONG BaseShadow, ProtShadow, PageShadow;
};

struct ZAR_AUDIO_REC_DCB {
    PUCHAR Va;                 // the record region
    PHYSICAL_ADDRESS Logical;
    PADAPTER_OBJECT Adapter;
    PULONG PageTable;
    PHYSICAL_ADDRESS PageTableLogical;
};

struct ZAR_AUDIO_ENGINE_STATE {
    ZAR_AUDIO_PLAY_DCB Play[2];
    ZAR_AUDIO_REC_DCB Rec;
    ULONG ActiveTrackMask;
    LONG Slot[ZAR_AUDIO_TRACKS];        // interleave slot within its bank, -1 unused
    ULONG SamplesPerBuffer;
    ULONG HalfFilled[2];                // the caller's filled markers
    // Play state (the position words as the play-list modules keep theirs).
    ZAR_PLAY_STATE PlayState;
    ULONG Latency;
    ULONG LinkedStart;
    ULONG RequestedState;
    ULONG ChangePending;
    ULONG Started;                      // the requested state was reached
    BOOLEAN PlayDmaRunning;
    BOOLEAN UnderflowLogged;
    BOOLEAN RecordBothInterfaces;
    BOOLEAN RingSetUp;
    ULONG PlayPathUsers;
    KEVENT StartedEvent;
    // Record.
    ULONG RecordMode;                   // 0, 64, 65
    ULONG RecordParameter[3];
    ULONG RecordHalfToggle;
    ULONG RecordHalvesTaken;            // the record half counter as far as a DPC has taken the halves
    PKEVENT Events[ZAR_AUDIO_EVENT_COUNT];
    // The caller's record ring, locked while set up.
    PMDL RingBlockMdl;
    ZAR_AUDIO_REC_BLOCK* RingBlock;     // system mapping
    PMDL RingMdl[ZAR_AUDIO_RING_BUFFERS];
    PUCHAR RingVa[ZAR_AUDIO_RING_BUFFERS];
    PKEVENT RingEvent;
    // VU meters: play pairs 0-7 tracks, 8-9 the mix; record left, right.
    ZAR_AUDIO_VU_PAIR PlayVu[ZAR_AUDIO_VU_PLAY_PAIRS];
    ZAR_AUDIO_VU_PAIR RecVu[2];
    ULONG SourceSelect;
    ULONG OneShotDone;                  // one-shot DPCs seen: bit 0 play, bit 1 record
};

// Pure rules (tested on their own).
// Slots of each track for a mask (bit n = track n); returns the mask in
// force (bit 0 forced when no bank-A bit is set) and each bank's slot count.
ULONG ZarAudCalcSlots(ULONG mask, LONG slot[ZAR_AUDIO_TRACKS], ULONG slotCount[2]);
// Whether banks of these slot counts at this sample count fit the bank buffers.
bool ZarAudBanksFit(ULONG samplesPerBuffer, const ULONG slotCount[2]);
// One channel's VU filter step for an 8-bit peak.
void ZarAudVuFilter(ZAR_AUDIO_VU_PAIR* pair, ULONG peak);
// The time-slot list of interface 1 (bank A) or 2 (bank B and the record
// variant: 0 none, 2 record only, 3 record after bank B's slots).
ULONG ZarAudBuildSlotList(ULONG list[16], ULONG bank, const LONG slot[ZAR_AUDIO_TRACKS], ULONG recordVariant);

// Play and record DMA, synchronised with the interrupt.
BOOLEAN ZarAudPlayDmaStartDevice(PVOID context);
BOOLEAN ZarAudPlayStopDma(PVOID context);
BOOLEAN ZarAudRecStopDma(PVOID context);
// Starts the record DMA looping in halves for the wave-in device (synchronised with the interrupt).
BOOLEAN ZarAudRecStartForWave(PVOID context);
// The record halves completed since a DPC last took them, oldest first
// (at most the two the region holds; older ones are recorded over), and
// marks them taken. Returns the count; half[] receives 0 or 1 each.
ULONG ZarAudRecTakeHalves(PZAR_DEVICE_EXTENSION ext, ULONG half[2]);
void ZarAudIoSetSource(PZAR_DEVICE_EXTENSION ext, ULONG source);
void ZarAudFreeDcbs(PZAR_DEVICE_EXTENSION ext);
// Cleared at shutdown: nothing plays or records afterwards.
void ZarAudShutdown(PZAR_DEVICE_EXTENSION ext);

// ---- users, settings and the audio lock ----

inline constexpr ULONG ZAR_AUDIO_USERS = 3;           // 0 the hardware, 1 the library, 2 the wave devices

#pragma pack(push, 1)
struct ZAR_AUDIO_CODEC_RECORD {
    USHORT Register[ZAR_AUDIO_CODEC_REGISTERS];
    ULONG RecordSource;
    ULONG Mask;
};
#pragma pack(pop)
static_assert(sizeof(ZAR_AUDIO_CODEC_RECORD) == 22);

struct ZAR_AUDIO_SETTINGS {
    ULONG Source;
    USHORT Codec[ZAR_AUDIO_CODEC_REGISTERS];
    ULONG RecordSource;
    ULONG Master[2];
    ZAR_AUDIO_TRACK_CONTROL Track[ZAR_AUDIO_TRACKS];
    ULONG LevelMult[ZAR_AUDIO_TRACKS];
    ULONG PassiveEE;
};

// What the DSP command thread has applied and is moving towards.
struct ZAR_AUDIO_DSP_STATE {
    KEVENT Idle;                        // set by the DSP DPC when a command was taken
    volatile ULONG Busy;                // 1 while the thread applies changes
    volatile ULONG Changed;             // bit per track: its control changed
    BOOLEAN Smoothing;
    UCHAR AppliedLevel[ZAR_AUDIO_TRACKS];
    UCHAR AppliedTrim[ZAR_AUDIO_TRACKS];
    ULONG AppliedMult[ZAR_AUDIO_TRACKS];
    ZAR_AUDIO_EQ_SECTION AppliedEq[ZAR_AUDIO_TRACKS][ZAR_AUDIO_EQ_SECTIONS];
    UCHAR AppliedPan[ZAR_AUDIO_TRACKS];
    ULONG AppliedMaster[2];
    ULONG CommandsTimedOut;
    BOOLEAN Valid;                      // the shadows hold what the DSPs hold
};

struct ZAR_AUDIO_USERS_STATE {
    ZAR_AUDIO_SETTINGS Set[ZAR_AUDIO_USERS];
    KMUTEX Mutex;                       // guards Set, LockUser and the gains written from them
    ULONG LockUser[2];                  // user holding play (0) and record (1), 0 none
    BOOLEAN HardwareValid;              // until set, every register is written
    // Tables of the gains (filled at start).
    LONG LevelGain[256];                // Q13: 129 unity, 255 = 131071
    LONG TrimGain[256];                 // 255 unity (0x1FFFF)
    USHORT MasterGain[256];
    USHORT PanLeft[256];
    USHORT PanRight[256];
    ZAR_AUDIO_DSP_STATE Dsp;
};

// Pure rules.
void ZarAudBuildGainTables(ZAR_AUDIO_USERS_STATE* users);
// Board gain of one side of a track from the master level and the pan.
ULONG ZarAudTrackGain(const ZAR_AUDIO_USERS_STATE* users, ULONG master, ULONG pan, bool right);
// The DSP level-section value: gain of 'level' times the Q16 multiplier, at most 0x1FFFF.
ULONG ZarAudOutputGain(const ZAR_AUDIO_USERS_STATE* users, ULONG level, ULONG multiplier);
// One smoothing pass from 'applied' toward 'target': at most 8 levels.
ULONG ZarAudStepLevel(ULONG applied, ULONG target);
ULONG ZarAudStepMult(ULONG applied, ULONG target);

void ZarAudUsersInitialize(PZAR_DEVICE_EXTENSION ext);
// The record side back from a wave capture: passive monitoring runs again
// when the library's settings have it on or it ran when the capture began.
void ZarAudResumePassive(PZAR_DEVICE_EXTENSION ext, bool wasRunning);
ZAR_AUDIO_SETTINGS* ZarAudUserSet(PZAR_DEVICE_EXTENSION ext, ULONG user);
// Codec access.
void ZarCs4297RegWrite(PZAR_DEVICE_EXTENSION ext, ULONG index, USHORT value);
USHORT ZarCs4297Read(PZAR_DEVICE_EXTENSION ext, ULONG index);
void ZarAudIoSetCodec(PZAR_DEVICE_EXTENSION ext, bool force);
// DSPs.
void ZarAudIoSetTrackControls(PZAR_DEVICE_EXTENSION ext, ULONG trackMask);
void ZarAudSetMasterLevel(PZAR_DEVICE_EXTENSION ext);
NTSTATUS ZarAudSetTrackControlFromNodes(PZAR_DEVICE_EXTENSION ext, ULONG track, const UCHAR* level, const UCHAR* pan,
                                        ULONG eqMask, const ZAR_AUDIO_TRACK_CONTROL* eq);

// The field signal that wakes the DSP command thread from the VBI DPC.
inline constexpr ULONG ZAR_FIELD_SIGNAL_DSP = 15;

// ---- the audio effect module of the play list ----


// One key-framed ramp of a track's level or pan.
struct ZAR_AUDIO_OVERRIDE {
    ULONG Present;                      // the override replaces the nodes' value
    ULONG Ramping;
    ULONG GainLaw;                      // level: ramp in gain, not in level steps
    ULONG KeyCount;
    ULONG KeyTime[ZAR_AUDIO_OVERRIDE_KEYS];
    UCHAR KeyValue[ZAR_AUDIO_OVERRIDE_KEYS];
    UCHAR Value;                        // the value the ramp gives now
    UCHAR Spare[1];
    ULONG Segment;                      // index of the key the ramp runs to
    ULONG SegmentStart;                 // field
    ULONG SegmentDuration;              // fields
    LONG SegmentFrom;                   // value (or gain) at the segment's start
    LONG SegmentDelta;
};


struct ZAR_AUDIO_FX_STATE {
    ULONG TrackMask[3];                 // level, pan, equaliser nodes enabled per track
    ZAR_AUDIO_OVERRIDE Level[ZAR_AUDIO_TRACKS];
    ZAR_AUDIO_OVERRIDE Pan[ZAR_AUDIO_TRACKS];
    ULONG EqValue[ZAR_AUDIO_TRACKS];
};

// Pure rules of the overrides.
// Starts (or ends) a ramp at field 'now' from 'present'; table: the level
// gain table when the override ramps in gain, else null.
void ZarAudOverrideStart(ZAR_AUDIO_OVERRIDE* o, ULONG now, UCHAR present, const LONG* gainTable);
// The override's value at field 'now' (ending it after its last key).
void ZarAudOverrideStep(ZAR_AUDIO_OVERRIDE* o, ULONG now, const LONG* gainTable);
// The level whose gain is nearest 'gain' (the lower on a tie).
ULONG ZarAudLevelLookup(const LONG* gainTable, LONG gain);

// The caller's memory locked and mapped (null on a bad address), and back.
PMDL ZarAudLockUserBuffer(ULONG address, ULONG length, LOCK_OPERATION operation, KPROCESSOR_MODE mode, PVOID* system);
void ZarAudUnlockUserBuffer(PMDL* mdl);
void ZarAudCalcPlayDmaSizes(PZAR_DEVICE_EXTENSION ext);

// ---- the audio data server ----

inline constexpr ULONG ZAR_DSRV_FILTERS = 3;
inline constexpr ULONG ZAR_DSRV_PHASES = 63;                // 1/64 .. 63/64
inline constexpr ULONG ZAR_DSRV_TAPS = 16;
inline constexpr ULONG ZAR_DSRV_EXCEPTIONS = 32;
inline constexpr ULONG ZAR_DSRV_MAX_SPEED_TERM = 2000;
inline constexpr ULONG ZAR_DSRV_RAMP_FILLS = 8;

enum ZAR_DSRV_STATE : ULONG {
    ZAR_DSRV_IDLE = 0,
    ZAR_DSRV_PREPARED = 1,
    ZAR_DSRV_WAITING = 2,
    ZAR_DSRV_RUNNING = 3,
};
enum ZAR_DSRV_EXCEPTION_CODE : ULONG {
    ZAR_DSRV_STOPPED = 1,
    ZAR_DSRV_DATA_MISSING = 2,
    ZAR_DSRV_DATA_BACK = 3,
    ZAR_DSRV_UNDERFLOW = 10,
    ZAR_DSRV_LOST = 99,
};


struct ZAR_DSRV_EXCEPTION {
    ULONG Code;
    ULONG Argument;
    ULONG PositionLow;
    ULONG PositionHigh;
};

// IOCTL_ZAR_AUD_DSRV_GET_CURRENT_STATUS.
struct ZAR_DSRV_STATUS {
    ULONG Running;
    ULONG PositionLow;                  // source frame now being heard
    ULONG PositionHigh;
    LONG Speed;                         // 0 when not running
};

// Per output sample frame: the source position as an integer sample and a
// remainder over the reduced normal term.
struct ZAR_DSRV_RATIO {
    LONG Speed;                         // reduced speed term (signed)
    ULONG Normal;                       // reduced normal term
};

struct ZAR_DSRV_STATE_BLOCK {
    ZAR_DSRV_STATE State;
    ZAR_DSRV_PREPARE Prep;
    PMDL ControlMdl;
    PUCHAR Control;                     // system mapping of the caller's control block
    PMDL SlotMdl[ZAR_DSRV_SLOTS];
    PUCHAR Slot[ZAR_DSRV_SLOTS];
    ULONG SlotFrames;                   // source frames a slot holds
    PKEVENT SourceEvent[ZAR_DSRV_SOURCES];
    PKSEMAPHORE Semaphore;
    PVOID PreRollPool;
    KSPIN_LOCK Lock;                    // guards the state, the play position and the fills
    ULONG SamplesPerHalf;
    // Play position: sample and remainder; the slot now playing.
    LONGLONG Position;
    ULONG Remainder;
    ULONG CurrentSlot;
    LONG Speed;                         // current speed in the caller's units
    LONG RampFrom, RampTo;
    ULONG RampStep;                     // fills done of the ramp, RAMP_FILLS when none
    ZAR_DSRV_RATIO Ratio;
    ULONG Filter;
    ULONG Recovery[ZAR_DSRV_SOURCES];   // fills until a source counts as valid again
    BOOLEAN Missing[ZAR_DSRV_SOURCES];
    BOOLEAN Ended;
    ULONG EndFrame;                     // output frame of the fill at which the end came
    BOOLEAN StopRequested;
    BOOLEAN BuffersFilled;
    LONGLONG HalfPosition[2];           // source position at the start of each half
    LONGLONG StopPosition;
    // Exceptions.
    KSPIN_LOCK ExceptionLock;           // guards the exception queue below (taken inside Lock)
    ZAR_DSRV_EXCEPTION Exception[ZAR_DSRV_EXCEPTIONS];
    ULONG ExceptionHead, ExceptionCount, ExceptionLost;
};

// Pure rules.
// The interpolation filters: [filter 1-3][phase 1-63][tap], Q15, each phase summing to 32,768.
const LONG (*ZarAudDSrvFilterTable())[ZAR_DSRV_PHASES][ZAR_DSRV_TAPS];
ULONG ZarAudDSrvTaps(ULONG filter);
ULONG ZarAudDSrvCalcFilterNum(ULONG base, LONG speed, ULONG normal);
// normal : |speed| reduced by their common divisor, the speed term at most 2,000.
ZAR_DSRV_RATIO ZarAudDSrvReduceRatio(ULONG normal, LONG speed);
// The ratio 'next' to use from a point where the play position's fraction
// is 'remainder' over old.Normal: both terms scaled so that the fraction
// is carried exactly (to 2^-30 of a sample where exactly would not fit).
// Returns the ratio and sets the remainder over its normal term.
ZAR_DSRV_RATIO ZarAudDSrvCarryRatio(ZAR_DSRV_RATIO old, ULONG remainder, ZAR_DSRV_RATIO next, PULONG nextRemainder);
// Speeds under 1 % of normal: 0 under 0.5 %, else +-1 %.
LONG ZarAudDSrvSnapSpeed(LONG speed, ULONG normal);
// The 6-bit phase of a 16.16 fraction (0 and 64 are the samples themselves).
ULONG ZarAudDSrvPhase(ULONG fraction16);
// One interpolated sample at source index n with 'phase' from 'fetch'.
template <typename Fetch>
SHORT ZarAudDSrvInterpolate(ULONG filter, ULONG phase, LONGLONG n, Fetch fetch)
{
    if (filter == 0 || phase == 0) return fetch(n);
    const LONG* c = ZarAudDSrvFilterTable()[filter - 1][phase - 1];
    const LONG taps = LONG(ZarAudDSrvTaps(filter));
    LONGLONG sum = 0;
    for (LONG k = 0; k < taps; ++k) sum += LONGLONG(c[k]) * fetch(n - taps / 2 + 1 + k);
    sum >>= 15;
    return SHORT(sum > 32767 ? 32767 : sum < -32768 ? -32768 : sum);
}
// The request code the server writes for 'slot' when 'current' plays.
ULONG ZarAudDSrvRequestCode(ULONG slot, ULONG current, ULONG slots, bool variSpeed, bool backwards);
// Fills 'frames' output frames of a half of each bank (out[bank] null: the
// bank is not played; stride: the bank's interleaved 16-bit slots; slot:
// each track's slot within its bank, -1 unused).
void ZarAudDSrvFill(PZAR_DEVICE_EXTENSION ext, SHORT* const out[2], ULONG frames, const ULONG stride[2],
                    const LONG slot[ZAR_AUDIO_TRACKS]);

// The server's status now (at device IRQL: the interrupt routine, or under its lock).
void ZarAudDSrvSnapshot(PZAR_DEVICE_EXTENSION ext, ZAR_DSRV_STATUS* status);
// The play DMA's FIFO ran dry while the server feeds it (DPC level).
void ZarAudDSrvUnderflow(PZAR_DEVICE_EXTENSION ext);

// ---- vari-play: the block shared with the library per video channel ----

// The block's records (ZAR_VARIPLAY_BLOCK) are in include/zarkd.h.

struct ZAR_VARIPLAY_STATE {
    PMDL Mdl[2];
    ZAR_VARIPLAY_BLOCK* Block[2];       // system mapping
    ULONG FreeFrom[2];                  // block after the oldest entry shown
};

// Pure rules.
// Looks for position >> 19 from the head outwards (6 steps each way): TRUE
// with the entry's position; else FALSE with the nearer end's.
BOOLEAN ZarVariPlayFindField(const ZAR_VARIPLAY_BLOCK* block, ULONGLONG position, PULONG positionOut);
// Drops the oldest or newest entry (result 1) unless the rules keep it (0).
ULONG ZarVariPlayInvalidate(ZAR_VARIPLAY_CONTROL* control, bool oldest, bool newest);
// One field of free run: the new position word (and the hold flag) from the speed.
void ZarVariPlayStep(ZAR_VARIPLAY_BLOCK* block);

// Fields a second in 19-bit fixed point: 59.94 (525 lines) and 50 (625).
inline constexpr ULONG ZAR_VARIPLAY_FIELDS_525 = 31425854;
inline constexpr ULONG ZAR_VARIPLAY_FIELDS_625 = 26214400;

// What the audio engine plays now, for the audio lock.
struct ZAR_VARIPLAY_AUDIO {
    LONGLONG Samples;                   // play position in source sample frames
    LONG Rate;                          // current speed, 0 when stopped
    ULONG Normal;                       // the speed that means 1x
};
// The audio position in fields (19-bit fixed point): rounded to a whole
// field within 'window' of one, and kept from 'start' to before 'end'.
ULONGLONG ZarVariPlayAudioField(LONGLONG samples, ULONG standard, ULONGLONG window, ULONG start, ULONG end);
// The speed word of an audio rate: rate x 2^19 / normal, the reverse bit for a negative rate.
ULONG ZarVariPlaySpeedWord(LONG rate, ULONG normal);
// One field of vari-play: the position moved (free run, or locked to the
// audio when 'audio' is given and the block asks for the lock), and the
// entry to show, which becomes the head. 'start' and 'end' are the video
// channel's play range in fields, 'parity' the parity of the field shown.
// Returns the index of the entry shown.
ULONG ZarVariPlayAdvance(ZAR_VARIPLAY_BLOCK* block, const ZAR_VARIPLAY_AUDIO* audio, ULONG standard, ULONG start,
                         ULONG end, ULONG parity);

// ---- the wave devices' board side ----

inline constexpr ULONG ZAR_WAVE_OUT_DEVICES = 4;
inline constexpr ULONG ZAR_WAVE_KIND_IN = 1, ZAR_WAVE_KIND_OUT = 2;
inline constexpr ULONG ZAR_WAVE_SAMPLES_PER_BUFFER = 1024;
inline constexpr ULONG ZAR_WAVE_MIXER_MAX = 512;

struct ZAR_WAVE_DEVICE {
    ULONG Open;
    PFILE_OBJECT Owner;
    USHORT Channels;
    USHORT Spare;
    ULONG Rate;
    ULONG BytesPerSample;
    ULONG State;
    ULONGLONG Bytes;                    // played (out) or captured (in)
    LIST_ENTRY Queue;                   // pending writes (out) or reads (in)
};

struct ZAR_WAVE_STATE {
    BOOLEAN Ready;
    BOOLEAN Running;                    // the play DMA runs for a wave-out device
    ULONG RunningDevice;
    ULONG RateMode;
    ZAR_WAVE_DEVICE Out[ZAR_WAVE_OUT_DEVICES];
    ZAR_WAVE_DEVICE In;
    KMUTEX Mutex;                       // orders opens and closes
    // The queues and the stream state. Lock order: the I/O manager's cancel
    // spin lock first, then this one (the cancel routine is called holding
    // the cancel lock).
    KSPIN_LOCK Lock;
    LIST_ENTRY Done[2];                 // writes copied whole into each half
    PIRP Current;                       // a write copied in part
    ULONG CurrentOffset;
    SHORT LastPair[2];
    LIST_ENTRY ControlChange;           // pending control-change requests
    // Capture for the wave-in device.
    BOOLEAN Capturing;                  // the record DMA runs for it
    BOOLEAN PassiveSuspended;           // passive monitoring gave the record DMA to the capture
    PIRP CaptureCurrent;                // a read filled in part
    ULONG CaptureOffset;
    ULONG Decimation;                   // board frames a captured frame
    ULONG DecimationPhase;              // board frames to skip before the next one
};

// Pure rules.
// Copies wave frames into DMA frames of four 16-bit slots (wave data in
// slots 0 and 1); returns the source bytes used and the frames written.
void ZarWaveDrvCopyIntoBuffer(const UCHAR* source, ULONG sourceBytes, ULONG channels, ULONG bytesPerSample,
                              SHORT* dma, ULONG dmaFrames, PULONG sourceUsed, PULONG framesWritten);
// Copies recorded board frames (left, right 16-bit) into wave data of the
// device's format, taking every 'step'-th frame ('phase' frames are skipped
// first and left for the next call); returns the board frames used and the
// bytes written.
void ZarWaveDrvCopyFromBuffer(const SHORT* dma, ULONG dmaFrames, ULONG step, PULONG phase, ULONG channels,
                              ULONG bytesPerSample, UCHAR* out, ULONG outBytes, PULONG framesUsed,
                              PULONG bytesWritten);
// Capture decimation for the device's rate against the board's audio rate mode.
ULONG ZarWaveDrvDecimation(ULONG rateMode, ULONG rate);
// Position: frames and bytes from the byte count.
void ZarWaveDrvPosition(ULONGLONG bytes, ULONG channels, ULONG bytesPerSample, PULONG frames, PULONG byteCount);

// ---- the audio DMA engine (zar_audio_dma.cpp) ----
void ZarAudHWInitializeAllStates(PZAR_DEVICE_EXTENSION ext);
NTSTATUS ZarAudInitRecDcb(PZAR_DEVICE_EXTENSION ext);
NTSTATUS ZarAudInitPlayDcb(PZAR_DEVICE_EXTENSION ext, ULONG playback);
void ZarCalcAudRecDmaSize(PZAR_DEVICE_EXTENSION ext);
void ZarDpcForAudioRecord(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2);
void ZarDpcForAudioPlayback(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2);
void ZarDpcForAudioPlaybackSingleDma(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2);
void ZarDpcForAudioRecordSingleDma(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2);
void ZarDpcForAudioFifoUnderflowLog(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2);
void ZarAudPlayVbi(PZAR_DEVICE_EXTENSION ext);
void ZarAudPlayResynchronizeDma(PZAR_DEVICE_EXTENSION ext);
void ZarAudVuLevelProcessing(PZAR_DEVICE_EXTENSION ext);

// Run synchronised with the interrupt (context: the extension).
BOOLEAN ZarAudPlayStopDma(PVOID context);
BOOLEAN ZarAudRecStopDma(PVOID context);
NTSTATUS ZarAudRecRelease(PZAR_DEVICE_EXTENSION ext);

// Starts the audio play (its 40-byte command, as kept by a video channel)
// following a video channel from the same field.
void ZarAudFollowVideo(PZAR_DEVICE_EXTENSION ext, const ZAR_PLAY_COMMAND* play, const UCHAR* audioCommand);
// Prepares the audio play that starts passively with a video channel.
void ZarAudPreparePassiveStart(PZAR_DEVICE_EXTENSION ext, const UCHAR* audioCommand);
// Starts the audio record DMA from the interrupt routine with the start
// block {state, 0, in point, out point}.
void ZarAudRecDmaStartDevice(PZAR_DEVICE_EXTENSION ext, const ULONG* startBlock);
// The audio state (192 bytes) for the play-status block; null while none is kept.
const void* ZarAudGetState(PZAR_DEVICE_EXTENSION ext);

// The audio record ring in host memory (with its spill area behind it).
NTSTATUS ZarAudRecRing(PZAR_DEVICE_EXTENSION ext, PUCHAR* ring, PULONG busAddress, PULONG size);
NTSTATUS ZarAudRecordCommand(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
// The record half 'half' (0 or 1) as it stands: its data and the two
// position dwords handed to the caller ahead of it.
NTSTATUS ZarAudGetWaveData(PZAR_DEVICE_EXTENSION ext, ULONG half, const UCHAR** data, PULONG length,
                           PULONG position);
NTSTATUS ZarAudPlayCommand(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarAudPutWaveData(PZAR_DEVICE_EXTENSION ext, PIRP irp);

// Takes the six referenced events (play A/B, record A/B, one-shot play,
// one-shot record; null for none) and drops the ones held before.
inline constexpr ULONG ZAR_AUDIO_USER_EVENTS = 6;
NTSTATUS ZarAudRegisterEvents(PZAR_DEVICE_EXTENSION ext, PKEVENT* events);
NTSTATUS ZarAudIoPlaycord(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarAudClearTrack(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarAudIoGetPlayVuLevel(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarAudIoGetRecVuLevel(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarCalcAudPlayDmaSize(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarAudPlayDmaBuffer(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarAudSetActiveTrackMask(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarAudRecSetup(PZAR_DEVICE_EXTENSION ext, PIRP irp);

// ---- the audio DSPs and their command thread (zar_audio_dsp.cpp) ----
void ZarDspCommandThread(PVOID context);
void ZarDpcForAudioDsp(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2);
void ZarYssIsr(PZAR_DEVICE_EXTENSION ext);
void ZarAudSetTrackPan(PZAR_DEVICE_EXTENSION ext);
NTSTATUS ZarYss231Init(PZAR_DEVICE_EXTENSION ext);
NTSTATUS ZarAudIoGetDspState(PZAR_DEVICE_EXTENSION ext, PVOID buffer);

// ---- the audio data server (zar_audio_dsrv.cpp) ----
void ZarAudDSrvDpcFunc(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2);
void ZarAudDSrvFreePlayMemoryAndObjects(PZAR_DEVICE_EXTENSION ext);
NTSTATUS ZarAudDSrvPrepPlay(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarAudDSrvUnprepPlay(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarAudDSrvInitBuffers(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarAudDSrvStartPlay(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarAudDSrvStopPlay(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarAudDSrvGetException(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarAudDSrvGetCurrentStatus(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarAudDSrvSetSpeed(PZAR_DEVICE_EXTENSION ext, PVOID buffer);

// ---- the wave devices' board side (zar_wave.cpp) ----
void ZarWaveDrvPlaybackDpc(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2);
void ZarWaveDrvCaptureDpc(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2);
NTSTATUS ZarWaveDrvClose(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS ZarWaveDrvRead(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS ZarWaveDrvWrite(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS ZarWaveDrvDispatchControl(PDEVICE_OBJECT device, PIRP irp);

// ---- the audio effect node and its overrides (zar_audio_node.cpp) ----
void ZarPlyAudFxPreProcessNode(PZAR_DEVICE_EXTENSION ext);
void ZarPlyAudFxProcessNode(PZAR_DEVICE_EXTENSION ext);
void ZarPlyAudFxPostProcessNode(PZAR_DEVICE_EXTENSION ext);
NTSTATUS ZarAudIoSetTrackMasks(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarAudIoLevelOverride(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarAudIoPanOverride(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarAudIoEqOverride(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarAudFxPlayCommand(PZAR_DEVICE_EXTENSION ext, PVOID buffer);

// ---- vari-play (zar_variplay.cpp) ----
NTSTATUS ZarVariPlayClose(PZAR_DEVICE_EXTENSION ext, ULONG channel);

// Vari-play block of a video channel: mapped or not, its started word (set
// on the first call, returning the value before), the position it drives
// and the field its index selects (its whole ring entry).
BOOLEAN ZarVariPlayIsMapped(PZAR_DEVICE_EXTENSION ext, ULONG channel);
BOOLEAN ZarVariPlayTakeStart(PZAR_DEVICE_EXTENSION ext, ULONG channel);
ULONG ZarVariPlayUpdatePosition(PZAR_DEVICE_EXTENSION ext, ULONG channel);
BOOLEAN ZarVariPlayCurrentField(PZAR_DEVICE_EXTENSION ext, ULONG channel, PULONG address, PULONG size);
BOOLEAN ZarVariPlayCurrentEntry(PZAR_DEVICE_EXTENSION ext, ULONG channel, ZAR_VARIPLAY_ENTRY* entry);
NTSTATUS ZarVariPlayInit(PZAR_DEVICE_EXTENSION ext, PVOID buffer, PFILE_OBJECT owner);
NTSTATUS ZarVariPlayInvalidateNode(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarVariPlayDisplayNode(PZAR_DEVICE_EXTENSION ext, PVOID buffer);

// ---- the audio codec (zar_audio_codec.cpp) ----
// The audio codec and the four DSPs brought to their start-up state.
NTSTATUS ZarCs4297Init(PZAR_DEVICE_EXTENSION ext);
NTSTATUS ZarCs4297RegRead(PZAR_DEVICE_EXTENSION ext, PVOID buffer);

// ---- audio users, settings and the audio lock (zar_audio_users.cpp) ----
// Whether the caller kind may use the audio hardware now: it owns it
// already, or nobody holds the audio lock.
BOOLEAN ZarAudioHardwareAvailable(PZAR_DEVICE_EXTENSION ext, ZAR_CALLER_KIND callerKind);
NTSTATUS ZarAudIoUserSetCodec(PZAR_DEVICE_EXTENSION ext, PVOID buffer, ZAR_CALLER_KIND callerKind);
NTSTATUS ZarAudIoGetCodec(PZAR_DEVICE_EXTENSION ext, PVOID buffer, ZAR_CALLER_KIND callerKind);
NTSTATUS ZarAudIoUserSetTrackControl(PZAR_DEVICE_EXTENSION ext, PVOID buffer, ZAR_CALLER_KIND callerKind);
NTSTATUS ZarAudUserSetMasterLevel(PZAR_DEVICE_EXTENSION ext, PVOID buffer, ZAR_CALLER_KIND callerKind);
NTSTATUS ZarAudIoGetTrackControl(PZAR_DEVICE_EXTENSION ext, PVOID buffer, ZAR_CALLER_KIND callerKind);
NTSTATUS ZarAudIoGetMasterLevel(PZAR_DEVICE_EXTENSION ext, PVOID buffer, ZAR_CALLER_KIND callerKind);
NTSTATUS ZarDcIoUserSetAudioStandards(PZAR_DEVICE_EXTENSION ext, PVOID buffer, ZAR_CALLER_KIND callerKind);
NTSTATUS ZarDcIoGetAudioStandards(PZAR_DEVICE_EXTENSION ext, PVOID buffer, ZAR_CALLER_KIND callerKind);
NTSTATUS ZarAudIoUserSetSource(PZAR_DEVICE_EXTENSION ext, PVOID buffer, ZAR_CALLER_KIND callerKind);
NTSTATUS ZarAudUserSetTrackLevelMult(PZAR_DEVICE_EXTENSION ext, PVOID buffer, ZAR_CALLER_KIND callerKind);

// The audio lock belongs to the handle that took it (its file object).
NTSTATUS ZarAudAcquireAudioLock(PZAR_DEVICE_EXTENSION ext, PVOID buffer, ZAR_CALLER_KIND callerKind, PFILE_OBJECT owner);
NTSTATUS ZarAudReleaseAudioLock(PZAR_DEVICE_EXTENSION ext, PVOID buffer, ZAR_CALLER_KIND callerKind, PFILE_OBJECT owner);
NTSTATUS ZarAudUserSetPassiveEE(PZAR_DEVICE_EXTENSION ext, PVOID buffer, ZAR_CALLER_KIND callerKind);
