// The registry file: <machine folder>/registry.txt, the whole non-volatile
// tree as text, rewritten after every committed change.
//
// Format (UTF-8, one item a line; '#' lines and blank lines are comments):
//
//   [\Registry\Machine\System\CurrentControlSet\Services\ZARKD]
//   class "..."                          (only when the key has a class name)
//   "Start" = dword:0x00000001
//   "ImagePath" = expand_sz:"System32\\drivers\\ZARKD.sys"
//   "Boards" = multi_sz:"first", "second"
//   "Blob" = binary:00 01 fe
//   "Big" = qword:0x0000000100000000
//   "Flag" = none:
//   "Odd" = hex(1):41 00 42              (any type and bytes, see below)
//   "" = sz:"the key's default value"
//
// A "[path]" line starts a key; the value and class lines after it belong
// to it. Every key is written, parents before children, so empty keys
// survive. Names and strings are quoted with \" \\ \n \r \t and \uXXXX (one
// UTF-16 unit: control characters, unpaired surrogates); other characters
// are UTF-8. In a key path, where '\' separates names, the escape is %XXXX
// (for '%', ']', control characters and unpaired surrogates). A value whose
// bytes the typed form would not give back exactly (an odd length, a
// missing terminator, an embedded NUL, a DWORD that is not 4 bytes, a type
// with no form of its own) is written as hex(<type in decimal>) with its
// bytes, so every value round-trips bit for bit.
//
// Durability: each committed change (ZwSetValueKey, ZwCreateKey of a new
// key, deletions) writes the file before the call returns: the text goes
// to registry.txt.tmp, which is fsync'ed, renamed over registry.txt, and
// the folder is fsync'ed. A crash at any point leaves either the old or the
// new file whole; a left-over registry.txt.tmp is removed at the next load.
// Volatile keys (and everything below them) are never written.
//
// Default registry of a new machine folder (the base keys are also put
// back at every boot when missing):
//   \Registry\Machine\Software\Microsoft\Windows NT\CurrentVersion
//       SystemRoot = "C:\WINNT", CurrentVersion = "4.0"
//   \Registry\Machine\System\CurrentControlSet\Control
//   \Registry\Machine\System\CurrentControlSet\Services
//   \Registry\Machine\System\CurrentControlSet\Services\EventLog\Application
//   \Registry\Machine\System\CurrentControlSet\Services\EventLog\System
//   \Registry\User\.Default
// No service keys: drivers' tests and installers write their own. Built at
// every boot as volatile keys: \Registry\Machine\Hardware\DeviceMap and
// \Registry\Machine\Hardware\Description\System.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cm_internal.h"

