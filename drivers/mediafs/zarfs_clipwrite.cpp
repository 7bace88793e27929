// A clip file written into the native folder is stored as a clip: the
// writer takes the file in order, checks its header block (file header,
// info chunk, format chunks, index chunks, data chunk header) as the bytes
// arrive, reserves the frame data and body table of each part as a
// recorder does, writes the index as the part's body table and the frame
// data field after field onto the drives (field k on drive k mod D, each
// drive's fields one after another from the part's first data block), so
// that it reads back through the clip-file view byte for byte. The file
// entry names the reserved runs while the data arrives and is completed
// when the last byte of the clip lands.
//
// Writes must come in order: each one starts where the previous one ended
// (any length). Any other offset is refused with STATUS_INVALID_PARAMETER
// and changes nothing, so the writer can go on from the right place. A file
// that already holds media is never written over. A clip that breaks the
// layout fails with STATUS_FILE_INVALID and keeps nothing: its reservation
// is given back at once and the file stays empty.

#include "zarfs_driver.h"

namespace {

constexpr ULONG kWriterTag = ZarFsTag("KIVW");
constexpr NTSTATUS kStatusFileInvalid = NTSTATUS(0xC0000098);  // STATUS_FILE_INVALID
constexpr LONGLONG kWriteToEndOfFile = -1;                    // FILE_WRITE_TO_END_OF_FILE
constexpr ULONG kFixedBytes = 384;      // header, info, both format chunks and the first index header
constexpr ULONG kMaxChunkBlocks = 256;  // blocks of one disk request

enum ClipWriterState : ULONG {
    ClipWriterHeader = 0,   // the header block is still arriving
    ClipWriterData = 1,     // space reserved, frame data arriving
    ClipWriterComplete = 2, // the entry holds the clip
    ClipWriterFailed = 3,   // refused; nothing kept
};

struct ClipWritePart {
    ULONG FormatOffset;
    ULONG IndexOffset;          // of the index bytes in the header block
    ULONG IndexBytes;
    ULONG Fields;
    ULONG TableBlocks;
    ULONG BlocksPerDrive;
    ULONG DataBlocks;           // of all fields
    ULONG Coding;
    ULONGLONG DataOffset;       // of the first data byte in the file
    // Cursor over the fields: writes come in order.
    ULONG Field;
    ULONGLONG FieldStart;       // of the current field, in the part's data
    ULONG DriveNext[ZARFS_MAX_SCSI_IDS];
};

}  // namespace

struct ZARFS_CLIP_WRITER {
    ClipWriterState State;
    NTSTATUS Failure;           // what refused the clip, for every later write
    ULONGLONG Next;             // where the next write must start
    ULONGLONG Total;            // the clip's size, once the header block is known
    UCHAR Fixed[kFixedBytes];
    PUCHAR Header;              // the whole header block, once its size is known
    ULONG HeaderBytes;
    ULONG Parts;
    ULONG EmptyKeyIndex;        // key chunks without a key stream: its index chunk header's offset, else 0
    ClipWritePart Part[2];      // video, alpha
    UCHAR KeyDataHeader[16];    // between the two parts' data
};

