// Interfaces between the kernel layer's own modules (object manager, Ke,
// I/O manager, HAL, registry, machine) and the Win32 layer's seam. Drivers
// never include this file.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "nt_io.h"

// ---- Object types and objects ----

// An object type. Modules define their types as static OBJECT_TYPE records
// and publish them through the P...Type pointers of nt_ob.h.
struct OBJECT_TYPE {
    const char* Name;
    // Runs when the last reference goes (the body is freed after it).
    void (*DeleteProcedure)(PVOID body);
    // Runs when a handle to the object is closed; 'handleCount' is what is
    // left in 'process' after this close (0: the process's last handle).
    void (*CloseProcedure)(PEPROCESS process, PVOID body, ULONG handleCount);
    // Parse for names below the object (devices: the file name of an open;
    // registry keys). 'remaining' is what follows the object's own name
    // (a path such as \Params\x, or empty when the name ends at the
    // object). Called outside the object manager's lock. Returns the opened
    // object with a reference, or STATUS_REPARSE with a new full name in
    // 'reparsed'. Returning
    // STATUS_OBJECT_TYPE_MISMATCH with an empty 'remaining' means "not an
    // open through me": the object itself is the result (a device looked up
    // by name without an open packet).
    NTSTATUS (*ParseProcedure)(PVOID body, const std::u16string& remaining, ULONG attributes,
                               ACCESS_MASK access, KPROCESSOR_MODE mode, PVOID parseContext, PVOID* opened,
                               std::u16string* reparsed);
    // True when the body starts with a DISPATCHER_HEADER (waitable).
    bool Waitable;
    // GENERIC_* to specific rights.
    ACCESS_MASK GenericRead, GenericWrite, GenericExecute, GenericAll;
};

// Creates an object: the body is zeroed and holds one reference. A name in
// the attributes is only recorded; ObInsertObject puts it in the name space.
NTSTATUS ObCreateObject(POBJECT_TYPE type, POBJECT_ATTRIBUTES attributes, KPROCESSOR_MODE mode, ULONG bodySize,
                        PVOID* body);
// Inserts a created object into the name space (when named) and, with
// 'handle', opens a handle in the current (or, for OBJ_KERNEL_HANDLE, the
// system) process. The creation reference passes to the handle when a handle
// is made, and is kept by the caller otherwise. A name that exists gives
// STATUS_OBJECT_NAME_COLLISION, or with OBJ_OPENIF a handle to the existing
// object (same type) and STATUS_OBJECT_NAME_EXISTS; the new body is freed.
NTSTATUS ObInsertObject(PVOID body, ACCESS_MASK access, ULONG attributes, PHANDLE handle);
// Opens a handle to a named object (following symbolic links and parse
// procedures).
NTSTATUS ObOpenObjectByName(POBJECT_ATTRIBUTES attributes, POBJECT_TYPE type, KPROCESSOR_MODE mode,
                            ACCESS_MASK access, PVOID parseContext, PHANDLE handle);
POBJECT_TYPE ObGetObjectType(PVOID body);
std::u16string ObGetObjectName(PVOID body);  // full path, empty when unnamed
LONG ObGetReferenceCount(PVOID body);
// Handles open on the object in all processes.
ULONG ObGetHandleCount(PVOID body);
// What a wait on the object waits for: the body of a waitable type, the
// file object's Event for a file object (overlapped completion without an
// event), null when the object cannot be waited on.
DISPATCHER_HEADER* ObGetWaitableObject(PVOID body);
// Inserts an object into a handle table of a given process (used by the I/O
// manager for file objects it created itself).
NTSTATUS ObCreateHandle(PEPROCESS process, PVOID body, ACCESS_MASK granted, ULONG attributes, PHANDLE handle);
// Lists the name space below 'directory' (\ for the root): (name, type name,
// link target or empty).
struct ObDirectoryEntry {
    std::u16string name;
    std::string type;
    std::u16string linkTarget;
};
std::vector<ObDirectoryEntry> ObListDirectory(const std::u16string& directory);
void ObInitialize();    // creates the root directories; called at boot
void ObShutdown();      // drops the name space (objects still referenced live on)
// Waits until the deletes handed to a worker (last references dropped at raised IRQL) are done.
void ObWaitForDeferredDeletes();

