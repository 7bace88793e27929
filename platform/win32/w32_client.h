// The Win32 layer as a client of a machine host: whether this process is
// one, and the system calls as they cross the host's socket. A process
// becomes a client at its first system call when ZAR_MACHINE names a
// machine folder whose host answers, unless it chose its own embedded
// machine first (w32host::StayEmbedded).
#pragma once

#include "../nt/nt_user.h"

#include <string>
#include <vector>

namespace w32 {

bool ClientActive();
// Wakes a WaitForRequest on 'iosb' once this process wrote its status: in a
// client a request's results land after the host's file object is signalled.
void StatusWritten(PIO_STATUS_BLOCK iosb);
// Fails a call the host protocol does not carry: a message once per call
// kind and STATUS_NOT_IMPLEMENTED.
NTSTATUS ClientUnsupported(const char* call);

// This process's arena (platform/HOSTMODE.txt): memory shared with the
// host at the same address on both sides. ArenaAllocate gives zeroed pages
// (null when this process has no arena or it is full); ArenaFree is false
// for memory that is not an arena block.
void* ArenaAllocate(size_t size);
bool ArenaFree(void* p);
bool InArena(const void* p, size_t n);

namespace client {
NTSTATUS NtCreateFile(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, PIO_STATUS_BLOCK iosb, PLARGE_INTEGER allocationSize, ULONG fileAttributes, ULONG shareAccess, ULONG createDisposition, ULONG createOptions, PVOID eaBuffer, ULONG eaLength);
NTSTATUS NtDeviceIoControlFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext, PIO_STATUS_BLOCK iosb, ULONG ioControlCode, PVOID inputBuffer, ULONG inputLength, PVOID outputBuffer, ULONG outputLength);
NTSTATUS NtFsControlFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext, PIO_STATUS_BLOCK iosb, ULONG fsControlCode, PVOID inputBuffer, ULONG inputLength, PVOID outputBuffer, ULONG outputLength);
NTSTATUS NtReadFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext, PIO_STATUS_BLOCK iosb, PVOID buffer, ULONG length, PLARGE_INTEGER byteOffset, PULONG key);
NTSTATUS NtWriteFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext, PIO_STATUS_BLOCK iosb, PVOID buffer, ULONG length, PLARGE_INTEGER byteOffset, PULONG key);
NTSTATUS NtQueryInformationFile(HANDLE file, PIO_STATUS_BLOCK iosb, PVOID info, ULONG length, FILE_INFORMATION_CLASS infoClass);
NTSTATUS NtSetInformationFile(HANDLE file, PIO_STATUS_BLOCK iosb, PVOID info, ULONG length, FILE_INFORMATION_CLASS infoClass);
NTSTATUS NtQueryDirectoryFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext, PIO_STATUS_BLOCK iosb, PVOID info, ULONG length, FILE_INFORMATION_CLASS infoClass, BOOLEAN returnSingleEntry, PUNICODE_STRING fileName, BOOLEAN restartScan);
NTSTATUS NtNotifyChangeDirectoryFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext, PIO_STATUS_BLOCK iosb, PVOID buffer, ULONG length, ULONG completionFilter, BOOLEAN watchTree);
NTSTATUS NtQueryVolumeInformationFile(HANDLE file, PIO_STATUS_BLOCK iosb, PVOID info, ULONG length, FS_INFORMATION_CLASS infoClass);
NTSTATUS NtFlushBuffersFile(HANDLE file, PIO_STATUS_BLOCK iosb);
NTSTATUS NtCancelIoFile(HANDLE file, PIO_STATUS_BLOCK iosb);
NTSTATUS NtDeleteFile(POBJECT_ATTRIBUTES attributes);
NTSTATUS NtClose(HANDLE handle);
NTSTATUS NtDuplicateObject(HANDLE sourceProcess, HANDLE sourceHandle, HANDLE targetProcess, PHANDLE targetHandle, ACCESS_MASK access, ULONG attributes, ULONG options);
NTSTATUS NtCreateEvent(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, EVENT_TYPE type, BOOLEAN initialState);
NTSTATUS NtOpenEvent(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes);
NTSTATUS NtSetEvent(HANDLE handle, PLONG previousState);
NTSTATUS NtResetEvent(HANDLE handle, PLONG previousState);
NTSTATUS NtPulseEvent(HANDLE handle, PLONG previousState);
NTSTATUS NtCreateSemaphore(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, LONG initialCount, LONG maximumCount);
NTSTATUS NtOpenSemaphore(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes);
NTSTATUS NtReleaseSemaphore(HANDLE handle, LONG releaseCount, PLONG previousCount);
NTSTATUS NtCreateMutant(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, BOOLEAN initialOwner);
NTSTATUS NtOpenMutant(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes);
NTSTATUS NtReleaseMutant(HANDLE handle, PLONG previousCount);
NTSTATUS NtWaitForSingleObject(HANDLE handle, BOOLEAN alertable, PLARGE_INTEGER timeout);
NTSTATUS NtWaitForMultipleObjects(ULONG count, const HANDLE* handles, WAIT_TYPE waitType, BOOLEAN alertable, PLARGE_INTEGER timeout);
NTSTATUS NtDelayExecution(BOOLEAN alertable, PLARGE_INTEGER interval);
NTSTATUS NtQuerySystemTime(PLARGE_INTEGER systemTime);
ULONG NtGetTickCount();
NTSTATUS NtQueryPerformanceCounter(PLARGE_INTEGER counter, PLARGE_INTEGER frequency);
NTSTATUS NtQuerySystemInformation(SYSTEM_INFORMATION_CLASS infoClass, PVOID info, ULONG length, PULONG returnLength);
NTSTATUS NtTestAlert();
NTSTATUS NtCreateUserThread(PHANDLE handle, ULONG (*routine)(PVOID), PVOID context, BOOLEAN suspended, PCLIENT_ID clientId);
NTSTATUS NtResumeThread(HANDLE thread, PULONG suspendCount);
NTSTATUS NtSetThreadPriority(HANDLE thread, LONG priority);
NTSTATUS NtGetExitCodeThread(HANDLE thread, PULONG exitCode);
NTSTATUS NtQueueApcThread(HANDLE thread, PKUSER_APC_ROUTINE routine, PVOID context, PVOID arg1, PVOID arg2);
ULONG NtGetCurrentProcessId();
ULONG NtGetCurrentThreadId();
NTSTATUS NtCreateSection(PHANDLE section, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, PLARGE_INTEGER maximumSize, ULONG pageProtection, ULONG allocationAttributes, HANDLE fileHandle);
NTSTATUS NtOpenSection(PHANDLE section, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes);
NTSTATUS NtMapViewOfSection(HANDLE section, HANDLE process, PVOID* baseAddress, ULONG_PTR zeroBits, SIZE_T commitSize, PLARGE_INTEGER sectionOffset, PSIZE_T viewSize, SECTION_INHERIT inherit, ULONG allocationType, ULONG protect);
NTSTATUS NtUnmapViewOfSection(HANDLE process, PVOID baseAddress);
NTSTATUS NtCreateKey(PHANDLE key, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, ULONG titleIndex, PUNICODE_STRING className, ULONG createOptions, PULONG disposition);
NTSTATUS NtOpenKey(PHANDLE key, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes);
NTSTATUS NtDeleteKey(HANDLE key);
NTSTATUS NtQueryValueKey(HANDLE key, PUNICODE_STRING valueName, KEY_VALUE_INFORMATION_CLASS infoClass, PVOID info, ULONG length, PULONG resultLength);
NTSTATUS NtSetValueKey(HANDLE key, PUNICODE_STRING valueName, ULONG titleIndex, ULONG type, PVOID data, ULONG dataSize);
NTSTATUS NtDeleteValueKey(HANDLE key, PUNICODE_STRING valueName);
NTSTATUS NtEnumerateKey(HANDLE key, ULONG index, KEY_INFORMATION_CLASS infoClass, PVOID info, ULONG length, PULONG resultLength);
NTSTATUS NtEnumerateValueKey(HANDLE key, ULONG index, KEY_VALUE_INFORMATION_CLASS infoClass, PVOID info, ULONG length, PULONG resultLength);
NTSTATUS NtFlushKey(HANDLE key);
NTSTATUS NtQueryKey(HANDLE key, KEY_INFORMATION_CLASS infoClass, PVOID info, ULONG length, PULONG resultLength);
NTSTATUS NtReportEvent(const std::u16string& source, USHORT type, USHORT category, ULONG eventId, const std::vector<std::u16string>& strings, const void* data, ULONG dataSize);
}  // namespace client

}  // namespace w32