namespace {

ULONG Get32(const UCHAR* p, ULONG offset)
{
    ULONG v;
    RtlCopyMemory(&v, p + offset, 4);
    return v;
}
USHORT Get16(const UCHAR* p, ULONG offset)
{
    USHORT v;
    RtlCopyMemory(&v, p + offset, 2);
    return v;
}
ULONGLONG Get64(const UCHAR* p, ULONG offset)
{
    ULONGLONG v;
    RtlCopyMemory(&v, p + offset, 8);
    return v;
}

bool IsChunk(const UCHAR* p, ULONG offset, ULONGLONG size, ULONG type, ULONG stream)
{
    return Get64(p, offset) == size && Get32(p, offset + 8) == type && Get32(p, offset + 12) == stream;
}

bool IsPal(const UCHAR* format) { return Get16(format, 26) == 25; }

// A format chunk of a part whose standard agrees with the fill's: the
// volume keeps one line standard per file, and the view is rebuilt from it.
bool FormatFitsStandard(const UCHAR* format)
{
    bool pal = IsPal(format);
    return Get16(format, 18) == (pal ? 576 : 486) && ((Get32(format, 36) & 4) != 0) == !pal;
}

// The coding kind back as the entry keeps it: not SDTI, or an SDTI type.
void SdtiOfCoding(ULONG coding, bool* sdti, ULONG* type)
{
    *sdti = coding != 0;
    *type = coding >= 3 ? coding - 2 : 0;
}

void CountDataBlocks(ClipWritePart* part, const UCHAR* header, const ZARFS_HW_VOLUME* volume)
{
    ULONG drives = volume->DriveCount == 0 ? 1 : volume->DriveCount;
    ULONG perDrive[ZARFS_MAX_SCSI_IDS] = {};
    ULONGLONG total = 0;
    for (ULONG k = 0; k < part->Fields; ++k) {
        ULONG entry = Get32(header, part->IndexOffset + 4 * k);
        ULONG blocks = (entry & 0xFFFF) + (entry >> 16);
        perDrive[k % drives] += blocks;
        total += blocks;
    }
    ULONG most = 0;
    for (ULONG d = 0; d < drives; ++d)
        if (perDrive[d] > most) most = perDrive[d];
    part->BlocksPerDrive = most;
    part->DataBlocks = total > 0xFFFFFFFFull ? 0xFFFFFFFF : ULONG(total);
}

// The first bytes of the clip, up to the first index chunk's header: what
// the layout allows, and the size of the whole header block.
NTSTATUS CheckFixedPart(ZARFS_CLIP_WRITER* w, ULONG* headerBytes)
{
    const UCHAR* h = w->Fixed;
    if (RtlCompareMemory(h, "KIV0", 4) != 4 || Get32(h, 4) != 16) return kStatusFileInvalid;
    if (Get64(h, 16) != 272 || Get32(h, 24) != 1) return kStatusFileInvalid;
    if (!IsChunk(h, 288, 40, 0, 0) || (Get32(h, 324) & 2)) return kStatusFileInvalid;
    NTSTATUS status = ZarFsKIVVerifyVideoParameters(h + 288);
    if (!NT_SUCCESS(status)) return status;
    if (!FormatFitsStandard(h + 288)) return kStatusFileInvalid;
    ULONG frames = Get32(h, 320);
    // A clip holds at least one frame; a frame count whose index could not
    // be addressed is no clip either.
    if (frames == 0 || frames > 0x0FFFFFFF) return kStatusFileInvalid;
    // Key chunks may come without a key stream (a key format chunk of 0
    // frames, as the library writes a clip recorded without key): the clip
    // then has its video part only.
    const bool keyChunks = Get32(h, 328 + 8) == 0;
    bool alpha = false;
    ULONG indexHeader = 328;
    w->Parts = 1;
    w->EmptyKeyIndex = 0;
    w->Part[0].FormatOffset = 288;
    if (keyChunks) {
        const UCHAR* key = h + 328;
        if (!IsChunk(h, 328, 40, 0, 1)) return kStatusFileInvalid;
        status = ZarFsKIVVerifyVideoParameters(key);
        if (!NT_SUCCESS(status)) return status;
        const ULONG keyFrames = Get32(key, 32);
        if (!FormatFitsStandard(key) || IsPal(key) != IsPal(h + 288) || (keyFrames != frames && keyFrames != 0))
            return kStatusFileInvalid;
        indexHeader = 368;
        alpha = keyFrames != 0;
        if (alpha) {
            w->Parts = 2;
            w->Part[1].FormatOffset = 328;
        }
    }
    // Each index has an entry for every field, and no more than the body
    // table of the frame count holds.
    ULONG least = frames * 8, most = ZarFsHwGetBodyTableSize(frames);
    ULONGLONG indexChunk = Get64(h, indexHeader);
    if (Get32(h, indexHeader + 8) != 2 || Get32(h, indexHeader + 12) != 0 || indexChunk < 16ull + least ||
        indexChunk > 16ull + most)
        return kStatusFileInvalid;
    ULONG videoIndex = ULONG(indexChunk - 16);
    ULONG dataHeader = Get32(h, 12);
    ULONG keyIndex = 0;
    if (keyChunks) {
        // In 64 bits: a huge frame count must not wrap the sums.
        ULONGLONG before = ULONGLONG(indexHeader) + 16 + videoIndex + 16;
        if (dataHeader < before + (alpha ? least : 0) || dataHeader > before + most) return kStatusFileInvalid;
        keyIndex = ULONG(dataHeader - before);
        if (!alpha) w->EmptyKeyIndex = indexHeader + 16 + videoIndex;
    } else if (dataHeader != indexHeader + 16 + videoIndex) {
        return kStatusFileInvalid;
    }
    for (ULONG p = 0; p < w->Parts; ++p) {
        ClipWritePart& part = w->Part[p];
        part.IndexBytes = p == 0 ? videoIndex : keyIndex;
        part.IndexOffset = p == 0 ? indexHeader + 16 : indexHeader + 16 + videoIndex + 16;
        part.Fields = frames * 2;
        part.TableBlocks = (part.IndexBytes + ZARFS_BLOCK - 1) / ZARFS_BLOCK;
        part.Coding = Get32(h, part.FormatOffset + 28);
    }
    if (dataHeader > 0xFFFFFFFFu - 16) return kStatusFileInvalid;
    *headerBytes = dataHeader + 16;
    return STATUS_SUCCESS;
}

// The whole header block: the key index and data chunk headers, and the
// frame data's size from the index.
NTSTATUS CheckHeaderBlock(ZARFS_CLIP_WRITER* w, const ZARFS_HW_VOLUME* volume)
{
    const UCHAR* h = w->Header;
    if (w->Parts == 2 && !IsChunk(h, w->Part[1].IndexOffset - 16, 16ull + w->Part[1].IndexBytes, 2, 1))
        return kStatusFileInvalid;
    if (w->EmptyKeyIndex != 0 && !IsChunk(h, w->EmptyKeyIndex, w->HeaderBytes - 16 - w->EmptyKeyIndex, 2, 1))
        return kStatusFileInvalid;
    for (ULONG p = 0; p < w->Parts; ++p) CountDataBlocks(&w->Part[p], h, volume);
    ULONGLONG videoBytes = ULONGLONG(w->Part[0].DataBlocks) * ZARFS_BLOCK;
    if (!IsChunk(h, w->HeaderBytes - 16, 16 + videoBytes, 3, 0)) return kStatusFileInvalid;
    w->Part[0].DataOffset = w->HeaderBytes;
    w->Total = w->HeaderBytes + videoBytes;
    for (ULONG p = 0; p < w->Parts; ++p)
        if (w->Part[p].DataBlocks == 0 || w->Part[p].DataBlocks == 0xFFFFFFFF) return kStatusFileInvalid;
    if (w->Parts == 2) {
        w->Part[1].DataOffset = w->Total + 16;
        w->Total += 16 + ULONGLONG(w->Part[1].DataBlocks) * ZARFS_BLOCK;
    }
    return STATUS_SUCCESS;
}

ZARFS_HW_CONTEXT* Hw(ZARFS_VCB* vcb) { return &vcb->Card->Hw; }

NTSTATUS StoreEntry(ZARFS_VCB* vcb, ZARFS_FCB* fcb, ZAR_FILE_INFO* entry)
{
    return ZarFsFileWriteEntry(vcb, fcb, entry);
}

// Reserves each part's frame data and body table as a recorder's
// reservation does, names them in the entry as not yet settled (so a
// delete or a later discovery accounts for them), and writes the index as
// the body table.
NTSTATUS Reserve(ZARFS_VCB* vcb, ZARFS_FCB* fcb, ZARFS_CLIP_WRITER* w)
{
    ZARFS_ALLOC_OBJECT* alloc = &fcb->Volume->Alloc;
    ZARFS_DUAL_ALLOCATION space[2] = {};
    for (ULONG p = 0; p < w->Parts; ++p) {
        if (!NT_SUCCESS(ZarFsVolAllocAllocateDualSpace(alloc, w->Part[p].BlocksPerDrive, w->Part[p].TableBlocks,
                                                       &space[p]))) {
            if (p == 1) {
                ZarFsVolAllocReleaseSpace(alloc, space[0].LowerFirstBlock, space[0].LowerLength);
                ZarFsVolAllocReleaseSpace(alloc, space[0].UpperFirstBlock, space[0].UpperLength);
            }
            return STATUS_DISK_FULL;
        }
    }
    ZAR_FILE_INFO entry;
    NTSTATUS status = ZarFsHwReadFileEntry(Hw(vcb), fcb->Volume, fcb->FileBlock, &entry);
    if (!NT_SUCCESS(status)) {
        for (ULONG p = 0; p < w->Parts; ++p) {
            ZarFsVolAllocReleaseSpace(alloc, space[p].LowerFirstBlock, space[p].LowerLength);
            ZarFsVolAllocReleaseSpace(alloc, space[p].UpperFirstBlock, space[p].UpperLength);
        }
        return status;
    }
    // From here the last handle's clean-up gives the space back, as for a
    // recorder that never settled; also after a failed entry write, which
    // may have reached the disk all the same.
    for (ULONG p = 0; p < w->Parts; ++p) fcb->Reserved[p] = space[p];
    {
        bool pal = IsPal(w->Header + 288);
        entry.MediaKind = ZARFS_MEDIA_FRAMES;
        entry.VideoStandard = pal ? 625 : 525;
        entry.FrameCount = 0;
        entry.VideoFirstBlock = space[0].LowerFirstBlock;
        entry.VideoBlocksPerDrive = space[0].LowerLength;
        entry.VideoBodyTableFirst = space[0].UpperFirstBlock;
        entry.VideoBodyTableBlocks = space[0].UpperLength;
        entry.Flags |= ZARFS_FILE_VIDEO_RESERVED | (w->Part[0].Coding != 0 ? ZARFS_FILE_VIDEO_SDTI : 0);
        if (w->Parts == 2) {
            entry.AlphaFirstBlock = space[1].LowerFirstBlock;
            entry.AlphaBlocksPerDrive = space[1].LowerLength;
            entry.AlphaBodyTableFirst = space[1].UpperFirstBlock;
            entry.AlphaBodyTableBlocks = space[1].UpperLength;
            entry.Flags |= ZARFS_FILE_HAS_ALPHA | ZARFS_FILE_ALPHA_RESERVED |
                           (w->Part[1].Coding != 0 ? ZARFS_FILE_ALPHA_SDTI : 0);
        }
        status = StoreEntry(vcb, fcb, &entry);
    }
    if (!NT_SUCCESS(status)) return status;
    ULONG drives = fcb->Volume->DriveCount == 0 ? 1 : fcb->Volume->DriveCount;
    for (ULONG p = 0; p < w->Parts; ++p) {
        ClipWritePart& part = w->Part[p];
        for (ULONG d = 0; d < drives; ++d) part.DriveNext[d] = space[p].LowerFirstBlock;
        // The index is the body table; a short last block is padded with zeros.
        ULONG bytes = part.TableBlocks * ZARFS_BLOCK;
        auto* table = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, bytes, kWriterTag));
        if (table == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        RtlZeroMemory(table, bytes);
        RtlCopyMemory(table, w->Header + part.IndexOffset, part.IndexBytes);
        status = ZarFsHwSCSIWriteEx(Hw(vcb), fcb->Volume->ScsiIds[0], space[p].UpperFirstBlock, part.TableBlocks,
                                    table, 0, ZarFsEntryBodyTable);
        ExFreePoolWithTag(table, kWriterTag);
        if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
}

// The whole clip is on the disks: the entry takes it as a recorder's
// settling does, with the clip's application data and coding kinds.
NTSTATUS Complete(ZARFS_VCB* vcb, ZARFS_FCB* fcb, ZARFS_CLIP_WRITER* w)
{
    ZAR_FILE_INFO entry;
    NTSTATUS status = ZarFsHwReadFileEntry(Hw(vcb), fcb->Volume, fcb->FileBlock, &entry);
    if (!NT_SUCCESS(status)) return status;
    const UCHAR* h = w->Header;
    entry.FrameCount = Get32(h, 288 + 32);
    entry.VideoStreamValue[0] = w->Part[0].DataBlocks;
    entry.VideoStreamValue[1] = 0;
    bool sdti;
    SdtiOfCoding(w->Part[0].Coding, &sdti, &entry.VideoSdtiType);
    entry.Flags &= ~ZARFS_FILE_VIDEO_RESERVED;
    if (w->Parts == 2) {
        entry.AlphaStreamValue[0] = w->Part[1].DataBlocks;
        entry.AlphaStreamValue[1] = 0;
        SdtiOfCoding(w->Part[1].Coding, &sdti, &entry.AlphaSdtiType);
        entry.Flags &= ~ZARFS_FILE_ALPHA_RESERVED;
    }
    RtlCopyMemory(entry.AppData, h + 32, sizeof entry.AppData);
    status = StoreEntry(vcb, fcb, &entry);
    if (!NT_SUCCESS(status)) return status;
    RtlZeroMemory(fcb->Reserved, sizeof fcb->Reserved);
    return STATUS_SUCCESS;
}

// One block of a field changed in part: read, changed, written back, in
// the card's scratch buffer under its lock.
NTSTATUS WritePartialBlock(ZARFS_HW_CONTEXT* hw, ULONG id, ULONG block, ULONG skip, const UCHAR* data, ULONG length)
{
    ZarFsHwObtainSCSIScratchLock(hw);
    auto* scratch = static_cast<PUCHAR>(hw->VerifyScratch);
    NTSTATUS status = ZarFsHwSCSIRead(hw, id, block, 1, scratch, 0);
    if (NT_SUCCESS(status)) {
        RtlCopyMemory(scratch + skip, data, length);
        status = ZarFsHwSCSIWrite(hw, id, block, 1, scratch, 0);
    }
    ZarFsHwReleaseSCSIScratchLock(hw);
    return status;
}

// Writes 'length' bytes at 'offset' of one part's data, which follows on
// from what was written before.
NTSTATUS WritePart(ZARFS_VCB* vcb, ZARFS_FCB* fcb, ZARFS_CLIP_WRITER* w, ClipWritePart* part, const UCHAR* data,
                   ULONGLONG offset, ULONG length)
{
    ZARFS_HW_VOLUME* volume = fcb->Volume;
    ULONG drives = volume->DriveCount == 0 ? 1 : volume->DriveCount;
    while (length > 0) {
        ULONG entry = Get32(w->Header, part->IndexOffset + 4 * part->Field);
        ULONG blocks = (entry & 0xFFFF) + (entry >> 16);
        ULONGLONG fieldBytes = ULONGLONG(blocks) * ZARFS_BLOCK;
        ULONG d = part->Field % drives;
        if (offset >= part->FieldStart + fieldBytes) {
            // On to the next field, which follows this one on its drive.
            part->DriveNext[d] += blocks;
            part->FieldStart += fieldBytes;
            ++part->Field;
            continue;
        }
        ULONGLONG within = offset - part->FieldStart;
        ULONG block = part->DriveNext[d] + ULONG(within / ZARFS_BLOCK);
        ULONG skip = ULONG(within % ZARFS_BLOCK);
        ULONG take;
        NTSTATUS status;
        if (skip != 0 || length < ZARFS_BLOCK) {
            take = ZARFS_BLOCK - skip < length ? ZARFS_BLOCK - skip : length;
            status = WritePartialBlock(Hw(vcb), volume->ScsiIds[d], block, skip, data, take);
        } else {
            // Whole blocks straight from the caller, up to the field's end.
            ULONG count = length / ZARFS_BLOCK;
            ULONG left = ULONG((fieldBytes - within) / ZARFS_BLOCK);
            if (count > left) count = left;
            if (count > kMaxChunkBlocks) count = kMaxChunkBlocks;
            take = count * ZARFS_BLOCK;
            status = ZarFsHwSCSIWrite(Hw(vcb), volume->ScsiIds[d], block, count, const_cast<PUCHAR>(data), 0);
        }
        if (!NT_SUCCESS(status)) return status;
        data += take;
        offset += take;
        length -= take;
    }
    return STATUS_SUCCESS;
}

// Takes header bytes [offset, offset + take) and acts on each size that
// becomes known.
NTSTATUS TakeHeader(ZARFS_VCB* vcb, ZARFS_FCB* fcb, ZARFS_CLIP_WRITER* w, const UCHAR* data, ULONG take)
{
    ULONG offset = ULONG(w->Next);
    if (w->Header == nullptr) {
        ULONG fixed = take < kFixedBytes - offset ? take : kFixedBytes - offset;
        RtlCopyMemory(w->Fixed + offset, data, fixed);
        ULONG have = offset + fixed;
        // Without a key part the first index header ends at 344.
        bool alphaKnown = have >= 344;
        bool alpha = alphaKnown && Get32(w->Fixed, 336) == 0;
        if (have < 344 || (alpha && have < kFixedBytes)) return STATUS_SUCCESS;
        ULONG headerBytes = 0;
        NTSTATUS status = CheckFixedPart(w, &headerBytes);
        if (!NT_SUCCESS(status)) return status;
        // An index larger than the whole free space cannot be stored.
        ULONGLONG tableBlocks = 0;
        for (ULONG p = 0; p < w->Parts; ++p) tableBlocks += w->Part[p].TableBlocks;
        if (tableBlocks > ZarFsVolAllocGetFreeBlocks(&fcb->Volume->Alloc)) return STATUS_DISK_FULL;
        w->Header = static_cast<PUCHAR>(ExAllocatePoolWithTag(PagedPool, headerBytes, kWriterTag));
        if (w->Header == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        w->HeaderBytes = headerBytes;
        // The index follows the fixed part, so the block is always longer.
        RtlCopyMemory(w->Header, w->Fixed, have);
        data += fixed;
        take -= fixed;
        offset = have;
        if (take == 0) return STATUS_SUCCESS;
    }
    RtlCopyMemory(w->Header + offset, data, take);
    if (offset + take < w->HeaderBytes) return STATUS_SUCCESS;
    NTSTATUS status = CheckHeaderBlock(w, fcb->Volume);
    if (!NT_SUCCESS(status)) return status;
    status = Reserve(vcb, fcb, w);
    if (NT_SUCCESS(status)) w->State = ClipWriterData;
    return status;
}

// One write's bytes, region by region: header block, video data, the key
// data chunk's header, alpha data.
NTSTATUS Take(ZARFS_VCB* vcb, ZARFS_FCB* fcb, ZARFS_CLIP_WRITER* w, const UCHAR* data, ULONG length)
{
    while (length > 0) {
        ULONG take;
        NTSTATUS status = STATUS_SUCCESS;
        if (w->State == ClipWriterHeader) {
            ULONGLONG end = w->Header != nullptr ? w->HeaderBytes : w->Next < 344 ? 344 : kFixedBytes;
            take = end - w->Next < length ? ULONG(end - w->Next) : length;
            status = TakeHeader(vcb, fcb, w, data, take);
        } else {
            if (w->Next + length > w->Total) return kStatusFileInvalid;  // more than the clip holds
            ClipWritePart* part = &w->Part[0];
            if (w->Parts == 2 && w->Next >= w->Part[1].DataOffset - 16) part = &w->Part[1];
            if (part == &w->Part[1] && w->Next < part->DataOffset) {
                ULONG at = ULONG(w->Next - (part->DataOffset - 16));
                take = 16 - at < length ? 16 - at : length;
                RtlCopyMemory(w->KeyDataHeader + at, data, take);
                if (at + take == 16 &&
                    !IsChunk(w->KeyDataHeader, 0, 16 + ULONGLONG(part->DataBlocks) * ZARFS_BLOCK, 3, 1))
                    status = kStatusFileInvalid;
            } else {
                ULONGLONG end = part->DataOffset + ULONGLONG(part->DataBlocks) * ZARFS_BLOCK;
                take = end - w->Next < length ? ULONG(end - w->Next) : length;
                status = WritePart(vcb, fcb, w, part, data, w->Next - part->DataOffset, take);
            }
        }
        if (!NT_SUCCESS(status)) return status;
        w->Next += take;
        data += take;
        length -= take;
        if (w->State == ClipWriterData && w->Next == w->Total) {
            status = Complete(vcb, fcb, w);
            if (!NT_SUCCESS(status)) return status;
            w->State = ClipWriterComplete;
            ZarFsKIVFreeFileObject(fcb);  // a view of the empty file
        }
    }
    return STATUS_SUCCESS;
}

void FreeWriter(ZARFS_CLIP_WRITER* w)
{
    if (w->Header != nullptr) ExFreePoolWithTag(w->Header, kWriterTag);
    ExFreePoolWithTag(w, kWriterTag);
}

}  // namespace

NTSTATUS ZarFsKIVVerifyVideoParameters(const UCHAR* format)
{
    ULONG coding = Get32(format, 28);
    USHORT rate = Get16(format, 26);
    USHORT lines = Get16(format, 18);
    ULONG flags = Get32(format, 36);
    if (coding == 2 || coding > 15) return kStatusFileInvalid;
    if (Get16(format, 20) != 8 || Get16(format, 22) != 4 || Get16(format, 24) != 3) return kStatusFileInvalid;
    if ((rate != 30 && rate != 25) || Get16(format, 16) != 720 || (lines != 486 && lines != 576))
        return kStatusFileInvalid;
    if ((flags & 1) || (rate == 30 && !(flags & 4))) return kStatusFileInvalid;
    return STATUS_SUCCESS;
}

NTSTATUS ZarFsKIVInitializeFileObjectForWrite(ZARFS_VCB* vcb, ZARFS_FCB* fcb)
{
    (void)vcb;
    if (fcb->ClipWriter != nullptr) return STATUS_SUCCESS;
    // A clip already stored, or space a recorder holds, is never written over.
    const ZAR_FILE_INFO* e = fcb->FileEntry;
    if (e->MediaKind != ZARFS_MEDIA_NONE || (e->Flags & (ZARFS_FILE_VIDEO_RESERVED | ZARFS_FILE_ALPHA_RESERVED)) ||
        fcb->Reserved[0].LowerLength != 0 || fcb->Reserved[1].LowerLength != 0)
        return STATUS_ACCESS_DENIED;
    auto* w = static_cast<ZARFS_CLIP_WRITER*>(ExAllocatePoolWithTag(PagedPool, sizeof(ZARFS_CLIP_WRITER), kWriterTag));
    if (w == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(w, sizeof *w);
    fcb->ClipWriter = w;
    return STATUS_SUCCESS;
}

NTSTATUS ZarFsKIVFileWrite(ZARFS_VCB* vcb, ZARFS_FCB* fcb, const UCHAR* buffer, ULONGLONG offset, ULONG length)
{
    ZARFS_CLIP_WRITER* w = fcb->ClipWriter;
    if (w->State == ClipWriterFailed) return w->Failure;
    if (w->State == ClipWriterComplete) return kStatusFileInvalid;  // more than the clip holds
    if (offset != w->Next) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = Take(vcb, fcb, w, buffer, length);
    if (NT_SUCCESS(status)) return status;
    // Nothing of a refused clip is kept: its space goes back now, and the
    // entry names none of it.
    w->State = ClipWriterFailed;
    w->Failure = status;
    ZarFsFileReleaseReservations(vcb, fcb);
    return status;
}

void ZarFsKIVFreeWriteObject(ZARFS_FCB* fcb)
{
    if (fcb->ClipWriter == nullptr) return;
    FreeWriter(fcb->ClipWriter);
    fcb->ClipWriter = nullptr;
}

NTSTATUS ZarFsKIVWrite(ZARFS_VCB* vcb, ZARFS_FCB* fcb, PIRP irp, PIO_STACK_LOCATION stack)
{
    ULONG length = stack->Parameters.Write.Length;
    auto* buffer = static_cast<const UCHAR*>(ZarFsRequestBuffer(irp));
    if (buffer == nullptr) return ZarFsCompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    LONGLONG start = stack->Parameters.Write.ByteOffset.QuadPart;
    ULONGLONG offset = 0;
    NTSTATUS status = ZarFsUnderResource(&vcb->Resource, true, [&]() -> NTSTATUS {
        NTSTATUS s = ZarFsKIVInitializeFileObjectForWrite(vcb, fcb);
        if (!NT_SUCCESS(s)) return s;
        if (start == kWriteToEndOfFile)
            offset = fcb->ClipWriter->Next;
        else
            offset = ULONGLONG(start < 0 ? stack->FileObject->CurrentByteOffset.QuadPart : start);
        return ZarFsKIVFileWrite(vcb, fcb, buffer, offset, length);
    });
    if (!NT_SUCCESS(status)) return ZarFsCompleteRequest(irp, status, 0);
    stack->FileObject->CurrentByteOffset.QuadPart = LONGLONG(offset + length);
    return ZarFsCompleteRequest(irp, STATUS_SUCCESS, length);
}
