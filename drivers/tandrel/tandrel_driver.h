// TANDRELKD, the time-code driver: one device per time-code stream of
// board 0 plus a software reader (the reader proxy), over a small framework
// (extension head, table dispatch, request queue, deferred release) and
// four device classes.
//
// Locks, in the order they are taken:
//   1. the clock stream's lock (TANDREL_CLOCK_STREAM::Lock): its timers,
//      listeners, periodic events and field history;
//   2. a device's lock (TANDREL_EXTENSION::Lock): its class state, trigger
//      lists, start/stop control, poll triggers and writer mark;
//   3. the lock of the device a generator tracks (its sample source);
//   4. a notice queue's own lock, then the system cancel spin lock;
//   5. the deferred-release list's lock (taken with any of the others held).
// Per-field work runs at DISPATCH_LEVEL from the board driver's per-field
// DPC; objects it stops using go to the device's deferred-release list and
// are dereferenced by the next dispatch routine at PASSIVE_LEVEL.
#pragma once

#include "include/tandrelkd.h"
#include "include/zarkd.h"
#include "include/zarkd_tandrel.h"
#include "platform/nt/kernel.h"

constexpr ULONG TandrelTag(const char (&s)[5])
{
    return ULONG(UCHAR(s[0])) | ULONG(UCHAR(s[1])) << 8 | ULONG(UCHAR(s[2])) << 16 | ULONG(UCHAR(s[3])) << 24;
}
inline constexpr ULONG TANDREL_TAG = TandrelTag("Ddk ");
inline constexpr ULONG TANDREL_TAG_HOLD = TandrelTag("Hold");
inline constexpr ULONG TANDREL_TAG_TRIGGER = TandrelTag("Trig");
inline constexpr ULONG TANDREL_TAG_QUEUE = TandrelTag("SemQ");
inline constexpr ULONG TANDREL_TAG_CLOCK = TandrelTag("Clok");
inline constexpr KPRIORITY TANDREL_EVENT_INCREMENT = 8;
inline constexpr NTSTATUS TANDREL_STATUS_ALREADY_ATTACHED = NTSTATUS(0xC0000038);

struct TANDREL_EXTENSION;
using PTANDREL_EXTENSION = TANDREL_EXTENSION*;
struct TANDREL_CLOCK_STREAM;

// ---- framework (tandrel_framework.cpp) ----

// The five values the board gives for a stream.
struct TANDREL_STREAM_VALUES {
    ULONG Index;
    ULONG Type;
    ULONG Rate;
    const WCHAR* Name;
    LONG Delay;    // fields; the board's readers run behind the master count
};

using PTANDREL_HANDLER = NTSTATUS (*)(PTANDREL_EXTENSION ext, PIRP irp);
struct TANDREL_CONTROL_ROW {
    ULONG Code;
    BOOLEAN NeedsWrite;
    ULONG MinInput;
    ULONG MinOutput;
    PTANDREL_HANDLER Handler;
};

// A device class: its table and hooks (each hook optional).
struct TANDREL_DEVICE_CLASS {
    const char* Name;
    UCHAR ClassBit;                      // TANDREL_CLASS_*
    ULONG StateSize;
    const TANDREL_CONTROL_ROW* Table;
    ULONG Rows;
    NTSTATUS (*Initialize)(PTANDREL_EXTENSION ext);
    NTSTATUS (*Close)(PTANDREL_EXTENSION ext, PFILE_OBJECT file, BOOLEAN writer);
    NTSTATUS (*Cleanup)(PTANDREL_EXTENSION ext, PIRP irp);
    NTSTATUS (*Write)(PTANDREL_EXTENSION ext, PIRP irp);
    void (*Disconnect)(PTANDREL_EXTENSION ext);
    void (*Delete)(PTANDREL_EXTENSION ext);
    // The sample due 'delay' fields after the clock's current field, for a
    // generator that tracks this device; *exact when it is known to hold.
    NTSTATUS (*SampleSource)(PTANDREL_EXTENSION ext, LONG delay, TANDREL_SAMPLE* sample, BOOLEAN* exact);
    PTANDREL_STREAM_CALLBACK BoardCallback;  // none: a listener on the clock stream
    BOOLEAN StartOwnFrame;               // start may sync on the device's own frame
    BOOLEAN UsesStreamDelay;             // start/stop leads are the stream's delay
};

