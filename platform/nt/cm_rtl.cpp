// The run-time library's registry helpers (RtlQueryRegistryValues and
// friends), written over the Zw calls as NT's are, so they follow the same
// handle and status rules. Keys are opened as kernel handles and closed
// before returning.
#include <cstdio>

#include "cm_internal.h"
#include "nt_ex.h"

namespace {

constexpr ULONG kRtlTag = 0x52526d43;  // "CmRR": strings allocated for DIRECT entries

UNICODE_STRING Counted(const std::u16string& s)
{
    USHORT bytes = static_cast<USHORT>(s.size() * sizeof(WCHAR));
    return UNICODE_STRING{bytes, bytes, const_cast<PWSTR>(s.data())};
}

std::u16string FromZ(PCWSTR s)
{
    return s ? std::u16string(s) : std::u16string();
}

const char16_t* BasePath(ULONG kind)
{
    switch (kind) {
    case RTL_REGISTRY_SERVICES: return u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";
    case RTL_REGISTRY_CONTROL: return u"\\Registry\\Machine\\System\\CurrentControlSet\\Control";
    case RTL_REGISTRY_WINDOWS_NT: return u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion";
    case RTL_REGISTRY_DEVICEMAP: return u"\\Registry\\Machine\\Hardware\\DeviceMap";
    case RTL_REGISTRY_USER: return u"\\Registry\\User\\.Default";
    default: return nullptr;
    }
}

// A key of a (relativeTo, path) pair; closes what it opened.
class PathKey {
public:
    NTSTATUS Open(ULONG relativeTo, PCWSTR path, bool create)
    {
        ULONG kind = relativeTo & ~RTL_REGISTRY_OPTIONAL;
        if (kind & RTL_REGISTRY_HANDLE) {
            handle_ = const_cast<PWSTR>(path);
            return handle_ ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
        }
        std::u16string relative = FromZ(path), full;
        if (kind == RTL_REGISTRY_ABSOLUTE || (!relative.empty() && relative[0] == u'\\')) {
            full = relative;
        } else {
            const char16_t* base = BasePath(kind);
            if (!base) return STATUS_INVALID_PARAMETER;
            full = base;
            if (!relative.empty()) full += u"\\" + relative;
        }
        if (full.empty()) return STATUS_OBJECT_PATH_SYNTAX_BAD;
        UNICODE_STRING name = Counted(full);
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
        NTSTATUS status = create ? ZwCreateKey(&handle_, KEY_ALL_ACCESS, &oa, 0, nullptr, 0, nullptr)
                                 : ZwOpenKey(&handle_, KEY_READ | KEY_SET_VALUE, &oa);
        owned_ = NT_SUCCESS(status);
        return status;
    }
    ~PathKey()
    {
        if (owned_) ZwClose(handle_);
    }
    HANDLE handle() const { return handle_; }

private:
    HANDLE handle_ = nullptr;
    bool owned_ = false;
};

NTSTATUS ReadValue(HANDLE key, const std::u16string& name, ULONG* type, std::vector<UCHAR>* data)
{
    UNICODE_STRING us = Counted(name);
    std::vector<UCHAR> buffer(64);
    for (;;) {
        ULONG needed = 0;
        NTSTATUS status = ZwQueryValueKey(key, &us, KeyValuePartialInformation, buffer.data(),
                                          static_cast<ULONG>(buffer.size()), &needed);
        if (status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL) {
            buffer.resize(needed);
            continue;
        }
        if (!NT_SUCCESS(status)) return status;
        auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer.data());
        *type = info->Type;
        data->assign(info->Data, info->Data + info->DataLength);
        return STATUS_SUCCESS;
    }
}

// The machine's environment for REG_EXPAND_SZ.
std::u16string Expand(const std::u16string& s)
{
    static const std::pair<const char16_t*, const char16_t*> variables[] = {
        {u"SystemRoot", u"C:\\WINNT"}, {u"windir", u"C:\\WINNT"}, {u"SystemDrive", u"C:"}};
    std::u16string out;
    size_t i = 0;
    while (i < s.size()) {
        size_t end = s[i] == u'%' ? s.find(u'%', i + 1) : std::u16string::npos;
        if (end != std::u16string::npos) {
            std::u16string name = s.substr(i + 1, end - i - 1);
            const char16_t* value = nullptr;
            for (auto& v : variables)
                if (cm::NamesEqual(name, v.first)) value = v.second;
            if (value) {
                out += value;
                i = end + 1;
                continue;
            }
        }
        out.push_back(s[i++]);
    }
    return out;
}

