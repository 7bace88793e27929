// The seam's dispatch: each system call of the Win32 layer goes to the
// kernel linked into this process, or to the machine host this process is
// a client of (w32_client.cpp). A call the host protocol does not carry yet
// fails loudly in a client. Generated from nt_syscall.inc's list by hand
// edits kept in step with it.
#include "../nt/nt_syscall.h"
#include "w32_client.h"

namespace w32::seam {

NTSTATUS NtCreateFile(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, PIO_STATUS_BLOCK iosb, PLARGE_INTEGER allocationSize, ULONG fileAttributes, ULONG shareAccess, ULONG createDisposition, ULONG createOptions, PVOID eaBuffer, ULONG eaLength)
{
    if (w32::ClientActive()) return w32::client::NtCreateFile(handle, access, attributes, iosb, allocationSize, fileAttributes, shareAccess, createDisposition, createOptions, eaBuffer, eaLength);
    return ::NtCreateFile(handle, access, attributes, iosb, allocationSize, fileAttributes, shareAccess, createDisposition, createOptions, eaBuffer, eaLength);
}

NTSTATUS NtDeviceIoControlFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext, PIO_STATUS_BLOCK iosb, ULONG ioControlCode, PVOID inputBuffer, ULONG inputLength, PVOID outputBuffer, ULONG outputLength)
{
    if (w32::ClientActive()) return w32::client::NtDeviceIoControlFile(file, event, apcRoutine, apcContext, iosb, ioControlCode, inputBuffer, inputLength, outputBuffer, outputLength);
    return ::NtDeviceIoControlFile(file, event, apcRoutine, apcContext, iosb, ioControlCode, inputBuffer, inputLength, outputBuffer, outputLength);
}

NTSTATUS NtFsControlFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext, PIO_STATUS_BLOCK iosb, ULONG fsControlCode, PVOID inputBuffer, ULONG inputLength, PVOID outputBuffer, ULONG outputLength)
{
    if (w32::ClientActive()) return w32::client::NtFsControlFile(file, event, apcRoutine, apcContext, iosb, fsControlCode, inputBuffer, inputLength, outputBuffer, outputLength);
    return ::NtFsControlFile(file, event, apcRoutine, apcContext, iosb, fsControlCode, inputBuffer, inputLength, outputBuffer, outputLength);
}

NTSTATUS NtReadFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext, PIO_STATUS_BLOCK iosb, PVOID buffer, ULONG length, PLARGE_INTEGER byteOffset, PULONG key)
{
    if (w32::ClientActive()) return w32::client::NtReadFile(file, event, apcRoutine, apcContext, iosb, buffer, length, byteOffset, key);
    return ::NtReadFile(file, event, apcRoutine, apcContext, iosb, buffer, length, byteOffset, key);
}

NTSTATUS NtWriteFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext, PIO_STATUS_BLOCK iosb, PVOID buffer, ULONG length, PLARGE_INTEGER byteOffset, PULONG key)
{
    if (w32::ClientActive()) return w32::client::NtWriteFile(file, event, apcRoutine, apcContext, iosb, buffer, length, byteOffset, key);
    return ::NtWriteFile(file, event, apcRoutine, apcContext, iosb, buffer, length, byteOffset, key);
}

NTSTATUS NtQueryInformationFile(HANDLE file, PIO_STATUS_BLOCK iosb, PVOID info, ULONG length, FILE_INFORMATION_CLASS infoClass)
{
    if (w32::ClientActive()) return w32::client::NtQueryInformationFile(file, iosb, info, length, infoClass);
    return ::NtQueryInformationFile(file, iosb, info, length, infoClass);
}

NTSTATUS NtSetInformationFile(HANDLE file, PIO_STATUS_BLOCK iosb, PVOID info, ULONG length, FILE_INFORMATION_CLASS infoClass)
{
    if (w32::ClientActive()) return w32::client::NtSetInformationFile(file, iosb, info, length, infoClass);
    return ::NtSetInformationFile(file, iosb, info, length, infoClass);
}

