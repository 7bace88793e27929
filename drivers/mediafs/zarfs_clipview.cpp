// A media file read as a clip file: a header block made in memory (file
// header, info chunk with the entry's application data, format chunks,
// index chunks holding the on-disk body tables, data chunk headers)
// followed by the frame data, whose fields the volume stripes over its
// drives (field k on drive k mod D, each drive's fields one after another).
//
// View layout, I = video body-table bytes, J = alpha body-table bytes:
//   without alpha: 0 header, 16 info, 288 format, 328 index (16 + I),
//                  344 + I data header, 360 + I video data
//   with alpha:    ... 328 key format, 368 index (16 + I), 384 + I key
//                  index (16 + J), 400 + I + J data header, then video
//                  data, a key data header and the alpha data

#include "zarfs_driver.h"

struct ZARFS_CLIP_PART {
    ULONGLONG DataOffset;           // of the part's first data byte in the view
    ULONGLONG DataBytes;
    ULONG IndexOffset;              // of the part's body table inside the header block
    ULONG IndexBytes;
    ULONG FirstBlock;
};

struct ZARFS_CLIP_VIEW {
    PUCHAR Header;
    ULONG HeaderBytes;
    ULONG Parts;
    ZARFS_CLIP_PART Part[2];        // video, alpha
};

namespace {

constexpr ULONG kViewTag = ZarFsTag("KIVV");

bool HasAlpha(const ZAR_FILE_INFO* e) { return (e->Flags & ZARFS_FILE_HAS_ALPHA) != 0; }

ULONG CodingKind(bool sdti, ULONG type)
{
    if (!sdti) return 0;
    return type >= 1 && type <= 13 ? type + 2 : 1;
}

void Put16(PUCHAR p, ULONG offset, ULONG v)
{
    USHORT x = USHORT(v);
    RtlCopyMemory(p + offset, &x, 2);
}
void Put32(PUCHAR p, ULONG offset, ULONG v) { RtlCopyMemory(p + offset, &v, 4); }
void Put64(PUCHAR p, ULONG offset, ULONGLONG v) { RtlCopyMemory(p + offset, &v, 8); }

void ChunkHeader(PUCHAR p, ULONG offset, ULONGLONG size, ULONG type, ULONG stream)
{
    Put64(p, offset, size);
    Put32(p, offset + 8, type);
    Put32(p, offset + 12, stream);
}

void FormatChunk(PUCHAR p, ULONG offset, const ZAR_FILE_INFO* e, ULONG stream, ULONG coding, ULONG flags)
{
    bool pal = e->VideoStandard == 625;
    ChunkHeader(p, offset, 40, 0, stream);
    Put16(p, offset + 16, 720);
    Put16(p, offset + 18, pal ? 576 : 486);
    Put16(p, offset + 20, 8);
    Put16(p, offset + 22, 4);
    Put16(p, offset + 24, 3);
    Put16(p, offset + 26, pal ? 25 : 30);
    Put32(p, offset + 28, coding);
    Put32(p, offset + 32, e->FrameCount);
    Put32(p, offset + 36, flags | (pal ? 0 : 4));
}

// The disk commands of one read. Whole blocks gather per drive: a block
// that continues its drive's pending run on the disk joins it, up to
// kCommandBlocks a command. A run bound for one stretch of the caller's
// buffer is read straight into it; a run of several fields of a striped
// volume, whose places in the buffer lie apart (the other drives' fields
// come between them), is read into a buffer of this read's own and its
// pieces copied out.
class BlockRuns {
public:
    BlockRuns(ZARFS_HW_CONTEXT* hw, const ZARFS_HW_VOLUME* volume) : hw_(hw), volume_(volume) {}
    ~BlockRuns()
    {
        if (staging_ != nullptr) ExFreePoolWithTag(staging_, kViewTag);
    }
    BlockRuns(const BlockRuns&) = delete;
    BlockRuns& operator=(const BlockRuns&) = delete;