// ---- Drivers ----

// Makes \Driver\<serviceName> and runs 'entry' on it as loading a service
// would, without a service key (built-in drivers, tests). The driver is
// then listed by IoLoadedDrivers and unloaded with IoUnloadDriver.
NTSTATUS IoCreateDriver(const std::u16string& serviceName, PDRIVER_INITIALIZE entry, PDRIVER_OBJECT* driver);

// ---- Processes ----

// The system process owns kernel handles and system threads.
extern PEPROCESS PsInitialSystemProcess;
// A user process of the machine (embedded mode: the processes that the
// Win32 layer runs in). Terminating it closes its handles, which runs the
// drivers' cleanup and close paths.
PEPROCESS PsCreateUserProcess(const std::string& imageName);
// The memory file behind a section handle of the calling process, for a
// view that a client process of a machine host maps itself: the same
// checks as NtMapViewOfSection's (rights, protection, offset, size); *fd is
// a duplicate that the caller closes, *viewSize the view's rounded size.
NTSTATUS MmSectionFileForView(HANDLE section, ULONG protect, LONGLONG offset, SIZE_T* viewSize, int* fd);
void PsTerminateUserProcess(PEPROCESS process, NTSTATUS exitStatus);
// A machine host's say over user memory: a client process's user-mode
// addresses exist in the client, not here, so a probe or page lock of user
// memory for a process is refused (STATUS_ACCESS_VIOLATION) where 'filter'
// answers false. Null (the default) leaves every user range to the probe.
void MmSetUserRangeFilter(bool (*filter)(PEPROCESS process, const volatile void* address, SIZE_T length));
HANDLE PsGetProcessId(PEPROCESS process);
std::string PsGetProcessImageName(PEPROCESS process);
// The process the calling thread runs in. A host thread that never entered
// the kernel runs in the machine's default user process.
PEPROCESS PsGetThreadProcess(PKTHREAD thread);
void PsSetThreadProcess(PKTHREAD thread, PEPROCESS process);
PEPROCESS PsGetDefaultUserProcess();
void PsSetDefaultUserProcess(PEPROCESS process);

// ---- Threads ----

// A user-mode thread in 'process' (Win32 CreateThread). The thread object is
// signalled when the routine returns; its exit code is the return value.
NTSTATUS PsCreateUserThread(PEPROCESS process, ULONG (*routine)(PVOID), PVOID context, PHANDLE threadHandle,
                            PCLIENT_ID clientId, BOOLEAN suspended);
NTSTATUS PsGetThreadExitStatus(PKTHREAD thread);
NTSTATUS PsResumeThread(PKTHREAD thread);
// The calling thread's safe point for code that serves it outside a wait
// (a host serving its client's calls): it stays here while the thread is
// suspended; STATUS_THREAD_TERMINATE_PENDING once its termination was
// asked, else STATUS_SUCCESS.
NTSTATUS PsThreadSafePoint();
// A process ended: its threads stopped at a safe point go on (to end),
// since nothing is left to resume them.
void PsReleaseSuspendedThread(PKTHREAD thread);

// ---- Ke internals shared with the HAL ----

// The HAL reports an interrupt line's level for a system vector; the
// interrupt context delivers it to the connected interrupt objects.
void KiSetInterruptLine(ULONG systemVector, bool asserted);
// Signal a dispatcher object from another module (process end, file object
// events) with the dispatcher's rules.
void KiSignalObject(DISPATCHER_HEADER* object, LONG signalState);

// ---- HAL attachment (machine boot) ----
#include <memory>
namespace hw { class PciTopology; }
// Plugs the machine's PCI hardware under the HAL (devices get their Host);
// detaching forgets mappings, adapters and vectors.
void HalAttachTopology(std::shared_ptr<hw::PciTopology> topology);
void HalDetachTopology();