NTSTATUS NtQueryDirectoryFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext, PIO_STATUS_BLOCK iosb, PVOID info, ULONG length, FILE_INFORMATION_CLASS infoClass, BOOLEAN returnSingleEntry, PUNICODE_STRING fileName, BOOLEAN restartScan)
{
    if (w32::ClientActive()) return w32::client::NtQueryDirectoryFile(file, event, apcRoutine, apcContext, iosb, info, length, infoClass, returnSingleEntry, fileName, restartScan);
    return ::NtQueryDirectoryFile(file, event, apcRoutine, apcContext, iosb, info, length, infoClass, returnSingleEntry, fileName, restartScan);
}

NTSTATUS NtQueryVolumeInformationFile(HANDLE file, PIO_STATUS_BLOCK iosb, PVOID info, ULONG length, FS_INFORMATION_CLASS infoClass)
{
    if (w32::ClientActive()) return w32::client::NtQueryVolumeInformationFile(file, iosb, info, length, infoClass);
    return ::NtQueryVolumeInformationFile(file, iosb, info, length, infoClass);
}

NTSTATUS NtFlushBuffersFile(HANDLE file, PIO_STATUS_BLOCK iosb)
{
    if (w32::ClientActive()) return w32::client::NtFlushBuffersFile(file, iosb);
    return ::NtFlushBuffersFile(file, iosb);
}

NTSTATUS NtNotifyChangeDirectoryFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext, PIO_STATUS_BLOCK iosb, PVOID buffer, ULONG length, ULONG completionFilter, BOOLEAN watchTree)
{
    if (w32::ClientActive()) return w32::client::NtNotifyChangeDirectoryFile(file, event, apcRoutine, apcContext, iosb, buffer, length, completionFilter, watchTree);
    return ::NtNotifyChangeDirectoryFile(file, event, apcRoutine, apcContext, iosb, buffer, length, completionFilter, watchTree);
}

NTSTATUS NtCancelIoFile(HANDLE file, PIO_STATUS_BLOCK iosb)
{
    if (w32::ClientActive()) return w32::client::NtCancelIoFile(file, iosb);
    return ::NtCancelIoFile(file, iosb);
}

NTSTATUS NtDeleteFile(POBJECT_ATTRIBUTES attributes)
{
    if (w32::ClientActive()) return w32::client::NtDeleteFile(attributes);
    return ::NtDeleteFile(attributes);
}

NTSTATUS NtClose(HANDLE handle)
{
    if (w32::ClientActive()) return w32::client::NtClose(handle);
    return ::NtClose(handle);
}

NTSTATUS NtDuplicateObject(HANDLE sourceProcess, HANDLE sourceHandle, HANDLE targetProcess, PHANDLE targetHandle, ACCESS_MASK access, ULONG attributes, ULONG options)
{
    if (w32::ClientActive()) return w32::client::NtDuplicateObject(sourceProcess, sourceHandle, targetProcess, targetHandle, access, attributes, options);
    return ::NtDuplicateObject(sourceProcess, sourceHandle, targetProcess, targetHandle, access, attributes, options);
}

NTSTATUS NtCreateEvent(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, EVENT_TYPE type, BOOLEAN initialState)
{
    if (w32::ClientActive()) return w32::client::NtCreateEvent(handle, access, attributes, type, initialState);
    return ::NtCreateEvent(handle, access, attributes, type, initialState);
}

NTSTATUS NtOpenEvent(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes)
{
    if (w32::ClientActive()) return w32::client::NtOpenEvent(handle, access, attributes);
    return ::NtOpenEvent(handle, access, attributes);
}

NTSTATUS NtSetEvent(HANDLE handle, PLONG previousState)
{
    if (w32::ClientActive()) return w32::client::NtSetEvent(handle, previousState);
    return ::NtSetEvent(handle, previousState);
}

