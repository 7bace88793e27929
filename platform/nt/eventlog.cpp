// The machine's event log: <machine folder>/eventlog.txt, one block a
// record, appended with a single write each (so a crash of the process
// never leaves half a record; the host's page cache keeps what was
// written). Readable as it stands:
//
//   [event 3]
//   time = 0x01d2f4b3c1a2b000 (2017-07-01 12:00:00.0000000 UTC)
//   source = "ZARKD"
//   id = 0xc0070015
//   type = error                 (error, warning, information, or a number)
//   category = 0
//   status = 0xc0000001
//   unique = 0x00000000
//   string = "insertion string"  (one line each, in order)
//   data = 00 01 02 03           (dump data, when there is any)
//
// Strings use the registry file's quoting (cm_text.cpp). Sequence numbers
// continue across boots of the same folder; EventLogClear empties the file.
// Damage (a record torn by a crash or an editor, stray lines) costs only
// the damaged record: it is skipped on reading and reported at boot, and an
// append always starts on a line of its own.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

#include "cm_internal.h"
#include "machine.h"
#include "machine_internal.h"
#include "nt_mm.h"
#include "nt_syscall.h"
#include "nt_zw.h"

namespace nt {

namespace {

std::mutex logLock;
std::string logFolder;
uint64_t nextSequence = 1;

std::string LogPath() { return logFolder + "/eventlog.txt"; }

USHORT TypeFromSeverity(ULONG id)
{
    switch (id >> 30) {
    case 3: return 1;  // error
    case 2: return 2;  // warning
    default: return 4; // information, success
    }
}

std::string TypeName(USHORT type)
{
    switch (type) {
    case 1: return "error";
    case 2: return "warning";
    case 4: return "information";
    default: return std::to_string(type);
    }
}

std::string TimeText(LONGLONG t)
{
    // 100 ns units since 1601 to a calendar date.
    constexpr LONGLONG kEpochDelta = 116444736000000000LL;
    time_t seconds = static_cast<time_t>((t - kEpochDelta) / 10000000);
    LONGLONG fraction = (t - kEpochDelta) % 10000000;
    if (fraction < 0) {
        fraction += 10000000;
        seconds--;
    }
    struct tm tm;
    char buf[64];
    if (!gmtime_r(&seconds, &tm)) return "?";
    size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    std::snprintf(buf + n, sizeof buf - n, ".%07lld UTC", static_cast<long long>(fraction));
    return buf;
}

std::string Format(const EventLogRecord& r)
{
    char line[128];
    std::string out;
    std::snprintf(line, sizeof line, "[event %" PRIu64 "]\n", r.sequence);
    out += line;
    std::snprintf(line, sizeof line, "time = 0x%016" PRIx64 " (", static_cast<uint64_t>(r.systemTime));
    out += line + TimeText(r.systemTime) + ")\n";
    out += "source = " + cm::Quote(r.source) + "\n";
    std::snprintf(line, sizeof line, "id = 0x%08" PRIx32 "\n", r.eventId);
    out += line;
    out += "type = " + TypeName(r.type) + "\n";
    out += "category = " + std::to_string(r.category) + "\n";
    std::snprintf(line, sizeof line, "status = 0x%08" PRIx32 "\nunique = 0x%08" PRIx32 "\n",
                  static_cast<ULONG>(r.finalStatus), r.uniqueValue);
    out += line;
    for (const auto& s : r.strings) out += "string = " + cm::Quote(s) + "\n";
    if (!r.data.empty()) out += "data = " + cm::HexBytes(r.data.data(), r.data.size()) + "\n";
    return out + "\n";
}

bool ParseNumber(const std::string& text, uint64_t* out)
{
    char* end = nullptr;
    errno = 0;
    *out = std::strtoull(text.c_str(), &end, 0);
    return !text.empty() && errno == 0 && (*end == '\0' || *end == ' ');
}

// The keys every record carries; a block without one of them was torn.
constexpr const char* kRequiredKeys[] = {"time", "source", "id", "type", "category", "status", "unique"};
constexpr size_t kRequiredCount = sizeof kRequiredKeys / sizeof kRequiredKeys[0];

// Parses the file. A block that does not parse, or lacks a field, is
// skipped, and so is a numbered block that cannot be continued (0 or the
// largest number); each such block and each stray line is named in
// 'problems' ("line N: ..."). A record followed by a stray line keeps
// everything it had, as long as no field of it follows that line.
// 'highest' is the largest number a block header gave, damaged or not, so
// new records never take the number of one that was skipped.
std::vector<EventLogRecord> ParseLog(const std::string& text, std::vector<std::string>* problems = nullptr,
                                     uint64_t* highest = nullptr)
{
    std::vector<EventLogRecord> records;
    EventLogRecord current{};
    bool open = false, good = false, strayLine = false;
    size_t blockLine = 0, lineNo = 0;
    uint32_t seen = 0;  // bit i: kRequiredKeys[i] given
    auto report = [&](size_t line, const std::string& what) {
        if (problems) problems->push_back("line " + std::to_string(line) + ": " + what);
    };
    auto finish = [&] {
        if (open && good && seen == (1u << kRequiredCount) - 1) {
            records.push_back(current);
        } else if (open) {
            report(blockLine, "damaged record skipped");
        }
        open = good = strayLine = false;
        seen = 0;
    };
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        ++lineNo;
        if (line.empty() || line[0] == '#') continue;
        if (line.compare(0, 7, "[event ") == 0) {
            finish();
            current = EventLogRecord{};
            blockLine = lineNo;
            uint64_t n = 0;
            open = true;
            good = ParseNumber(line.substr(7, line.size() - 8), &n) && line.back() == ']' && n != 0 &&
                   n != UINT64_MAX;
            current.sequence = n;
            if (good && highest && n > *highest) *highest = n;
            continue;
        }
        size_t eq = line.find(" = ");
        std::string key = eq == std::string::npos ? std::string() : line.substr(0, eq);
        size_t required = 0;
        while (required < kRequiredCount && key != kRequiredKeys[required]) ++required;
        const bool known = required < kRequiredCount || key == "string" || key == "data";
        if (!open || !known) {
            report(lineNo, "stray line ignored");
            strayLine = open;
            continue;
        }
        // A field after a stray line: the block is not what was written.
        if (strayLine) good = false;
        if (required < kRequiredCount) seen |= 1u << required;
        std::string value = line.substr(eq + 3);
        uint64_t n = 0;
        size_t pos = 0;
        std::u16string s;
        if (key == "time") {
            good = good && ParseNumber(value, &n);
            current.systemTime = static_cast<LONGLONG>(n);
        } else if (key == "source") {
            good = good && cm::Unquote(value, &pos, &current.source);
        } else if (key == "id") {
            good = good && ParseNumber(value, &n);
            current.eventId = static_cast<ULONG>(n);
        } else if (key == "type") {
            if (value == "error") n = 1;
            else if (value == "warning") n = 2;
            else if (value == "information") n = 4;
            else good = good && ParseNumber(value, &n);
            current.type = static_cast<USHORT>(n);
        } else if (key == "category") {
            good = good && ParseNumber(value, &n);
            current.category = static_cast<USHORT>(n);
        } else if (key == "status") {
            good = good && ParseNumber(value, &n);
            current.finalStatus = static_cast<NTSTATUS>(n);
        } else if (key == "unique") {
            good = good && ParseNumber(value, &n);
            current.uniqueValue = static_cast<ULONG>(n);
        } else if (key == "string") {
            good = good && cm::Unquote(value, &pos, &s);
            current.strings.push_back(s);
        } else {
            good = good && cm::ParseHexBytes(value, &current.data);
        }
    }
    finish();
    return records;
}

// The whole file; false with errno set when it exists but cannot be read.
bool ReadFile(const std::string& path, std::string* text)
{
    text->clear();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int error = errno;
            ::close(fd);
            errno = error;
            return false;
        }
        if (n == 0) break;
        text->append(buf, size_t(n));
    }
    ::close(fd);
    return true;
}

}  // namespace