namespace cm {

namespace {

std::string folder;  // empty: no machine, nothing is written
bool dirty = false;
SaveFault saveFault = SaveFault::None;

std::string FilePath() { return folder + "/registry.txt"; }
std::string TempPath() { return folder + "/registry.txt.tmp"; }

std::u16string DataToString(const std::vector<UCHAR>& data)
{
    std::u16string s(data.size() / 2, u'\0');
    if (!s.empty()) std::memcpy(s.data(), data.data(), s.size() * 2);
    return s;
}

void AppendString(std::vector<UCHAR>* data, const std::u16string& s, bool terminate)
{
    const UCHAR* p = reinterpret_cast<const UCHAR*>(s.data());
    data->insert(data->end(), p, p + s.size() * 2);
    if (terminate) data->insert(data->end(), 2, 0);
}

// The typed form of a value, or "" when only hex(type) gives it back.
std::string TypedForm(const Value& v)
{
    char buf[64];
    switch (v.type) {
    case REG_NONE:
        return v.data.empty() ? "none:" : "";
    case REG_DWORD:
        if (v.data.size() != 4) return "";
        ULONG d;
        std::memcpy(&d, v.data.data(), 4);
        std::snprintf(buf, sizeof buf, "dword:0x%08" PRIx32, d);
        return buf;
    case REG_QWORD:
        if (v.data.size() != 8) return "";
        ULONGLONG q;
        std::memcpy(&q, v.data.data(), 8);
        std::snprintf(buf, sizeof buf, "qword:0x%016" PRIx64, q);
        return buf;
    case REG_BINARY:
        return "binary:" + HexBytes(v.data.data(), v.data.size());
    case REG_SZ:
    case REG_EXPAND_SZ: {
        if (v.data.size() % 2) return "";
        std::u16string s = DataToString(v.data);
        if (s.empty() || s.back() != u'\0') return "";
        s.pop_back();
        if (s.find(u'\0') != std::u16string::npos) return "";
        return (v.type == REG_SZ ? "sz:" : "expand_sz:") + Quote(s);
    }
    case REG_MULTI_SZ: {
        // Canonical: each string with its terminator, then one more; the
        // empty list is two terminators.
        if (v.data.size() < 4 || v.data.size() % 2) return "";
        std::u16string s = DataToString(v.data);
        if (s == std::u16string(2, u'\0')) return "multi_sz:";
        if (s[s.size() - 1] != u'\0' || s[s.size() - 2] != u'\0') return "";
        std::string out = "multi_sz:";
        size_t start = 0;
        while (start + 1 < s.size()) {
            size_t end = s.find(u'\0', start);
            if (end == start) return "";  // an empty string inside the list
            if (start) out += ", ";
            out += Quote(s.substr(start, end - start));
            start = end + 1;
        }
        return out;
    }
    default:
        return "";
    }
}

void WriteKey(const Key& key, const std::u16string& path, std::string* out)
{
    if (key.isVolatile) return;
    *out += "\n[" + EscapePath(path) + "]\n";
    if (!key.className.empty()) *out += "class " + Quote(key.className) + "\n";
    for (const auto& v : key.values) {
        std::string form = TypedForm(v);
        if (form.empty())
            form = "hex(" + std::to_string(v.type) + "):" + HexBytes(v.data.data(), v.data.size());
        *out += Quote(v.name) + " = " + form + "\n";
    }
    for (const auto& sub : key.subkeys) WriteKey(*sub, path + u"\\" + sub->name, out);
}

bool WriteAll(int fd, const char* p, size_t n)
{
    while (n) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += w;
        n -= w;
    }
    return true;
}

bool SyncFolder()
{
    int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return false;
    bool ok = ::fsync(dir) == 0;
    ::close(dir);
    return ok;
}

// Parses one value line's "type:payload" part.
bool ParsePayload(const std::string& form, Value* v)
{
    size_t colon = form.find(':');
    if (colon == std::string::npos) return false;
    std::string type = form.substr(0, colon), payload = form.substr(colon + 1);
    v->data.clear();
    if (type == "none") {
        v->type = REG_NONE;
        return payload.empty();
    }
    if (type == "dword" || type == "qword") {
        char* end = nullptr;
        errno = 0;
        unsigned long long n = std::strtoull(payload.c_str(), &end, 0);
        if (payload.empty() || *end || errno) return false;
        if (type == "dword") {
            if (n > 0xFFFFFFFFull) return false;
            ULONG d = static_cast<ULONG>(n);
            v->type = REG_DWORD;
            v->data.assign(reinterpret_cast<UCHAR*>(&d), reinterpret_cast<UCHAR*>(&d) + 4);
        } else {
            v->type = REG_QWORD;
            v->data.assign(reinterpret_cast<UCHAR*>(&n), reinterpret_cast<UCHAR*>(&n) + 8);
        }
        return true;
    }
    if (type == "binary") {
        v->type = REG_BINARY;
        return ParseHexBytes(payload, &v->data);
    }
    if (type == "sz" || type == "expand_sz") {
        v->type = type == "sz" ? REG_SZ : REG_EXPAND_SZ;
        std::u16string s;
        size_t pos = 0;
        if (!Unquote(payload, &pos, &s) || pos != payload.size()) return false;
        AppendString(&v->data, s, true);
        return true;
    }
    if (type == "multi_sz") {
        v->type = REG_MULTI_SZ;
        size_t pos = 0;
        bool any = false;
        while (pos < payload.size()) {
            if (any) {
                if (payload.compare(pos, 2, ", ") != 0) return false;
                pos += 2;
            }
            std::u16string s;
            if (!Unquote(payload, &pos, &s)) return false;
            AppendString(&v->data, s, true);
            any = true;
        }
        v->data.insert(v->data.end(), 2, 0);
        if (!any) v->data.insert(v->data.end(), 2, 0);
        return true;
    }
    if (type.size() > 5 && type.compare(0, 4, "hex(") == 0 && type.back() == ')') {
        // Decimal digits only, up to the largest 32-bit type: strtoul would
        // take "-1" and saturate an overflow, turning both into 4294967295.
        std::string number = type.substr(4, type.size() - 5);
        if (number.empty() || number.size() > 10 || number.find_first_not_of("0123456789") != std::string::npos)
            return false;
        unsigned long long n = std::strtoull(number.c_str(), nullptr, 10);
        if (n > 0xFFFFFFFFull) return false;
        v->type = static_cast<ULONG>(n);
        return ParseHexBytes(payload, &v->data);
    }
    return false;
}

std::shared_ptr<Key> EnsurePath(const std::shared_ptr<Key>& root, const std::u16string& path, bool isVolatile)
{
    std::vector<std::u16string> parts;
    if (!SplitPath(path, &parts)) return nullptr;
    std::shared_ptr<Key> key = root;
    for (const auto& part : parts) {
        auto next = FindSubkey(*key, part);
        if (!next) next = AddSubkey(*key, part, isVolatile);
        key = next;
    }
    return key;
}

void SetStringValue(Key& key, const std::u16string& name, ULONG type, const std::u16string& s)
{
    if (FindValue(key, name)) return;
    Value v{name, type, {}};
    AppendString(&v.data, s, true);
    key.values.push_back(std::move(v));
}

// Base keys every machine has; true when anything had to be added.
bool EnsureBaseKeys(const std::shared_ptr<Key>& root)
{
    std::string before = Serialize(*root);
    auto nt = EnsurePath(root, u"Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion", false);
    SetStringValue(*nt, u"SystemRoot", REG_SZ, u"C:\\WINNT");
    SetStringValue(*nt, u"CurrentVersion", REG_SZ, u"4.0");
    EnsurePath(root, u"Machine\\System\\CurrentControlSet\\Control", false);
    EnsurePath(root, u"Machine\\System\\CurrentControlSet\\Services\\EventLog\\Application", false);
    EnsurePath(root, u"Machine\\System\\CurrentControlSet\\Services\\EventLog\\System", false);
    EnsurePath(root, u"User\\.Default", false);
    // The hardware tree is rebuilt at every boot, as NT's is.
    EnsurePath(root, u"Machine\\Hardware\\DeviceMap", true);
    EnsurePath(root, u"Machine\\Hardware\\Description\\System", true);
    return Serialize(*root) != before;
}

}  // namespace

