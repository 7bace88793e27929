// The registry functions over the kernel's registry calls. Predefined keys
// are names, not handles: HKEY_LOCAL_MACHINE is \Registry\Machine,
// HKEY_CURRENT_USER \Registry\User\.Default, HKEY_USERS \Registry\User,
// HKEY_CLASSES_ROOT \Registry\Machine\Software\Classes; a call on one opens
// the key by its full path for the call.
//
// ANSI string values (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ) are stored as
// UTF-16, as the system stores them: RegSetValueExA widens the cbData bytes
// it is given, RegQueryValueExA / RegEnumValueA narrow what is stored and
// report sizes in ANSI bytes.
#include "w32_internal.h"

#include <vector>

namespace {

const char16_t* PredefinedPath(HKEY key)
{
    switch (reinterpret_cast<ULONG_PTR>(key)) {
    case 0x80000000: return u"\\Registry\\Machine\\Software\\Classes";
    case 0x80000001: return u"\\Registry\\User\\.Default";
    case 0x80000002: return u"\\Registry\\Machine";
    case 0x80000003: return u"\\Registry\\User";
    default: return nullptr;
    }
}

bool IsPredefined(HKEY key) { return reinterpret_cast<ULONG_PTR>(key) >= 0x80000000; }

LONG Error(NTSTATUS status) { return static_cast<LONG>(RtlNtStatusToDosError(status)); }

// Object attributes for 'sub' below 'key'. Registry names are not
// case-sensitive.
LONG KeyName(HKEY key, const std::u16string& sub, w32::NtName& out)
{
    if (IsPredefined(key)) {
        const char16_t* root = PredefinedPath(key);
        if (!root) return ERROR_INVALID_HANDLE;
        out.Set(sub.empty() ? std::u16string(root) : std::u16string(root) + u"\\" + sub, OBJ_CASE_INSENSITIVE);
    } else {
        out.Set(sub, OBJ_CASE_INSENSITIVE, key);
    }
    return out.ok() ? ERROR_SUCCESS : ERROR_FILENAME_EXCED_RANGE;
}

// A kernel handle for value calls: the key's own, or a temporary one for a
// predefined key.
class KeyRef {
public:
    LONG Open(HKEY key, ACCESS_MASK access)
    {
        if (!IsPredefined(key)) {
            handle_ = key;
            return ERROR_SUCCESS;
        }
        w32::NtName name;
        if (LONG e = KeyName(key, std::u16string(), name)) return e;
        NTSTATUS status = NtOpenKey(&handle_, access, &name.oa);
        if (!NT_SUCCESS(status)) return Error(status);
        temporary_ = true;
        return ERROR_SUCCESS;
    }
    HANDLE get() const { return handle_; }
    ~KeyRef()
    {
        if (temporary_) NtClose(handle_);
    }

private:
    HANDLE handle_ = nullptr;
    bool temporary_ = false;
};

struct ValueName {
    std::u16string text;
    UNICODE_STRING us{};
    explicit ValueName(std::u16string name) : text(std::move(name))
    {
        us.Buffer = text.data();
        us.Length = us.MaximumLength = static_cast<USHORT>(text.size() * 2);
    }
};

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// Runs a query that reports its whole size, growing the buffer until the
// record fits.
template <typename Query>
NTSTATUS QueryGrowing(std::vector<UCHAR>& buffer, Query query)
{
    buffer.resize(256);
    for (;;) {
        ULONG needed = 0;
        NTSTATUS status = query(buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if ((status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL) && needed > buffer.size()) {
            buffer.resize(needed);
            continue;
        }
        return status;
    }
}

// Copies value data out with the Win32 size rules.
LONG CopyData(const UCHAR* data, DWORD size, LPBYTE lpData, LPDWORD lpcbData)
{
    if (lpData) {
        if (*lpcbData < size) {
            *lpcbData = size;
            return ERROR_MORE_DATA;
        }
        std::memcpy(lpData, data, size);
    }
    if (lpcbData) *lpcbData = size;
    return ERROR_SUCCESS;
}

// Stored data as the A functions hand it out.
std::vector<UCHAR> AnsiData(DWORD type, const UCHAR* data, DWORD size)
{
    if (!IsStringType(type)) return std::vector<UCHAR>(data, data + size);
    std::u16string wide(size / 2, u'\0');
    std::memcpy(wide.data(), data, wide.size() * 2);
    std::string narrow = w32::WideToAnsi(wide);
    return std::vector<UCHAR>(narrow.begin(), narrow.end());
}

LONG CreateKey(HKEY hKey, const std::u16string& sub, DWORD options, REGSAM sam, const SECURITY_ATTRIBUTES* sa,
               PHKEY result, LPDWORD disposition)
{
    const ULONG inherit = sa && sa->bInheritHandle ? ULONG{OBJ_INHERIT} : 0;
    auto create = [&](const std::u16string& name, ACCESS_MASK access, HANDLE* h, ULONG* disp) -> NTSTATUS {
        w32::NtName n;
        if (LONG e = KeyName(hKey, name, n)) return e == ERROR_INVALID_HANDLE ? STATUS_INVALID_HANDLE
                                                                              : STATUS_OBJECT_NAME_INVALID;
        n.oa.Attributes |= inherit;
        return NtCreateKey(h, access, &n.oa, 0, nullptr, options, disp);
    };
    HANDLE h = nullptr;
    ULONG disp = 0;
    NTSTATUS status = create(sub, sam, &h, &disp);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND || status == STATUS_OBJECT_PATH_NOT_FOUND) {
        // The kernel creates the last component only; make the path one
        // level at a time, as Win32 does, from the predefined key's own
        // place (the user hive may not exist until something is written to it).
        if (IsPredefined(hKey)) {
            HANDLE root = nullptr;
            ULONG rootDisp = 0;
            status = create(std::u16string(), KEY_CREATE_SUB_KEY, &root, &rootDisp);
            if (!NT_SUCCESS(status)) return Error(status);
            NtClose(root);
        }
        size_t pos = 0;
        for (;;) {
            pos = sub.find(u'\\', pos + 1);
            if (pos == std::u16string::npos) break;
            HANDLE step = nullptr;
            ULONG stepDisp = 0;
            status = create(sub.substr(0, pos), KEY_CREATE_SUB_KEY, &step, &stepDisp);
            if (!NT_SUCCESS(status)) return Error(status);
            NtClose(step);
        }
        status = create(sub, sam, &h, &disp);
    }
    if (!NT_SUCCESS(status)) return Error(status);
    *result = static_cast<HKEY>(h);
    if (disposition) *disposition = disp;
    return ERROR_SUCCESS;
}

}  // namespace

LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult)
{
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    w32::NtName n;
    if (LONG e = KeyName(hKey, lpSubKey ? std::u16string(lpSubKey) : std::u16string(), n)) return e;
    HANDLE h = nullptr;
    NTSTATUS status = NtOpenKey(&h, samDesired, &n.oa);
    W32_TRACE("RegOpenKeyEx(%p, %s) -> %p %s", static_cast<void*>(hKey), NtNarrow(n.text).c_str(), h,
              NtStatusName(status));
    if (!NT_SUCCESS(status)) return Error(status);
    *phkResult = static_cast<HKEY>(h);
    return ERROR_SUCCESS;
}

LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult)
{
    std::u16string sub = w32::AnsiToWide(lpSubKey);
    return RegOpenKeyExW(hKey, sub.c_str(), ulOptions, samDesired, phkResult);
}

LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, LPWSTR, DWORD dwOptions, REGSAM samDesired,
                        const SECURITY_ATTRIBUTES* lpSecurityAttributes, PHKEY phkResult, LPDWORD lpdwDisposition)
{
    if (!lpSubKey || !phkResult) return ERROR_INVALID_PARAMETER;
    return CreateKey(hKey, lpSubKey, dwOptions, samDesired, lpSecurityAttributes, phkResult, lpdwDisposition);
}