// The trigger set (tandrel_trigger.cpp).
enum TANDREL_TRIGGER_LIST : ULONG { TRIG_STOP = 0, TRIG_START = 1, TRIG_FRAME = 2, TRIG_COMMAND = 3 };
struct TANDREL_CLOCK_TIMER;
struct TANDREL_TRIGGER {
    LIST_ENTRY Link;
    PTANDREL_EXTENSION Ext;
    PKEVENT Event;                       // referenced
    KPRIORITY Increment;
    ULONG Kind;
    ULONG Lead;
    ULONG Frame;
    TANDREL_CLOCK_TIMER* Timer;
};
static_assert(sizeof(TANDREL_TRIGGER) == 36);
struct TANDREL_TRIGGER_SET {
    NPAGED_LOOKASIDE_LIST Lookaside;
    LIST_ENTRY Lists[4];
    BOOLEAN FrameListChanged;
};

// The start/stop control (tandrel_startstop.cpp). Index 1 start, 0 stop.
struct TANDREL_NAMED_EVENT {
    UNICODE_STRING Name;                 // \BaseNamedObjects\Zar0<stream>.StartEvent
    PKEVENT Event;
    HANDLE DeviceHandle;                 // kernel handle that keeps the event
    HANDLE WriterHandle;                 // while a writer has the device open
    ULONG Lead;
    BOOLEAN OwnFrame;
    PTANDREL_EXTENSION Owner;            // who armed it, or none
    PFILE_OBJECT OtherFile;              // the other device it waits on (referenced)
    ULONG Kind;
};
struct TANDREL_START_SLOT {
    BOOLEAN Requested;
    PKEVENT CallerEvent;                 // referenced; none: at the next frame
};
inline constexpr ULONG TANDREL_STOPPED = 0;
inline constexpr ULONG TANDREL_RUNNING = 3;
enum TANDREL_RUN_STEP : ULONG { RUN_IDLE = 0, RUN_STOPPED = 1, RUN_STARTED = 2, RUN_RUNNING = 3 };
struct TANDREL_START_STOP {
    ULONG State;
    TANDREL_START_SLOT Slot[2];
    TANDREL_NAMED_EVENT Named[2];
};

// A per-field listener on the clock stream.
struct TANDREL_CLOCK_LISTENER {
    LIST_ENTRY Link;
    void (*Callback)(PVOID context, ULONG field, ULONG newRate);
    PVOID Context;
    ULONG PendingRate;
};

struct TANDREL_POLL {
    LIST_ENTRY Link;
    PFILE_OBJECT Owner;
    ULONG Handle;
    ULONG Mask;
    PKEVENT Event;                       // referenced
};

struct alignas(8) TANDREL_EXTENSION {
    const TANDREL_DEVICE_CLASS* Class;
    UNICODE_STRING DeviceName;           // Zar0<stream name>
    UNICODE_STRING LinkName;             // \DosDevices\Zar0<stream name>
    PDEVICE_OBJECT DeviceObject;
    BOOLEAN Forwards;                    // unhandled codes go down to the board
    TANDREL_STREAM_VALUES Stream;
    struct TANDREL_BINDING* Binding;     // none for the reader proxy
    TANDREL_CLOCK_STREAM* Clock;
    KSPIN_LOCK Lock;
    NPAGED_LOOKASIDE_LIST HoldLookaside;
    LIST_ENTRY Held;                     // its Flink heads a stack of held objects
    KSPIN_LOCK HeldLock;                 // guards Held only; taken last of all
    TANDREL_TRIGGER_SET Triggers;
    TANDREL_START_STOP StartStop;
    PFILE_OBJECT Writer;
    LIST_ENTRY Polls;
    TANDREL_CLOCK_LISTENER Listener;
    BOOLEAN Listening;
    BOOLEAN Connected;
    BOOLEAN Disconnected;
    // The class state follows.
};