NTSTATUS NtResetEvent(HANDLE handle, PLONG previousState)
{
    if (w32::ClientActive()) return w32::client::NtResetEvent(handle, previousState);
    return ::NtResetEvent(handle, previousState);
}

NTSTATUS NtPulseEvent(HANDLE handle, PLONG previousState)
{
    if (w32::ClientActive()) return w32::client::NtPulseEvent(handle, previousState);
    return ::NtPulseEvent(handle, previousState);
}

NTSTATUS NtCreateSemaphore(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, LONG initialCount, LONG maximumCount)
{
    if (w32::ClientActive()) return w32::client::NtCreateSemaphore(handle, access, attributes, initialCount, maximumCount);
    return ::NtCreateSemaphore(handle, access, attributes, initialCount, maximumCount);
}

NTSTATUS NtOpenSemaphore(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes)
{
    if (w32::ClientActive()) return w32::client::NtOpenSemaphore(handle, access, attributes);
    return ::NtOpenSemaphore(handle, access, attributes);
}

NTSTATUS NtReleaseSemaphore(HANDLE handle, LONG releaseCount, PLONG previousCount)
{
    if (w32::ClientActive()) return w32::client::NtReleaseSemaphore(handle, releaseCount, previousCount);
    return ::NtReleaseSemaphore(handle, releaseCount, previousCount);
}

NTSTATUS NtCreateMutant(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, BOOLEAN initialOwner)
{
    if (w32::ClientActive()) return w32::client::NtCreateMutant(handle, access, attributes, initialOwner);
    return ::NtCreateMutant(handle, access, attributes, initialOwner);
}

NTSTATUS NtOpenMutant(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes)
{
    if (w32::ClientActive()) return w32::client::NtOpenMutant(handle, access, attributes);
    return ::NtOpenMutant(handle, access, attributes);
}

NTSTATUS NtReleaseMutant(HANDLE handle, PLONG previousCount)
{
    if (w32::ClientActive()) return w32::client::NtReleaseMutant(handle, previousCount);
    return ::NtReleaseMutant(handle, previousCount);
}

NTSTATUS NtWaitForSingleObject(HANDLE handle, BOOLEAN alertable, PLARGE_INTEGER timeout)
{
    if (w32::ClientActive()) return w32::client::NtWaitForSingleObject(handle, alertable, timeout);
    return ::NtWaitForSingleObject(handle, alertable, timeout);
}

NTSTATUS NtWaitForMultipleObjects(ULONG count, const HANDLE* handles, WAIT_TYPE waitType, BOOLEAN alertable, PLARGE_INTEGER timeout)
{
    if (w32::ClientActive()) return w32::client::NtWaitForMultipleObjects(count, handles, waitType, alertable, timeout);
    return ::NtWaitForMultipleObjects(count, handles, waitType, alertable, timeout);
}

NTSTATUS NtDelayExecution(BOOLEAN alertable, PLARGE_INTEGER interval)
{
    if (w32::ClientActive()) return w32::client::NtDelayExecution(alertable, interval);
    return ::NtDelayExecution(alertable, interval);
}

NTSTATUS NtQuerySystemTime(PLARGE_INTEGER systemTime)
{
    if (w32::ClientActive()) return w32::client::NtQuerySystemTime(systemTime);
    return ::NtQuerySystemTime(systemTime);
}

ULONG NtGetTickCount()
{
    if (w32::ClientActive()) return w32::client::NtGetTickCount();
    return ::NtGetTickCount();
}

NTSTATUS NtQueryPerformanceCounter(PLARGE_INTEGER counter, PLARGE_INTEGER frequency)
{
    if (w32::ClientActive()) return w32::client::NtQueryPerformanceCounter(counter, frequency);
    return ::NtQueryPerformanceCounter(counter, frequency);
}