LSTATUS RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR, DWORD dwOptions, REGSAM samDesired,
                        const SECURITY_ATTRIBUTES* lpSecurityAttributes, PHKEY phkResult, LPDWORD lpdwDisposition)
{
    if (!lpSubKey) return ERROR_INVALID_PARAMETER;
    std::u16string sub = w32::AnsiToWide(lpSubKey);
    return RegCreateKeyExW(hKey, sub.c_str(), Reserved, nullptr, dwOptions, samDesired, lpSecurityAttributes,
                           phkResult, lpdwDisposition);
}

namespace {

// The stored value: type and data as kept (UTF-16 strings).
LONG QueryRaw(HKEY hKey, const std::u16string& name, std::vector<UCHAR>& buffer,
              KEY_VALUE_PARTIAL_INFORMATION** info)
{
    KeyRef key;
    if (LONG e = key.Open(hKey, KEY_QUERY_VALUE)) return e;
    ValueName value(name);
    NTSTATUS status = QueryGrowing(buffer, [&](PVOID b, ULONG l, PULONG needed) {
        return NtQueryValueKey(key.get(), &value.us, KeyValuePartialInformation, b, l, needed);
    });
    if (!NT_SUCCESS(status)) return Error(status);
    *info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer.data());
    return ERROR_SUCCESS;
}

}  // namespace

LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData)
{
    if (lpData && !lpcbData) return ERROR_INVALID_PARAMETER;
    std::vector<UCHAR> buffer;
    KEY_VALUE_PARTIAL_INFORMATION* info = nullptr;
    if (LONG e = QueryRaw(hKey, lpValueName ? lpValueName : u"", buffer, &info)) return e;
    if (lpType) *lpType = info->Type;
    return CopyData(info->Data, info->DataLength, lpData, lpcbData);
}

LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData)
{
    if (lpData && !lpcbData) return ERROR_INVALID_PARAMETER;
    std::vector<UCHAR> buffer;
    KEY_VALUE_PARTIAL_INFORMATION* info = nullptr;
    if (LONG e = QueryRaw(hKey, w32::AnsiToWide(lpValueName), buffer, &info)) return e;
    if (lpType) *lpType = info->Type;
    std::vector<UCHAR> data = AnsiData(info->Type, info->Data, info->DataLength);
    return CopyData(data.data(), static_cast<DWORD>(data.size()), lpData, lpcbData);
}

LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData, DWORD cbData)
{
    if (!lpData && cbData) return ERROR_NOACCESS;
    KeyRef key;
    if (LONG e = key.Open(hKey, KEY_SET_VALUE)) return e;
    ValueName value(lpValueName ? lpValueName : u"");
    NTSTATUS status = NtSetValueKey(key.get(), &value.us, 0, dwType, const_cast<BYTE*>(lpData), cbData);
    return NT_SUCCESS(status) ? LONG{ERROR_SUCCESS} : Error(status);
}

LSTATUS RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData, DWORD cbData)
{
    if (!lpData && cbData) return ERROR_NOACCESS;
    std::u16string name = w32::AnsiToWide(lpValueName);
    if (!IsStringType(dwType))
        return RegSetValueExW(hKey, name.c_str(), Reserved, dwType, lpData, cbData);
    std::u16string wide = w32::AnsiToWide(reinterpret_cast<const char*>(lpData), cbData);
    return RegSetValueExW(hKey, name.c_str(), Reserved, dwType, reinterpret_cast<const BYTE*>(wide.data()),
                          static_cast<DWORD>(wide.size() * 2));
}

LSTATUS RegDeleteValueA(HKEY hKey, LPCSTR lpValueName)
{
    KeyRef key;
    if (LONG e = key.Open(hKey, KEY_SET_VALUE)) return e;
    ValueName value(w32::AnsiToWide(lpValueName));
    NTSTATUS status = NtDeleteValueKey(key.get(), &value.us);
    return NT_SUCCESS(status) ? LONG{ERROR_SUCCESS} : Error(status);
}

