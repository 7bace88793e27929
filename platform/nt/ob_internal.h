// Object manager internals shared by the Ob, Ps and Io modules: the header in
// front of every object body, the process record and its handle table.
// Drivers never include this file.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "nt_internal.h"
#include "nt_mm.h"
#include "nt_syscall.h"

// Header in front of every body made by ObCreateObject. The body follows at
// a 16-byte boundary; the magic lets the layer refuse pointers that are not
// objects instead of corrupting memory.
struct OBJECT_HEADER {
    ULONG Magic;
    volatile LONG PointerCount;
    volatile LONG HandleCount;
    ULONG Flags;
    POBJECT_TYPE Type;
    PVOID Directory;              // body of the directory holding the name (referenced), or null
    std::u16string* Name;         // leaf name as created (original case), null when unnamed
    std::u16string* PendingName;  // name from ObCreateObject until ObInsertObject
    PVOID PendingRoot;            // referenced root directory object for PendingName
    ULONG CreateAttributes;
    ULONG BodySize;
    ULONG Reserved[1];
};
static_assert(sizeof(OBJECT_HEADER) % 16 == 0, "bodies must stay 16-byte aligned");

enum : ULONG {
    OBH_MAGIC = 0x6a624f4e,  // "NObj"
    OBH_DEAD = 0x64616544,
    OB_FLAG_PERMANENT = 0x01,       // the name space holds a reference
    OB_FLAG_INSERTED = 0x02,        // went through ObInsertObject
    OB_FLAG_KERNEL_ONLY = 0x04,     // (reserved)
};

inline OBJECT_HEADER* ObpHeader(PVOID body) { return reinterpret_cast<OBJECT_HEADER*>(body) - 1; }
inline PVOID ObpBody(OBJECT_HEADER* h) { return h + 1; }
// True when 'body' is a live object of this layer.
bool ObpIsObject(PVOID body);

// One lock guards the name space, the handle tables and the handle counts.
// Nothing that can block or call a driver runs while it is held.
extern std::mutex ObpLock;

// Increments the reference count unless it is already zero (an object
// being deleted is never revived by a lookup). Call with ObpLock held.
bool ObpReferenceIfAlive(PVOID body);

// Generic rights of 'type' mapped to specific ones; MAXIMUM_ALLOWED gives all.
ACCESS_MASK ObpMapAccess(POBJECT_TYPE type, ACCESS_MASK access);

// ---- Handle tables ----

struct ObHandleEntry {
    PVOID Object;  // null: free slot
    ACCESS_MASK GrantedAccess;
    ULONG Attributes;
};
struct ObHandleTable {
    std::vector<ObHandleEntry> entries;  // handle value = (index + 1) * 4
    std::vector<ULONG> freeSlots;
    ULONG count = 0;
};
enum : ULONG_PTR { OB_KERNEL_HANDLE_BIT = 0x80000000u };
#define NtCurrentThread() ((HANDLE)(LONG_PTR)-2)

// Closes every handle of a process (process end, shutdown).
void ObpCloseAllHandles(PEPROCESS process);
// Handles that 'process' holds on 'body'. Call with ObpLock held.
ULONG ObpProcessHandleCount(PEPROCESS process, PVOID body);

// ---- Processes ----

// A process: waitable (signalled when it ends); owns a handle table.
struct KPROCESS {
    DISPATCHER_HEADER Header;
    HANDLE UniqueProcessId;
    NTSTATUS ExitStatus;
    BOOLEAN Terminated;
    BOOLEAN IsSystem;
    ObHandleTable* HandleTable;
    std::string* ImageName;
};

void PspInitialize();  // system process and default user process
void PspShutdown();    // ends every user process, then the system process's handles
void PspReleaseSystemProcess();  // last step of the object manager's shutdown

// ---- Name space ----

void ObpDeleteName(PVOID body);            // removes the object's name (if any)
void ObpHandleCountDropped(PVOID body);     // handle count reached zero: temporary names go
std::u16string ObpUpcase(const std::u16string& s);

// ---- Symbolic links ----

std::u16string ObpSymbolicLinkTarget(PVOID link);
NTSTATUS ObpCreatePermanentLink(PUNICODE_STRING link, PUNICODE_STRING target);
// Looks up the object that the attributes name (root handle resolved in
// 'mode'); referenced result.
NTSTATUS ObpLookupByAttributes(POBJECT_ATTRIBUTES attributes, KPROCESSOR_MODE mode, ACCESS_MASK access,
                               PVOID parseContext, PVOID* object);
