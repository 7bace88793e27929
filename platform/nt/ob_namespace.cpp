// Object manager: the name space. Directories map upcased leaf names to
// objects (names keep the case they were created with). Lookups ignore case,
// except for the synchronisation objects and sections that programs name
// themselves: "Mutex" and "MUTEX" are two of those unless the caller asks
// for OBJ_CASE_INSENSITIVE, as on Windows. Symbolic links are followed from the root again; an object
// with a parse procedure (a device, the registry root) takes over the rest
// of a path. The name space holds no reference of its own except for
// permanent objects; a temporary object loses its name when its last handle
// closes or its last reference goes.
#include <algorithm>
#include <map>

#include "io_internal.h"
#include "ob_internal.h"

namespace {

// Upcased name -> objects: several when names differ only in case.
using DirectoryEntries = std::multimap<std::u16string, PVOID>;

struct OBJECT_DIRECTORY {
    DirectoryEntries* Entries;
};

void ObpDeleteDirectory(PVOID body)
{
    auto* d = static_cast<OBJECT_DIRECTORY*>(body);
    delete d->Entries;
    d->Entries = nullptr;
}

OBJECT_TYPE DirectoryType = {
    "Directory", ObpDeleteDirectory, nullptr, nullptr, false,
    DIRECTORY_ALL_ACCESS & 0x00020003, DIRECTORY_ALL_ACCESS & 0x0002000C, 0x00020003, DIRECTORY_ALL_ACCESS,
};

PVOID ObpRoot;  // the root directory (one creation reference)
constexpr int kMaxReparse = 32;

bool IsDirectory(PVOID body) { return ObpHeader(body)->Type == &DirectoryType; }
DirectoryEntries& EntriesOf(PVOID dir) { return *static_cast<OBJECT_DIRECTORY*>(dir)->Entries; }

// The synchronisation objects and sections that programs name themselves.
bool ProgramNamedType(POBJECT_TYPE t)
{
    return t == ExEventObjectType || t == ExMutantObjectType || t == ExSemaphoreObjectType ||
           t == ExTimerObjectType || t == MmSectionObjectType;
}

// A program opening an existing object must ask for something the type can
// grant: no access at all, or a right the type does not have, is refused,
// and the right to the audit list needs a privilege no program holds here.
NTSTATUS CheckOpenAccess(POBJECT_TYPE type, ACCESS_MASK access)
{
    if (access & ACCESS_SYSTEM_SECURITY) return STATUS_PRIVILEGE_NOT_HELD;
    const ACCESS_MASK grantable =
        type->GenericAll | MAXIMUM_ALLOWED | GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL;
    if (!access || (access & ~grantable)) return STATUS_ACCESS_DENIED;
    return STATUS_SUCCESS;
}

// The entry of 'dir' that 'name' names: the one of exactly that name, else
// one whose case differs when the lookup or the object's type ignores case.
PVOID FindEntry(PVOID dir, const std::u16string& name, ULONG attributes)
{
    auto [first, last] = EntriesOf(dir).equal_range(ObpUpcase(name));
    PVOID folded = nullptr;
    for (auto it = first; it != last; ++it) {
        OBJECT_HEADER* h = ObpHeader(it->second);
        if (h->Name && *h->Name == name) return it->second;
        if (!folded && ((attributes & OBJ_CASE_INSENSITIVE) || !ProgramNamedType(h->Type))) folded = it->second;
    }
    return folded;
}

NTSTATUS ObpMakeDirectoryBody(PVOID* body, POBJECT_ATTRIBUTES attributes)
{
    NTSTATUS s = ObCreateObject(&DirectoryType, attributes, KernelMode, sizeof(OBJECT_DIRECTORY), body);
    if (!NT_SUCCESS(s)) return s;
    static_cast<OBJECT_DIRECTORY*>(*body)->Entries = new DirectoryEntries();
    return s;
}

void ObpCreatePermanentDirectory(const char16_t* name)
{
    UNICODE_STRING n;
    RtlInitUnicodeString(&n, name);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &n, OBJ_PERMANENT | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    PVOID body;
    if (NT_SUCCESS(ObpMakeDirectoryBody(&body, &oa)) && NT_SUCCESS(ObInsertObject(body, 0, 0, nullptr)))
        ObfDereferenceObject(body);  // the permanent name keeps it
}

// Ends a lookup at 'object' (referenced by the caller's walk) with the rest
// of the path. Runs the parse procedure outside the lock.
NTSTATUS ObpFinish(PVOID object, const std::u16string& remaining, ULONG attributes, ACCESS_MASK access,
                   KPROCESSOR_MODE mode, PVOID parseContext, PVOID* out, std::u16string* reparsed)
{
    POBJECT_TYPE t = ObpHeader(object)->Type;
    if (!t->ParseProcedure) {
        if (!remaining.empty()) {
            ObfDereferenceObject(object);
            return STATUS_OBJECT_PATH_NOT_FOUND;
        }
        *out = object;
        return STATUS_SUCCESS;
    }
    PVOID opened = nullptr;
    NTSTATUS s = t->ParseProcedure(object, remaining, attributes, access, mode, parseContext, &opened, reparsed);
    if (s == STATUS_OBJECT_TYPE_MISMATCH && remaining.empty()) {
        *out = object;
        return STATUS_SUCCESS;
    }
    ObfDereferenceObject(object);
    if (s == STATUS_REPARSE) return s;
    if (NT_SUCCESS(s)) *out = opened;
    return s;
}

}  // namespace