template <class T>
T* TandrelState(PTANDREL_EXTENSION ext)
{
    return reinterpret_cast<T*>(ext + 1);
}
inline PTANDREL_EXTENSION TandrelExtension(PDEVICE_OBJECT device)
{
    return static_cast<PTANDREL_EXTENSION>(device->DeviceExtension);
}

NTSTATUS DispatchByTable(const TANDREL_CONTROL_ROW* table, ULONG rows, PTANDREL_EXTENSION ext, PIRP irp);
NTSTATUS QueueRequest(PIRP irp, PDRIVER_CANCEL cancel, PLIST_ENTRY queue, PKSPIN_LOCK lock, PLIST_ENTRY cancelled);
PIRP DequeueRequest(PLIST_ENTRY queue, PKSPIN_LOCK lock);
void CancelRequestRoutine(PDEVICE_OBJECT device, PIRP irp);
void CancelQueue(PLIST_ENTRY queue, PKSPIN_LOCK lock, PFILE_OBJECT file);
void HoldForRelease(PTANDREL_EXTENSION ext, PVOID object);
void ReleaseHeld(PTANDREL_EXTENSION ext);
PVOID TandrelLookasideAllocate(PNPAGED_LOOKASIDE_LIST list);
void TandrelLookasideFree(PNPAGED_LOOKASIDE_LIST list, PVOID entry);
ULONG TandrelWideLength(const WCHAR* s);
void TandrelWideCopy(WCHAR* to, const WCHAR* from);
void TandrelWideAppend(WCHAR* to, const WCHAR* from);
NTSTATUS AllocateUnicodeString(PUNICODE_STRING string, ULONG chars);
NTSTATUS DuplicateUnicodeString(PUNICODE_STRING to, const WCHAR* from);
void FreeUnicodeString(PUNICODE_STRING string);
// The request's buffers and lengths.
inline PVOID TandrelBuffer(PIRP irp) { return irp->AssociatedIrp.SystemBuffer; }
inline ULONG TandrelInputLength(PIRP irp) { return IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.InputBufferLength; }
inline ULONG TandrelOutputLength(PIRP irp) { return IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength; }
inline PFILE_OBJECT TandrelFile(PIRP irp) { return IoGetCurrentIrpStackLocation(irp)->FileObject; }
inline HANDLE TandrelHandle(ULONG value) { return reinterpret_cast<HANDLE>(ULONG_PTR(value)); }
// References an event (or a semaphore) of the caller by handle.
NTSTATUS TandrelReferenceEvent(ULONG handle, PIRP irp, PKEVENT* event);
NTSTATUS TandrelReferenceSemaphore(ULONG handle, PIRP irp, PKSEMAPHORE* semaphore);

// ---- SMPTE 12M arithmetic (tandrel_smpte.cpp) ----

LONG TandrelAddFrames(LONG start, LONG offset, LONG day);
// The sample advanced by 'fields' fields (frame and field bit).
TANDREL_SAMPLE TandrelAddFields(const TANDREL_SAMPLE& sample, LONG fields);
LONG TandrelFieldPosition(const TANDREL_SAMPLE& sample);
// A board record (8-byte word and flags word) as a sample.
TANDREL_SAMPLE TandrelWordToSample(const UCHAR word[8], ULONG recordFlags);
// A sample as the 8-byte word; 'vitc' puts the field mark in and leaves the
// LTC polarity bit out. Returns TRUE when the frame count was brought into
// the day.
BOOLEAN TandrelSampleToWord(const TANDREL_SAMPLE& sample, BOOLEAN vitc, UCHAR word[8]);
ULONG TandrelChangeMask(const TANDREL_SAMPLE& now, const TANDREL_SAMPLE& before);
// Hours, minutes, seconds and frames of a frame count at a sample's rate.
void TandrelSplitFrame(LONG frame, ULONG flags, ULONG* h, ULONG* m, ULONG* s, ULONG* f);
LONG TandrelJoinFrame(ULONG h, ULONG m, ULONG s, ULONG f, ULONG flags, BOOLEAN* nonexistent);
inline BOOLEAN TandrelSampleValid(const TANDREL_SAMPLE& s) { return (s.Flags & TANDREL_FLAG_VALIDITY) == 0; }

