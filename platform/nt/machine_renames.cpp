// Renames and deletions put off until the next boot (MoveFileEx with
// MOVEFILE_DELAY_UNTIL_REBOOT): the Session Manager's
// PendingFileRenameOperations value holds pairs of NT paths, a source and
// a target ("" deletes the source, a leading '!' lets the rename replace an
// existing target). The boot carries them out once the drives are mapped
// and before any driver starts, then removes the value; one that fails is
// reported and the rest still run.
#include <cstdio>
#include <string>
#include <vector>

#include "machine_internal.h"
#include "nt_internal.h"
#include "nt_zw.h"

namespace {

constexpr char16_t kSessionManager[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Session Manager";
constexpr char16_t kPendingValue[] = u"PendingFileRenameOperations";

std::vector<std::u16string> SplitMultiString(const char16_t* text, size_t chars)
{
    std::vector<std::u16string> strings;
    std::u16string current;
    for (size_t i = 0; i < chars; ++i) {
        if (text[i] != 0) {
            current.push_back(text[i]);
            continue;
        }
        strings.push_back(current);
        current.clear();
    }
    if (!current.empty()) strings.push_back(current);
    // A REG_MULTI_SZ ends with an empty string; a pair's empty target is
    // one too, so only the very last one goes.
    if (!strings.empty() && strings.back().empty() && strings.size() % 2 == 1) strings.pop_back();
    return strings;
}

NTSTATUS OpenForDelete(const std::u16string& path, HANDLE* file)
{
    UNICODE_STRING name{USHORT(path.size() * 2), USHORT(path.size() * 2), const_cast<PWCHAR>(path.data())};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb{};
    return ZwOpenFile(file, DELETE | SYNCHRONIZE, &attributes, &iosb,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_SYNCHRONOUS_IO_NONALERT);
}

NTSTATUS CarryOut(const std::u16string& source, std::u16string target)
{
    HANDLE file = nullptr;
    NTSTATUS status = OpenForDelete(source, &file);
    if (!NT_SUCCESS(status)) return status;
    IO_STATUS_BLOCK iosb{};
    if (target.empty()) {
        FILE_DISPOSITION_INFORMATION disposition{TRUE};
        status = ZwSetInformationFile(file, &iosb, &disposition, sizeof disposition, FileDispositionInformation);
    } else {
        bool replace = target[0] == u'!';
        if (replace) target.erase(0, 1);
        std::vector<UCHAR> buffer(offsetof(FILE_RENAME_INFORMATION, FileName) + target.size() * 2);
        auto* rename = reinterpret_cast<FILE_RENAME_INFORMATION*>(buffer.data());
        rename->ReplaceIfExists = replace;
        rename->RootDirectory = nullptr;
        rename->FileNameLength = ULONG(target.size() * 2);
        std::memcpy(rename->FileName, target.data(), target.size() * 2);
        status = ZwSetInformationFile(file, &iosb, rename, ULONG(buffer.size()), FileRenameInformation);
    }
    ZwClose(file);
    return status;
}

}  // namespace

namespace nt {

void RunPendingFileRenames()
{
    UNICODE_STRING keyName{USHORT(sizeof kSessionManager - 2), USHORT(sizeof kSessionManager - 2),
                           const_cast<PWCHAR>(kSessionManager)};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &keyName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE key = nullptr;
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_ALL_ACCESS, &attributes))) return;
    UNICODE_STRING valueName{USHORT(sizeof kPendingValue - 2), USHORT(sizeof kPendingValue - 2),
                             const_cast<PWCHAR>(kPendingValue)};
    ULONG needed = 0;
    ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, nullptr, 0, &needed);
    std::vector<UCHAR> buffer(needed ? needed : 1);
    NTSTATUS status =
        ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, buffer.data(), ULONG(buffer.size()), &needed);
    if (NT_SUCCESS(status)) {
        auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer.data());
        std::vector<std::u16string> strings;
        if (info->Type == REG_MULTI_SZ)
            strings = SplitMultiString(reinterpret_cast<const char16_t*>(info->Data), info->DataLength / 2);
        for (size_t i = 0; i + 1 < strings.size(); i += 2) {
            NTSTATUS done = CarryOut(strings[i], strings[i + 1]);
            if (!NT_SUCCESS(done))
                std::fprintf(stderr, "machine: the rename of %s put off until this boot failed: %s\n",
                             NtNarrow(strings[i]).c_str(), NtStatusName(done));
        }
        ZwDeleteValueKey(key, &valueName);
        ZwFlushKey(key);
    }
    ZwClose(key);
}

}  // namespace nt
