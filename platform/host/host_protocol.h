// The machine host's wire protocol, shared by the host (host_server.cpp) and
// the Win32 layer's client side (platform/win32/w32_client.cpp). Plain
// integers and bytes only: neither side's types cross the socket.
//
// A message is a header (body length, call number) and a body of
// little-endian fields: u32, i64, byte strings and UTF-16 strings, each
// string preceded by its length. A client sends one request at a time on a
// connection and reads its reply, whose body begins with the NTSTATUS of the
// call. See platform/HOSTMODE.txt.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace hostproto {

constexpr uint32_t kVersion = 4;
// The largest body either side accepts; a longer header is a broken stream.
constexpr uint32_t kMaxBody = 16u << 20;
constexpr char kSocketName[] = "host.sock";

// The 'asynchronous' word of a device control, read, write or directory
// request: how its caller learns of its end. A caller with neither an event
// nor a completion routine waits on the file itself, which the request's
// end must then signal.
enum AsyncKind : uint32_t { kSynchronous = 0, kAsyncNotified = 1, kAsyncOnFile = 2 };

enum Call : uint16_t {
    // {version, pid, token (0: a new process), thread token (0, or a kCreateThread's), image} -> {process
    // token, process id, thread id, arena address, arena size}; a new process's reply carries its arena's
    // first memory file, to be mapped at that address (0: no arena). A hello past the host's limits is
    // answered with the refusal's status and zeros.
    kHello = 1,
    kClose,
    kCreateEvent,
    kOpenEvent,
    kSetEvent,
    kResetEvent,
    kPulseEvent,
    kCreateSemaphore,
    kOpenSemaphore,
    kReleaseSemaphore,
    kCreateMutant,
    kOpenMutant,
    kReleaseMutant,
    kWait,  // -> {status, user APCs delivered: count, then routine, context, arg1, arg2 each} (as kDelay, kTestAlert)
    kDelay,
    kSystemTime,
    kTickCount,
    kPerformanceCounter,
    kCreateFile,
    // {file, code, has input, input bytes, input arena address, its length, has output, output length,
    // output bytes, output arena address, asynchronous}: a buffer with an arena address crosses by
    // reference. -> {status, token, status block, output bytes}; an asynchronous request the kernel
    // left pending answers STATUS_PENDING and a token, for kAwaitRequest.
    kDeviceIoControl,
    // {file, length, bytes (a write's), has offset, offset, has key, key, arena address, asynchronous}
    // -> as kDeviceIoControl
    kReadFile,
    kWriteFile,
    kTestAlert,
    kCreateSection,
    kOpenSection,
    kMapSection,  // {section, protect, offset, size} -> {size} and the section's memory file
    kDuplicateObject,
    kCreateKey,
    kOpenKey,
    kDeleteKey,
    kQueryValueKey,
    kSetValueKey,
    kDeleteValueKey,
    kEnumerateKey,
    kEnumerateValueKey,
    kFlushKey,
    kQueryKey,
    kQueryInformationFile,
    kSetInformationFile,
    kQueryVolumeInformationFile,
    kFlushBuffersFile,
    kDeleteFile,
    // {file, length, class, single entry, has name, name, restart scan, arena address, asynchronous}
    // -> as kDeviceIoControl, the records in its output bytes
    kQueryDirectoryFile,
    kCancelIoFile,
    kFsControlFile,  // as kDeviceIoControl
    kReportEvent,
    kCreateThread,       // {suspended} -> {handle, thread id, thread token}: the new thread says hello with the token
    kResumeThread,       // {thread} -> {previous suspend count}
    kSetThreadPriority,  // {thread, priority}
    kGetExitCodeThread,  // {thread} -> {exit code}
    kQueueApc,           // {thread, routine, context, arg1, arg2}: the client's addresses, run by the client
    kExitThread,         // {exit code}: a kCreateThread thread's routine returned
    kAwaitRequest,       // {token} -> as kDeviceIoControl, once the pending request ended
    kQuerySystemInformation,  // {class, length} -> {length needed, bytes written}
    // {file, length, completion filter, watch tree, arena address, asynchronous} -> as kDeviceIoControl,
    // the change records in its output bytes
    kNotifyChangeDirectory,
    // {bytes wanted} -> {address, size} and the new piece's memory file, to be mapped at that address:
    // one more piece of the process's arena (STATUS_NO_MEMORY past its budget)
    kGrowArena,
    // {} -> as kDeviceIoControl, with the token of the process's first held request to end (its one
    // waiter for them all)
    kAwaitAny,
    kCallLimit,
};

struct Header {
    uint32_t length;  // body bytes
    uint16_t call;
    uint16_t reserved;
};
static_assert(sizeof(Header) == 8);

class Writer {
public:
    Writer() { body_.reserve(128); }  // the usual message without a reallocation
    Writer& U32(uint32_t v);
    Writer& I64(int64_t v);
    Writer& Bytes(const void* data, size_t n);
    Writer& Text(const std::u16string& s);
    const std::vector<uint8_t>& Body() const { return body_; }

private:
    std::vector<uint8_t> body_;
};

// Reads fields off a body. A read past the end, or a string longer than the
// rest, marks the reader failed and yields zeros; Finished() asks that
// everything was read and nothing failed.
class Reader {
public:
    Reader(const uint8_t* data, size_t n) : p_(data), end_(data + n) {}
    uint32_t U32();
    int64_t I64();
    // A byte string: its start in the body and its length (nullptr/0 when failed).
    const uint8_t* Bytes(uint32_t* n);
    std::u16string Text();
    bool Ok() const { return ok_; }
    bool Finished() const { return ok_ && p_ == end_; }

private:
    const uint8_t* p_;
    const uint8_t* end_;
    bool ok_ = true;
};

// Whole-message I/O on a stream socket; false on a closed or broken stream
// (a header longer than kMaxBody included). Sending never raises SIGPIPE.
// A message may carry one file descriptor ('passFd' >= 0); a receiver that
// asks gets it in *receivedFd (-1 when none came), else it is closed.
bool Send(int fd, uint16_t call, const std::vector<uint8_t>& body, int passFd = -1);
bool Receive(int fd, uint16_t* call, std::vector<uint8_t>* body, int* receivedFd = nullptr);

}  // namespace hostproto