bool IsString(ULONG type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

std::u16string AsString(const UCHAR* data, ULONG length)
{
    std::u16string s(length / 2, u'\0');
    if (!s.empty()) std::memcpy(s.data(), data, s.size() * 2);
    while (!s.empty() && s.back() == u'\0') s.pop_back();
    return s;
}

NTSTATUS StoreDirect(const RTL_QUERY_REGISTRY_TABLE& e, ULONG type, const UCHAR* data, ULONG length)
{
    if (IsString(type)) {
        auto* us = static_cast<PUNICODE_STRING>(e.EntryContext);
        // A string always arrives with its terminator.
        std::vector<UCHAR> text(data, data + length);
        if (text.size() % 2) text.push_back(0);
        if (text.size() < 2 || text[text.size() - 1] || text[text.size() - 2]) text.insert(text.end(), 2, 0);
        if (text.size() > 0xFFFF) return STATUS_BUFFER_TOO_SMALL;
        USHORT bytes = static_cast<USHORT>(text.size());
        if (!us->Buffer) {
            us->Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes, kRtlTag));
            if (!us->Buffer) return STATUS_NO_MEMORY;
            us->MaximumLength = bytes;
        } else if (bytes > us->MaximumLength) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        std::memcpy(us->Buffer, text.data(), bytes);
        us->Length = bytes - sizeof(WCHAR);
        return STATUS_SUCCESS;
    }
    if (length <= sizeof(ULONG)) {
        std::memcpy(e.EntryContext, data, length);
        return STATUS_SUCCESS;
    }
    LONG size;
    std::memcpy(&size, e.EntryContext, sizeof size);
    auto* out = static_cast<UCHAR*>(e.EntryContext);
    if (size < 0) {
        if (static_cast<ULONG>(-size) < length) return STATUS_BUFFER_TOO_SMALL;
        std::memcpy(out, data, length);
    } else {
        if (static_cast<ULONG>(size) < length + 2 * sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
        ULONG head[2] = {length, type};
        std::memcpy(out, head, sizeof head);
        std::memcpy(out + sizeof head, data, length);
    }
    return STATUS_SUCCESS;
}

// Hands one value (or a default) to a table entry.
NTSTATUS Deliver(const RTL_QUERY_REGISTRY_TABLE& e, PWSTR name, ULONG type, const UCHAR* data, ULONG length,
                 PVOID context)
{
    std::vector<UCHAR> expanded;
    if (type == REG_EXPAND_SZ && !(e.Flags & RTL_QUERY_REGISTRY_NOEXPAND)) {
        std::u16string s = Expand(AsString(data, length));
        s.push_back(u'\0');
        const UCHAR* p = reinterpret_cast<const UCHAR*>(s.data());
        expanded.assign(p, p + s.size() * 2);
        type = REG_SZ;
        data = expanded.data();
        length = static_cast<ULONG>(expanded.size());
    }
    if (e.Flags & RTL_QUERY_REGISTRY_DIRECT) return StoreDirect(e, type, data, length);
    if (type == REG_MULTI_SZ && !(e.Flags & RTL_QUERY_REGISTRY_NOEXPAND)) {
        // Each string on its own, as REG_SZ with its terminator.
        std::u16string all(length / 2, u'\0');
        if (!all.empty()) std::memcpy(all.data(), data, all.size() * 2);
        size_t start = 0;
        while (start < all.size() && all[start] != u'\0') {
            size_t end = all.find(u'\0', start);
            if (end == std::u16string::npos) end = all.size();
            std::u16string one = all.substr(start, end - start);
            one.push_back(u'\0');
            NTSTATUS status = e.QueryRoutine(name, REG_SZ, one.data(), static_cast<ULONG>(one.size() * 2), context,
                                             e.EntryContext);
            if (!NT_SUCCESS(status)) return status;
            start = end + 1;
        }
        return STATUS_SUCCESS;
    }
    return e.QueryRoutine(name, type, const_cast<UCHAR*>(data), length, context, e.EntryContext);
}

NTSTATUS DeliverDefault(const RTL_QUERY_REGISTRY_TABLE& e, PWSTR name, PVOID context)
{
    if (e.DefaultType == REG_NONE) return STATUS_SUCCESS;
    ULONG length = e.DefaultLength;
    if (length == 0 && e.DefaultData && IsString(e.DefaultType)) {
        auto* s = static_cast<const WCHAR*>(e.DefaultData);
        size_t n = 0;
        if (e.DefaultType == REG_MULTI_SZ) {
            while (s[n] || s[n + 1]) n++;
            n += 2;
        } else {
            while (s[n]) n++;
            n++;
        }
        length = static_cast<ULONG>(n * sizeof(WCHAR));
    }
    return Deliver(e, name, e.DefaultType, static_cast<const UCHAR*>(e.DefaultData), length, context);
}