std::string Serialize(const Key& root)
{
    std::string out =
        "# Registry of this machine. Rewritten whole by the machine on every change;\n"
        "# edit only while the machine is not running. Format: see cm_file.cpp.\n";
    WriteKey(root, u"\\" + root.name, &out);
    return out;
}

NTSTATUS Parse(const std::string& text, const std::shared_ptr<Key>& root, std::string* error)
{
    std::shared_ptr<Key> current;
    size_t lineStart = 0;
    int lineNumber = 0;
    while (lineStart < text.size()) {
        size_t lineEnd = text.find('\n', lineStart);
        if (lineEnd == std::string::npos) lineEnd = text.size();
        std::string line = text.substr(lineStart, lineEnd - lineStart);
        lineStart = lineEnd + 1;
        lineNumber++;
        size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#') continue;
        line = line.substr(first, line.find_last_not_of(" \t\r") + 1 - first);
        auto fail = [&](const char* what) {
            *error = "line " + std::to_string(lineNumber) + ": " + what;
            return STATUS_REGISTRY_CORRUPT;
        };
        if (line[0] == '[') {
            if (line.back() != ']') return fail("key line without ']'");
            std::u16string path;
            if (!UnescapePath(line.substr(1, line.size() - 2), &path)) return fail("bad escape in key path");
            std::u16string prefix = u"\\" + root->name;
            if (!NamesEqual(path.substr(0, prefix.size()), prefix) ||
                (path.size() > prefix.size() && path[prefix.size()] != u'\\'))
                return fail("key outside \\Registry");
            path = path.size() > prefix.size() ? path.substr(prefix.size() + 1) : u"";
            current = path.empty() ? root : EnsurePath(root, path, false);
            if (!current) return fail("bad key path");
            continue;
        }
        if (!current) return fail("value before any key");
        if (line.compare(0, 6, "class ") == 0) {
            size_t pos = 6;
            if (!Unquote(line, &pos, &current->className) || pos != line.size()) return fail("bad class");
            continue;
        }
        Value v;
        size_t pos = 0;
        if (!Unquote(line, &pos, &v.name)) return fail("bad value name");
        while (pos < line.size() && line[pos] == ' ') pos++;
        if (pos >= line.size() || line[pos] != '=') return fail("'=' expected");
        pos++;
        while (pos < line.size() && line[pos] == ' ') pos++;
        if (!ParsePayload(line.substr(pos), &v)) return fail("bad value data");
        if (Value* old = FindValue(*current, v.name))
            *old = std::move(v);
        else
            current->values.push_back(std::move(v));
    }
    return STATUS_SUCCESS;
}

