// The pure routines of the on-disk format: checksum, names, body-table
// sizes, striping and replacement entries.

#include "zarfs_format.h"

#include <cstdio>
#include <cstring>

const char* ZarFsEntryKindName(ULONG kind)
{
    switch (kind) {
    case ZarFsEntryVolume: return "VolumeEntry";
    case ZarFsEntryDir: return "DirEntry";
    case ZarFsEntryFile: return "FileEntry";
    case ZarFsEntryBodyTable: return "BodyTable";
    default: return "Unknown";
    }
}

ULONG ZarFsHwCalcChecksum(const void* bytes, ULONG length)
{
    const auto* p = static_cast<const signed char*>(bytes);
    ULONG a = 1, b = 0;
    for (ULONG i = 0; i < length; ++i) {
        a += ULONG(LONG(p[i]));
        b += a;
    }
    return (b << 16) + a;
}

namespace {

struct EntryShape {
    ULONG size;
    ULONG checksumOffset;
};

bool ShapeOf(ULONG kind, EntryShape* shape)
{
    switch (kind) {
    case ZarFsEntryVolume: *shape = {sizeof(ZARFS_VOLUME_ENTRY), offsetof(ZARFS_VOLUME_ENTRY, Checksum)}; return true;
    case ZarFsEntryDir: *shape = {sizeof(ZARFS_DIR_ENTRY), offsetof(ZARFS_DIR_ENTRY, Checksum)}; return true;
    case ZarFsEntryFile: *shape = {sizeof(ZAR_FILE_INFO), offsetof(ZAR_FILE_INFO, Checksum)}; return true;
    default: return false;
    }
}

}  // namespace

ULONG ZarFsHwEntryChecksum(const void* entry, ULONG kind)
{
    EntryShape shape;
    if (!ShapeOf(kind, &shape)) return 0;
    // The sum runs as if the field held zero.
    const auto* s = static_cast<const signed char*>(entry);
    ULONG sa = 1, sb = 0;
    for (ULONG i = 0; i < shape.size; ++i) {
        LONG v = (i >= shape.checksumOffset && i < shape.checksumOffset + 4) ? 0 : LONG(s[i]);
        sa += ULONG(v);
        sb += sa;
    }
    return (sb << 16) + sa;
}

void ZarFsHwSetChecksum(void* entry, ULONG kind)
{
    EntryShape shape;
    if (!ShapeOf(kind, &shape)) return;
    ULONG sum = ZarFsHwEntryChecksum(entry, kind);
    std::memcpy(static_cast<UCHAR*>(entry) + shape.checksumOffset, &sum, sizeof sum);
}

BOOLEAN ZarFsHwVerifyChecksum(const void* entry, ULONG kind, BOOLEAN allowBlank)
{
    EntryShape shape;
    if (!ShapeOf(kind, &shape)) return FALSE;
    ULONG head;
    std::memcpy(&head, entry, sizeof head);
    if (allowBlank && head == 0) return TRUE;
    ULONG stored;
    std::memcpy(&stored, static_cast<const UCHAR*>(entry) + shape.checksumOffset, sizeof stored);
    return ZarFsHwEntryChecksum(entry, kind) == stored;
}

BOOLEAN ZarFsHwIsValidFilename(PCWSTR name, ULONG chars)
{
    if (name == nullptr || chars == 0 || chars > ZARFS_NAME_CHARS) return FALSE;
    for (ULONG i = 0; i < chars; ++i) {
        switch (name[i]) {
        case u'\\': case u'/': case u':': case u'*': case u'?': case u'"': case u'<': case u'>': case u'|':
            return FALSE;
        default:
            break;
        }
    }
    return TRUE;
}

ULONG ZarFsHwNameLength(const WCHAR (&field)[ZARFS_NAME_CHARS])
{
    ULONG n = 0;
    while (n < ZARFS_NAME_CHARS && field[n] != 0) ++n;
    return n;
}

BOOLEAN ZarFsHwNameEquals(const WCHAR (&field)[ZARFS_NAME_CHARS], PCWSTR name, ULONG chars)
{
    if (ZarFsHwNameLength(field) != chars) return FALSE;
    for (ULONG i = 0; i < chars; ++i)
        if (RtlUpcaseUnicodeChar(field[i]) != RtlUpcaseUnicodeChar(name[i])) return FALSE;
    return TRUE;
}

BOOLEAN ZarFsHwStoredNamesEqual(const WCHAR (&a)[ZARFS_NAME_CHARS], const WCHAR (&b)[ZARFS_NAME_CHARS])
{
    return ZarFsHwNameEquals(a, b, ZarFsHwNameLength(b));
}

void ZarFsHwStoreName(WCHAR (&field)[ZARFS_NAME_CHARS], PCWSTR name, ULONG chars)
{
    std::memset(field, 0, sizeof field);
    if (chars > ZARFS_NAME_CHARS) chars = ZARFS_NAME_CHARS;
    std::memcpy(field, name, chars * sizeof(WCHAR));
}

ULONG ZarFsHwGetBodyTableSize(ULONG frames)
{
    return (frames * 8 + ZARFS_BLOCK - 1) / ZARFS_BLOCK * ZARFS_BLOCK;
}

ULONG ZarFsHwGetBodyTableNodesSize(ULONG frames) { return frames * 2 * sizeof(ZARFS_BODY_TABLE_NODE); }

void ZarFsHwBuildBodyTableNodes(const ULONG* table, ULONG fields, const ULONG* ids, ULONG driveCount,
                                ULONG firstDataBlock, ZARFS_BODY_TABLE_NODE* nodes)
{
    ULONG cursor[ZARFS_MAX_SCSI_IDS];
    for (ULONG d = 0; d < driveCount; ++d) cursor[d] = firstDataBlock;
    for (ULONG k = 0; k < fields; ++k) {
        ULONG d = k % driveCount;
        ULONG counts = table[k];
        nodes[k] = {ids[d], cursor[d], counts};
        cursor[d] += (counts & 0xFFFF) + (counts >> 16);
    }
}

void ZarFsHwPackBodyTableNodes(const ZARFS_BODY_TABLE_NODE* nodes, ULONG fields, ULONG* table)
{
    for (ULONG k = 0; k < fields; ++k) table[k] = nodes[k].Counts;
}

void ZarFsHwMakeReplacementEntry(void* buffer, ULONG kind, ULONG block)
{
    char text[32];
    if (kind == ZarFsEntryDir) {
        auto* dir = static_cast<ZARFS_DIR_ENTRY*>(buffer);
        std::memset(dir, 0, sizeof *dir);
        std::memcpy(dir->Magic, "FOL0", 4);
        dir->InUse = 1;
        int n = std::snprintf(text, sizeof text, "BAD_DIR_%lu", static_cast<unsigned long>(block));
        for (int i = 0; i < n; ++i) dir->Name[i] = WCHAR(text[i]);
        ZarFsHwSetChecksum(dir, ZarFsEntryDir);
    } else if (kind == ZarFsEntryFile) {
        auto* file = static_cast<ZAR_FILE_INFO*>(buffer);
        std::memset(file, 0, sizeof *file);
        std::memcpy(file->Magic, "FIL0", 4);
        int n = std::snprintf(text, sizeof text, "BAD_FILE_%lu", static_cast<unsigned long>(block));
        for (int i = 0; i < n; ++i) file->Name[i] = char16_t(text[i]);
        ZarFsHwSetChecksum(file, ZarFsEntryFile);
    }
}