// ---- clock stream (tandrel_clock.cpp) ----

struct TANDREL_CLOCK_TIMER {
    LIST_ENTRY Link;
    ULONG Due;
    void (*Callback)(PVOID context);
    PVOID Context;
    ULONG Unused;
};
static_assert(sizeof(TANDREL_CLOCK_TIMER) == 24);

struct TANDREL_PERIODIC {
    LIST_ENTRY Link;
    PFILE_OBJECT Owner;
    PKEVENT Event;                       // referenced
    USHORT Period;
    USHORT Phase;
};

struct TANDREL_CLOCK_STREAM {
    const char* Name;                    // "MasterClockStream"
    KSPIN_LOCK Lock;
    BOOLEAN Active;
    TANDREL_STREAM_VALUES Stream;
    ULONG Rate;
    BOOLEAN HaveLast, HavePrevious;
    ULONG LastField, PreviousField;
    ULONGLONG LastTime, PreviousTime;
    struct {
        ULONG Field;
        ULONGLONG Time;
        BOOLEAN Used;
    } History[32];
    NPAGED_LOOKASIDE_LIST TimerLookaside;
    LIST_ENTRY Timers;
    LIST_ENTRY Listeners;
    LIST_ENTRY Periodic;
    ULONG Fields;                        // fields run (statistics)
};

TANDREL_CLOCK_STREAM* TandrelClockCreate(const TANDREL_STREAM_VALUES& stream);
void TandrelClockDelete(TANDREL_CLOCK_STREAM* clock);
uint32_t TandrelClockBoardCallback(void* context, uint32_t field, void* data, uint32_t in, uint32_t out);
// Under the clock lock: a timer at 'due' (FALSE when not after the last field
// or no memory); cancelling one that already ran is harmless only through
// the trigger that owns it.
TANDREL_CLOCK_TIMER* TandrelClockSetTimer(TANDREL_CLOCK_STREAM* clock, ULONG due, void (*callback)(PVOID), PVOID context);
void TandrelClockCancelTimer(TANDREL_CLOCK_STREAM* clock, TANDREL_CLOCK_TIMER* timer);
void TandrelClockAddListener(TANDREL_CLOCK_STREAM* clock, TANDREL_CLOCK_LISTENER* listener);
void TandrelClockRemoveListener(TANDREL_CLOCK_STREAM* clock, TANDREL_CLOCK_LISTENER* listener);
// Under the clock lock.
ULONGLONG TandrelClockTimeOfField(TANDREL_CLOCK_STREAM* clock, ULONG field);
inline ULONG TandrelClockNow(TANDREL_CLOCK_STREAM* clock) { return clock->LastField; }
NTSTATUS TandrelClockEnablePeriodic(TANDREL_CLOCK_STREAM* clock, PFILE_OBJECT owner, PKEVENT event, USHORT period,
                                    USHORT phase);
NTSTATUS TandrelClockDisablePeriodic(TANDREL_CLOCK_STREAM* clock, PFILE_OBJECT owner, ULONG handle, PIRP irp);
void TandrelClockRemoveOwner(TANDREL_CLOCK_STREAM* clock, PFILE_OBJECT owner);

// ---- notice queues (tandrel_notice.cpp) ----

struct TANDREL_NOTICE_QUEUE {
    PKSEMAPHORE Semaphore;               // referenced
    ULONG ElementSize;
    NPAGED_LOOKASIDE_LIST Lookaside;
    LIST_ENTRY List;
    KSPIN_LOCK Lock;
};
NTSTATUS TandrelNoticeCreate(PKSEMAPHORE semaphore, ULONG elementSize, TANDREL_NOTICE_QUEUE** queue);
// FALSE: full (the element was not kept).
BOOLEAN TandrelNoticePush(TANDREL_NOTICE_QUEUE* queue, const void* element);
BOOLEAN TandrelNoticePop(TANDREL_NOTICE_QUEUE* queue, void* element);
void TandrelNoticeFlush(TANDREL_NOTICE_QUEUE* queue);
void TandrelNoticeDestroy(TANDREL_NOTICE_QUEUE* queue);
// The owner's rule: pushes 'element'; when full, flushes and leaves one
// overflow notice, then pushes nothing until a notice is read.
void TandrelNoticePost(TANDREL_NOTICE_QUEUE* queue, BOOLEAN* overflow, const void* element, const void* overflowNotice);