    NTSTATUS Add(ULONG drive, ULONG first, ULONG blocks, PUCHAR to)
    {
        Run& run = runs_[drive];
        while (blocks > 0) {
            bool joins = run.blocks != 0 && first == run.first + run.blocks && run.blocks < kCommandBlocks &&
                         (run.pieces < kMaxPieces || EndOf(run.piece[run.pieces - 1]) == to);
            if (!joins) {
                NTSTATUS status = FlushDrive(drive);
                if (!NT_SUCCESS(status)) return status;
                run.first = first;
            }
            ULONG take = blocks < kCommandBlocks - run.blocks ? blocks : kCommandBlocks - run.blocks;
            if (run.pieces > 0 && EndOf(run.piece[run.pieces - 1]) == to)
                run.piece[run.pieces - 1].blocks += take;
            else
                run.piece[run.pieces++] = {to, take};
            run.blocks += take;
            first += take;
            to += take * ZARFS_BLOCK;
            blocks -= take;
        }
        return STATUS_SUCCESS;
    }

    NTSTATUS Flush()
    {
        for (ULONG d = 0; d < ZARFS_MAX_SCSI_IDS; ++d) {
            NTSTATUS status = FlushDrive(d);
            if (!NT_SUCCESS(status)) return status;
        }
        return STATUS_SUCCESS;
    }

private:
    static constexpr ULONG kCommandBlocks = 256;
    static constexpr ULONG kMaxPieces = 16;
    struct Piece {
        PUCHAR to;
        ULONG blocks;
    };
    struct Run {
        ULONG first = 0;
        ULONG blocks = 0;
        ULONG pieces = 0;
        Piece piece[kMaxPieces];
    };
    static PUCHAR EndOf(const Piece& piece) { return piece.to + piece.blocks * ZARFS_BLOCK; }

    NTSTATUS FlushDrive(ULONG drive)
    {
        Run& run = runs_[drive];
        if (run.blocks == 0) return STATUS_SUCCESS;
        const ULONG id = volume_->ScsiIds[drive];
        const Run taken = run;
        run.blocks = run.pieces = 0;
        if (taken.pieces == 1) return ZarFsHwSCSIRead(hw_, id, taken.first, taken.blocks, taken.piece[0].to, 0);
        if (staging_ == nullptr)
            staging_ = static_cast<PUCHAR>(ExAllocatePoolWithTag(PagedPool, kCommandBlocks * ZARFS_BLOCK, kViewTag));
        if (staging_ != nullptr) {
            NTSTATUS status = ZarFsHwSCSIRead(hw_, id, taken.first, taken.blocks, staging_, 0);
            if (!NT_SUCCESS(status)) return status;
            PUCHAR from = staging_;
            for (ULONG p = 0; p < taken.pieces; ++p) {
                RtlCopyMemory(taken.piece[p].to, from, taken.piece[p].blocks * ZARFS_BLOCK);
                from += taken.piece[p].blocks * ZARFS_BLOCK;
            }
            return STATUS_SUCCESS;
        }
        // Without a buffer of its own, each piece is its own command.
        ULONG first = taken.first;
        for (ULONG p = 0; p < taken.pieces; ++p) {
            NTSTATUS status = ZarFsHwSCSIRead(hw_, id, first, taken.piece[p].blocks, taken.piece[p].to, 0);
            if (!NT_SUCCESS(status)) return status;
            first += taken.piece[p].blocks;
        }
        return STATUS_SUCCESS;
    }

