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

#include "../nt/nt_each.h"

namespace hostproto {

constexpr uint32_t kVersion = 6;
// The largest body either side accepts; a longer header is a broken stream.
constexpr uint32_t kMaxBody = 16u << 20;
constexpr char kSocketName[] = "host.sock";

// The 'asynchronous' word of a device control, read, write or directory
// request: how its caller learns of its end. A caller with neither an event
// nor a completion routine waits on the file itself, which the request's
// end must then signal.
enum AsyncKind : uint32_t { kSynchronous = 0, kAsyncNotified = 1, kAsyncOnFile = 2 };

// The call numbers, in the order of the table (platform/nt/nt_syscall.inc).
enum Call : uint16_t {
    kCallNone = 0,
#define HOST_CALL(name, request, reply) k##name,
#include "../nt/nt_syscall.inc"
#undef HOST_CALL
    kCallLimit,
};
static_assert(kHello == 1);

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
    size_t Left() const { return size_t(end_ - p_); }
    void Fail() { ok_ = false; }
    bool Finished() const { return ok_ && p_ == end_; }

private:
    const uint8_t* p_;
    const uint8_t* end_;
    bool ok_ = true;
};

// ---- The fields' wire types ----

using U32 = uint32_t;
using I64 = int64_t;
using Text = std::u16string;
// A byte string: in a record read off a body it points into that body; in
// one to be written, at the sender's bytes (which must outlive the write).
struct ByteSpan {
    const uint8_t* data = nullptr;
    uint32_t size = 0;
    ByteSpan() = default;
    ByteSpan(const void* d, size_t n) : data(static_cast<const uint8_t*>(d)), size(uint32_t(d ? n : 0)) {}
};
// An OBJECT_ATTRIBUTES: its flags, root directory handle and name.
struct Attributes {
    U32 attributes = 0;
    U32 root = 0;
    U32 hasName = 0;
    Text name;
};
// The same on the wire, for a call that takes none as well (an unnamed
// object): a separate type so that the client's side knows it may be null.
struct OptionalAttributes : Attributes {};
// An IO_STATUS_BLOCK, and whether the kernel wrote it.
struct StatusBlock {
    U32 written = 0;
    U32 status = 0;
    U32 information = 0;
};
// A user APC the kernel delivered to the serving thread: the client's addresses.
struct Apc {
    U32 routine = 0, context = 0, arg1 = 0, arg2 = 0;
};
using Handles = std::vector<U32>;
using Texts = std::vector<Text>;
using Apcs = std::vector<Apc>;

void Put(Writer& w, U32 v);
void Put(Writer& w, I64 v);
void Put(Writer& w, const Text& v);
void Put(Writer& w, const ByteSpan& v);
void Put(Writer& w, const Attributes& v);
void Put(Writer& w, const StatusBlock& v);
void Put(Writer& w, const Apc& v);
void Get(Reader& r, U32& v);
void Get(Reader& r, I64& v);
void Get(Reader& r, Text& v);
void Get(Reader& r, ByteSpan& v);
void Get(Reader& r, Attributes& v);
void Get(Reader& r, StatusBlock& v);
void Get(Reader& r, Apc& v);
void Show(std::string& out, U32 v);
void Show(std::string& out, I64 v);
void Show(std::string& out, const Text& v);
void Show(std::string& out, const ByteSpan& v);
void Show(std::string& out, const Attributes& v);
void Show(std::string& out, const StatusBlock& v);
void Show(std::string& out, const Apc& v);

// A counted list: its length, then each element. A count the rest of the
// body cannot hold fails the reader before anything is allocated.
template <typename T>
void Put(Writer& w, const std::vector<T>& list)
{
    w.U32(uint32_t(list.size()));
    for (const auto& e : list) Put(w, e);
}
template <typename T>
void Get(Reader& r, std::vector<T>& list)
{
    uint32_t count = r.U32();
    if (count > r.Left() / 4) {  // every element takes 4 bytes at least
        r.Fail();
        return;
    }
    list.resize(count);
    for (auto& e : list) Get(r, e);
}
template <typename T>
void Show(std::string& out, const std::vector<T>& list)
{
    out += '[';
    for (size_t i = 0; i < list.size(); i++) {
        if (i) out += ' ';
        Show(out, list[i]);
    }
    out += ']';
}

// ---- The calls' records ----
//
// For each call of the table (nt_syscall.inc), NameCall with its number, its name and
// its Request and Reply records (a reply's first field is always the
// call's status). Walk(visitor) hands each field with its name, in wire
// order, to the visitor: Encode, Decode and Describe below are the three
// walkers.

#define HOST_FIELD(type, name) type name{};
#define HOST_VISIT(type, name) visit(#name, name);
#define HOST_RECORD(leading, fields)                                          \
    NT_EACH(HOST_FIELD, NT_LIST fields)                                       \
    template <typename Visitor>                                               \
    void Walk([[maybe_unused]] Visitor&& visit)                               \
    {                                                                         \
        leading NT_EACH(HOST_VISIT, NT_LIST fields)                           \
    }                                                                         \
    template <typename Visitor>                                               \
    void Walk([[maybe_unused]] Visitor&& visit) const                         \
    {                                                                         \
        leading NT_EACH(HOST_VISIT, NT_LIST fields)                           \
    }
#define HOST_CALL(callName, request, reply)                                 \
    struct callName##Call {                                                 \
        static constexpr Call kId = k##callName;                            \
        static constexpr const char* kName = #callName;                     \
        struct Request {                                                    \
            HOST_RECORD(, request)                                          \
        };                                                                  \
        struct Reply {                                                      \
            U32 status = 0;                                                 \
            HOST_RECORD(HOST_VISIT(U32, status), reply)                     \
        };                                                                  \
    };
#include "../nt/nt_syscall.inc"
#undef HOST_CALL
#undef HOST_RECORD
#undef HOST_VISIT
#undef HOST_FIELD

template <typename Record>
void Encode(Writer& w, const Record& record)
{
    record.Walk([&](const char*, const auto& field) { Put(w, field); });
}

// Reads a whole record: false when the body is short, holds more than the
// record, or a string or list is longer than the rest of it.
template <typename Record>
bool Decode(Reader& r, Record& record)
{
    record.Walk([&](const char*, auto& field) { Get(r, field); });
    return r.Finished();
}
template <typename Record>
bool Decode(const std::vector<uint8_t>& body, Record& record)
{
    Reader r(body.data(), body.size());
    return Decode(r, record);
}

// "name=value name=value" for the trace.
template <typename Record>
std::string Describe(const Record& record)
{
    std::string out;
    record.Walk([&](const char* name, const auto& field) {
        if (!out.empty()) out += ' ';
        out += name;
        out += '=';
        Show(out, field);
    });
    return out;
}

// Whole-message I/O on a stream socket; false on a closed or broken stream
// (a header longer than kMaxBody included). Sending never raises SIGPIPE.
// A message may carry one file descriptor ('passFd' >= 0); a receiver that
// asks gets it in *receivedFd (-1 when none came), else it is closed.
bool Send(int fd, uint16_t call, const std::vector<uint8_t>& body, int passFd = -1);
bool Receive(int fd, uint16_t* call, std::vector<uint8_t>* body, int* receivedFd = nullptr);

}  // namespace hostproto
