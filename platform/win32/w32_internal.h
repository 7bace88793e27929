// What the Win32 layer's modules share: last error from NT statuses, names
// as counted strings with their object attributes, time-out conversion,
// trace lines and loud failure for what is not supported. User code never
// includes this file.
#pragma once

#include "win32.h"
#include "w32_seam.h"

#include <string>

namespace w32 {

// SetLastError(RtlNtStatusToDosError(status)).
void SetLastNtError(NTSTATUS status);

// Prints "win32: <what> is not supported" once per call site kind and sets
// ERROR_NOT_SUPPORTED (so the caller fails loudly, never silently).
void Unsupported(const char* what);

// Trace lines, on when ZAR_TRACE contains "win32".
bool TraceEnabled();
void TraceLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
#define W32_TRACE(...)                                       \
    do {                                                     \
        if (::w32::TraceEnabled()) ::w32::TraceLine(__VA_ARGS__); \
    } while (0)

// ANSI (Windows-1252) <-> UTF-16.
std::u16string AnsiToWide(const char* s);
std::u16string AnsiToWide(const char* s, size_t n);
std::string WideToAnsi(const char16_t* s, size_t n);
std::string WideToAnsi(const std::u16string& s);
size_t WideLength(const char16_t* s);

// An NT name with its UNICODE_STRING and OBJECT_ATTRIBUTES, kept together
// so the pointers stay valid for the call. Longer than a counted string
// can hold: ok() is false.
struct NtName {
    std::u16string text;
    UNICODE_STRING us{};
    OBJECT_ATTRIBUTES oa{};
    NtName() = default;
    NtName(std::u16string name, ULONG attributes, HANDLE root = nullptr) { Set(std::move(name), attributes, root); }
    NtName(const NtName&) = delete;
    NtName& operator=(const NtName&) = delete;
    void Set(std::u16string name, ULONG attributes, HANDLE root = nullptr);
    bool ok() const { return text.size() * 2 <= 0xFFFE; }
};

// Named kernel objects (events, mutexes, semaphores, sections): the name's
// place in \BaseNamedObjects ("Global\" and "Local\" prefixes name the same
// place, as there is one session). Null or empty: unnamed.
void NamedObjectAttributes(NtName& out, LPCWSTR name, const SECURITY_ATTRIBUTES* sa, ULONG extraAttributes);

// Time-out in milliseconds to an NT relative time-out; nullptr for INFINITE.
inline PLARGE_INTEGER MsToTimeout(DWORD ms, LARGE_INTEGER* storage)
{
    if (ms == INFINITE) return nullptr;
    storage->QuadPart = -static_cast<LONGLONG>(ms) * 10000;
    return storage;
}

// Waits for a request issued without an event on a handle that turned out
// to be asynchronous: on the file object, which the kernel signals when a
// request on it completes. Returns the final status.
NTSTATUS WaitForRequest(HANDLE file, PIO_STATUS_BLOCK iosb);

// The status the kernel writes when a request completes (read as another
// thread may be writing it).
inline NTSTATUS LoadStatus(const IO_STATUS_BLOCK* iosb) { return __atomic_load_n(&iosb->Status, __ATOMIC_ACQUIRE); }
inline NTSTATUS LoadStatus(const OVERLAPPED* ov)
{
    return static_cast<NTSTATUS>(__atomic_load_n(&ov->Internal, __ATOMIC_ACQUIRE));
}
// A request that failed at once leaves the status block as it was (NT's
// rule); the OVERLAPPED then gets the failure, so GetOverlappedResult
// reports it instead of waiting for a completion that never comes.
inline void SettleFailedOverlapped(OVERLAPPED* ov, NTSTATUS status)
{
    if (NT_ERROR(status) && LoadStatus(ov) == STATUS_PENDING) {
        ov->InternalHigh = 0;
        __atomic_store_n(&ov->Internal, static_cast<ULONG_PTR>(status), __ATOMIC_RELEASE);
    }
}
inline PIO_STATUS_BLOCK OverlappedIosb(LPOVERLAPPED ov) { return reinterpret_cast<PIO_STATUS_BLOCK>(ov); }
static_assert(offsetof(OVERLAPPED, Internal) == offsetof(IO_STATUS_BLOCK, Status));
static_assert(offsetof(OVERLAPPED, InternalHigh) == offsetof(IO_STATUS_BLOCK, Information));

// DOS path to NT path ("C:\x" -> "\??\C:\x", "\\.\DEV" -> "\??\DEV",
// relative against the current directory). False with the last error set.
bool DosPathToNtPath(const std::u16string& dos, std::u16string* nt);
// The full DOS form of a path (what DosPathToNtPath prefixes with "\??\").
bool FullDosPath(const std::u16string& dos, std::u16string* full);

// A closed handle's remembered thread priority goes with it.
void ForgetThreadHandle(HANDLE h);
// Libraries: process attach of those linked into the program (at the first
// system call), thread attach and detach around each CreateThread thread.
void AttachLinkedLibraries();
void ThreadAttach();
void ThreadDetach();

// The caller's process id in the kernel (the seam has no call for it yet).
DWORD CurrentProcessId();
DWORD CurrentThreadId();

}  // namespace w32
