// Key objects and the registry calls on them. A key object (CmKeyObjectType)
// holds a key of the tree; handles to it come from the object manager.
// \Registry itself is a permanent key object in the name space whose parse
// procedure resolves the names below it, so ObOpenObjectByName and
// ObReferenceObjectByName reach keys too. The Zw calls resolve names
// themselves (absolute \Registry\... names or relative to a key handle),
// change the tree under its lock, and write the registry file before they
// return (cm_file.cpp); a change whose write fails is undone and the call
// fails with STATUS_REGISTRY_IO_FAILED.
#include <algorithm>
#include <new>

#include "cm_internal.h"
#include "machine_internal.h"

namespace {

using cm::Key;
using cm::Value;

struct KeyBody {
    std::shared_ptr<Key> key;
};

void DeleteKeyBody(PVOID body) { static_cast<KeyBody*>(body)->~KeyBody(); }

NTSTATUS ParseKey(PVOID body, const std::u16string& remaining, ULONG attributes, ACCESS_MASK access,
                  KPROCESSOR_MODE mode, PVOID parseContext, PVOID* opened, std::u16string* reparsed);

OBJECT_TYPE keyType = {
    .Name = "Key",
    .DeleteProcedure = DeleteKeyBody,
    .CloseProcedure = nullptr,
    .ParseProcedure = ParseKey,
    .Waitable = false,
    .GenericRead = KEY_READ,
    .GenericWrite = KEY_WRITE,
    .GenericExecute = KEY_READ,
    .GenericAll = KEY_ALL_ACCESS,
};

PVOID rootObject;  // the \Registry object while a machine runs

constexpr ULONG kMaxValueNameChars = 16383;

ULONG AlignUp4(ULONG n) { return (n + 3) & ~3u; }

NTSTATUS MakeKeyObject(KPROCESSOR_MODE mode, std::shared_ptr<Key> key, POBJECT_ATTRIBUTES named, PVOID* body)
{
    OBJECT_ATTRIBUTES unnamed;
    InitializeObjectAttributes(&unnamed, nullptr, 0, nullptr, nullptr);
    NTSTATUS status = ObCreateObject(CmKeyObjectType, named ? named : &unnamed, mode, sizeof(KeyBody), body);
    if (!NT_SUCCESS(status)) return status;
    new (*body) KeyBody{std::move(key)};
    return STATUS_SUCCESS;
}

// Resolves 'relative' below 'start' under the tree lock, creating the last
// component when asked. A missing intermediate key fails, as NT's does.
NTSTATUS Resolve(const std::shared_ptr<Key>& start, std::u16string relative, bool create, ULONG createOptions,
                 const std::u16string* className, PULONG disposition, std::shared_ptr<Key>* out)
{
    if (!relative.empty() && relative.back() == u'\\') relative.pop_back();
    std::vector<std::u16string> parts;
    if (!cm::SplitPath(relative, &parts)) return STATUS_OBJECT_NAME_INVALID;
    if (start->deleted) return STATUS_KEY_DELETED;
    std::shared_ptr<Key> key = start;
    for (size_t i = 0; i < parts.size(); i++) {
        auto next = cm::FindSubkey(*key, parts[i]);
        if (!next) {
            if (!create || i + 1 != parts.size()) return STATUS_OBJECT_NAME_NOT_FOUND;
            bool isVolatile = (createOptions & REG_OPTION_VOLATILE) != 0;
            if (cm::IsVolatile(*key) && !isVolatile) return STATUS_CHILD_MUST_BE_VOLATILE;
            next = cm::AddSubkey(*key, parts[i], isVolatile);
            if (className) next->className = *className;
            NTSTATUS status = cm::Commit(*next);
            if (!NT_SUCCESS(status)) {
                auto& subs = key->subkeys;
                subs.erase(std::find(subs.begin(), subs.end(), next));
                next->parent = nullptr;
                next->deleted = true;
                return status;
            }
            if (disposition) *disposition = REG_CREATED_NEW_KEY;
            *out = next;
            return STATUS_SUCCESS;
        }
        key = next;
    }
    if (disposition) *disposition = REG_OPENED_EXISTING_KEY;
    *out = key;
    return STATUS_SUCCESS;
}

NTSTATUS ParseKey(PVOID body, const std::u16string& remaining, ULONG, ACCESS_MASK, KPROCESSOR_MODE mode, PVOID,
                  PVOID* opened, std::u16string*)
{
    std::u16string relative = remaining;
    if (!relative.empty() && relative[0] == u'\\') relative.erase(0, 1);
    std::shared_ptr<Key> key;
    {
        std::lock_guard<std::mutex> lock(cm::TreeLock());
        NTSTATUS status = Resolve(static_cast<KeyBody*>(body)->key, relative, false, 0, nullptr, nullptr, &key);
        if (!NT_SUCCESS(status)) return status;
    }
    return MakeKeyObject(mode, std::move(key), nullptr, opened);
}

// A referenced key of a handle, released at the end of the scope.
class KeyRef {
public:
    NTSTATUS Open(HANDLE handle, ACCESS_MASK access, KPROCESSOR_MODE mode)
    {
        return ObReferenceObjectByHandle(handle, access, CmKeyObjectType, mode, &body_, nullptr);
    }
    ~KeyRef()
    {
        if (body_) ObDereferenceObject(body_);
    }
    Key& key() { return *static_cast<KeyBody*>(body_)->key; }
    std::shared_ptr<Key> shared() { return static_cast<KeyBody*>(body_)->key; }

private:
    PVOID body_ = nullptr;
};

bool StartsWithRegistry(const std::u16string& name, std::u16string* rest)
{
    static const std::u16string prefix = u"\\Registry";
    if (name.size() < prefix.size() || !cm::NamesEqual(name.substr(0, prefix.size()), prefix)) return false;
    if (name.size() > prefix.size() && name[prefix.size()] != u'\\') return false;
    *rest = name.size() > prefix.size() ? name.substr(prefix.size() + 1) : u"";
    return true;
}

// ---- Information records ----

void PutName(PVOID info, ULONG offset, ULONG length, const std::u16string& name)
{
    ULONG bytes = static_cast<ULONG>(name.size() * 2);
    if (offset < length) std::memcpy(static_cast<char*>(info) + offset, name.data(), std::min(bytes, length - offset));
}

NTSTATUS FillValueInfo(const Value& v, KEY_VALUE_INFORMATION_CLASS infoClass, PVOID info, ULONG length,
                       PULONG resultLength)
{
    ULONG nameBytes = static_cast<ULONG>(v.name.size() * 2), dataBytes = static_cast<ULONG>(v.data.size());
    ULONG fixed, total, dataOffset = 0;
    switch (infoClass) {
    case KeyValueBasicInformation:
        fixed = offsetof(KEY_VALUE_BASIC_INFORMATION, Name);
        total = fixed + nameBytes;
        break;
    case KeyValueFullInformation:
        fixed = offsetof(KEY_VALUE_FULL_INFORMATION, Name);
        dataOffset = AlignUp4(fixed + nameBytes);
        total = dataOffset + dataBytes;
        break;
    case KeyValuePartialInformation:
        fixed = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
        total = fixed + dataBytes;
        break;
    default:
        return STATUS_INVALID_PARAMETER;
    }
    if (resultLength) *resultLength = total;
    if (length < fixed) return STATUS_BUFFER_TOO_SMALL;
    std::memset(info, 0, fixed);
    switch (infoClass) {
    case KeyValueBasicInformation: {
        auto* r = static_cast<KEY_VALUE_BASIC_INFORMATION*>(info);
        r->Type = v.type;
        r->NameLength = nameBytes;
        PutName(info, fixed, length, v.name);
        break;
    }
    case KeyValueFullInformation: {
        auto* r = static_cast<KEY_VALUE_FULL_INFORMATION*>(info);
        r->Type = v.type;
        r->DataOffset = dataOffset;
        r->DataLength = dataBytes;
        r->NameLength = nameBytes;
        PutName(info, fixed, length, v.name);
        if (total <= length && dataBytes) std::memcpy(static_cast<char*>(info) + dataOffset, v.data.data(), dataBytes);
        break;
    }
    default: {
        auto* r = static_cast<KEY_VALUE_PARTIAL_INFORMATION*>(info);
        r->Type = v.type;
        r->DataLength = dataBytes;
        if (total <= length && dataBytes) std::memcpy(r->Data, v.data.data(), dataBytes);
        break;
    }
    }
    return total <= length ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

NTSTATUS FillKeyInfo(const Key& key, KEY_INFORMATION_CLASS infoClass, PVOID info, ULONG length,
                     PULONG resultLength)
{
    ULONG nameBytes = static_cast<ULONG>(key.name.size() * 2);
    ULONG classBytes = static_cast<ULONG>(key.className.size() * 2);
    std::u16string path;
    ULONG fixed, total, classOffset = 0xFFFFFFFF;
    switch (infoClass) {
    case KeyBasicInformation:
        fixed = offsetof(KEY_BASIC_INFORMATION, Name);
        total = fixed + nameBytes;
        break;
    case KeyNodeInformation:
        fixed = offsetof(KEY_NODE_INFORMATION, Name);
        total = fixed + nameBytes;
        if (classBytes) {
            classOffset = AlignUp4(total);
            total = classOffset + classBytes;
        }
        break;
    case KeyFullInformation:
        fixed = offsetof(KEY_FULL_INFORMATION, Class);
        total = fixed + classBytes;
        if (classBytes) classOffset = fixed;
        break;
    case KeyNameInformation:
        path = cm::FullPath(key);
        fixed = offsetof(KEY_NAME_INFORMATION, Name);
        total = fixed + static_cast<ULONG>(path.size() * 2);
        break;
    default:
        return STATUS_INVALID_PARAMETER;
    }
    if (resultLength) *resultLength = total;
    if (length < fixed) return STATUS_BUFFER_TOO_SMALL;
    std::memset(info, 0, fixed);
    switch (infoClass) {
    case KeyBasicInformation: {
        auto* r = static_cast<KEY_BASIC_INFORMATION*>(info);
        r->LastWriteTime.QuadPart = key.lastWriteTime;
        r->NameLength = nameBytes;
        PutName(info, fixed, length, key.name);
        break;
    }
    case KeyNodeInformation: {
        auto* r = static_cast<KEY_NODE_INFORMATION*>(info);
        r->LastWriteTime.QuadPart = key.lastWriteTime;
        r->ClassOffset = classOffset;
        r->ClassLength = classBytes;
        r->NameLength = nameBytes;
        PutName(info, fixed, length, key.name);
        if (classBytes && total <= length) PutName(info, classOffset, length, key.className);
        break;
    }
    case KeyFullInformation: {
        auto* r = static_cast<KEY_FULL_INFORMATION*>(info);
        r->LastWriteTime.QuadPart = key.lastWriteTime;
        r->ClassOffset = classOffset;
        r->ClassLength = classBytes;
        r->SubKeys = static_cast<ULONG>(key.subkeys.size());
        r->Values = static_cast<ULONG>(key.values.size());
        for (const auto& s : key.subkeys) {
            r->MaxNameLen = std::max<ULONG>(r->MaxNameLen, s->name.size() * 2);
            r->MaxClassLen = std::max<ULONG>(r->MaxClassLen, s->className.size() * 2);
        }
        for (const auto& v : key.values) {
            r->MaxValueNameLen = std::max<ULONG>(r->MaxValueNameLen, v.name.size() * 2);
            r->MaxValueDataLen = std::max<ULONG>(r->MaxValueDataLen, v.data.size());
        }
        PutName(info, fixed, length, key.className);
        break;
    }
    default: {
        auto* r = static_cast<KEY_NAME_INFORMATION*>(info);
        r->NameLength = static_cast<ULONG>(path.size() * 2);
        PutName(info, fixed, length, path);
        break;
    }
    }
    return total <= length ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

std::u16string FromCounted(PCUNICODE_STRING s)
{
    if (!s || !s->Buffer) return {};
    return std::u16string(s->Buffer, s->Length / sizeof(WCHAR));
}

}  // namespace

POBJECT_TYPE CmKeyObjectType = &keyType;

namespace cm {

NTSTATUS OpenKey(KPROCESSOR_MODE mode, PHANDLE handle, ACCESS_MASK access, HANDLE root,
                 const std::u16string& name, ULONG attributes, bool create, const std::u16string* className,
                 ULONG createOptions, PULONG disposition)
{
    if (createOptions & ~REG_OPTION_VOLATILE) return STATUS_INVALID_PARAMETER;
    std::shared_ptr<Key> start;
    std::u16string relative;
    if (root) {
        KeyRef parent;
        NTSTATUS status = parent.Open(root, 0, mode);
        if (!NT_SUCCESS(status)) return status;
        start = parent.shared();
        relative = name;
        if (!relative.empty() && relative[0] == u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    } else {
        if (name.empty() || name[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
        if (!StartsWithRegistry(name, &relative)) {
            // Not a registry name: the object manager tells what it is.
            if (create) return STATUS_OBJECT_PATH_NOT_FOUND;
            UNICODE_STRING us{static_cast<USHORT>(name.size() * 2), static_cast<USHORT>(name.size() * 2),
                              const_cast<PWSTR>(name.data())};
            OBJECT_ATTRIBUTES oa;
            InitializeObjectAttributes(&oa, &us, attributes, nullptr, nullptr);
            return ObOpenObjectByName(&oa, CmKeyObjectType, mode, access, nullptr, handle);
        }
        start = Root();
        if (!start) return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    std::shared_ptr<Key> key;
    ULONG how = 0;
    {
        std::lock_guard<std::mutex> lock(TreeLock());
        NTSTATUS status = Resolve(start, relative, create, createOptions, className, &how, &key);
        if (!NT_SUCCESS(status)) return status;
    }
    PVOID body;
    NTSTATUS status = MakeKeyObject(mode, std::move(key), nullptr, &body);
    if (!NT_SUCCESS(status)) return status;
    status = ObInsertObject(body, access, attributes & (OBJ_KERNEL_HANDLE | OBJ_INHERIT), handle);
    if (!NT_SUCCESS(status)) return status;
    if (disposition) *disposition = how;
    return STATUS_SUCCESS;
}

NTSTATUS DeleteKey(KPROCESSOR_MODE mode, HANDLE handle)
{
    KeyRef ref;
    NTSTATUS status = ref.Open(handle, DELETE, mode);
    if (!NT_SUCCESS(status)) return status;
    std::lock_guard<std::mutex> lock(TreeLock());
    Key& key = ref.key();
    if (key.deleted) return STATUS_KEY_DELETED;
    Key* parent = key.parent;
    if (!parent || !parent->parent) return STATUS_CANNOT_DELETE;  // \Registry, Machine, User
    if (!key.subkeys.empty()) return STATUS_CANNOT_DELETE;
    auto& subs = parent->subkeys;
    auto it = std::find_if(subs.begin(), subs.end(), [&](const std::shared_ptr<Key>& k) { return k.get() == &key; });
    size_t index = it - subs.begin();
    std::shared_ptr<Key> keep = *it;
    subs.erase(it);
    key.deleted = true;
    key.parent = nullptr;
    status = Commit(*parent);
    if (!NT_SUCCESS(status)) {
        subs.insert(subs.begin() + index, keep);
        key.deleted = false;
        key.parent = parent;
        return status;
    }
    parent->lastWriteTime = Now();
    return STATUS_SUCCESS;
}

NTSTATUS SetValue(KPROCESSOR_MODE mode, HANDLE handle, const std::u16string& name, ULONG type, const void* data,
                  ULONG size)
{
    if (name.size() > kMaxValueNameChars) return STATUS_INVALID_PARAMETER;
    if (size && !data) return STATUS_INVALID_PARAMETER;
    KeyRef ref;
    NTSTATUS status = ref.Open(handle, KEY_SET_VALUE, mode);
    if (!NT_SUCCESS(status)) return status;
    std::lock_guard<std::mutex> lock(TreeLock());
    Key& key = ref.key();
    if (key.deleted) return STATUS_KEY_DELETED;
    const UCHAR* bytes = static_cast<const UCHAR*>(data);
    Value fresh{name, type, std::vector<UCHAR>(bytes, bytes + size)};
    Value* old = FindValue(key, name);
    if (old) {
        Value before = std::move(*old);
        fresh.name = before.name;  // the name keeps the case it was first set with
        *old = std::move(fresh);
        status = Commit(key);
        if (!NT_SUCCESS(status)) *FindValue(key, name) = std::move(before);
    } else {
        key.values.push_back(std::move(fresh));
        status = Commit(key);
        if (!NT_SUCCESS(status)) key.values.pop_back();
    }
    if (NT_SUCCESS(status)) key.lastWriteTime = Now();
    return status;
}

NTSTATUS DeleteValue(KPROCESSOR_MODE mode, HANDLE handle, const std::u16string& name)
{
    KeyRef ref;
    NTSTATUS status = ref.Open(handle, KEY_SET_VALUE, mode);
    if (!NT_SUCCESS(status)) return status;
    std::lock_guard<std::mutex> lock(TreeLock());
    Key& key = ref.key();
    if (key.deleted) return STATUS_KEY_DELETED;
    auto it = std::find_if(key.values.begin(), key.values.end(),
                           [&](const Value& v) { return NamesEqual(v.name, name); });
    if (it == key.values.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    size_t index = it - key.values.begin();
    Value before = std::move(*it);
    key.values.erase(it);
    status = Commit(key);
    if (!NT_SUCCESS(status)) {
        key.values.insert(key.values.begin() + index, std::move(before));
        return status;
    }
    key.lastWriteTime = Now();
    return STATUS_SUCCESS;
}

NTSTATUS QueryValue(KPROCESSOR_MODE mode, HANDLE handle, const std::u16string& name,
                    KEY_VALUE_INFORMATION_CLASS infoClass, PVOID info, ULONG length, PULONG resultLength)
{
    KeyRef ref;
    NTSTATUS status = ref.Open(handle, KEY_QUERY_VALUE, mode);
    if (!NT_SUCCESS(status)) return status;
    std::lock_guard<std::mutex> lock(TreeLock());
    Key& key = ref.key();
    if (key.deleted) return STATUS_KEY_DELETED;
    Value* v = FindValue(key, name);
    if (!v) return STATUS_OBJECT_NAME_NOT_FOUND;
    return FillValueInfo(*v, infoClass, info, length, resultLength);
}

NTSTATUS EnumerateValue(KPROCESSOR_MODE mode, HANDLE handle, ULONG index, KEY_VALUE_INFORMATION_CLASS infoClass,
                        PVOID info, ULONG length, PULONG resultLength)
{
    KeyRef ref;
    NTSTATUS status = ref.Open(handle, KEY_QUERY_VALUE, mode);
    if (!NT_SUCCESS(status)) return status;
    std::lock_guard<std::mutex> lock(TreeLock());
    Key& key = ref.key();
    if (key.deleted) return STATUS_KEY_DELETED;
    if (index >= key.values.size()) return STATUS_NO_MORE_ENTRIES;
    return FillValueInfo(key.values[index], infoClass, info, length, resultLength);
}

NTSTATUS EnumerateKey(KPROCESSOR_MODE mode, HANDLE handle, ULONG index, KEY_INFORMATION_CLASS infoClass,
                      PVOID info, ULONG length, PULONG resultLength)
{
    if (infoClass == KeyNameInformation) return STATUS_INVALID_PARAMETER;
    KeyRef ref;
    NTSTATUS status = ref.Open(handle, KEY_ENUMERATE_SUB_KEYS, mode);
    if (!NT_SUCCESS(status)) return status;
    std::lock_guard<std::mutex> lock(TreeLock());
    Key& key = ref.key();
    if (key.deleted) return STATUS_KEY_DELETED;
    if (index >= key.subkeys.size()) return STATUS_NO_MORE_ENTRIES;
    return FillKeyInfo(*key.subkeys[index], infoClass, info, length, resultLength);
}

NTSTATUS QueryKey(KPROCESSOR_MODE mode, HANDLE handle, KEY_INFORMATION_CLASS infoClass, PVOID info, ULONG length,
                  PULONG resultLength)
{
    KeyRef ref;
    NTSTATUS status = ref.Open(handle, infoClass == KeyNameInformation ? ACCESS_MASK{0} : ACCESS_MASK{KEY_QUERY_VALUE}, mode);
    if (!NT_SUCCESS(status)) return status;
    std::lock_guard<std::mutex> lock(TreeLock());
    Key& key = ref.key();
    if (key.deleted) return STATUS_KEY_DELETED;
    return FillKeyInfo(key, infoClass, info, length, resultLength);
}

NTSTATUS Flush(KPROCESSOR_MODE mode, HANDLE handle)
{
    KeyRef ref;
    NTSTATUS status = ref.Open(handle, 0, mode);
    if (!NT_SUCCESS(status)) return status;
    std::lock_guard<std::mutex> lock(TreeLock());
    if (ref.key().deleted) return STATUS_KEY_DELETED;
    return FlushLocked();
}

NTSTATUS CreateRootObject()
{
    UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\Registry");
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_PERMANENT | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    PVOID body;
    NTSTATUS status = MakeKeyObject(KernelMode, Root(), &oa, &body);
    if (!NT_SUCCESS(status)) return status;
    status = ObInsertObject(body, 0, OBJ_PERMANENT | OBJ_CASE_INSENSITIVE, nullptr);
    if (!NT_SUCCESS(status)) return status;
    rootObject = body;
    return STATUS_SUCCESS;
}

void DeleteRootObject()
{
    if (!rootObject) return;
    ObMakeTemporaryObject(rootObject);
    ObDereferenceObject(rootObject);
    rootObject = nullptr;
}

}  // namespace cm

// ---- The drivers' Zw calls (kernel callers: previous mode KernelMode) ----

NTSTATUS ZwCreateKey(PHANDLE key, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, ULONG, PUNICODE_STRING className,
                     ULONG createOptions, PULONG disposition)
{
    if (!key || !attributes) return STATUS_INVALID_PARAMETER;
    std::u16string cls = FromCounted(className);
    return cm::OpenKey(KernelMode, key, access, attributes->RootDirectory, FromCounted(attributes->ObjectName),
                       attributes->Attributes, true, className ? &cls : nullptr, createOptions, disposition);
}

NTSTATUS ZwOpenKey(PHANDLE key, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes)
{
    if (!key || !attributes) return STATUS_INVALID_PARAMETER;
    return cm::OpenKey(KernelMode, key, access, attributes->RootDirectory, FromCounted(attributes->ObjectName),
                       attributes->Attributes, false, nullptr, 0, nullptr);
}

NTSTATUS ZwDeleteKey(HANDLE key) { return cm::DeleteKey(KernelMode, key); }

NTSTATUS ZwQueryValueKey(HANDLE key, PUNICODE_STRING valueName, KEY_VALUE_INFORMATION_CLASS infoClass, PVOID info,
                         ULONG length, PULONG resultLength)
{
    return cm::QueryValue(KernelMode, key, FromCounted(valueName), infoClass, info, length, resultLength);
}

NTSTATUS ZwSetValueKey(HANDLE key, PUNICODE_STRING valueName, ULONG, ULONG type, PVOID data, ULONG dataSize)
{
    return cm::SetValue(KernelMode, key, FromCounted(valueName), type, data, dataSize);
}

NTSTATUS ZwDeleteValueKey(HANDLE key, PUNICODE_STRING valueName)
{
    return cm::DeleteValue(KernelMode, key, FromCounted(valueName));
}

NTSTATUS ZwEnumerateKey(HANDLE key, ULONG index, KEY_INFORMATION_CLASS infoClass, PVOID info, ULONG length,
                        PULONG resultLength)
{
    return cm::EnumerateKey(KernelMode, key, index, infoClass, info, length, resultLength);
}

NTSTATUS ZwEnumerateValueKey(HANDLE key, ULONG index, KEY_VALUE_INFORMATION_CLASS infoClass, PVOID info,
                             ULONG length, PULONG resultLength)
{
    return cm::EnumerateValue(KernelMode, key, index, infoClass, info, length, resultLength);
}

NTSTATUS ZwQueryKey(HANDLE key, KEY_INFORMATION_CLASS infoClass, PVOID info, ULONG length, PULONG resultLength)
{
    return cm::QueryKey(KernelMode, key, infoClass, info, length, resultLength);
}

NTSTATUS ZwFlushKey(HANDLE key) { return cm::Flush(KernelMode, key); }

// ---- Boot and shutdown (machine.cpp) ----

namespace nt {

NTSTATUS CmBootLoad(const std::string& folder) { return cm::Load(folder); }

NTSTATUS CmBootInitialize() { return cm::CreateRootObject(); }

void CmShutdown()
{
    {
        std::lock_guard<std::mutex> lock(cm::TreeLock());
        cm::FlushLocked();
    }
    cm::DeleteRootObject();
    cm::Unload();
}

}  // namespace nt
