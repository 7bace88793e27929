// The wire protocol's fields and whole-message I/O.
#include "host_protocol.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace hostproto {

Writer& Writer::U32(uint32_t v)
{
    for (int i = 0; i < 4; i++) body_.push_back(uint8_t(v >> (8 * i)));
    return *this;
}

Writer& Writer::I64(int64_t v)
{
    U32(uint32_t(uint64_t(v)));
    return U32(uint32_t(uint64_t(v) >> 32));
}

Writer& Writer::Bytes(const void* data, size_t n)
{
    U32(uint32_t(n));
    auto* p = static_cast<const uint8_t*>(data);
    if (n) body_.insert(body_.end(), p, p + n);
    return *this;
}

Writer& Writer::Text(const std::u16string& s)
{
    U32(uint32_t(s.size()));
    for (char16_t c : s) {
        body_.push_back(uint8_t(c));
        body_.push_back(uint8_t(c >> 8));
    }
    return *this;
}

uint32_t Reader::U32()
{
    if (!ok_ || end_ - p_ < 4) {
        ok_ = false;
        return 0;
    }
    uint32_t v = uint32_t(p_[0]) | uint32_t(p_[1]) << 8 | uint32_t(p_[2]) << 16 | uint32_t(p_[3]) << 24;
    p_ += 4;
    return v;
}

int64_t Reader::I64()
{
    uint64_t low = U32();
    uint64_t high = U32();
    return ok_ ? int64_t(low | high << 32) : 0;
}

const uint8_t* Reader::Bytes(uint32_t* n)
{
    uint32_t length = U32();
    if (!ok_ || size_t(end_ - p_) < length) {
        ok_ = false;
        *n = 0;
        return nullptr;
    }
    const uint8_t* start = p_;
    p_ += length;
    *n = length;
    return start;
}

std::u16string Reader::Text()
{
    uint32_t count = U32();
    if (!ok_ || size_t(end_ - p_) / 2 < count) {
        ok_ = false;
        return {};
    }
    std::u16string s(count, u'\0');
    for (uint32_t i = 0; i < count; i++) s[i] = char16_t(p_[2 * i] | p_[2 * i + 1] << 8);
    p_ += 2 * size_t(count);
    return s;
}

namespace {

bool WriteAll(int fd, const void* data, size_t n)
{
    auto* p = static_cast<const uint8_t*>(data);
    while (n) {
        ssize_t k = ::send(fd, p, n, MSG_NOSIGNAL);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return false;
        p += k;
        n -= size_t(k);
    }
    return true;
}

bool ReadAll(int fd, void* data, size_t n)
{
    auto* p = static_cast<uint8_t*>(data);
    while (n) {
        ssize_t k = ::recv(fd, p, n, 0);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return false;
        p += k;
        n -= size_t(k);
    }
    return true;
}


// Sends the header alone, with the descriptor attached to it.
bool SendHeaderWithFd(int fd, const Header& h, int passFd)
{
    iovec io{const_cast<Header*>(&h), sizeof h};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr m{};
    m.msg_iov = &io;
    m.msg_iovlen = 1;
    m.msg_control = control;
    m.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&m);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(c), &passFd, sizeof(int));
    ssize_t n;
    do n = ::sendmsg(fd, &m, MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    if (n <= 0) return false;
    return size_t(n) == sizeof h || WriteAll(fd, reinterpret_cast<const uint8_t*>(&h) + n, sizeof h - size_t(n));
}

// Reads the header and as much of the body as came with it (into 'early',
// *earlyLength bytes), picking up a descriptor that came with it. One call
// is one request at a time, so nothing of a next message can be there.
bool ReceiveHeader(int fd, Header* h, uint8_t* early, size_t earlySize, size_t* earlyLength, int* receivedFd)
{
    iovec io[2] = {{h, sizeof *h}, {early, earlySize}};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)] = {};
    msghdr m{};
    m.msg_iov = io;
    m.msg_iovlen = 2;
    m.msg_control = control;
    m.msg_controllen = sizeof control;
    ssize_t n;
    do n = ::recvmsg(fd, &m, MSG_CMSG_CLOEXEC);
    while (n < 0 && errno == EINTR);
    for (cmsghdr* c = CMSG_FIRSTHDR(&m); n > 0 && c; c = CMSG_NXTHDR(&m, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
        size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; i++) {
            int got;
            std::memcpy(&got, CMSG_DATA(c) + i * sizeof(int), sizeof got);
            // Only an asking receiver keeps one; anything else is closed.
            if (receivedFd && *receivedFd < 0) *receivedFd = got;
            else ::close(got);
        }
    }
    if (n <= 0) return false;
    *earlyLength = size_t(n) > sizeof *h ? size_t(n) - sizeof *h : 0;
    return size_t(n) >= sizeof *h || ReadAll(fd, reinterpret_cast<uint8_t*>(h) + n, sizeof *h - size_t(n));
}

}  // namespace

