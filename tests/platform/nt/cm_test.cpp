// The registry: Zw round trips and information classes, the RTL helpers as
// drivers use them, the user-mode system calls' probes, and the registry
// file's persistence (across reboots and across a crash while writing).
#include <csignal>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/nt/cm_internal.h"
#include "platform/nt/nt_syscall.h"
#include "platform/nt/kernel.h"
#include "tests/support/machine_fixture.h"

namespace {

UNICODE_STRING Us(const std::u16string& s)
{
    return UNICODE_STRING{static_cast<USHORT>(s.size() * 2), static_cast<USHORT>(s.size() * 2),
                          const_cast<PWSTR>(s.data())};
}
UNICODE_STRING Us(std::u16string&&) = delete;  // would point into a temporary
UNICODE_STRING Us(const char16_t* literal)
{
    auto bytes = static_cast<USHORT>(std::char_traits<char16_t>::length(literal) * 2);
    return UNICODE_STRING{bytes, bytes, const_cast<PWSTR>(literal)};
}

const std::u16string kTest = u"\\Registry\\Machine\\Software\\RegistryTest";

class RegistryTest : public MachineFixture {
protected:
    // Creates (or opens) a key by full path, or relative to 'root'.
    NTSTATUS Create(const std::u16string& path, HANDLE* key, ULONG* disposition = nullptr, HANDLE root = nullptr,
                    ULONG options = 0)
    {
        UNICODE_STRING name = Us(path);
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
        return ZwCreateKey(key, KEY_ALL_ACCESS, &oa, 0, nullptr, options, disposition);
    }
    NTSTATUS Open(const std::u16string& path, HANDLE* key, HANDLE root = nullptr)
    {
        UNICODE_STRING name = Us(path);
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
        return ZwOpenKey(key, KEY_ALL_ACCESS, &oa);
    }
    NTSTATUS Set(HANDLE key, const std::u16string& name, ULONG type, const std::vector<UCHAR>& data)
    {
        UNICODE_STRING n = Us(name);
        return ZwSetValueKey(key, &n, 0, type, const_cast<UCHAR*>(data.data()), static_cast<ULONG>(data.size()));
    }
    // The value's type and bytes, or the failure status.
    NTSTATUS Get(HANDLE key, const std::u16string& name, ULONG* type, std::vector<UCHAR>* data)
    {
        UNICODE_STRING n = Us(name);
        ULONG needed = 0;
        NTSTATUS s = ZwQueryValueKey(key, &n, KeyValuePartialInformation, nullptr, 0, &needed);
        if (s != STATUS_BUFFER_TOO_SMALL) return s;
        std::vector<UCHAR> buffer(needed);
        s = ZwQueryValueKey(key, &n, KeyValuePartialInformation, buffer.data(), needed, &needed);
        if (!NT_SUCCESS(s)) return s;
        auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer.data());
        *type = info->Type;
        data->assign(info->Data, info->Data + info->DataLength);
        return s;
    }
    std::string RegistryFile()
    {
        std::ifstream in(Folder() + "/registry.txt", std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
};

std::vector<UCHAR> Bytes(const std::u16string& s, bool terminate = true)
{
    std::vector<UCHAR> out(reinterpret_cast<const UCHAR*>(s.data()),
                           reinterpret_cast<const UCHAR*>(s.data()) + s.size() * 2);
    if (terminate) out.insert(out.end(), 2, 0);
    return out;
}

TEST_F(RegistryTest, KeysOpenCaseInsensitivelyAndCreateOnlyTheLastComponent)
{
    HANDLE key, again, relative, missing;
    ULONG disposition = 0;
    ASSERT_EQ(Create(kTest, &key, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, (ULONG)REG_CREATED_NEW_KEY);
    ASSERT_EQ(Create(u"\\REGISTRY\\machine\\SOFTWARE\\registrytest", &again, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, (ULONG)REG_OPENED_EXISTING_KEY);
    EXPECT_EQ(Create(kTest + u"\\No\\Such", &missing), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Open(kTest + u"\\Child", &missing), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Open(kTest + u"\\\\Child", &missing), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(Open(u"Relative\\Name", &missing), STATUS_OBJECT_PATH_SYNTAX_BAD);

    // Relative to a key handle; the new key shows through the other handle.
    ASSERT_EQ(Create(u"Child", &relative, &disposition, key), STATUS_SUCCESS);
    EXPECT_EQ(disposition, (ULONG)REG_CREATED_NEW_KEY);
    HANDLE viaOther;
    EXPECT_EQ(Open(u"CHILD", &viaOther, again), STATUS_SUCCESS);

    // The key's own name, as the system reports it, keeps the case of its creation.
    std::vector<UCHAR> buffer(256);
    ULONG needed;
    ASSERT_EQ(ZwQueryKey(viaOther, KeyNameInformation, buffer.data(), 256, &needed), STATUS_SUCCESS);
    auto* name = reinterpret_cast<KEY_NAME_INFORMATION*>(buffer.data());
    EXPECT_EQ(std::u16string(name->Name, name->NameLength / 2), kTest + u"\\Child");
    for (HANDLE h : {key, again, relative, viaOther}) ZwClose(h);
}

TEST_F(RegistryTest, EveryValueComesBackBitForBitAfterAReboot)
{
    struct Case {
        std::u16string name;
        ULONG type;
        std::vector<UCHAR> data;
    };
    std::vector<UCHAR> dword = {0x25, 0x05, 0, 0}, qword = {1, 2, 3, 4, 5, 6, 7, 8};
    const std::vector<Case> cases = {
        {u"Standard", REG_DWORD, dword},
        {u"Big", REG_QWORD, qword},
        {u"Path", REG_SZ, Bytes(u"C:\\WINNT\\x \"quoted\"")},
        {u"Expand", REG_EXPAND_SZ, Bytes(u"%SystemRoot%\\System32")},
        {u"List", REG_MULTI_SZ, Bytes(std::u16string(u"one\0two\0\0", 9), false)},
        {u"EmptyList", REG_MULTI_SZ, {0, 0, 0, 0}},
        {u"Blob", REG_BINARY, {0, 1, 0xfe, 0xff}},
        {u"Nothing", REG_NONE, {}},
        {u"", REG_SZ, Bytes(u"default value")},
        // Bytes the typed forms cannot carry: kept as raw bytes of their type.
        {u"OddString", REG_SZ, {0x41, 0x00, 0x42}},
        {u"Unterminated", REG_SZ, Bytes(u"abc", false)},
        {u"EmbeddedNul", REG_SZ, Bytes(std::u16string(u"a\0b", 3))},
        {u"ShortDword", REG_DWORD, {1, 2}},
        {u"Link", 6, {1, 2, 3}},
        // Names and text that need escapes: quotes, backslashes, control
        // characters, non-ASCII, an unpaired surrogate.
        {u"We\"ird\\Name\n\t", REG_SZ, Bytes(u"Gr\u00fc\u00dfe \u65e5\u672c \U0001F600")},
        {std::u16string(u"Lone\xD800", 5), REG_SZ, Bytes(std::u16string(u"x\xDC00y", 3))},
    };
    HANDLE key, sub;
    ASSERT_EQ(Create(kTest, &key), STATUS_SUCCESS);
    ASSERT_EQ(Create(std::u16string(u"Sub]%Key\u00e9", 8), &sub, nullptr, key), STATUS_SUCCESS);
    for (const auto& c : cases) ASSERT_EQ(Set(key, c.name, c.type, c.data), STATUS_SUCCESS);
    ASSERT_EQ(Set(sub, u"x", REG_DWORD, dword), STATUS_SUCCESS);
    ZwClose(key);
    ZwClose(sub);

    Reboot();
    ASSERT_EQ(Open(kTest, &key), STATUS_SUCCESS);
    for (const auto& c : cases) {
        ULONG type = 0xFFFF;
        std::vector<UCHAR> data;
        ASSERT_EQ(Get(key, c.name, &type, &data), STATUS_SUCCESS) << NtNarrow(c.name);
        EXPECT_EQ(type, c.type) << NtNarrow(c.name);
        EXPECT_EQ(data, c.data) << NtNarrow(c.name);
    }
    EXPECT_EQ(Open(std::u16string(u"sub]%KEY\u00c9", 8), &sub, key), STATUS_SUCCESS);
    ZwClose(sub);
    ZwClose(key);
}

TEST_F(RegistryTest, InformationClassesFollowTheBufferRules)
{
    HANDLE key;
    ASSERT_EQ(Create(kTest, &key), STATUS_SUCCESS);
    std::vector<UCHAR> data = {1, 2, 3, 4, 5};
    ASSERT_EQ(Set(key, u"Value", REG_BINARY, data), STATUS_SUCCESS);
    UNICODE_STRING name = Us(u"Value");
    struct Case {
        KEY_VALUE_INFORMATION_CLASS infoClass;
        ULONG fixed, total;
    };
    // Name "Value" is 10 bytes; Full aligns its data to 4: 20 + 10 -> 32.
    const Case cases[] = {
        {KeyValueBasicInformation, 12, 22},
        {KeyValueFullInformation, 20, 37},
        {KeyValuePartialInformation, 12, 17},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.infoClass);
        std::vector<UCHAR> buffer(64, 0xCC);
        ULONG needed = 0;
        EXPECT_EQ(ZwQueryValueKey(key, &name, c.infoClass, buffer.data(), c.fixed - 1, &needed), STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(needed, c.total);
        EXPECT_EQ(buffer[0], 0xCC);  // nothing written
        EXPECT_EQ(ZwQueryValueKey(key, &name, c.infoClass, buffer.data(), c.total - 1, &needed), STATUS_BUFFER_OVERFLOW);
        EXPECT_EQ(needed, c.total);
        EXPECT_EQ(reinterpret_cast<ULONG*>(buffer.data())[1], (ULONG)REG_BINARY);  // the fixed part is filled
        EXPECT_EQ(ZwQueryValueKey(key, &name, c.infoClass, buffer.data(), c.total, &needed), STATUS_SUCCESS);
    }
    std::vector<UCHAR> buffer(64);
    ULONG needed;
    ASSERT_EQ(ZwQueryValueKey(key, &name, KeyValueFullInformation, buffer.data(), 64, &needed), STATUS_SUCCESS);
    auto* full = reinterpret_cast<KEY_VALUE_FULL_INFORMATION*>(buffer.data());
    EXPECT_EQ(full->DataOffset, 32u);
    EXPECT_EQ(full->DataLength, 5u);
    EXPECT_EQ(std::u16string(full->Name, full->NameLength / 2), u"Value");
    EXPECT_EQ(std::vector<UCHAR>(buffer.begin() + 32, buffer.begin() + 37), data);

    UNICODE_STRING missing = Us(u"Missing");
    EXPECT_EQ(ZwQueryValueKey(key, &missing, KeyValuePartialInformation, buffer.data(), 64, &needed),
              STATUS_OBJECT_NAME_NOT_FOUND);
    ZwClose(key);
}

TEST_F(RegistryTest, EnumerationOrdersSubkeysByNameAndValuesByCreation)
{
    HANDLE key, sub;
    ASSERT_EQ(Create(kTest, &key), STATUS_SUCCESS);
    for (auto n : {u"beta", u"Alpha", u"GAMMA"}) {
        ASSERT_EQ(Create(n, &sub, nullptr, key), STATUS_SUCCESS);
        ZwClose(sub);
    }
    for (auto n : {u"zeta", u"Eta", u"theta"}) ASSERT_EQ(Set(key, n, REG_DWORD, {0, 0, 0, 0}), STATUS_SUCCESS);
    ASSERT_EQ(Set(key, u"ZETA", REG_DWORD, {1, 0, 0, 0}), STATUS_SUCCESS);  // replaces, keeps its place

    std::vector<std::u16string> keys, values;
    std::vector<UCHAR> buffer(128);
    ULONG needed, i;
    for (i = 0; ZwEnumerateKey(key, i, KeyBasicInformation, buffer.data(), 128, &needed) == STATUS_SUCCESS; i++) {
        auto* info = reinterpret_cast<KEY_BASIC_INFORMATION*>(buffer.data());
        keys.emplace_back(info->Name, info->NameLength / 2);
    }
    EXPECT_EQ(ZwEnumerateKey(key, i, KeyBasicInformation, buffer.data(), 128, &needed), STATUS_NO_MORE_ENTRIES);
    for (i = 0; ZwEnumerateValueKey(key, i, KeyValueBasicInformation, buffer.data(), 128, &needed) == STATUS_SUCCESS;
         i++) {
        auto* info = reinterpret_cast<KEY_VALUE_BASIC_INFORMATION*>(buffer.data());
        values.emplace_back(info->Name, info->NameLength / 2);
    }
    EXPECT_EQ(keys, (std::vector<std::u16string>{u"Alpha", u"beta", u"GAMMA"}));
    EXPECT_EQ(values, (std::vector<std::u16string>{u"zeta", u"Eta", u"theta"}));

    ASSERT_EQ(ZwQueryKey(key, KeyFullInformation, buffer.data(), 128, &needed), STATUS_SUCCESS);
    auto* full = reinterpret_cast<KEY_FULL_INFORMATION*>(buffer.data());
    EXPECT_EQ(full->SubKeys, 3u);
    EXPECT_EQ(full->Values, 3u);
    EXPECT_EQ(full->MaxNameLen, 10u);  // "Alpha", "GAMMA"
    EXPECT_EQ(full->MaxValueDataLen, 4u);
    ZwClose(key);
}

TEST_F(RegistryTest, DeletedKeysAndValuesAreGoneForEveryHandle)
{
    HANDLE key, child, other;
    ASSERT_EQ(Create(kTest, &key), STATUS_SUCCESS);
    ASSERT_EQ(Create(u"Child", &child, nullptr, key), STATUS_SUCCESS);
    ASSERT_EQ(Open(u"Child", &other, key), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteKey(key), STATUS_CANNOT_DELETE);  // it has a subkey
    ASSERT_EQ(ZwDeleteKey(child), STATUS_SUCCESS);
    EXPECT_EQ(Set(other, u"x", REG_DWORD, {0, 0, 0, 0}), STATUS_KEY_DELETED);
    EXPECT_EQ(ZwDeleteKey(other), STATUS_KEY_DELETED);
    HANDLE reopened;
    EXPECT_EQ(Open(u"Child", &reopened, key), STATUS_OBJECT_NAME_NOT_FOUND);

    ASSERT_EQ(Set(key, u"v", REG_DWORD, {0, 0, 0, 0}), STATUS_SUCCESS);
    UNICODE_STRING v = Us(u"V");
    EXPECT_EQ(ZwDeleteValueKey(key, &v), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteValueKey(key, &v), STATUS_OBJECT_NAME_NOT_FOUND);
    for (HANDLE h : {key, child, other}) ZwClose(h);

    Reboot();
    EXPECT_EQ(Open(kTest + u"\\Child", &reopened), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RegistryFile().find("RegistryTest\\Child"), std::string::npos);
}

TEST_F(RegistryTest, VolatileKeysAreNeverWritten)
{
    HANDLE key, child, bad;
    ASSERT_EQ(Create(kTest, &key, nullptr, nullptr, REG_OPTION_VOLATILE), STATUS_SUCCESS);
    ASSERT_EQ(Create(u"Child", &child, nullptr, key, REG_OPTION_VOLATILE), STATUS_SUCCESS);
    EXPECT_EQ(Create(u"Stable", &bad, nullptr, key), STATUS_CHILD_MUST_BE_VOLATILE);
    ASSERT_EQ(Set(child, u"Marker", REG_DWORD, {7, 0, 0, 0}), STATUS_SUCCESS);
    EXPECT_EQ(RegistryFile().find("RegistryTest"), std::string::npos);
    ZwClose(key);
    ZwClose(child);
    Reboot();
    EXPECT_EQ(Open(kTest, &key), STATUS_OBJECT_NAME_NOT_FOUND);
    // The hardware tree is volatile but rebuilt at every boot.
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_DEVICEMAP, nullptr), STATUS_SUCCESS);
}

// ---- RtlQueryRegistryValues as the board driver reads its parameters ----

NTSTATUS CollectStrings(PWSTR name, ULONG type, PVOID data, ULONG length, PVOID context, PVOID)
{
    auto* out = static_cast<std::vector<std::u16string>*>(context);
    std::u16string s = type == REG_SZ ? std::u16string(static_cast<PWSTR>(data), length / 2 - 1) : u"?";
    out->push_back((name ? std::u16string(name) : u"") + u"=" + s);
    return STATUS_SUCCESS;
}

TEST_F(RegistryTest, QueryValuesRequiredDirectDefaultsAndSubkeys)
{
    ASSERT_EQ(InstallDriver(u"ZARKD", "ZARKD.sys"), STATUS_SUCCESS);
    ASSERT_EQ(SetDword(RTL_REGISTRY_SERVICES, u"ZARKD\\Parameters", u"CoreMode", 5), STATUS_SUCCESS);
    ASSERT_EQ(SetDword(RTL_REGISTRY_SERVICES, u"ZARKD\\Parameters\\PCI", u"IgnoreSubVendorId", 1), STATUS_SUCCESS);

    // Required values: the missing one fails the query; what came before
    // it was stored, what comes after keeps its preset.
    ULONG coreMode = 3, eventLogLevel = 1, standard = 525;
    RTL_QUERY_REGISTRY_TABLE required[4] = {};
    required[0] = {nullptr, RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED, const_cast<PWSTR>(u"CoreMode"),
                   &coreMode, REG_NONE, nullptr, 0};
    required[1] = {nullptr, RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED,
                   const_cast<PWSTR>(u"EventLogLevel"), &eventLogLevel, REG_NONE, nullptr, 0};
    required[2] = {nullptr, RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED, const_cast<PWSTR>(u"Standard"),
                   &standard, REG_NONE, nullptr, 0};
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"ZARKD\\Parameters", required, nullptr, nullptr),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(coreMode, 5u);
    EXPECT_EQ(eventLogLevel, 1u);
    EXPECT_EQ(standard, 525u);

    // Defaults, a subkey switch, a string into an allocated UNICODE_STRING,
    // an expanded string, and a routine that sees each string of a list.
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, u"ZARKD\\Parameters", u"Root", REG_EXPAND_SZ,
                                    const_cast<char16_t*>(u"%SystemRoot%\\x"), 30),
              STATUS_SUCCESS);
    char16_t list[] = u"a\0bc\0";
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, u"ZARKD\\Parameters", u"List", REG_MULTI_SZ, list,
                                    sizeof list),
              STATUS_SUCCESS);
    ULONG latency = 0xFFFFFFFF, defaultLatency = 0xFFFFFFFF, blackAdjust = 0, defaultBlack = 10, ignore = 0;
    UNICODE_STRING root{};
    std::vector<std::u16string> seen;
    RTL_QUERY_REGISTRY_TABLE table[7] = {};
    table[0] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, const_cast<PWSTR>(u"BlackAdjust"), &blackAdjust, REG_DWORD,
                &defaultBlack, sizeof(ULONG)};
    table[1] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, const_cast<PWSTR>(u"Root"), &root, REG_NONE, nullptr, 0};
    table[2] = {CollectStrings, 0, const_cast<PWSTR>(u"List"), nullptr, REG_NONE, nullptr, 0};
    table[3] = {nullptr, RTL_QUERY_REGISTRY_SUBKEY, const_cast<PWSTR>(u"PCI"), nullptr, REG_NONE, nullptr, 0};
    table[4] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, const_cast<PWSTR>(u"IgnoreSubVendorId"), &ignore, REG_NONE,
                nullptr, 0};
    table[5] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, const_cast<PWSTR>(u"LatencyOverride"), &latency, REG_DWORD,
                &defaultLatency, sizeof(ULONG)};
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"ZARKD\\Parameters", table, &seen, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(blackAdjust, 10u);
    EXPECT_EQ(std::u16string(root.Buffer, root.Length / 2), u"C:\\WINNT\\x");
    EXPECT_EQ(seen, (std::vector<std::u16string>{u"List=a", u"List=bc"}));
    EXPECT_EQ(ignore, 1u);
    EXPECT_EQ(latency, 0xFFFFFFFFu);
    ExFreePool(root.Buffer);

    // A too-small caller buffer for a DIRECT string.
    WCHAR small[4];
    UNICODE_STRING tiny{0, sizeof small, small};
    RTL_QUERY_REGISTRY_TABLE one[2] = {};
    one[0] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, const_cast<PWSTR>(u"Root"), &tiny, REG_NONE, nullptr, 0};
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"ZARKD\\Parameters", one, nullptr, nullptr),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"NoSuchService", one, nullptr, nullptr),
              STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(RegistryTest, RtlHelpersCreateOnlyTheLastKey)
{
    EXPECT_EQ(SetDword(RTL_REGISTRY_SERVICES, u"Absent\\Parameters", u"x", 1), STATUS_OBJECT_NAME_NOT_FOUND);
    std::u16string path = u"NewService";
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_SERVICES, path.data()), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlCreateRegistryKey(RTL_REGISTRY_SERVICES, path.data()), STATUS_SUCCESS);
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_SERVICES, path.data()), STATUS_SUCCESS);
    EXPECT_EQ(SetDword(RTL_REGISTRY_SERVICES, u"NewService\\Parameters", u"x", 1), STATUS_SUCCESS);
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_SERVICES, u"NewService\\Parameters", u"x"), STATUS_SUCCESS);
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_SERVICES, u"NewService\\Parameters", u"x"),
              STATUS_OBJECT_NAME_NOT_FOUND);
    // An absolute path given with a relative kind is taken as absolute.
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_SERVICES,
                                  const_cast<PWSTR>(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\EventLog\\System")),
              STATUS_SUCCESS);
}