POBJECT_TYPE ObDirectoryType = &DirectoryType;

std::u16string ObpUpcase(const std::u16string& s)
{
    std::u16string u(s);
    for (auto& c : u) {
        if (c >= u'a' && c <= u'z') c = char16_t(c - 32);
        else if (c >= 0xE0 && c <= 0xFE && c != 0xF7) c = char16_t(c - 32);
    }
    return u;
}

// Looks a path up from 'start' (a referenced object, or null for the root
// with an absolute path). Returns the object with a reference.
static NTSTATUS ObpLookup(PVOID start, std::u16string path, ULONG attributes, ACCESS_MASK access,
                          KPROCESSOR_MODE mode, PVOID parseContext, PVOID* out)
{
    *out = nullptr;
    for (int round = 0; round < kMaxReparse; round++) {
        std::unique_lock<std::mutex> lock(ObpLock);
        PVOID cur;
        size_t pos;
        if (start && round == 0) {
            if (!path.empty() && path[0] == u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
            cur = start;
            if (!IsDirectory(cur)) {
                if (!ObpReferenceIfAlive(cur)) return STATUS_OBJECT_NAME_NOT_FOUND;
                lock.unlock();
                std::u16string rest = path.empty() ? std::u16string() : u"\\" + path;
                std::u16string reparsed;
                NTSTATUS s = ObpFinish(cur, rest, attributes, access, mode, parseContext, out, &reparsed);
                if (s != STATUS_REPARSE) return s;
                path = reparsed;
                start = nullptr;
                continue;
            }
            pos = 0;
        } else {
            if (path.empty() || path[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
            if (!ObpRoot) return STATUS_OBJECT_PATH_NOT_FOUND;
            cur = ObpRoot;
            pos = 1;
        }
        bool restarted = false;
        while (!restarted) {
            if (pos >= path.size()) {
                if (!ObpReferenceIfAlive(cur)) return STATUS_OBJECT_NAME_NOT_FOUND;
                *out = cur;
                return STATUS_SUCCESS;
            }
            size_t sep = path.find(u'\\', pos);
            std::u16string comp = path.substr(pos, sep == std::u16string::npos ? std::u16string::npos : sep - pos);
            std::u16string after = sep == std::u16string::npos ? std::u16string() : path.substr(sep);
            if (comp.empty()) return STATUS_OBJECT_NAME_INVALID;
            PVOID child = FindEntry(cur, comp, attributes);
            if (!child) return after.empty() ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
            POBJECT_TYPE t = ObpHeader(child)->Type;
            if (t == ObSymbolicLinkType && (!after.empty() || !(attributes & OBJ_OPENLINK))) {
                path = ObpSymbolicLinkTarget(child) + after;
                restarted = true;
                break;
            }
            if (t == &DirectoryType) {
                cur = child;
                pos = sep == std::u16string::npos ? path.size() : sep + 1;
                continue;
            }
            if (!ObpReferenceIfAlive(child)) return after.empty() ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
            lock.unlock();
            std::u16string reparsed;
            NTSTATUS s = ObpFinish(child, after, attributes, access, mode, parseContext, out, &reparsed);
            if (s != STATUS_REPARSE) return s;
            path = reparsed;
            restarted = true;
        }
        start = nullptr;
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

// Resolves the root handle and the name of a call's attributes.
static NTSTATUS ObpCaptureName(POBJECT_ATTRIBUTES attributes, KPROCESSOR_MODE mode, PVOID* root,
                               std::u16string* name)
{
    *root = nullptr;
    if (!attributes) return STATUS_INVALID_PARAMETER;
    const UNICODE_STRING* n = attributes->ObjectName;
    if (n && n->Length) {
        if (n->Length & 1) return STATUS_OBJECT_NAME_INVALID;
        name->assign(n->Buffer, n->Length / 2);
    } else {
        name->clear();
    }
    if (attributes->RootDirectory)
        return ObReferenceObjectByHandle(attributes->RootDirectory, 0, nullptr, mode, root, nullptr);
    if (name->empty()) return STATUS_OBJECT_NAME_INVALID;
    return STATUS_SUCCESS;
}

NTSTATUS ObpLookupByAttributes(POBJECT_ATTRIBUTES attributes, KPROCESSOR_MODE mode, ACCESS_MASK access,
                               PVOID parseContext, PVOID* object)
{
    PVOID root;
    std::u16string name;
    NTSTATUS s = ObpCaptureName(attributes, mode, &root, &name);
    if (!NT_SUCCESS(s)) return s;
    ULONG attrs = attributes->Attributes;
    s = ObpLookup(root, name, attrs, access, mode, parseContext, object);
    if (root) ObfDereferenceObject(root);
    return s;
}

NTSTATUS ObOpenObjectByName(POBJECT_ATTRIBUTES attributes, POBJECT_TYPE type, KPROCESSOR_MODE mode,
                            ACCESS_MASK access, PVOID parseContext, PHANDLE handle)
{
    if (!handle) return STATUS_INVALID_PARAMETER;
    *handle = nullptr;
    PVOID object;
    NTSTATUS s = ObpLookupByAttributes(attributes, mode, access, parseContext, &object);
    if (!NT_SUCCESS(s)) return s;
    POBJECT_TYPE actual = ObpHeader(object)->Type;
    if (type && actual != type) {
        ObfDereferenceObject(object);
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    if (mode == UserMode && ProgramNamedType(actual)) {
        s = CheckOpenAccess(actual, access);
        if (!NT_SUCCESS(s)) {
            ObfDereferenceObject(object);
            return s;
        }
    }
    ULONG attrs = attributes->Attributes;
    if (mode == UserMode) attrs &= ~ULONG(OBJ_KERNEL_HANDLE);
    PEPROCESS process = (attrs & OBJ_KERNEL_HANDLE) ? PsInitialSystemProcess : PsGetCurrentProcess();
    s = ObCreateHandle(process, object, ObpMapAccess(actual, access), attrs, handle);
    if (!NT_SUCCESS(s)) ObfDereferenceObject(object);
    return s;
}

NTSTATUS ObReferenceObjectByName(PUNICODE_STRING name, ULONG attributes, PVOID accessState,
                                 ACCESS_MASK desiredAccess, POBJECT_TYPE type, KPROCESSOR_MODE accessMode,
                                 PVOID parseContext, PVOID* object)
{
    (void)accessState;
    if (!object || !name) return STATUS_INVALID_PARAMETER;
    *object = nullptr;
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, name, attributes, nullptr, nullptr);
    PVOID found;
    NTSTATUS s = ObpLookupByAttributes(&oa, accessMode, desiredAccess, parseContext, &found);
    if (!NT_SUCCESS(s)) return s;
    if (type && ObpHeader(found)->Type != type) {
        ObfDereferenceObject(found);
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    *object = found;
    return STATUS_SUCCESS;
}

// Gives a created object its name: the parent path is looked up (links
// followed) and must be a directory. On a collision the existing object is
// returned referenced in 'existing'.
static NTSTATUS ObpInsertName(PVOID body, PVOID root, const std::u16string& full, ULONG attributes,
                              PVOID* existing)
{
    *existing = nullptr;
    size_t cut = full.rfind(u'\\');
    std::u16string parentPath, leaf;
    PVOID parent = nullptr;
    NTSTATUS s;
    if (cut == std::u16string::npos) {
        if (!root) return STATUS_OBJECT_PATH_SYNTAX_BAD;
        leaf = full;
        parent = root;
        ObfReferenceObject(parent);
    } else {
        leaf = full.substr(cut + 1);
        parentPath = full.substr(0, cut);
        if (!root && parentPath.empty()) parentPath = u"\\";
        s = ObpLookup(root, parentPath, 0, 0, KernelMode, nullptr, &parent);
        if (!NT_SUCCESS(s)) return s == STATUS_OBJECT_NAME_NOT_FOUND ? STATUS_OBJECT_PATH_NOT_FOUND : s;
    }
    if (leaf.empty()) {
        ObfDereferenceObject(parent);
        return STATUS_OBJECT_NAME_INVALID;
    }
    if (!IsDirectory(parent)) {
        ObfDereferenceObject(parent);
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    // The new name collides with what a lookup of it by its creator finds.
    if (!ProgramNamedType(ObpHeader(body)->Type)) attributes |= OBJ_CASE_INSENSITIVE;
    {
        std::lock_guard<std::mutex> lock(ObpLock);
        if (PVOID found = FindEntry(parent, leaf, attributes)) {
            if (ObpReferenceIfAlive(found)) *existing = found;
            s = STATUS_OBJECT_NAME_COLLISION;
        } else {
            EntriesOf(parent).emplace(ObpUpcase(leaf), body);
            OBJECT_HEADER* h = ObpHeader(body);
            h->Directory = parent;  // the parent reference now belongs to the name
            delete h->Name;
            h->Name = new std::u16string(leaf);
            return STATUS_SUCCESS;
        }
    }
    ObfDereferenceObject(parent);
    return s;
}

NTSTATUS ObInsertObject(PVOID body, ACCESS_MASK access, ULONG attributes, PHANDLE handle)
{
    if (!ObpIsObject(body)) return STATUS_INVALID_PARAMETER;
    OBJECT_HEADER* h = ObpHeader(body);
    if (h->Flags & OB_FLAG_INSERTED) return STATUS_INVALID_PARAMETER;
    h->Flags |= OB_FLAG_INSERTED;
    ULONG attrs = h->CreateAttributes | attributes;
    if (handle) *handle = nullptr;
    if (h->PendingName) {
        std::u16string name = *h->PendingName;
        delete h->PendingName;
        h->PendingName = nullptr;
        PVOID root = h->PendingRoot;
        h->PendingRoot = nullptr;
        PVOID existing = nullptr;
        NTSTATUS s = ObpInsertName(body, root, name, attrs, &existing);
        if (root) ObfDereferenceObject(root);
        if (!NT_SUCCESS(s)) {
            auto* type = h->Type;  // the header goes with the last reference
            ObfDereferenceObject(body);
            if (!existing) return s;
            if ((attrs & OBJ_OPENIF) && handle && ObpHeader(existing)->Type == type) {
                PEPROCESS p = (attrs & OBJ_KERNEL_HANDLE) ? PsInitialSystemProcess : PsGetCurrentProcess();
                NTSTATUS hs = ObCreateHandle(p, existing, ObpMapAccess(type, access), attrs, handle);
                if (!NT_SUCCESS(hs)) {
                    ObfDereferenceObject(existing);
                    return hs;
                }
                return STATUS_OBJECT_NAME_EXISTS;
            }
            bool mismatch = (attrs & OBJ_OPENIF) && ObpHeader(existing)->Type != type;
            ObfDereferenceObject(existing);
            return mismatch ? STATUS_OBJECT_TYPE_MISMATCH : STATUS_OBJECT_NAME_COLLISION;
        }
        if (attrs & OBJ_PERMANENT) {
            h->Flags |= OB_FLAG_PERMANENT;
            ObfReferenceObject(body);
        }
    }
    if (!handle) return STATUS_SUCCESS;
    PEPROCESS p = (attrs & OBJ_KERNEL_HANDLE) ? PsInitialSystemProcess : PsGetCurrentProcess();
    NTSTATUS s = ObCreateHandle(p, body, ObpMapAccess(h->Type, access), attrs, handle);
    if (!NT_SUCCESS(s)) ObfDereferenceObject(body);
    return s;
}

void ObpDeleteName(PVOID body)
{
    OBJECT_HEADER* h = ObpHeader(body);
    PVOID dir;
    {
        std::lock_guard<std::mutex> lock(ObpLock);
        dir = h->Directory;
        if (!dir) return;
        h->Directory = nullptr;
        auto& entries = EntriesOf(dir);
        auto [first, last] = entries.equal_range(ObpUpcase(*h->Name));
        for (auto it = first; it != last; ++it)
            if (it->second == body) {
                entries.erase(it);
                break;
            }
    }
    ObfDereferenceObject(dir);
}

void ObpHandleCountDropped(PVOID body)
{
    if (!(ObpHeader(body)->Flags & OB_FLAG_PERMANENT)) ObpDeleteName(body);
}

void ObMakeTemporaryObject(PVOID object)
{
    if (!ObpIsObject(object)) return;
    OBJECT_HEADER* h = ObpHeader(object);
    bool wasPermanent;
    {
        std::lock_guard<std::mutex> lock(ObpLock);
        wasPermanent = h->Flags & OB_FLAG_PERMANENT;
        h->Flags &= ~OB_FLAG_PERMANENT;
    }
    if (!wasPermanent) return;
    if (h->HandleCount == 0) ObpDeleteName(object);
    ObfDereferenceObject(object);
}

NTSTATUS ZwMakeTemporaryObject(HANDLE handle)
{
    PVOID object;
    NTSTATUS s = ObReferenceObjectByHandle(handle, 0, nullptr, KernelMode, &object, nullptr);
    if (!NT_SUCCESS(s)) return s;
    ObMakeTemporaryObject(object);
    ObfDereferenceObject(object);
    return STATUS_SUCCESS;
}

std::u16string ObGetObjectName(PVOID body)
{
    if (!ObpIsObject(body)) return {};
    std::lock_guard<std::mutex> lock(ObpLock);
    if (body == ObpRoot) return u"\\";
    std::u16string full;
    for (PVOID cur = body; cur && cur != ObpRoot;) {
        OBJECT_HEADER* h = ObpHeader(cur);
        if (!h->Directory || !h->Name) return {};
        full = u"\\" + *h->Name + full;
        cur = h->Directory;
    }
    return full;
}

std::vector<ObDirectoryEntry> ObListDirectory(const std::u16string& directory)
{
    std::vector<ObDirectoryEntry> out;
    PVOID dir;
    if (!NT_SUCCESS(ObpLookup(nullptr, directory, 0, 0, KernelMode, nullptr, &dir))) return out;
    {
        std::lock_guard<std::mutex> lock(ObpLock);
        if (IsDirectory(dir)) {
            for (auto& [key, child] : EntriesOf(dir)) {
                OBJECT_HEADER* h = ObpHeader(child);
                ObDirectoryEntry e;
                e.name = h->Name ? *h->Name : key;
                e.type = h->Type->Name;
                if (h->Type == ObSymbolicLinkType) e.linkTarget = ObpSymbolicLinkTarget(child);
                out.push_back(std::move(e));
            }
        }
    }
    ObfDereferenceObject(dir);
    return out;
}

void ObInitialize()
{
    if (ObpRoot) return;
    PVOID root;
    if (!NT_SUCCESS(ObpMakeDirectoryBody(&root, nullptr))) KeBugCheckEx(0x69 /* IO1_INITIALIZATION_FAILED */, 0, 0, 0, 0);
    ObpHeader(root)->Flags |= OB_FLAG_INSERTED;
    ObpRoot = root;
    for (const char16_t* d : {u"\\Device", u"\\??", u"\\BaseNamedObjects", u"\\Driver", u"\\FileSystem",
                              u"\\KernelObjects", u"\\ObjectTypes"})
        ObpCreatePermanentDirectory(d);
    UNICODE_STRING link = RTL_CONSTANT_STRING(u"\\DosDevices"), target = RTL_CONSTANT_STRING(u"\\??");
    ObpCreatePermanentLink(&link, &target);
    PspInitialize();
}

// Takes every name out of a directory tree, deepest first; permanent
// objects lose the reference their name held.
static void ObpDropTree(PVOID dir)
{
    std::vector<PVOID> children;
    {
        std::lock_guard<std::mutex> lock(ObpLock);
        for (auto& [key, child] : EntriesOf(dir))
            if (ObpReferenceIfAlive(child)) children.push_back(child);
    }
    for (PVOID child : children) {
        if (IsDirectory(child)) ObpDropTree(child);
        bool permanent;
        {
            std::lock_guard<std::mutex> lock(ObpLock);
            permanent = ObpHeader(child)->Flags & OB_FLAG_PERMANENT;
            ObpHeader(child)->Flags &= ~OB_FLAG_PERMANENT;
        }
        ObpDeleteName(child);
        if (permanent) ObfDereferenceObject(child);
        ObfDereferenceObject(child);
    }
}

void ObShutdown()
{
    if (!ObpRoot) return;
    PspShutdown();
    IopShutdown();
    ObpDropTree(ObpRoot);
    PVOID root = ObpRoot;
    {
        std::lock_guard<std::mutex> lock(ObpLock);
        ObpRoot = nullptr;
    }
    ObfDereferenceObject(root);
    PspReleaseSystemProcess();
}