// ---- triggers and events (tandrel_trigger.cpp) ----

void TandrelTriggersInitialize(PTANDREL_EXTENSION ext);
void TandrelTriggersDelete(PTANDREL_EXTENSION ext);
// Under the clock and device locks.
NTSTATUS TandrelTriggerAdd(PTANDREL_EXTENSION ext, ULONG kind, PKEVENT event, ULONG lead, ULONG frame, KPRIORITY increment);
NTSTATUS TandrelTriggerRemove(PTANDREL_EXTENSION ext, ULONG kind, PKEVENT event);
void TandrelScheduleList(PTANDREL_EXTENSION ext, ULONG list);
void TandrelRescheduleFrames(PTANDREL_EXTENSION ext, ULONG currentField, LONG frameCount, LONG framesPerDay);
void TandrelCancelFrameTimers(PTANDREL_EXTENSION ext);
void TandrelFireCommand(PTANDREL_EXTENSION ext, ULONG kind);
void TandrelPollTriggers(PTANDREL_EXTENSION ext, ULONG changes);
void TandrelRemovePolls(PTANDREL_EXTENSION ext, PFILE_OBJECT owner);
// The kinds a class accepts for set/cancel event.
BOOLEAN TandrelKindAllowed(PTANDREL_EXTENSION ext, ULONG kind);
NTSTATUS TandrelSetEventDirect(PTANDREL_EXTENSION ext, ULONG kind, PKEVENT event, ULONG lead, ULONG frame, KPRIORITY increment);
NTSTATUS TandrelCancelEventDirect(PTANDREL_EXTENSION ext, ULONG kind, PKEVENT event);

// Common control handlers (tandrel_trigger.cpp and tandrel_startstop.cpp).
NTSTATUS TandrelOnSetEvent(PTANDREL_EXTENSION ext, PIRP irp);
NTSTATUS TandrelOnCancelEvent(PTANDREL_EXTENSION ext, PIRP irp);
NTSTATUS TandrelOnEnablePeriodic(PTANDREL_EXTENSION ext, PIRP irp);
NTSTATUS TandrelOnDisablePeriodic(PTANDREL_EXTENSION ext, PIRP irp);
NTSTATUS TandrelOnEnablePoll(PTANDREL_EXTENSION ext, PIRP irp);
NTSTATUS TandrelOnDisablePoll(PTANDREL_EXTENSION ext, PIRP irp);

// ---- start and stop (tandrel_startstop.cpp) ----

NTSTATUS TandrelStartStopInitialize(PTANDREL_EXTENSION ext);
void TandrelStartStopDelete(PTANDREL_EXTENSION ext);
NTSTATUS TandrelWriterOpen(PTANDREL_EXTENSION ext);
void TandrelWriterClose(PTANDREL_EXTENSION ext);
void TandrelCancelPending(PTANDREL_EXTENSION ext, ULONG which);
// Under the clock and device locks, once a field.
ULONG TandrelRunStep(PTANDREL_EXTENSION ext);
inline BOOLEAN TandrelRunning(PTANDREL_EXTENSION ext) { return ext->StartStop.State == TANDREL_RUNNING; }
NTSTATUS TandrelOnStart(PTANDREL_EXTENSION ext, PIRP irp);
NTSTATUS TandrelOnStop(PTANDREL_EXTENSION ext, PIRP irp);
NTSTATUS TandrelOnSyncStartStop(PTANDREL_EXTENSION ext, PIRP irp);
NTSTATUS TandrelOnCancelPending(PTANDREL_EXTENSION ext, PIRP irp);