NTSTATUS Load(const std::string& machineFolder)
{
    std::lock_guard<std::mutex> lock(TreeLock());
    folder = machineFolder;
    dirty = false;
    ::unlink(TempPath().c_str());
    ResetTree();
    auto root = Root();
    FILE* f = std::fopen(FilePath().c_str(), "rb");
    bool existed = f != nullptr;
    if (f) {
        std::string text;
        char buf[65536];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
        bool readError = std::ferror(f);
        std::fclose(f);
        std::string error;
        NTSTATUS status = readError ? STATUS_REGISTRY_IO_FAILED : Parse(text, root, &error);
        if (!NT_SUCCESS(status)) {
            std::fprintf(stderr, "registry: %s: %s\n", FilePath().c_str(), readError ? "read failed" : error.c_str());
            folder.clear();
            return status;
        }
    } else if (errno != ENOENT) {
        std::fprintf(stderr, "registry: %s: %s\n", FilePath().c_str(), std::strerror(errno));
        folder.clear();
        return STATUS_REGISTRY_IO_FAILED;
    }
    if (EnsureBaseKeys(root) || !existed) return SaveLocked();
    return STATUS_SUCCESS;
}

NTSTATUS SaveLocked()
{
    if (folder.empty()) return STATUS_SUCCESS;
    dirty = true;
    std::string text = Serialize(*Root());
    SaveFault fault = saveFault;
    saveFault = SaveFault::None;
    int fd = ::open(TempPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        std::fprintf(stderr, "registry: %s: %s\n", TempPath().c_str(), std::strerror(errno));
        return STATUS_REGISTRY_IO_FAILED;
    }
    if (fault == SaveFault::HalfTemporary) {
        WriteAll(fd, text.data(), text.size() / 2);
        ::close(fd);
        return STATUS_REGISTRY_IO_FAILED;
    }
    bool ok = WriteAll(fd, text.data(), text.size()) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (fault == SaveFault::BeforeRename) return STATUS_REGISTRY_IO_FAILED;
    ok = ok && ::rename(TempPath().c_str(), FilePath().c_str()) == 0;
    ok = ok && SyncFolder();
    if (!ok) {
        std::fprintf(stderr, "registry: writing %s: %s\n", FilePath().c_str(), std::strerror(errno));
        return STATUS_REGISTRY_IO_FAILED;
    }
    dirty = false;
    return STATUS_SUCCESS;
}

NTSTATUS Commit(const Key& changed)
{
    if (IsVolatile(changed)) return STATUS_SUCCESS;
    return SaveLocked();
}

NTSTATUS FlushLocked() { return dirty ? SaveLocked() : STATUS_SUCCESS; }

void Unload()
{
    std::lock_guard<std::mutex> lock(TreeLock());
    folder.clear();
    dirty = false;
    ResetTree();
}

void SetSaveFault(SaveFault fault)
{
    std::lock_guard<std::mutex> lock(TreeLock());
    saveFault = fault;
}

}  // namespace cm