// Every value of 'key' to the entry's routine; the default when it has none.
NTSTATUS DeliverAll(const RTL_QUERY_REGISTRY_TABLE& e, HANDLE key, PVOID context)
{
    std::vector<UCHAR> buffer(256);
    ULONG index = 0;
    for (;; index++) {
        ULONG needed = 0;
        NTSTATUS status = ZwEnumerateValueKey(key, index, KeyValueFullInformation, buffer.data(),
                                              static_cast<ULONG>(buffer.size()), &needed);
        if (status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL) {
            buffer.resize(needed);
            index--;
            continue;
        }
        if (status == STATUS_NO_MORE_ENTRIES) break;
        if (!NT_SUCCESS(status)) return status;
        auto* info = reinterpret_cast<KEY_VALUE_FULL_INFORMATION*>(buffer.data());
        std::u16string name(info->Name, info->NameLength / 2);
        std::vector<UCHAR> data(buffer.data() + info->DataOffset, buffer.data() + info->DataOffset + info->DataLength);
        status = Deliver(e, name.data(), info->Type, data.data(), info->DataLength, context);
        if (!NT_SUCCESS(status)) return status;
    }
    if (index == 0) {
        if (e.Flags & RTL_QUERY_REGISTRY_REQUIRED) return STATUS_OBJECT_NAME_NOT_FOUND;
        return DeliverDefault(e, nullptr, context);
    }
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS RtlQueryRegistryValues(ULONG relativeTo, PCWSTR path, PRTL_QUERY_REGISTRY_TABLE table, PVOID context,
                                PVOID)
{
    if (!table) return STATUS_INVALID_PARAMETER;
    PathKey top;
    NTSTATUS status = top.Open(relativeTo, path, false);
    if (!NT_SUCCESS(status)) return status;
    HANDLE subkey = nullptr;
    HANDLE current = top.handle();
    auto closeSubkey = [&] {
        if (subkey) ZwClose(subkey);
        subkey = nullptr;
        current = top.handle();
    };
    for (PRTL_QUERY_REGISTRY_TABLE e = table; e->QueryRoutine || e->Name; e++) {
        if (e->Flags & RTL_QUERY_REGISTRY_TOPKEY) closeSubkey();
        if (e->Flags & RTL_QUERY_REGISTRY_SUBKEY) {
            closeSubkey();
            std::u16string name = FromZ(e->Name);
            UNICODE_STRING us = Counted(name);
            OBJECT_ATTRIBUTES oa;
            InitializeObjectAttributes(&oa, &us, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, top.handle(), nullptr);
            status = ZwOpenKey(&subkey, KEY_READ | KEY_SET_VALUE, &oa);
            if (!NT_SUCCESS(status)) {
                subkey = nullptr;
                break;
            }
            current = subkey;
            // A routine on the subkey entry itself sees all the subkey's values.
            if (e->QueryRoutine && !(e->Flags & RTL_QUERY_REGISTRY_DIRECT)) {
                status = DeliverAll(*e, current, context);
                if (!NT_SUCCESS(status)) break;
            }
            continue;
        }
        if (!e->Name) {
            if (e->Flags & RTL_QUERY_REGISTRY_DIRECT) {
                status = STATUS_INVALID_PARAMETER;
                break;
            }
            status = (e->Flags & RTL_QUERY_REGISTRY_NOVALUE)
                         ? e->QueryRoutine(nullptr, REG_NONE, nullptr, 0, context, e->EntryContext)
                         : DeliverAll(*e, current, context);
            if (!NT_SUCCESS(status)) break;
            continue;
        }
        std::u16string name = FromZ(e->Name);
        ULONG type = REG_NONE;
        std::vector<UCHAR> data;
        status = ReadValue(current, name, &type, &data);
        if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
            if (e->Flags & RTL_QUERY_REGISTRY_REQUIRED) break;
            status = DeliverDefault(*e, e->Name, context);
        } else if (NT_SUCCESS(status)) {
            status = Deliver(*e, e->Name, type, data.data(), static_cast<ULONG>(data.size()), context);
            if (NT_SUCCESS(status) && (e->Flags & RTL_QUERY_REGISTRY_DELETE)) {
                UNICODE_STRING us = Counted(name);
                ZwDeleteValueKey(current, &us);
            }
        }
        if (!NT_SUCCESS(status)) break;
    }
    closeSubkey();
    return status;
}

NTSTATUS RtlWriteRegistryValue(ULONG relativeTo, PCWSTR path, PCWSTR valueName, ULONG valueType, PVOID valueData,
                               ULONG valueLength)
{
    PathKey key;
    NTSTATUS status = key.Open(relativeTo, path, true);
    if (!NT_SUCCESS(status)) return status;
    std::u16string name = FromZ(valueName);
    UNICODE_STRING us = Counted(name);
    return ZwSetValueKey(key.handle(), &us, 0, valueType, valueData, valueLength);
}

NTSTATUS RtlCreateRegistryKey(ULONG relativeTo, PWSTR path)
{
    PathKey key;
    return key.Open(relativeTo, path, true);
}

NTSTATUS RtlCheckRegistryKey(ULONG relativeTo, PWSTR path)
{
    PathKey key;
    return key.Open(relativeTo, path, false);
}

NTSTATUS RtlDeleteRegistryValue(ULONG relativeTo, PCWSTR path, PCWSTR valueName)
{
    PathKey key;
    NTSTATUS status = key.Open(relativeTo, path, false);
    if (!NT_SUCCESS(status)) return status;
    std::u16string name = FromZ(valueName);
    UNICODE_STRING us = Counted(name);
    return ZwDeleteValueKey(key.handle(), &us);
}