// ---- driver entry, binding and devices (tandrel_entry.cpp, tandrel_binding.cpp) ----

struct TANDREL_BINDING {
    PDEVICE_OBJECT BoardDevice;          // referenced
    PFILE_OBJECT BoardFile;              // referenced
    ULONG StreamCount;
    LONG Connected;
    BOOLEAN ClockConnected;
    TANDREL_CLOCK_STREAM* Clock;
    UNICODE_STRING BoardName;            // "Zar0"
};
struct TANDREL_GLOBALS {
    PDRIVER_OBJECT Driver;
    TANDREL_BINDING* Binding;
    TANDREL_CLOCK_STREAM* Clock;
};
extern TANDREL_GLOBALS TandrelGlobals;

NTSTATUS TandrelDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);
NTSTATUS TandrelBind(TANDREL_BINDING** binding);
void TandrelUnbind(TANDREL_BINDING* binding);
NTSTATUS TandrelBoardRequest(TANDREL_BINDING* binding, ULONG code, PVOID in, ULONG inLength, PVOID out, ULONG outLength);
NTSTATUS TandrelConnectStream(TANDREL_BINDING* binding, ULONG index, PTANDREL_STREAM_CALLBACK callback, PVOID context);
NTSTATUS TandrelDisconnectStream(TANDREL_BINDING* binding, ULONG index);
NTSTATUS TandrelCreateStreamDevice(TANDREL_BINDING* binding, const TANDREL_STREAM_VALUES& stream, BOOLEAN proxy,
                                   PTANDREL_EXTENSION* created);
void TandrelDeleteDevice(PTANDREL_EXTENSION ext);
NTSTATUS TandrelForward(PTANDREL_EXTENSION ext, PIRP irp);
// The device of a Tandrel handle of the caller (its file object referenced),
// or an error.
NTSTATUS TandrelDeviceOfHandle(ULONG handle, PIRP irp, PFILE_OBJECT* file, PTANDREL_EXTENSION* ext);

// ---- common handlers (tandrel_common.cpp) ----

// A class table's row: the rules come from the interface's route table, so
// the driver and its callers read them from one place.
constexpr TANDREL_CONTROL_ROW TandrelRow(ULONG code, PTANDREL_HANDLER handler)
{
    const TANDREL_IOCTL_ROUTE* r = TandrelFindIoctl(code);
    return {code, BOOLEAN(r != nullptr && r->NeedsWrite), r != nullptr ? r->MinInput : 0, r != nullptr ? r->MinOutput : 0,
            handler};
}
// Every row is a code the route table gives the class, and none is missing.
template <size_t N>
constexpr bool TandrelTableMatches(const TANDREL_CONTROL_ROW (&table)[N], UCHAR cls)
{
    if (N != TandrelClassRows(cls)) return false;
    for (const TANDREL_CONTROL_ROW& row : table) {
        const TANDREL_IOCTL_ROUTE* r = TandrelFindIoctl(row.Code);
        if (r == nullptr || (r->Classes & cls) == 0) return false;
    }
    return true;
}


extern const TANDREL_DEVICE_CLASS TandrelMasterClockClass;
extern const TANDREL_DEVICE_CLASS TandrelFieldCountClass;
extern const TANDREL_DEVICE_CLASS TandrelInputClass;
extern const TANDREL_DEVICE_CLASS TandrelOutputClass;
const TANDREL_DEVICE_CLASS* TandrelClassOfType(ULONG type);
// A sample answered by the output length: 12, 20 or 28 bytes (larger forms
// are the class's); returns the byte count written.
ULONG TandrelWriteSample(PIRP irp, const TANDREL_SAMPLE& sample, ULONG field, LONG running, ULONGLONG time, ULONG most);
NTSTATUS TandrelOnGetDeviceInfo(PTANDREL_EXTENSION ext, PIRP irp);
NTSTATUS TandrelOnGetConfiguration(PTANDREL_EXTENSION ext, PIRP irp);
NTSTATUS TandrelEnableNotices(PTANDREL_EXTENSION ext, PIRP irp, TANDREL_NOTICE_QUEUE** queue, BOOLEAN* overflow, ULONG size);
NTSTATUS TandrelDisableNotices(PTANDREL_EXTENSION ext, TANDREL_NOTICE_QUEUE** queue);
NTSTATUS TandrelPopNotice(PTANDREL_EXTENSION ext, PIRP irp, TANDREL_NOTICE_QUEUE* const* queue, BOOLEAN* overflow, ULONG size);
// Locks the clock then the device.
struct TandrelLocks {
    explicit TandrelLocks(PTANDREL_EXTENSION ext);
    ~TandrelLocks();
    PTANDREL_EXTENSION Ext;
    KIRQL Old;
};