bool Send(int fd, uint16_t call, const std::vector<uint8_t>& body, int passFd)
{
    if (body.size() > kMaxBody) return false;
    Header h{uint32_t(body.size()), call, 0};
    if (passFd >= 0) return SendHeaderWithFd(fd, h, passFd) && WriteAll(fd, body.data(), body.size());
    // Header and body in one send, without a copy.
    iovec io[2] = {{&h, sizeof h}, {const_cast<uint8_t*>(body.data()), body.size()}};
    msghdr m{};
    m.msg_iov = io;
    m.msg_iovlen = body.empty() ? 1 : 2;
    ssize_t n;
    do n = ::sendmsg(fd, &m, MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    if (n <= 0) return false;
    size_t sent = size_t(n);
    if (sent < sizeof h)
        return WriteAll(fd, reinterpret_cast<const uint8_t*>(&h) + sent, sizeof h - sent) &&
               WriteAll(fd, body.data(), body.size());
    return WriteAll(fd, body.data() + (sent - sizeof h), body.size() - (sent - sizeof h));
}

bool Receive(int fd, uint16_t* call, std::vector<uint8_t>* body, int* receivedFd)
{
    if (receivedFd) *receivedFd = -1;
    Header h;
    uint8_t early[4096];  // the usual message whole, in the header's read
    size_t earlyLength = 0;
    if (!ReceiveHeader(fd, &h, early, sizeof early, &earlyLength, receivedFd) || h.length > kMaxBody ||
        earlyLength > h.length)  // more than one message: not this protocol
        return false;
    body->resize(h.length);
    if (earlyLength) std::memcpy(body->data(), early, earlyLength);
    if (h.length > earlyLength && !ReadAll(fd, body->data() + earlyLength, h.length - earlyLength)) return false;
    *call = h.call;
    return true;
}

// ---- The fields ----

void Put(Writer& w, U32 v) { w.U32(v); }
void Put(Writer& w, I64 v) { w.I64(v); }
void Put(Writer& w, const Text& v) { w.Text(v); }
void Put(Writer& w, const ByteSpan& v) { w.Bytes(v.data, v.size); }
void Put(Writer& w, const Attributes& v)
{
    w.U32(v.attributes).U32(v.root).U32(v.hasName).Text(v.name);
}
void Put(Writer& w, const StatusBlock& v) { w.U32(v.written).U32(v.status).U32(v.information); }
void Put(Writer& w, const Apc& v) { w.U32(v.routine).U32(v.context).U32(v.arg1).U32(v.arg2); }

void Get(Reader& r, U32& v) { v = r.U32(); }
void Get(Reader& r, I64& v) { v = r.I64(); }
void Get(Reader& r, Text& v) { v = r.Text(); }
void Get(Reader& r, ByteSpan& v)
{
    uint32_t n;
    const uint8_t* data = r.Bytes(&n);
    v.data = data;
    v.size = n;
}
void Get(Reader& r, Attributes& v)
{
    v.attributes = r.U32();
    v.root = r.U32();
    v.hasName = r.U32();
    v.name = r.Text();
}
void Get(Reader& r, StatusBlock& v)
{
    v.written = r.U32();
    v.status = r.U32();
    v.information = r.U32();
}
void Get(Reader& r, Apc& v)
{
    v.routine = r.U32();
    v.context = r.U32();
    v.arg1 = r.U32();
    v.arg2 = r.U32();
}

static void Hex(std::string& out, uint64_t v)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(v));
    out += text;
}

void Show(std::string& out, U32 v)
{
    if (v < 0x10000) {
        out += std::to_string(v);
    } else {
        Hex(out, v);
    }
}
void Show(std::string& out, I64 v) { out += std::to_string(v); }
void Show(std::string& out, const Text& v)
{
    out += '"';
    for (char16_t c : v) out += c >= 0x20 && c < 0x7F ? char(c) : '?';
    out += '"';
}
void Show(std::string& out, const ByteSpan& v) { out += "<" + std::to_string(v.size) + " bytes>"; }
void Show(std::string& out, const Attributes& v)
{
    out += '{';
    if (v.root) {
        out += "root ";
        Show(out, v.root);
        out += ' ';
    }
    if (v.hasName) Show(out, v.name);
    if (v.attributes) {
        out += " attributes ";
        Hex(out, v.attributes);
    }
    out += '}';
}
void Show(std::string& out, const StatusBlock& v)
{
    if (!v.written) {
        out += "{unwritten}";
        return;
    }
    out += '{';
    Hex(out, v.status);
    out += ' ' + std::to_string(v.information) + '}';
}
void Show(std::string& out, const Apc& v)
{
    Hex(out, v.routine);
    out += '(';
    Hex(out, v.context);
    out += ')';
}

}  // namespace hostproto