    ZARFS_HW_CONTEXT* hw_;
    const ZARFS_HW_VOLUME* volume_;
    Run runs_[ZARFS_MAX_SCSI_IDS];
    PUCHAR staging_ = nullptr;
};

// Reads 'length' bytes at 'offset' of one part's data. A block the range
// only partly covers goes through a block buffer of this read's own; the
// view itself is only read, so reads of one file run side by side.
NTSTATUS ReadPart(ZARFS_VCB* vcb, ZARFS_FCB* fcb, const ZARFS_CLIP_VIEW* view, const ZARFS_CLIP_PART& part,
                  PUCHAR buffer, ULONGLONG offset, ULONG length)
{
    ZARFS_HW_CONTEXT* hw = &vcb->Card->Hw;
    ZARFS_HW_VOLUME* volume = fcb->Volume;
    ULONG drives = volume->DriveCount == 0 ? 1 : volume->DriveCount;
    const ULONG* table = reinterpret_cast<const ULONG*>(view->Header + part.IndexOffset);
    ULONG fields = part.IndexBytes / sizeof(ULONG);
    if (fields > fcb->FileEntry->FrameCount * 2) fields = fcb->FileEntry->FrameCount * 2;
    ULONG cursor[ZARFS_MAX_SCSI_IDS];
    for (ULONG d = 0; d < drives; ++d) cursor[d] = part.FirstBlock;
    BlockRuns runs(hw, volume);
    UCHAR partial[ZARFS_BLOCK];
    ULONGLONG fieldStart = 0;
    for (ULONG k = 0; k < fields && length > 0; ++k) {
        ULONG d = k % drives;
        ULONG blocks = (table[k] & 0xFFFF) + (table[k] >> 16);
        ULONG fieldFirst = cursor[d];
        cursor[d] += blocks;
        ULONGLONG fieldBytes = ULONGLONG(blocks) * ZARFS_BLOCK;
        if (offset >= fieldStart + fieldBytes) {
            fieldStart += fieldBytes;
            continue;
        }
        while (length > 0 && offset < fieldStart + fieldBytes) {
            ULONGLONG within = offset - fieldStart;
            ULONG block = ULONG(within / ZARFS_BLOCK);
            ULONG skip = ULONG(within % ZARFS_BLOCK);
            ULONG take;
            if (skip != 0 || length < ZARFS_BLOCK) {
                NTSTATUS status = ZarFsHwSCSIRead(hw, volume->ScsiIds[d], fieldFirst + block, 1, partial, 0);
                if (!NT_SUCCESS(status)) return status;
                take = ZARFS_BLOCK - skip < length ? ZARFS_BLOCK - skip : length;
                RtlCopyMemory(buffer, partial + skip, take);
            } else {
                ULONG whole = blocks - block < length / ZARFS_BLOCK ? blocks - block : length / ZARFS_BLOCK;
                NTSTATUS status = runs.Add(d, fieldFirst + block, whole, buffer);
                if (!NT_SUCCESS(status)) return status;
                take = whole * ZARFS_BLOCK;
            }
            buffer += take;
            offset += take;
            length -= take;
        }
        fieldStart += fieldBytes;
    }
    NTSTATUS status = runs.Flush();
    if (!NT_SUCCESS(status)) return status;
    // Data the body table does not cover (a file still being written) reads as zeros.
    if (length > 0) RtlZeroMemory(buffer, length);
    return STATUS_SUCCESS;
}

}  // namespace

ULONGLONG ZarFsKIVGetTotalFileSize(const ZAR_FILE_INFO* e)
{
    ULONGLONG blocks = ULONGLONG(e->VideoBodyTableBlocks) + e->VideoStreamValue[0];
    if (!HasAlpha(e)) return blocks * ZARFS_BLOCK + 360;
    blocks += ULONGLONG(e->AlphaBodyTableBlocks) + e->AlphaStreamValue[0];
    return blocks * ZARFS_BLOCK + 432;
}