LSTATUS RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey)
{
    if (!lpSubKey) return ERROR_INVALID_PARAMETER;
    HKEY sub = nullptr;
    if (LONG e = RegOpenKeyExA(hKey, lpSubKey, 0, DELETE, &sub)) return e;
    NTSTATUS status = NtDeleteKey(sub);
    NtClose(sub);
    return NT_SUCCESS(status) ? LONG{ERROR_SUCCESS} : Error(status);
}

LSTATUS RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD, LPSTR lpClass,
                      LPDWORD lpcchClass, PFILETIME lpftLastWriteTime)
{
    if (!lpName || !lpcchName) return ERROR_INVALID_PARAMETER;
    KeyRef key;
    if (LONG e = key.Open(hKey, KEY_ENUMERATE_SUB_KEYS)) return e;
    std::vector<UCHAR> buffer;
    NTSTATUS status = QueryGrowing(buffer, [&](PVOID b, ULONG l, PULONG needed) {
        return NtEnumerateKey(key.get(), dwIndex, KeyBasicInformation, b, l, needed);
    });
    if (!NT_SUCCESS(status)) return Error(status);
    auto* info = reinterpret_cast<KEY_BASIC_INFORMATION*>(buffer.data());
    std::string name = w32::WideToAnsi(info->Name, info->NameLength / 2);
    if (*lpcchName <= name.size()) return ERROR_MORE_DATA;
    std::memcpy(lpName, name.c_str(), name.size() + 1);
    *lpcchName = static_cast<DWORD>(name.size());
    // Keys carry no class here.
    if (lpClass && lpcchClass && *lpcchClass) lpClass[0] = '\0';
    if (lpcchClass) *lpcchClass = 0;
    if (lpftLastWriteTime) {
        lpftLastWriteTime->dwLowDateTime = info->LastWriteTime.LowPart;
        lpftLastWriteTime->dwHighDateTime = static_cast<DWORD>(info->LastWriteTime.HighPart);
    }
    return ERROR_SUCCESS;
}

LSTATUS RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD, LPDWORD lpType,
                      LPBYTE lpData, LPDWORD lpcbData)
{
    if (!lpValueName || !lpcchValueName || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
    KeyRef key;
    if (LONG e = key.Open(hKey, KEY_QUERY_VALUE)) return e;
    std::vector<UCHAR> buffer;
    NTSTATUS status = QueryGrowing(buffer, [&](PVOID b, ULONG l, PULONG needed) {
        return NtEnumerateValueKey(key.get(), dwIndex, KeyValueFullInformation, b, l, needed);
    });
    if (!NT_SUCCESS(status)) return Error(status);
    auto* info = reinterpret_cast<KEY_VALUE_FULL_INFORMATION*>(buffer.data());
    std::string name = w32::WideToAnsi(info->Name, info->NameLength / 2);
    if (*lpcchValueName <= name.size()) return ERROR_MORE_DATA;
    std::vector<UCHAR> data = AnsiData(info->Type, buffer.data() + info->DataOffset, info->DataLength);
    if (LONG e = CopyData(data.data(), static_cast<DWORD>(data.size()), lpData, lpcbData)) return e;
    std::memcpy(lpValueName, name.c_str(), name.size() + 1);
    *lpcchValueName = static_cast<DWORD>(name.size());
    if (lpType) *lpType = info->Type;
    return ERROR_SUCCESS;
}

LSTATUS RegCloseKey(HKEY hKey)
{
    if (IsPredefined(hKey)) return ERROR_SUCCESS;
    NTSTATUS status = NtClose(hKey);
    return NT_SUCCESS(status) ? LONG{ERROR_SUCCESS} : Error(status);
}

LSTATUS RegFlushKey(HKEY hKey)
{
    KeyRef key;
    if (LONG e = key.Open(hKey, KEY_QUERY_VALUE)) return e;
    NTSTATUS status = NtFlushKey(key.get());
    return NT_SUCCESS(status) ? LONG{ERROR_SUCCESS} : Error(status);
}