// ---- The user-mode system calls ----

TEST_F(RegistryTest, SystemCallsProbeTheCallersMemoryAndRefuseKernelHandles)
{
    HANDLE kernelKey;
    ASSERT_EQ(Create(kTest, &kernelKey), STATUS_SUCCESS);
    UNICODE_STRING name = Us(u"v");
    ULONG one = 1;
    EXPECT_EQ(NtSetValueKey(kernelKey, &name, 0, REG_DWORD, &one, 4), STATUS_INVALID_HANDLE);

    std::u16string path = kTest;
    UNICODE_STRING us = Us(path);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &us, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE key = nullptr;
    ULONG disposition = 0;
    ASSERT_EQ(NtCreateKey(&key, KEY_READ, &oa, 0, nullptr, 0, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, (ULONG)REG_OPENED_EXISTING_KEY);
    EXPECT_EQ(NtSetValueKey(key, &name, 0, REG_DWORD, &one, 4), STATUS_ACCESS_DENIED);  // read-only handle
    NtClose(key);
    ASSERT_EQ(NtOpenKey(&key, KEY_ALL_ACCESS, &oa), STATUS_SUCCESS);

    auto* bad = reinterpret_cast<void*>(0x10);
    EXPECT_EQ(NtSetValueKey(key, &name, 0, REG_DWORD, bad, 4), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(NtSetValueKey(key, static_cast<PUNICODE_STRING>(bad), 0, REG_DWORD, &one, 4), STATUS_ACCESS_VIOLATION);
    ASSERT_EQ(NtSetValueKey(key, &name, 0, REG_DWORD, &one, 4), STATUS_SUCCESS);
    ULONG needed = 0;
    EXPECT_EQ(NtQueryValueKey(key, &name, KeyValuePartialInformation, bad, 64, &needed), STATUS_ACCESS_VIOLATION);

    // A partial record writes its fixed part only; the rest of the buffer is untouched.
    std::vector<UCHAR> buffer(15, 0xCC);
    EXPECT_EQ(NtQueryValueKey(key, &name, KeyValuePartialInformation, buffer.data(), 15, &needed),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(needed, 16u);
    EXPECT_EQ(buffer[12], 0xCC);
    EXPECT_EQ(reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer.data())->DataLength, 4u);
    NtClose(key);
    ZwClose(kernelKey);
}

// ---- The registry file and crashes ----

TEST_F(RegistryTest, AnInterruptedWriteLeavesTheOldFileWhole)
{
    HANDLE key;
    ASSERT_EQ(Create(kTest, &key), STATUS_SUCCESS);
    ASSERT_EQ(Set(key, u"Stage", REG_DWORD, {1, 0, 0, 0}), STATUS_SUCCESS);
    for (auto fault : {cm::SaveFault::HalfTemporary, cm::SaveFault::BeforeRename}) {
        std::string before = RegistryFile();
        cm::SetSaveFault(fault);
        // The change cannot be made durable: it fails and is not kept.
        EXPECT_EQ(Set(key, u"Stage", REG_DWORD, {2, 0, 0, 0}), STATUS_REGISTRY_IO_FAILED);
        ULONG type;
        std::vector<UCHAR> data;
        ASSERT_EQ(Get(key, u"Stage", &type, &data), STATUS_SUCCESS);
        EXPECT_EQ(data[0], 1);
        EXPECT_EQ(RegistryFile(), before);
        EXPECT_TRUE(std::filesystem::exists(Folder() + "/registry.txt.tmp"));
    }
    ZwClose(key);
    Reboot();
    EXPECT_FALSE(std::filesystem::exists(Folder() + "/registry.txt.tmp"));
    ASSERT_EQ(Open(kTest, &key), STATUS_SUCCESS);
    ULONG type;
    std::vector<UCHAR> data;
    ASSERT_EQ(Get(key, u"Stage", &type, &data), STATUS_SUCCESS);
    EXPECT_EQ(data[0], 1);
    ZwClose(key);
}

// A child process writes a counter as fast as it can and is killed at a
// different moment each round: the file must parse, and hold at least the
// last value whose write returned to the child.
TEST_F(RegistryTest, AProcessKilledWhileWritingLeavesAWholeFileWithEveryCommittedChange)
{
    nt::Machine::Shutdown();
    for (int round = 0; round < 4; round++) {
        int pipeFds[2];
        ASSERT_EQ(::pipe(pipeFds), 0);
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(pipeFds[0]);
            if (!NT_SUCCESS(nt::Machine::Boot(Options()))) ::_exit(2);
            for (ULONG k = 1;; k++) {
                if (!NT_SUCCESS(SetDword(RTL_REGISTRY_ABSOLUTE, kTest, u"Counter", k))) ::_exit(3);
                if (::write(pipeFds[1], &k, sizeof k) != sizeof k) ::_exit(4);
            }
        }
        ::close(pipeFds[1]);
        ULONG confirmed = 0, k;
        ULONG killAt = 3 + round * 7;
        while (confirmed < killAt && ::read(pipeFds[0], &k, sizeof k) == sizeof k) confirmed = k;
        ::kill(child, SIGKILL);
        int wstatus;
        ::waitpid(child, &wstatus, 0);
        while (::read(pipeFds[0], &k, sizeof k) == sizeof k) confirmed = k;
        ::close(pipeFds[0]);
        ASSERT_TRUE(WIFSIGNALED(wstatus)) << "child ended by itself: " << WEXITSTATUS(wstatus);
        ASSERT_GE(confirmed, killAt);

        ASSERT_EQ(nt::Machine::Boot(Options()), STATUS_SUCCESS) << "round " << round;
        ULONG counter = 0;
        RTL_QUERY_REGISTRY_TABLE table[2] = {};
        table[0] = {nullptr, RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED, const_cast<PWSTR>(u"Counter"),
                    &counter, REG_NONE, nullptr, 0};
        EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kTest.c_str(), table, nullptr, nullptr), STATUS_SUCCESS);
        EXPECT_GE(counter, confirmed);
        EXPECT_LE(counter, confirmed + 1);
        nt::Machine::Shutdown();
    }
    ASSERT_EQ(nt::Machine::Boot(Options()), STATUS_SUCCESS);  // for TearDown
}

TEST(RegistryText, ParseRejectsDamagedTextWithTheLine)
{
    const char* damaged[] = {
        "[\\Registry\\Machine\n",
        "\"v\" = dword:1\n",
        "[\\Registry\\Machine]\n\"v\" = dword:0x100000000\n",
        "[\\Registry\\Machine]\n\"v\" = sz:\"unterminated\n",
        "[\\Registry\\Machine]\n\"v\" = hex(4):0g\n",
        "[\\Other\\Root]\n",
    };
    for (const char* text : damaged) {
        auto root = std::make_shared<cm::Key>();
        root->name = u"Registry";
        std::string error;
        EXPECT_EQ(cm::Parse(text, root, &error), STATUS_REGISTRY_CORRUPT) << text;
        EXPECT_EQ(error.compare(0, 5, "line "), 0) << error;
    }
}

}  // namespace