NTSTATUS ZarFsKIVInitializeFileObjectForRead(ZARFS_VCB* vcb, ZARFS_FCB* fcb)
{
    if (fcb->ClipView != nullptr) return STATUS_SUCCESS;
    const ZAR_FILE_INFO* e = fcb->FileEntry;
    bool alpha = HasAlpha(e);
    ULONG videoIndex = e->VideoBodyTableBlocks * ZARFS_BLOCK;
    ULONG alphaIndex = alpha ? e->AlphaBodyTableBlocks * ZARFS_BLOCK : 0;
    ULONG formatEnd = alpha ? 368 : 328;
    ULONG dataHeader = formatEnd + 16 + videoIndex + (alpha ? 16 + alphaIndex : 0);
    auto* view = static_cast<ZARFS_CLIP_VIEW*>(ExAllocatePoolWithTag(PagedPool, sizeof(ZARFS_CLIP_VIEW), kViewTag));
    if (view == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(view, sizeof *view);
    view->HeaderBytes = dataHeader + 16;
    view->Header = static_cast<PUCHAR>(ExAllocatePoolWithTag(PagedPool, view->HeaderBytes, kViewTag));
    fcb->ClipView = view;
    if (view->Header == nullptr) {
        ZarFsKIVFreeFileObject(fcb);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PUCHAR h = view->Header;
    RtlZeroMemory(h, view->HeaderBytes);
    RtlCopyMemory(h, "KIV0", 4);
    Put32(h, 4, 16);
    Put32(h, 8, alpha ? 7 : 4);
    Put32(h, 12, dataHeader);
    ChunkHeader(h, 16, 272, 1, 0);
    RtlCopyMemory(h + 32, e->AppData, sizeof e->AppData);
    FormatChunk(h, 288, e, 0, CodingKind(e->Flags & ZARFS_FILE_VIDEO_SDTI, e->VideoSdtiType), 0);
    if (alpha) FormatChunk(h, 328, e, 1, CodingKind(e->Flags & ZARFS_FILE_ALPHA_SDTI, e->AlphaSdtiType), 2);
    ChunkHeader(h, formatEnd, 16ull + videoIndex, 2, 0);
    view->Part[0] = {ULONGLONG(dataHeader) + 16, ULONGLONG(e->VideoStreamValue[0]) * ZARFS_BLOCK, formatEnd + 16,
                     videoIndex, e->VideoFirstBlock};
    view->Parts = 1;
    if (alpha) {
        ULONG keyIndex = formatEnd + 16 + videoIndex;
        ChunkHeader(h, keyIndex, 16ull + alphaIndex, 2, 1);
        ULONGLONG keyData = view->Part[0].DataOffset + view->Part[0].DataBytes + 16;
        view->Part[1] = {keyData, ULONGLONG(e->AlphaStreamValue[0]) * ZARFS_BLOCK, keyIndex + 16, alphaIndex,
                         e->AlphaFirstBlock};
        view->Parts = 2;
    }
    ChunkHeader(h, dataHeader, 16 + view->Part[0].DataBytes, 3, 0);
    // The body tables on disk are the clip's index.
    ZARFS_HW_CONTEXT* hw = &vcb->Card->Hw;
    ULONG firstDrive = fcb->Volume->ScsiIds[0];
    NTSTATUS status = STATUS_SUCCESS;
    if (videoIndex != 0)
        status = ZarFsHwSCSIRead(hw, firstDrive, e->VideoBodyTableFirst, e->VideoBodyTableBlocks,
                                 h + view->Part[0].IndexOffset, 0);
    if (NT_SUCCESS(status) && alphaIndex != 0)
        status = ZarFsHwSCSIRead(hw, firstDrive, e->AlphaBodyTableFirst, e->AlphaBodyTableBlocks,
                                 h + view->Part[1].IndexOffset, 0);
    if (!NT_SUCCESS(status)) ZarFsKIVFreeFileObject(fcb);
    return status;
}

void ZarFsKIVFreeFileObject(ZARFS_FCB* fcb)
{
    ZARFS_CLIP_VIEW* view = fcb->ClipView;
    if (view == nullptr) return;
    if (view->Header != nullptr) ExFreePoolWithTag(view->Header, kViewTag);
    ExFreePoolWithTag(view, kViewTag);
    fcb->ClipView = nullptr;
}

NTSTATUS ZarFsKIVFileRead(ZARFS_VCB* vcb, ZARFS_FCB* fcb, PUCHAR buffer, ULONGLONG offset, ULONG length)
{
    const ZARFS_CLIP_VIEW* view = fcb->ClipView;
    // The header block, from memory.
    if (offset < view->HeaderBytes) {
        ULONG take = ULONG(view->HeaderBytes - offset);
        if (take > length) take = length;
        RtlCopyMemory(buffer, view->Header + offset, take);
        buffer += take;
        offset += take;
        length -= take;
    }
    for (ULONG p = 0; p < view->Parts && length > 0; ++p) {
        const ZARFS_CLIP_PART& part = view->Part[p];
        if (p == 1 && offset < part.DataOffset) {
            // The key data chunk's header, between the two parts' data.
            UCHAR header[16];
            ChunkHeader(header, 0, 16 + part.DataBytes, 3, 1);
            ULONGLONG start = part.DataOffset - 16;
            if (offset >= start) {
                ULONG take = ULONG(part.DataOffset - offset);
                if (take > length) take = length;
                RtlCopyMemory(buffer, header + (offset - start), take);
                buffer += take;
                offset += take;
                length -= take;
            }
        }
        if (length == 0 || offset < part.DataOffset || offset >= part.DataOffset + part.DataBytes) continue;
        ULONGLONG within = offset - part.DataOffset;
        ULONG take = part.DataBytes - within < length ? ULONG(part.DataBytes - within) : length;
        NTSTATUS status = ReadPart(vcb, fcb, view, part, buffer, within, take);
        if (!NT_SUCCESS(status)) return status;
        buffer += take;
        offset += take;
        length -= take;
    }
    return STATUS_SUCCESS;
}
