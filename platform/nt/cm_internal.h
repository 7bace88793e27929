// Registry internals shared by the cm_*.cpp modules (tree, file, key
// objects, system calls, run-time helpers), and the text escapes that the
// registry file and the event log file both use.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "nt_internal.h"
#include "nt_zw.h"

namespace cm {

// ---- The in-memory tree ----

struct Value {
    std::u16string name;  // case preserved; "" is the key's default value
    ULONG type;
    std::vector<UCHAR> data;
};

struct Key {
    std::u16string name;  // case preserved
    Key* parent = nullptr;  // null for the root and for deleted keys
    std::vector<std::shared_ptr<Key>> subkeys;  // in case-insensitive order
    std::vector<Value> values;  // in the order first set
    std::u16string className;
    bool isVolatile = false;
    bool deleted = false;
    LONGLONG lastWriteTime = 0;
};

// One lock for the whole tree. Never held while calling the object manager.
std::mutex& TreeLock();
// The root key (\Registry); null while no machine runs.
std::shared_ptr<Key> Root();
void ResetTree();  // a fresh tree with \Registry\Machine and \Registry\User

// Case-insensitive name compare of the registry (simple upper-casing of
// ASCII, Latin-1 and basic Cyrillic/Greek letters).
WCHAR Upcase(WCHAR c);
bool NamesEqual(const std::u16string& a, const std::u16string& b);
int CompareNames(const std::u16string& a, const std::u16string& b);

// Path components of 'path' (separated by '\'). Empty components inside the
// path, or a component longer than 255 characters, make it invalid.
bool SplitPath(const std::u16string& path, std::vector<std::u16string>* components);

// Lookups under TreeLock.
std::shared_ptr<Key> FindSubkey(const Key& key, const std::u16string& name);
Value* FindValue(Key& key, const std::u16string& name);
// Inserts a new subkey keeping the order.
std::shared_ptr<Key> AddSubkey(Key& parent, const std::u16string& name, bool isVolatile);
std::u16string FullPath(const Key& key);
// True when 'key' or an ancestor is volatile (nothing of it goes to the file).
bool IsVolatile(const Key& key);
LONGLONG Now();  // system time for LastWriteTime (0 while the clock is stopped)

// ---- The registry file (cm_file.cpp) ----

// Loads <folder>/registry.txt into a fresh tree, or, when there is none,
// builds the default tree and writes it. A leftover temporary file of an
// interrupted write is removed.
NTSTATUS Load(const std::string& folder);
// Writes the whole non-volatile tree (under TreeLock) atomically. Failures
// leave the tree marked dirty for the next write or flush.
NTSTATUS SaveLocked();
// After a change under TreeLock: writes when the key is not volatile.
NTSTATUS Commit(const Key& changed);
NTSTATUS FlushLocked();  // writes when dirty
void Unload();           // forgets the folder and the tree
// Text of the tree as the file holds it, and the reverse (for tests too).
std::string Serialize(const Key& root);
NTSTATUS Parse(const std::string& text, const std::shared_ptr<Key>& root, std::string* error);

// Test hook: stops the next write at a stage, as if the process died there.
enum class SaveFault { None, HalfTemporary, BeforeRename };
void SetSaveFault(SaveFault fault);

// ---- Key objects (cm_key.cpp) ----

// Kernel calls of the Zw and Nt forms meet here after the arguments have
// been captured. 'mode' is the previous mode used for handle checks.
NTSTATUS OpenKey(KPROCESSOR_MODE mode, PHANDLE handle, ACCESS_MASK access, HANDLE root,
                 const std::u16string& name, ULONG attributes, bool create, const std::u16string* className,
                 ULONG createOptions, PULONG disposition);
NTSTATUS DeleteKey(KPROCESSOR_MODE mode, HANDLE handle);
NTSTATUS SetValue(KPROCESSOR_MODE mode, HANDLE handle, const std::u16string& name, ULONG type, const void* data,
                  ULONG size);
NTSTATUS DeleteValue(KPROCESSOR_MODE mode, HANDLE handle, const std::u16string& name);
// The queries fill a kernel buffer; callers copy it out.
NTSTATUS QueryValue(KPROCESSOR_MODE mode, HANDLE handle, const std::u16string& name,
                    KEY_VALUE_INFORMATION_CLASS infoClass, PVOID info, ULONG length, PULONG resultLength);
NTSTATUS EnumerateValue(KPROCESSOR_MODE mode, HANDLE handle, ULONG index, KEY_VALUE_INFORMATION_CLASS infoClass,
                        PVOID info, ULONG length, PULONG resultLength);
NTSTATUS EnumerateKey(KPROCESSOR_MODE mode, HANDLE handle, ULONG index, KEY_INFORMATION_CLASS infoClass,
                      PVOID info, ULONG length, PULONG resultLength);
NTSTATUS QueryKey(KPROCESSOR_MODE mode, HANDLE handle, KEY_INFORMATION_CLASS infoClass, PVOID info, ULONG length,
                  PULONG resultLength);
NTSTATUS Flush(KPROCESSOR_MODE mode, HANDLE handle);

// Puts \Registry into the object name space (after ObInitialize), and takes
// it out again.
NTSTATUS CreateRootObject();
void DeleteRootObject();

// ---- Text escapes (cm_text.cpp) ----

// A quoted string: printable ASCII as is, '\\' and '"' escaped, \n \r \t,
// other control characters, DEL and unpaired surrogates as \uXXXX, every
// other character as UTF-8.
std::string Quote(const std::u16string& s);
// Reads a quoted string at text[*pos] (which must be '"'); advances *pos
// past the closing quote.
bool Unquote(const std::string& text, size_t* pos, std::u16string* out);
// A key path for "[...]" lines: as Quote but unquoted, with '%XXXX' as the
// escape (for '%', ']', control characters and unpaired surrogates), since
// '\' separates the components.
std::string EscapePath(const std::u16string& s);
bool UnescapePath(const std::string& text, std::u16string* out);
std::string HexBytes(const UCHAR* data, size_t size);  // "01 ab ff"
bool ParseHexBytes(const std::string& text, std::vector<UCHAR>* out);

}  // namespace cm
