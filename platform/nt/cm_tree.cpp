// The registry's in-memory tree: keys with case-insensitive, case-preserving
// names, subkeys kept sorted (the order enumeration returns), values kept in
// the order they were first set. One lock guards it all; the registry is
// small and every change is written out whole anyway.
#include <algorithm>

#include "cm_internal.h"
#include "clock.h"

namespace cm {

namespace {
std::mutex treeLock;
std::shared_ptr<Key> root;
}  // namespace

std::mutex& TreeLock() { return treeLock; }

std::shared_ptr<Key> Root() { return root; }

void ResetTree()
{
    auto fresh = std::make_shared<Key>();
    fresh->name = u"Registry";
    fresh->lastWriteTime = Now();
    AddSubkey(*fresh, u"Machine", false);
    AddSubkey(*fresh, u"User", false);
    root = fresh;
}

WCHAR Upcase(WCHAR c)
{
    if (c >= u'a' && c <= u'z') return c - 0x20;
    if (c < 0xE0) return c;
    if (c <= 0xFE && c != 0xF7) return c - 0x20;                 // Latin-1
    if (c == 0xFF) return 0x178;
    if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return c - 0x20;  // Greek
    if (c >= 0x430 && c <= 0x44F) return c - 0x20;               // Cyrillic
    if (c >= 0x450 && c <= 0x45F) return c - 0x50;
    return c;
}

int CompareNames(const std::u16string& a, const std::u16string& b)
{
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; i++) {
        WCHAR x = Upcase(a[i]), y = Upcase(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : a.size() < b.size() ? -1 : 1;
}

bool NamesEqual(const std::u16string& a, const std::u16string& b)
{
    return a.size() == b.size() && CompareNames(a, b) == 0;
}

bool SplitPath(const std::u16string& path, std::vector<std::u16string>* components)
{
    components->clear();
    size_t start = 0;
    while (start < path.size()) {
        size_t end = path.find(u'\\', start);
        if (end == std::u16string::npos) end = path.size();
        if (end == start) return false;  // "a\\b": an empty name
        if (end - start > 255) return false;
        components->push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return true;
}

std::shared_ptr<Key> FindSubkey(const Key& key, const std::u16string& name)
{
    auto it = std::lower_bound(key.subkeys.begin(), key.subkeys.end(), name,
                               [](const std::shared_ptr<Key>& k, const std::u16string& n) {
                                   return CompareNames(k->name, n) < 0;
                               });
    if (it != key.subkeys.end() && NamesEqual((*it)->name, name)) return *it;
    return nullptr;
}

Value* FindValue(Key& key, const std::u16string& name)
{
    for (auto& v : key.values)
        if (NamesEqual(v.name, name)) return &v;
    return nullptr;
}

std::shared_ptr<Key> AddSubkey(Key& parent, const std::u16string& name, bool isVolatile)
{
    auto key = std::make_shared<Key>();
    key->name = name;
    key->parent = &parent;
    key->isVolatile = isVolatile;
    key->lastWriteTime = Now();
    auto it = std::lower_bound(parent.subkeys.begin(), parent.subkeys.end(), name,
                               [](const std::shared_ptr<Key>& k, const std::u16string& n) {
                                   return CompareNames(k->name, n) < 0;
                               });
    parent.subkeys.insert(it, key);
    parent.lastWriteTime = key->lastWriteTime;
    return key;
}

std::u16string FullPath(const Key& key)
{
    if (!key.parent) return key.deleted ? std::u16string() : u"\\" + key.name;
    return FullPath(*key.parent) + u"\\" + key.name;
}

bool IsVolatile(const Key& key)
{
    for (const Key* k = &key; k; k = k->parent)
        if (k->isVolatile) return true;
    return false;
}

LONGLONG Now()
{
    if (!nt::ClockRunning()) return 0;
    LARGE_INTEGER t;
    KeQuerySystemTime(&t);
    return t.QuadPart;
}

}  // namespace cm