NTSTATUS NtQuerySystemInformation(SYSTEM_INFORMATION_CLASS infoClass, PVOID info, ULONG length, PULONG returnLength)
{
    if (w32::ClientActive()) return w32::client::NtQuerySystemInformation(infoClass, info, length, returnLength);
    return ::NtQuerySystemInformation(infoClass, info, length, returnLength);
}

NTSTATUS NtCreateUserThread(PHANDLE handle, ULONG (*routine)(PVOID), PVOID context, BOOLEAN suspended, PCLIENT_ID clientId)
{
    if (w32::ClientActive()) return w32::client::NtCreateUserThread(handle, routine, context, suspended, clientId);
    return ::NtCreateUserThread(handle, routine, context, suspended, clientId);
}

NTSTATUS NtResumeThread(HANDLE thread, PULONG suspendCount)
{
    if (w32::ClientActive()) return w32::client::NtResumeThread(thread, suspendCount);
    return ::NtResumeThread(thread, suspendCount);
}

NTSTATUS NtSetThreadPriority(HANDLE thread, LONG priority)
{
    if (w32::ClientActive()) return w32::client::NtSetThreadPriority(thread, priority);
    return ::NtSetThreadPriority(thread, priority);
}

NTSTATUS NtGetExitCodeThread(HANDLE thread, PULONG exitCode)
{
    if (w32::ClientActive()) return w32::client::NtGetExitCodeThread(thread, exitCode);
    return ::NtGetExitCodeThread(thread, exitCode);
}

NTSTATUS NtQueueApcThread(HANDLE thread, PKUSER_APC_ROUTINE routine, PVOID context, PVOID arg1, PVOID arg2)
{
    if (w32::ClientActive()) return w32::client::NtQueueApcThread(thread, routine, context, arg1, arg2);
    return ::NtQueueApcThread(thread, routine, context, arg1, arg2);
}

NTSTATUS NtTestAlert()
{
    if (w32::ClientActive()) return w32::client::NtTestAlert();
    return ::NtTestAlert();
}

ULONG NtGetCurrentProcessId()
{
    if (w32::ClientActive()) return w32::client::NtGetCurrentProcessId();
    return ::NtGetCurrentProcessId();
}

ULONG NtGetCurrentThreadId()
{
    if (w32::ClientActive()) return w32::client::NtGetCurrentThreadId();
    return ::NtGetCurrentThreadId();
}

NTSTATUS NtCreateSection(PHANDLE section, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, PLARGE_INTEGER maximumSize, ULONG pageProtection, ULONG allocationAttributes, HANDLE fileHandle)
{
    if (w32::ClientActive()) return w32::client::NtCreateSection(section, access, attributes, maximumSize, pageProtection, allocationAttributes, fileHandle);
    return ::NtCreateSection(section, access, attributes, maximumSize, pageProtection, allocationAttributes, fileHandle);
}

NTSTATUS NtOpenSection(PHANDLE section, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes)
{
    if (w32::ClientActive()) return w32::client::NtOpenSection(section, access, attributes);
    return ::NtOpenSection(section, access, attributes);
}

NTSTATUS NtMapViewOfSection(HANDLE section, HANDLE process, PVOID* baseAddress, ULONG_PTR zeroBits, SIZE_T commitSize, PLARGE_INTEGER sectionOffset, PSIZE_T viewSize, SECTION_INHERIT inherit, ULONG allocationType, ULONG protect)
{
    if (w32::ClientActive()) return w32::client::NtMapViewOfSection(section, process, baseAddress, zeroBits, commitSize, sectionOffset, viewSize, inherit, allocationType, protect);
    return ::NtMapViewOfSection(section, process, baseAddress, zeroBits, commitSize, sectionOffset, viewSize, inherit, allocationType, protect);
}