NTSTATUS EventLogOpen(const std::string& folder)
{
    std::lock_guard<std::mutex> lock(logLock);
    logFolder = folder;
    nextSequence = 1;
    std::string text;
    if (!ReadFile(LogPath(), &text)) {
        std::fprintf(stderr, "eventlog: %s: cannot read: %s\n", LogPath().c_str(), std::strerror(errno));
        logFolder.clear();
        return STATUS_UNSUCCESSFUL;
    }
    std::vector<std::string> problems;
    uint64_t highest = 0;
    ParseLog(text, &problems, &highest);
    nextSequence = highest + 1;
    for (const std::string& problem : problems)
        std::fprintf(stderr, "eventlog: %s: %s\n", LogPath().c_str(), problem.c_str());
    return STATUS_SUCCESS;
}

void EventLogCloseFile()
{
    std::lock_guard<std::mutex> lock(logLock);
    logFolder.clear();
    nextSequence = 1;
}

void EventLogAppend(EventLogRecord record)
{
    LARGE_INTEGER now{};
    if (ClockRunning()) KeQuerySystemTime(&now);
    std::lock_guard<std::mutex> lock(logLock);
    record.sequence = nextSequence++;
    record.systemTime = now.QuadPart;
    if (record.type == 0) record.type = TypeFromSeverity(record.eventId);
    std::string text = Format(record);
    if (logFolder.empty()) {
        std::fprintf(stderr, "eventlog (no machine): %s", text.c_str());
        return;
    }
    int fd = ::open(LogPath().c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    // A record torn in its last line must not swallow this one's header.
    char last = '\n';
    if (fd >= 0 && ::lseek(fd, -1, SEEK_END) >= 0 && ::read(fd, &last, 1) == 1 && last != '\n')
        text.insert(0, "\n");
    ssize_t written = fd < 0 ? -1 : ::write(fd, text.data(), text.size());
    if (fd >= 0) ::close(fd);
    if (written != static_cast<ssize_t>(text.size()))
        std::fprintf(stderr, "eventlog: %s: %s\n", LogPath().c_str(), std::strerror(errno));
}

std::vector<EventLogRecord> EventLogRead()
{
    std::lock_guard<std::mutex> lock(logLock);
    if (logFolder.empty()) return {};
    std::string text;
    ReadFile(LogPath(), &text);
    return ParseLog(text);
}

void EventLogClear()
{
    std::lock_guard<std::mutex> lock(logLock);
    if (logFolder.empty()) return;
    int fd = ::open(LogPath().c_str(), O_WRONLY | O_TRUNC | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) ::close(fd);
}

}  // namespace nt

// The service's ReportEvent. 'type' is the event type as given (0 success,
// 1 error, 2 warning, 4 information, 8 audit success, 16 audit failure);
// success takes its type from the id's severity, as the kernel's entries do.
NTSTATUS NtReportEvent(const std::u16string& source, USHORT type, USHORT category, ULONG eventId,
                       const std::vector<std::u16string>& strings, const void* data, ULONG dataSize)
{
    if (source.empty()) return STATUS_INVALID_PARAMETER;
    if (type != 0 && type != 1 && type != 2 && type != 4 && type != 8 && type != 16) return STATUS_INVALID_PARAMETER;
    nt::EventLogRecord record{};
    record.source = source;
    record.type = type;
    record.category = category;
    record.eventId = eventId;
    record.strings = strings;
    record.data.resize(dataSize);
    NTSTATUS status = SehTry([&] {
        ProbeForRead(data, dataSize, 1);
        if (dataSize) std::memcpy(record.data.data(), data, dataSize);
    });
    if (!NT_SUCCESS(status)) return status;
    nt::EventLogAppend(std::move(record));
    return STATUS_SUCCESS;
}
