// The system-call seam: the native calls through which user mode (the Win32
// layer, platform/win32) reaches the kernel. Every call runs in the calling
// thread's process with requestor mode UserMode: handles are that process's,
// buffers are user buffers (probed), and results are written back only
// through the caller's pointers. In host mode these calls will cross a
// socket to the machine's daemon; nothing else of the kernel is visible to
// user mode.
#pragma once

#include "nt_mm.h"
#include "nt_zw.h"

#include <string>
#include <vector>

// ---- Files and devices (I/O manager) ----

// Create dispositions and options, file information classes and records:
// nt_io.h (the file-system drivers serve them too).

// Opens or creates a file or device by its NT name ("\??\KIVZAR0",
// "\??\C:\WINNT\x.txt"). Without FILE_SYNCHRONOUS_IO_* the handle is
// asynchronous (overlapped).
NTSTATUS NtCreateFile(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, PIO_STATUS_BLOCK iosb,
                      PLARGE_INTEGER allocationSize, ULONG fileAttributes, ULONG shareAccess,
                      ULONG createDisposition, ULONG createOptions, PVOID eaBuffer, ULONG eaLength);
// Device control as NT's I/O manager does it: the buffers are handled by the
// code's method (system buffer, MDLs, or the caller's pointers), and on
// completion the output is copied back when the status is not an error
// (success or warning). Returns STATUS_PENDING for a pending request on an
// asynchronous handle: 'event' (if any) is then set, 'iosb' written and the
// APC queued to the calling thread when it completes.
NTSTATUS NtDeviceIoControlFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext,
                               PIO_STATUS_BLOCK iosb, ULONG ioControlCode, PVOID inputBuffer,
                               ULONG inputLength, PVOID outputBuffer, ULONG outputLength);
NTSTATUS NtFsControlFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext,
                         PIO_STATUS_BLOCK iosb, ULONG fsControlCode, PVOID inputBuffer, ULONG inputLength,
                         PVOID outputBuffer, ULONG outputLength);
NTSTATUS NtReadFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext,
                    PIO_STATUS_BLOCK iosb, PVOID buffer, ULONG length, PLARGE_INTEGER byteOffset, PULONG key);
NTSTATUS NtWriteFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext,
                     PIO_STATUS_BLOCK iosb, PVOID buffer, ULONG length, PLARGE_INTEGER byteOffset, PULONG key);
NTSTATUS NtQueryInformationFile(HANDLE file, PIO_STATUS_BLOCK iosb, PVOID info, ULONG length,
                                FILE_INFORMATION_CLASS infoClass);
NTSTATUS NtSetInformationFile(HANDLE file, PIO_STATUS_BLOCK iosb, PVOID info, ULONG length,
                              FILE_INFORMATION_CLASS infoClass);
NTSTATUS NtQueryDirectoryFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext,
                              PIO_STATUS_BLOCK iosb, PVOID info, ULONG length, FILE_INFORMATION_CLASS infoClass,
                              BOOLEAN returnSingleEntry, PUNICODE_STRING fileName, BOOLEAN restartScan);
NTSTATUS NtQueryVolumeInformationFile(HANDLE file, PIO_STATUS_BLOCK iosb, PVOID info, ULONG length,
                                      FS_INFORMATION_CLASS infoClass);
NTSTATUS NtFlushBuffersFile(HANDLE file, PIO_STATUS_BLOCK iosb);
NTSTATUS NtCancelIoFile(HANDLE file, PIO_STATUS_BLOCK iosb);
NTSTATUS NtDeleteFile(POBJECT_ATTRIBUTES attributes);

// ---- Objects and handles ----

NTSTATUS NtClose(HANDLE handle);
NTSTATUS NtDuplicateObject(HANDLE sourceProcess, HANDLE sourceHandle, HANDLE targetProcess, PHANDLE targetHandle,
                           ACCESS_MASK access, ULONG attributes, ULONG options);
enum : ULONG { DUPLICATE_CLOSE_SOURCE = 1, DUPLICATE_SAME_ACCESS = 2 };

// ---- Synchronisation objects ----

NTSTATUS NtCreateEvent(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, EVENT_TYPE type,
                       BOOLEAN initialState);