// ---- the classes ----
// Master clock (tandrel_masterclock.cpp).
struct TANDREL_MASTER_CLOCK_STATE {
    ULONG Frames;
    ULONG Flags;
    BOOLEAN HaveLast;
    ULONG LastField;
    LONG RunningFieldCount;
    TANDREL_NOTICE_QUEUE* Notices;
    BOOLEAN Overflow;
};
// Field counter (tandrel_fieldcount.cpp).
struct TANDREL_FIELD_COUNT_STATE {
    TANDREL_SAMPLE Base, Current, Previous;
    BOOLEAN HaveLast;
    ULONG LastField;
    ULONG Record[24];
    ULONG Confirm1, Confirm2;
    ULONG Rate;
    PFILE_OBJECT OverrideOwner;
    BOOLEAN OverridePending, OverrideActive, Limited;
    TANDREL_OVERRIDE PendingRecord;
    ULONG Mode;
    TANDREL_SAMPLE Held;
    ULONG StartField;
    LONG Numerator, Offset, Denominator;
    PFILE_OBJECT DeckOwner;
    ULONG DeckAddress;
    PMDL DeckMdl;
    PUCHAR DeckBlock;
    TANDREL_COMMAND_SAMPLE Commands[3];
};
// Readers and the proxy (tandrel_input.cpp).
struct TANDREL_INPUT_STATE_DATA {
    TANDREL_SAMPLE Delivered, PreviousDelivered, Read, Jam;
    BOOLEAN Vitc, Proxy;
    ULONG Rate;
    BOOLEAN HaveLast;
    ULONG LastField;
    BOOLEAN HavePosition;
    LONG LastPosition;
    ULONG Advances, Repeats, FrameRepeats;
    ULONG ReadState, ReaderState;
    ULONG JamMode, JamPhase;
    ULONG LockThreshold, SpotThreshold, RejamThreshold;
    LONG RunningFieldCount;
    TANDREL_NOTICE_QUEUE* Notices;
    BOOLEAN NoticeOverflow;
    TANDREL_NOTICE_QUEUE* Captures;
    BOOLEAN CaptureOverflow;
    // Proxy hint.
    PFILE_OBJECT HintOwner;
    TANDREL_HINT Hint;
    BOOLEAN HintPending;
    TANDREL_HINT PendingHint;
    ULONG HintField;
};
// Generators (tandrel_output.cpp).
struct TANDREL_OUTPUT_STATE_DATA {
    BOOLEAN Vitc, Ltc;
    TANDREL_SAMPLE Current, Previous;
    ULONG Mode, RequestedMode;
    BOOLEAN Running;
    BOOLEAN Frozen, FreezeSetting;
    ULONG Rate;
    BOOLEAN HaveLast;
    ULONG LastField;
    LONG RunningFieldCount;
    PFILE_OBJECT TrackedFile;            // referenced
    PTANDREL_EXTENSION Tracked;
    LONG Offset;
    BOOLEAN Exact, SourceInvalid, StreamEmpty, HaveTarget;
    LONG LastTarget;
    LIST_ENTRY StreamQueue;
    PIRP Consuming;
    ULONG Consumed, Left;
    LIST_ENTRY Completed;
    KDPC CompleteDpc;
    TANDREL_NOTICE_QUEUE* Notices;
    BOOLEAN Overflow;
    ULONG FieldsRun;
};