NTSTATUS NtUnmapViewOfSection(HANDLE process, PVOID baseAddress)
{
    if (w32::ClientActive()) return w32::client::NtUnmapViewOfSection(process, baseAddress);
    return ::NtUnmapViewOfSection(process, baseAddress);
}

NTSTATUS NtCreateKey(PHANDLE key, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, ULONG titleIndex, PUNICODE_STRING className, ULONG createOptions, PULONG disposition)
{
    if (w32::ClientActive()) return w32::client::NtCreateKey(key, access, attributes, titleIndex, className, createOptions, disposition);
    return ::NtCreateKey(key, access, attributes, titleIndex, className, createOptions, disposition);
}

NTSTATUS NtOpenKey(PHANDLE key, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes)
{
    if (w32::ClientActive()) return w32::client::NtOpenKey(key, access, attributes);
    return ::NtOpenKey(key, access, attributes);
}

NTSTATUS NtDeleteKey(HANDLE key)
{
    if (w32::ClientActive()) return w32::client::NtDeleteKey(key);
    return ::NtDeleteKey(key);
}

NTSTATUS NtQueryValueKey(HANDLE key, PUNICODE_STRING valueName, KEY_VALUE_INFORMATION_CLASS infoClass, PVOID info, ULONG length, PULONG resultLength)
{
    if (w32::ClientActive()) return w32::client::NtQueryValueKey(key, valueName, infoClass, info, length, resultLength);
    return ::NtQueryValueKey(key, valueName, infoClass, info, length, resultLength);
}

NTSTATUS NtSetValueKey(HANDLE key, PUNICODE_STRING valueName, ULONG titleIndex, ULONG type, PVOID data, ULONG dataSize)
{
    if (w32::ClientActive()) return w32::client::NtSetValueKey(key, valueName, titleIndex, type, data, dataSize);
    return ::NtSetValueKey(key, valueName, titleIndex, type, data, dataSize);
}

NTSTATUS NtDeleteValueKey(HANDLE key, PUNICODE_STRING valueName)
{
    if (w32::ClientActive()) return w32::client::NtDeleteValueKey(key, valueName);
    return ::NtDeleteValueKey(key, valueName);
}

NTSTATUS NtEnumerateKey(HANDLE key, ULONG index, KEY_INFORMATION_CLASS infoClass, PVOID info, ULONG length, PULONG resultLength)
{
    if (w32::ClientActive()) return w32::client::NtEnumerateKey(key, index, infoClass, info, length, resultLength);
    return ::NtEnumerateKey(key, index, infoClass, info, length, resultLength);
}

NTSTATUS NtEnumerateValueKey(HANDLE key, ULONG index, KEY_VALUE_INFORMATION_CLASS infoClass, PVOID info, ULONG length, PULONG resultLength)
{
    if (w32::ClientActive()) return w32::client::NtEnumerateValueKey(key, index, infoClass, info, length, resultLength);
    return ::NtEnumerateValueKey(key, index, infoClass, info, length, resultLength);
}

NTSTATUS NtFlushKey(HANDLE key)
{
    if (w32::ClientActive()) return w32::client::NtFlushKey(key);
    return ::NtFlushKey(key);
}

NTSTATUS NtQueryKey(HANDLE key, KEY_INFORMATION_CLASS infoClass, PVOID info, ULONG length, PULONG resultLength)
{
    if (w32::ClientActive()) return w32::client::NtQueryKey(key, infoClass, info, length, resultLength);
    return ::NtQueryKey(key, infoClass, info, length, resultLength);
}

NTSTATUS NtReportEvent(const std::u16string& source, USHORT type, USHORT category, ULONG eventId, const std::vector<std::u16string>& strings, const void* data, ULONG dataSize)
{
    if (w32::ClientActive()) return w32::client::NtReportEvent(source, type, category, eventId, strings, data, dataSize);
    return ::NtReportEvent(source, type, category, eventId, strings, data, dataSize);
}

}  // namespace w32::seam