NTSTATUS NtOpenEvent(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes);
NTSTATUS NtSetEvent(HANDLE handle, PLONG previousState);
NTSTATUS NtResetEvent(HANDLE handle, PLONG previousState);
NTSTATUS NtPulseEvent(HANDLE handle, PLONG previousState);
NTSTATUS NtCreateSemaphore(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, LONG initialCount,
                           LONG maximumCount);
NTSTATUS NtOpenSemaphore(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes);
NTSTATUS NtReleaseSemaphore(HANDLE handle, LONG releaseCount, PLONG previousCount);
NTSTATUS NtCreateMutant(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, BOOLEAN initialOwner);
NTSTATUS NtOpenMutant(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes);
NTSTATUS NtReleaseMutant(HANDLE handle, PLONG previousCount);
NTSTATUS NtWaitForSingleObject(HANDLE handle, BOOLEAN alertable, PLARGE_INTEGER timeout);
NTSTATUS NtWaitForMultipleObjects(ULONG count, const HANDLE* handles, WAIT_TYPE waitType, BOOLEAN alertable,
                                  PLARGE_INTEGER timeout);
NTSTATUS NtDelayExecution(BOOLEAN alertable, PLARGE_INTEGER interval);
NTSTATUS NtQuerySystemTime(PLARGE_INTEGER systemTime);
// Milliseconds since boot on the machine clock.
ULONG NtGetTickCount();
NTSTATUS NtQueryPerformanceCounter(PLARGE_INTEGER counter, PLARGE_INTEGER frequency);

// ---- Threads ----

NTSTATUS NtCreateUserThread(PHANDLE handle, ULONG (*routine)(PVOID), PVOID context, BOOLEAN suspended,
                            PCLIENT_ID clientId);
NTSTATUS NtResumeThread(HANDLE thread, PULONG suspendCount);
NTSTATUS NtSetThreadPriority(HANDLE thread, LONG priority);
NTSTATUS NtGetExitCodeThread(HANDLE thread, PULONG exitCode);  // STATUS_PENDING while it runs
// Queues a user APC to a thread of the caller's process.
NTSTATUS NtQueueApcThread(HANDLE thread, PKUSER_APC_ROUTINE routine, PVOID context, PVOID arg1, PVOID arg2);
NTSTATUS NtTestAlert();

// ---- Sections ----

NTSTATUS NtCreateSection(PHANDLE section, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                         PLARGE_INTEGER maximumSize, ULONG pageProtection, ULONG allocationAttributes,
                         HANDLE fileHandle);
NTSTATUS NtOpenSection(PHANDLE section, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes);
NTSTATUS NtMapViewOfSection(HANDLE section, HANDLE process, PVOID* baseAddress, ULONG_PTR zeroBits,
                            SIZE_T commitSize, PLARGE_INTEGER sectionOffset, PSIZE_T viewSize,
                            SECTION_INHERIT inherit, ULONG allocationType, ULONG protect);
NTSTATUS NtUnmapViewOfSection(HANDLE process, PVOID baseAddress);

// ---- Registry ----

NTSTATUS NtCreateKey(PHANDLE key, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, ULONG titleIndex,
                     PUNICODE_STRING className, ULONG createOptions, PULONG disposition);
NTSTATUS NtOpenKey(PHANDLE key, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes);
NTSTATUS NtDeleteKey(HANDLE key);
NTSTATUS NtQueryValueKey(HANDLE key, PUNICODE_STRING valueName, KEY_VALUE_INFORMATION_CLASS infoClass, PVOID info,
                         ULONG length, PULONG resultLength);
NTSTATUS NtSetValueKey(HANDLE key, PUNICODE_STRING valueName, ULONG titleIndex, ULONG type, PVOID data,
                       ULONG dataSize);
NTSTATUS NtDeleteValueKey(HANDLE key, PUNICODE_STRING valueName);
NTSTATUS NtEnumerateKey(HANDLE key, ULONG index, KEY_INFORMATION_CLASS infoClass, PVOID info, ULONG length,
                        PULONG resultLength);
NTSTATUS NtEnumerateValueKey(HANDLE key, ULONG index, KEY_VALUE_INFORMATION_CLASS infoClass, PVOID info,
                             ULONG length, PULONG resultLength);
NTSTATUS NtFlushKey(HANDLE key);

// ---- Event log (the service's ReportEvent) ----

NTSTATUS NtReportEvent(const std::u16string& source, USHORT type, USHORT category, ULONG eventId,
                       const std::vector<std::u16string>& strings, const void* data, ULONG dataSize);
