// placeholder
#include "w32_client.h"
#include <cstdio>
namespace w32 {
bool ClientActive() { return false; }
NTSTATUS ClientUnsupported(const char* call) { std::fprintf(stderr, "win32: %s is not carried to the machine host\n", call); return STATUS_NOT_IMPLEMENTED; }
}
namespace w32::client {
NTSTATUS NtCreateFile(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, PIO_STATUS_BLOCK iosb, PLARGE_INTEGER allocationSize, ULONG fileAttributes, ULONG shareAccess, ULONG createDisposition, ULONG createOptions, PVOID eaBuffer, ULONG eaLength) { return 0; }
NTSTATUS NtDeviceIoControlFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext, PIO_STATUS_BLOCK iosb, ULONG ioControlCode, PVOID inputBuffer, ULONG inputLength, PVOID outputBuffer, ULONG outputLength) { return 0; }
NTSTATUS NtReadFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext, PIO_STATUS_BLOCK iosb, PVOID buffer, ULONG length, PLARGE_INTEGER byteOffset, PULONG key) { return 0; }
NTSTATUS NtWriteFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext, PIO_STATUS_BLOCK iosb, PVOID buffer, ULONG length, PLARGE_INTEGER byteOffset, PULONG key) { return 0; }
NTSTATUS NtClose(HANDLE handle) { return 0; }
NTSTATUS NtCreateEvent(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, EVENT_TYPE type, BOOLEAN initialState) { return 0; }
NTSTATUS NtOpenEvent(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes) { return 0; }
NTSTATUS NtSetEvent(HANDLE handle, PLONG previousState) { return 0; }
NTSTATUS NtResetEvent(HANDLE handle, PLONG previousState) { return 0; }
NTSTATUS NtPulseEvent(HANDLE handle, PLONG previousState) { return 0; }
NTSTATUS NtCreateSemaphore(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, LONG initialCount, LONG maximumCount) { return 0; }
NTSTATUS NtOpenSemaphore(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes) { return 0; }
NTSTATUS NtReleaseSemaphore(HANDLE handle, LONG releaseCount, PLONG previousCount) { return 0; }
NTSTATUS NtCreateMutant(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, BOOLEAN initialOwner) { return 0; }
NTSTATUS NtOpenMutant(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes) { return 0; }
NTSTATUS NtReleaseMutant(HANDLE handle, PLONG previousCount) { return 0; }
NTSTATUS NtWaitForSingleObject(HANDLE handle, BOOLEAN alertable, PLARGE_INTEGER timeout) { return 0; }
NTSTATUS NtWaitForMultipleObjects(ULONG count, const HANDLE* handles, WAIT_TYPE waitType, BOOLEAN alertable, PLARGE_INTEGER timeout) { return 0; }
NTSTATUS NtDelayExecution(BOOLEAN alertable, PLARGE_INTEGER interval) { return 0; }
NTSTATUS NtQuerySystemTime(PLARGE_INTEGER systemTime) { return 0; }
ULONG NtGetTickCount() { return 0; }
NTSTATUS NtQueryPerformanceCounter(PLARGE_INTEGER counter, PLARGE_INTEGER frequency) { return 0; }
NTSTATUS NtTestAlert() { return 0; }
ULONG NtGetCurrentProcessId() { return 0; }
ULONG NtGetCurrentThreadId() { return 0; }
NTSTATUS NtCreateSection(PHANDLE section, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, PLARGE_INTEGER maximumSize, ULONG pageProtection, ULONG allocationAttributes, HANDLE fileHandle) { return 0; }
NTSTATUS NtOpenSection(PHANDLE section, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes) { return 0; }
NTSTATUS NtMapViewOfSection(HANDLE section, HANDLE process, PVOID* baseAddress, ULONG_PTR zeroBits, SIZE_T commitSize, PLARGE_INTEGER sectionOffset, PSIZE_T viewSize, SECTION_INHERIT inherit, ULONG allocationType, ULONG protect) { return 0; }
NTSTATUS NtUnmapViewOfSection(HANDLE process, PVOID baseAddress) { return 0; }
}
