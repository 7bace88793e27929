// The control codes that act on one media file opened on the media drive:
// reserving and settling its space, its entry's fields, its body-table
// objects (finished on a worker, in the process that owns the sections) and
// moving its pieces during optimisation. Every record begins with the file's
// handle, which is resolved in the caller's own thread.

#include "zarfs_driver.h"

namespace {

PUCHAR SystemBuffer(PIRP irp) { return static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer); }

enum Part : ULONG { VideoPart = 0, AlphaPart = 1 };

// The media file a handle names, or STATUS_UNSUCCESSFUL for a folder.
NTSTATUS ResolveFile(ZARFS_CARD_INSTANCE* card, PIRP irp, ULONG handle, PFILE_OBJECT* file, ZARFS_FCB** fcb)
{
    ZARFS_REQUEST_TYPE type;
    NTSTATUS status = ZarFsIoctlResolveHandle(card, irp, handle, file, &type, fcb);
    if (!NT_SUCCESS(status)) return status;
    if (type != ZarFsRequestFile || (*fcb)->FileEntry == nullptr || (*fcb)->Volume == nullptr) {
        ObDereferenceObject(*file);
        *file = nullptr;
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

NTSTATUS ReadEntry(ZARFS_CARD_INSTANCE* card, ZARFS_FCB* fcb, ZAR_FILE_INFO* entry)
{
    return ZarFsHwReadFileEntry(&card->Hw, fcb->Volume, fcb->FileBlock, entry);
}

NTSTATUS WriteEntry(ZARFS_CARD_INSTANCE* card, ZARFS_FCB* fcb, ZAR_FILE_INFO* entry)
{
    return ZarFsFileWriteEntry(&card->Vcb, fcb, entry);
}

// Every FCB of the file forgets a part's reservation: the part was settled
// or given back, whichever handle did it.
void ForgetReservation(ZARFS_CARD_INSTANCE* card, ZARFS_FCB* fcb, ULONG part)
{
    ZarFsFCBForEachOfFile(card->Vcb.Root, fcb->Volume, fcb->FileBlock,
                          [&](ZARFS_FCB* f) { f->Reserved[part] = {}; });
}

bool PartHasSpace(const ZAR_FILE_INFO& e, Part part)
{
    if (part == VideoPart)
        return e.VideoBlocksPerDrive != 0 || e.VideoBodyTableBlocks != 0 || (e.Flags & ZARFS_FILE_VIDEO_RESERVED);
    return e.AlphaBlocksPerDrive != 0 || e.AlphaBodyTableBlocks != 0 ||
           (e.Flags & (ZARFS_FILE_HAS_ALPHA | ZARFS_FILE_ALPHA_RESERVED));
}

// How a per-file code holds the card resource and then the drive's.
enum Hold {
    ReadsEntry,         // card and drive shared
    RewritesEntry,      // card shared, drive exclusive: the entry and its view change
    ChangesLayout,      // both exclusive: space is reserved or given back
};

// Handle-resolving frame of the plain per-file codes: 'work' runs under the
// card resource and the drive's resource with the file's FCB.
template <typename Work>
NTSTATUS OnFile(ZARFS_CARD_INSTANCE* card, PIRP irp, Hold hold, Work work)
{
    ULONG handle;
    RtlCopyMemory(&handle, SystemBuffer(irp), sizeof handle);
    PFILE_OBJECT file;
    ZARFS_FCB* fcb;
    NTSTATUS status = ResolveFile(card, irp, handle, &file, &fcb);
    if (!NT_SUCCESS(status)) return status;
    status = ZarFsUnderResource(&card->Resource, hold == ChangesLayout, [&] {
        return ZarFsUnderResource(&card->Vcb.Resource, hold != ReadsEntry, [&] {
            // A file deleted through another folder is gone from the disk.
            return (fcb->Flags & ZARFS_FCB_DELETED) ? STATUS_DELETE_PENDING : work(fcb);
        });
    });
    ObDereferenceObject(file);
    return status;
}

// OnFile for a code that answers in its own record: 'work' fills a copy,
// which goes back to the caller only when the code succeeds.
template <typename Record, typename Work>
NTSTATUS OnFileRecord(ZARFS_CARD_INSTANCE* card, PIRP irp, Hold hold, ULONG_PTR* info, Work work)
{
    auto* record = reinterpret_cast<Record*>(SystemBuffer(irp));
    Record copy;
    RtlCopyMemory(&copy, record, sizeof copy);
    NTSTATUS status = OnFile(card, irp, hold, [&](ZARFS_FCB* fcb) { return work(fcb, copy); });
    if (!NT_SUCCESS(status)) return status;
    RtlCopyMemory(record, &copy, sizeof copy);
    *info = sizeof copy;
    return STATUS_SUCCESS;
}

// OnFile for a code that changes the file's entry: 'edit' gets the entry
// as read, and what it leaves is written back.
template <typename Edit>
NTSTATUS OnFileEntry(ZARFS_CARD_INSTANCE* card, PIRP irp, Edit edit)
{
    return OnFile(card, irp, RewritesEntry, [&](ZARFS_FCB* fcb) -> NTSTATUS {
        ZAR_FILE_INFO e;
        NTSTATUS s = ReadEntry(card, fcb, &e);
        if (!NT_SUCCESS(s)) return s;
        edit(e);
        return WriteEntry(card, fcb, &e);
    });
}

// The FCB and CCB of the file object a posted code resolved.
void FileNodes(ZARFS_IRP_CONTEXT* context, ZARFS_VCB** vcb, ZARFS_FCB** fcb, ZARFS_CCB** ccb)
{
    ZarFsGetRequestType(context->File, vcb, fcb, ccb);
}

// The caller's side of every posted per-file code: the handle is good only
// in the caller's process, so it is resolved here and its file object kept.
NTSTATUS ResolveAndPost(ZARFS_IRP_CONTEXT* context)
{
    ULONG handle;
    RtlCopyMemory(&handle, SystemBuffer(context->Irp), sizeof handle);
    ZARFS_FCB* fcb;
    NTSTATUS status = ResolveFile(context->Card, context->Irp, handle, &context->File, &fcb);
    if (!NT_SUCCESS(status)) return status;
    return ZarFsIRPContextPost(context);
}

// The output buffer of a METHOD_OUT_DIRECT code.
PWCHAR DirectOutput(PIRP irp, PULONG bytes)
{
    *bytes = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
    if (irp->MdlAddress == nullptr) {
        *bytes = 0;
        return nullptr;
    }
    return static_cast<PWCHAR>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
}

NTSTATUS CopyTableName(ZARFS_IRP_CONTEXT* context, ZARFS_BT_OBJECT* object, bool alpha)
{
    ULONG bytes;
    PWCHAR out = DirectOutput(context->Irp, &bytes);
    if (out == nullptr) return STATUS_BUFFER_TOO_SMALL;
    return alpha ? ZarFsBTGetAlphaName(object, out, bytes) : ZarFsBTGetVideoName(object, out, bytes);
}

void CountWriter(ZARFS_CARD_INSTANCE* card, ZARFS_FCB* fcb, ZARFS_CCB* ccb)
{
    // One writer a handle, however often it asks.
    if (ccb->Flags & ZARFS_CCB_BT_WRITER) return;
    ZarFsBTWriteAccessReference(&card->BodyTables, fcb->BodyTable);
    ccb->Flags |= ZARFS_CCB_BT_WRITER;
}

// Runs a posted code's worker side under the card resource (shared) and the
// drive's resource, which guards the FCB's body-table pointer and entry. A
// file deleted through another folder is refused unless 'deletedToo' (a
// code that only gives back what the handle holds).
template <typename Work>
NTSTATUS OnWorker(ZARFS_IRP_CONTEXT* context, Work work, bool deletedToo = false)
{
    ZARFS_VCB* vcb;
    ZARFS_FCB* fcb;
    ZARFS_CCB* ccb;
    FileNodes(context, &vcb, &fcb, &ccb);
    return ZarFsUnderResource(&context->Card->Resource, false, [&] {
        return ZarFsUnderResource(&vcb->Resource, true, [&] {
            bool refused = (fcb->Flags & ZARFS_FCB_DELETED) && !deletedToo;
            return refused ? STATUS_DELETE_PENDING : work(fcb, ccb);
        });
    });
}

NTSTATUS AddNodes(ZARFS_IRP_CONTEXT* context, bool alpha)
{
    if (!(context->Flags & ZARFS_IRPC_POSTED)) return ResolveAndPost(context);
    ZARFS_BODY_TABLE_ADD_NODES request;
    RtlCopyMemory(&request, SystemBuffer(context->Irp), sizeof request);
    if (request.TableBlocks > 0xFFFFFFFFu / ZARFS_BLOCK) return STATUS_INVALID_PARAMETER;
    return OnWorker(context, [&](ZARFS_FCB* fcb, ZARFS_CCB*) -> NTSTATUS {
        ZARFS_BT_OBJECT* object = fcb->BodyTable;
        if (object == nullptr) return STATUS_SUCCESS;
        ZARFS_BT_HANDLER* h = &context->Card->BodyTables;
        ULONG bytes = request.TableBlocks * ZARFS_BLOCK;
        NTSTATUS status = alpha ? ZarFsBTCreateNewAlphaNodes(h, object, request.TableFirst, bytes)
                                : ZarFsBTCreateNewVideoNodes(h, object, request.TableFirst, bytes);
        if (!NT_SUCCESS(status)) return status;
        return CopyTableName(context, object, alpha);
    });
}

// ---- moving a file's pieces ----

struct Piece {
    ULONG First;
    ULONG Length;
    bool AllDrives;     // frame data lies at the same blocks on every drive
    bool Present;
};

NTSTATUS ReserveRange(ZARFS_ALLOC_OBJECT* alloc, ULONG first, ULONG length)
{
    if (length == 0) return STATUS_SUCCESS;
    return first < alloc->Boundary ? ZarFsVolAllocAllocateSpecificLowerSpace(alloc, first, length)
                                   : ZarFsVolAllocAllocateSpecificUpperSpace(alloc, first, length);
}

// The part of [target, target + length) the piece at 'current' does not
// own yet, and the part of the old run the new one does not cover.
void SplitMove(ULONG current, ULONG target, ULONG length, ULONG* newFirst, ULONG* newLength, ULONG* oldFirst,
               ULONG* oldLength)
{
    bool overlap = target < current + length && current < target + length;
    if (!overlap) {
        *newFirst = target, *newLength = length, *oldFirst = current, *oldLength = length;
    } else if (target > current) {
        *newFirst = current + length, *newLength = target - current;
        *oldFirst = current, *oldLength = target - current;
    } else {
        *newFirst = target, *newLength = current - target;
        *oldFirst = target + length, *oldLength = current - target;
    }
}

LONG MovePiece(ZARFS_CARD_INSTANCE* card, ZARFS_HW_VOLUME* volume, const Piece& piece, ULONG target,
               ULONGLONG* progress, ULONGLONG divisor, PULONG word)
{
    if (target == 0 || target == piece.First) return ZARFS_MOVE_OK;
    if (!piece.Present) return ZARFS_MOVE_E_NO_PART;
    ZARFS_ALLOC_OBJECT* alloc = &volume->Alloc;
    ULONG newFirst, newLength, oldFirst, oldLength;
    SplitMove(piece.First, target, piece.Length, &newFirst, &newLength, &oldFirst, &oldLength);
    if (!NT_SUCCESS(ReserveRange(alloc, newFirst, newLength))) return ZARFS_MOVE_E_NO_SPACE;
    ULONG drives = piece.AllDrives ? volume->DriveCount : 1;
    for (ULONG d = 0; d < drives; ++d) {
        NTSTATUS status = ZarFsHwMoveBlocks(&card->Hw, volume->ScsiIds[d], piece.First, piece.Length, target,
                                            progress, 100, divisor, word);
        if (!NT_SUCCESS(status)) {
            if (newLength != 0) ZarFsVolAllocReleaseSpace(alloc, newFirst, newLength);
            return ZARFS_MOVE_E_COPY;
        }
    }
    return ZARFS_MOVE_OK;
}

void ReleaseOld(ZARFS_HW_VOLUME* volume, const Piece& piece, ULONG target)
{
    ULONG newFirst, newLength, oldFirst, oldLength;
    SplitMove(piece.First, target, piece.Length, &newFirst, &newLength, &oldFirst, &oldLength);
    if (oldLength != 0) ZarFsVolAllocReleaseSpace(&volume->Alloc, oldFirst, oldLength);
}

// Points the file's folder entry at the entry's new place.
NTSTATUS RepointFolder(ZARFS_CARD_INSTANCE* card, ZARFS_FCB* fcb, ULONG block)
{
    auto* folder = static_cast<ZARFS_DIR_ENTRY*>(ExAllocatePoolWithTag(PagedPool, sizeof(ZARFS_DIR_ENTRY),
                                                                       ZARFS_POOL_TAG));
    if (folder == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = ZarFsHwReadDirEntry(&card->Hw, fcb->Volume, fcb->FolderSlot, folder);
    if (NT_SUCCESS(status)) {
        folder->FileSlots[fcb->FileSlot] = block;
        status = ZarFsHwWriteDirEntry(&card->Hw, fcb->Volume, fcb->FolderSlot, folder);
    }
    ExFreePoolWithTag(folder, ZARFS_POOL_TAG);
    return status;
}

// The file's entry now lies at 'block': every FCB of the file, and the
// frame files below them, look for it there.
void EntryMoved(ZARFS_CARD_INSTANCE* card, ZARFS_FCB* fcb, ULONG block)
{
    ZarFsFCBForEachOfFile(card->Vcb.Root, fcb->Volume, fcb->FileBlock, [&](ZARFS_FCB* f) {
        f->FileBlock = block;
        for (PLIST_ENTRY e = f->Children.Flink; e != &f->Children; e = e->Flink)
            CONTAINING_RECORD(e, ZARFS_FCB, Sibling)->FileBlock = block;
    });
}

// A piece still reserved and unsettled moved from 'from' to 'to': the
// reservation follows it, so that a cleanup gives back the new run and not
// the old one a second time.
void ReservationMoved(ZARFS_CARD_INSTANCE* card, ZARFS_FCB* fcb, ULONG piece, ULONG from, ULONG to)
{
    ULONG part = piece <= 2 ? VideoPart : AlphaPart;
    bool data = piece == 1 || piece == 3;
    ZarFsFCBForEachOfFile(card->Vcb.Root, fcb->Volume, fcb->FileBlock, [&](ZARFS_FCB* f) {
        ZARFS_DUAL_ALLOCATION& space = f->Reserved[part];
        if (data && space.LowerLength != 0 && space.LowerFirstBlock == from) space.LowerFirstBlock = to;
        if (!data && space.UpperLength != 0 && space.UpperFirstBlock == from) space.UpperFirstBlock = to;
    });
}

NTSTATUS MoveSegments(ZARFS_IRP_CONTEXT* context, ZARFS_FCB* fcb, ZARFS_MOVE_FILE_SEGMENTS* request)
{
    ZARFS_CARD_INSTANCE* card = context->Card;
    ZAR_FILE_INFO entry;
    NTSTATUS status = ReadEntry(card, fcb, &entry);
    if (!NT_SUCCESS(status)) return status;
    bool media = entry.MediaKind == ZARFS_MEDIA_FRAMES;
    bool alpha = media && (entry.Flags & ZARFS_FILE_HAS_ALPHA);
    Piece pieces[ZARFS_MOVE_PIECES] = {
        {fcb->FileBlock, ZARFS_FILE_ENTRY_BLOCKS, false, true},
        {entry.VideoFirstBlock, entry.VideoBlocksPerDrive, true, media && entry.VideoBlocksPerDrive != 0},
        {entry.VideoBodyTableFirst, entry.VideoBodyTableBlocks, false, media && entry.VideoBodyTableBlocks != 0},
        {entry.AlphaFirstBlock, entry.AlphaBlocksPerDrive, true, alpha && entry.AlphaBlocksPerDrive != 0},
        {entry.AlphaBodyTableFirst, entry.AlphaBodyTableBlocks, false, alpha && entry.AlphaBodyTableBlocks != 0},
    };
    ULONGLONG total = 0;
    for (ULONG i = 0; i < ZARFS_MOVE_PIECES; ++i)
        if (request->Target[i] != 0 && pieces[i].Present)
            total += ULONGLONG(pieces[i].Length) * (pieces[i].AllDrives ? fcb->Volume->DriveCount : 1);
    ULONGLONG divisor = total != 0 ? total : 1;  // each block weighs 100: the caller's word reads as a percentage
    ULONGLONG progress = 0;
    PULONG word = static_cast<PULONG>(MmGetSystemAddressForMdlSafe(context->Mdl, NormalPagePriority));
    ULONG* fields[ZARFS_MOVE_PIECES] = {nullptr, &entry.VideoFirstBlock, &entry.VideoBodyTableFirst,
                                        &entry.AlphaFirstBlock, &entry.AlphaBodyTableFirst};
    // The handle's own body-table object goes to disk first, so the copies
    // carry its latest nodes; it is pointed at the new places after.
    ZARFS_BT_HANDLER* tables = &card->BodyTables;
    if (fcb->BodyTable != nullptr) {
        status = ZarFsBTFlushObject(tables, fcb->BodyTable);
        if (!NT_SUCCESS(status)) return status;
    }
    for (ULONG i = 0; i < ZARFS_MOVE_PIECES; ++i) {
        ULONG target = request->Target[i];
        LONG result = MovePiece(card, fcb->Volume, pieces[i], target, &progress, divisor, word);
        request->Result[i] = result;
        if (result != ZARFS_MOVE_OK || target == 0 || target == pieces[i].First) continue;
        if (i == 0) {
            status = RepointFolder(card, fcb, target);
            if (NT_SUCCESS(status)) {
                ZarFsVolCacheFileEntryRemove(&fcb->Volume->Cache, fcb->FileBlock);
                EntryMoved(card, fcb, target);
            }
        } else {
            *fields[i] = target;
            status = WriteEntry(card, fcb, &entry);
        }
        if (!NT_SUCCESS(status)) {
            // The old place stays the one on disk: give the copy's room back.
            ULONG newFirst, newLength, oldFirst, oldLength;
            SplitMove(pieces[i].First, target, pieces[i].Length, &newFirst, &newLength, &oldFirst, &oldLength);
            if (newLength != 0) ZarFsVolAllocReleaseSpace(&fcb->Volume->Alloc, newFirst, newLength);
            if (i != 0) *fields[i] = pieces[i].First;
            request->Result[i] = ZARFS_MOVE_E_COPY;
            continue;
        }
        ReleaseOld(fcb->Volume, pieces[i], target);
        if (i != 0) ReservationMoved(card, fcb, i, pieces[i].First, target);
    }
    if (fcb->BodyTable != nullptr)
        ZarFsBTRelocateObject(tables, fcb->BodyTable, fcb->FileBlock, entry.VideoBodyTableFirst,
                              entry.AlphaBodyTableFirst);
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS ZarFsIoctlAllocateVideoSpace(ZARFS_IOCTL_REQUEST* ioctl)
{
    ZARFS_CARD_INSTANCE* card = ioctl->Card;
    PIRP irp = ioctl->Irp;
    ULONG_PTR* info = &ioctl->Information;
    return OnFileRecord<ZARFS_ALLOCATE_VIDEO_SPACE>(
        card, irp, ChangesLayout, info, [&](ZARFS_FCB* fcb, ZARFS_ALLOCATE_VIDEO_SPACE& request) -> NTSTATUS {
        ZarFsHwGetVolumeInfo(fcb->Volume, &request.Volume);
        ZAR_FILE_INFO entry;
        NTSTATUS s = ReadEntry(card, fcb, &entry);
        if (!NT_SUCCESS(s)) return s;
        Part part = (request.Flags & ZARFS_ALLOCATE_ALPHA) ? AlphaPart : VideoPart;
        // A part's runs are handed out once; a second reservation would
        // lose track of the first.
        if (PartHasSpace(entry, part) || fcb->Reserved[part].LowerLength != 0) return STATUS_INVALID_PARAMETER;
        ZARFS_DUAL_ALLOCATION space{};
        request.Result = 0;
        if (!NT_SUCCESS(ZarFsVolAllocAllocateDualSpace(&fcb->Volume->Alloc, request.DataBlocks, request.TableBlocks,
                                                       &space))) {
            request.Result = ZARFS_ALLOCATE_E_NO_SPACE;
            return STATUS_SUCCESS;
        }
        request.TableFirstOut = space.UpperFirstBlock;
        request.TableBlocksOut = space.UpperLength;
        request.DataFirstOut = space.LowerFirstBlock;
        request.DataBlocksOut = space.LowerLength;
        entry.MediaKind = ZARFS_MEDIA_FRAMES;
        entry.VideoStandard = (request.Flags & ZARFS_ALLOCATE_625) ? 625 : 525;
        bool sdti = (request.Flags & ZARFS_ALLOCATE_SDTI) != 0;
        if (part == VideoPart) {
            entry.VideoFirstBlock = space.LowerFirstBlock;
            entry.VideoBlocksPerDrive = space.LowerLength;
            entry.VideoBodyTableFirst = space.UpperFirstBlock;
            entry.VideoBodyTableBlocks = space.UpperLength;
            entry.Flags |= ZARFS_FILE_VIDEO_RESERVED | (sdti ? ZARFS_FILE_VIDEO_SDTI : 0);
        } else {
            entry.AlphaFirstBlock = space.LowerFirstBlock;
            entry.AlphaBlocksPerDrive = space.LowerLength;
            entry.AlphaBodyTableFirst = space.UpperFirstBlock;
            entry.AlphaBodyTableBlocks = space.UpperLength;
            entry.Flags |= ZARFS_FILE_HAS_ALPHA | ZARFS_FILE_ALPHA_RESERVED | (sdti ? ZARFS_FILE_ALPHA_SDTI : 0);
        }
        // A write that failed may still have reached the disk, so the space
        // stays claimed either way; the last cleanup gives it back once an
        // entry naming none of it is written.
        fcb->Reserved[part] = space;
        return WriteEntry(card, fcb, &entry);
    });
}

NTSTATUS ZarFsIoctlUpdateVideoFile(ZARFS_IOCTL_REQUEST* ioctl)
{
    ZARFS_CARD_INSTANCE* card = ioctl->Card;
    PIRP irp = ioctl->Irp;
    ULONG_PTR* info = &ioctl->Information;
    return OnFileRecord<ZARFS_UPDATE_VIDEO_FILE>(
        card, irp, ChangesLayout, info, [&](ZARFS_FCB* fcb, ZARFS_UPDATE_VIDEO_FILE& request) -> NTSTATUS {
        ZAR_FILE_INFO entry;
        NTSTATUS s = ReadEntry(card, fcb, &entry);
        if (!NT_SUCCESS(s)) return s;
        struct Runs {
            ULONG* dataFirst;
            ULONG* dataBlocks;
            ULONG* tableFirst;
            ULONG* tableBlocks;
            ULONG* values;
            ULONG reservedFlag;
            const ZARFS_UPDATE_PART* update;
            bool named;
        } parts[2] = {
            {&entry.VideoFirstBlock, &entry.VideoBlocksPerDrive, &entry.VideoBodyTableFirst,
             &entry.VideoBodyTableBlocks, entry.VideoStreamValue, ZARFS_FILE_VIDEO_RESERVED, &request.Video,
             (request.Parts & ZARFS_UPDATE_VIDEO) != 0},
            {&entry.AlphaFirstBlock, &entry.AlphaBlocksPerDrive, &entry.AlphaBodyTableFirst,
             &entry.AlphaBodyTableBlocks, entry.AlphaStreamValue, ZARFS_FILE_ALPHA_RESERVED, &request.Alpha,
             (request.Parts & ZARFS_UPDATE_ALPHA) != 0},
        };
        // The runs to cut are the entry's own: only a part still reserved
        // is settled, and never past what it holds.
        for (const Runs& p : parts) {
            if (!p.named) continue;
            if (!(entry.Flags & p.reservedFlag)) return STATUS_INVALID_PARAMETER;
            if (p.update->DataUsed > *p.dataBlocks || p.update->TableUsed > *p.tableBlocks)
                return STATUS_INVALID_PARAMETER;
        }
        // The unused tails go back only once the entry on the disk no longer
        // names them: after a failed write they stay claimed, as the disk says.
        struct Tail {
            ULONG first;
            ULONG length;
        } tails[4] = {};
        ULONG tailCount = 0;
        for (ULONG i = 0; i < 2; ++i) {
            Runs& p = parts[i];
            if (!p.named) continue;
            tails[tailCount++] = {*p.dataFirst + p.update->DataUsed, *p.dataBlocks - p.update->DataUsed};
            tails[tailCount++] = {*p.tableFirst + p.update->TableUsed, *p.tableBlocks - p.update->TableUsed};
            *p.dataBlocks = p.update->DataUsed;
            *p.tableBlocks = p.update->TableUsed;
            p.values[0] = p.update->ValueA;
            p.values[1] = p.update->ValueB;
            entry.Flags &= ~p.reservedFlag;
            if (i == AlphaPart) entry.Flags |= ZARFS_FILE_HAS_ALPHA;
        }
        entry.FrameCount = request.FrameCount;
        if (request.FrameCount == 0) entry.MediaKind = ZARFS_MEDIA_NONE;
        s = WriteEntry(card, fcb, &entry);
        if (!NT_SUCCESS(s)) return s;
        for (ULONG i = 0; i < 2; ++i)
            if (parts[i].named) ForgetReservation(card, fcb, i);
        request.Result = 0;
        ZARFS_ALLOC_OBJECT* alloc = &fcb->Volume->Alloc;
        for (ULONG t = 0; t < tailCount && NT_SUCCESS(s); ++t)
            if (tails[t].length != 0) s = ZarFsVolAllocReleaseSpace(alloc, tails[t].first, tails[t].length);
        return s;
    });
}

NTSTATUS ZarFsIoctlGetFileInfo(ZARFS_IOCTL_REQUEST* ioctl)
{
    ZARFS_CARD_INSTANCE* card = ioctl->Card;
    PIRP irp = ioctl->Irp;
    ULONG_PTR* info = &ioctl->Information;
    return OnFileRecord<ZARFS_GET_FILE_INFO>(
        card, irp, ReadsEntry, info, [&](ZARFS_FCB* fcb, ZARFS_GET_FILE_INFO& out) -> NTSTATUS {
        ZAR_FILE_INFO e;
        NTSTATUS s = ReadEntry(card, fcb, &e);
        if (!NT_SUCCESS(s)) return s;
        out.MediaKind = e.MediaKind;
        out.VideoStandard = e.VideoStandard;
        out.VideoDataFirst = e.VideoFirstBlock;
        out.VideoDataBlocks = e.VideoBlocksPerDrive;
        ZarFsHwGetVolumeInfo(fcb->Volume, &out.Volume);
        out.Result = 0;
        if (e.MediaKind != ZARFS_MEDIA_FRAMES) return STATUS_SUCCESS;
        out.VideoTableBlocks = e.VideoBodyTableBlocks;
        out.VideoTableFirst = e.VideoBodyTableFirst;
        out.VideoValueA = e.VideoStreamValue[0];
        out.VideoValueB = e.VideoStreamValue[1];
        out.FrameCount = e.FrameCount;
        out.Flags = e.Flags;
        if (!(e.Flags & ZARFS_FILE_HAS_ALPHA)) return STATUS_SUCCESS;
        out.AlphaDataFirst = e.AlphaFirstBlock;
        out.AlphaDataBlocks = e.AlphaBlocksPerDrive;
        out.AlphaTableBlocks = e.AlphaBodyTableBlocks;
        out.AlphaTableFirst = e.AlphaBodyTableFirst;
        out.AlphaValueA = e.AlphaStreamValue[0];
        out.AlphaValueB = e.AlphaStreamValue[1];
        return STATUS_SUCCESS;
    });
}

NTSTATUS ZarFsIoctlSetAppFileEntryInfo(ZARFS_IOCTL_REQUEST* ioctl)
{
    ZARFS_CARD_INSTANCE* card = ioctl->Card;
    PIRP irp = ioctl->Irp;
    ZARFS_SET_APP_FILE_ENTRY_INFO request;
    RtlCopyMemory(&request, SystemBuffer(irp), sizeof request);
    return OnFileEntry(card, irp, [&](ZAR_FILE_INFO& e) {
        RtlCopyMemory(e.AppData, request.AppData, sizeof e.AppData);
    });
}

NTSTATUS ZarFsIoctlSetSDTIType(ZARFS_IOCTL_REQUEST* ioctl)
{
    ZARFS_CARD_INSTANCE* card = ioctl->Card;
    PIRP irp = ioctl->Irp;
    ZARFS_SET_SDTI_TYPE request;
    RtlCopyMemory(&request, SystemBuffer(irp), sizeof request);
    return OnFileEntry(card, irp, [&](ZAR_FILE_INFO& e) {
        // A type sticks only to a part recorded as SDTI; 0 clears any.
        if ((e.Flags & ZARFS_FILE_VIDEO_SDTI) || request.VideoType == 0) e.VideoSdtiType = request.VideoType;
        if ((e.Flags & ZARFS_FILE_HAS_ALPHA) && ((e.Flags & ZARFS_FILE_ALPHA_SDTI) || request.AlphaType == 0))
            e.AlphaSdtiType = request.AlphaType;
    });
}

NTSTATUS ZarFsIoctlGetFileLocationInfo(ZARFS_IOCTL_REQUEST* ioctl)
{
    ZARFS_CARD_INSTANCE* card = ioctl->Card;
    PIRP irp = ioctl->Irp;
    ULONG_PTR* info = &ioctl->Information;
    return OnFileRecord<ZAR_FILE_LOCATION>(
        card, irp, ReadsEntry, info, [&](ZARFS_FCB* fcb, ZAR_FILE_LOCATION& out) -> NTSTATUS {
        // Only the handle is the caller's: every other word is the answer.
        const ULONG handle = out.Handle;
        out = ZAR_FILE_LOCATION{};
        out.Handle = handle;
        ZAR_FILE_INFO e;
        NTSTATUS s = ReadEntry(card, fcb, &e);
        if (!NT_SUCCESS(s)) return s;
        out.EntryBlock = fcb->FileBlock;
        out.EntryBlocks = ZARFS_FILE_ENTRY_BLOCKS;
        if (e.MediaKind != ZARFS_MEDIA_FRAMES) return STATUS_SUCCESS;
        out.VideoDataFirst = e.VideoFirstBlock;
        out.VideoDataBlocks = e.VideoBlocksPerDrive;
        out.VideoTableFirst = e.VideoBodyTableFirst;
        out.VideoTableBlocks = e.VideoBodyTableBlocks;
        if (!(e.Flags & ZARFS_FILE_HAS_ALPHA)) return STATUS_SUCCESS;
        out.AlphaDataFirst = e.AlphaFirstBlock;
        out.AlphaDataBlocks = e.AlphaBlocksPerDrive;
        out.AlphaTableFirst = e.AlphaBodyTableFirst;
        out.AlphaTableBlocks = e.AlphaBodyTableBlocks;
        return STATUS_SUCCESS;
    });
}

NTSTATUS ZarFsIoctlReferenceBodyTable(ZARFS_IOCTL_REQUEST* ioctl)
{
    ZARFS_IRP_CONTEXT* context = ioctl->Context;
    if (!(context->Flags & ZARFS_IRPC_POSTED)) return ResolveAndPost(context);
    ZARFS_BODY_TABLE_REFERENCE request;
    RtlCopyMemory(&request, SystemBuffer(context->Irp), sizeof request);
    ZARFS_CARD_INSTANCE* card = context->Card;
    return OnWorker(context, [&](ZARFS_FCB* fcb, ZARFS_CCB* ccb) -> NTSTATUS {
        if (fcb->BodyTable == nullptr) {
            NTSTATUS s = ZarFsFCBSetupFullName(fcb);
            ZAR_FILE_INFO entry;
            if (NT_SUCCESS(s)) s = ReadEntry(card, fcb, &entry);
            if (NT_SUCCESS(s))
                s = ZarFsBTReferenceObject(&card->BodyTables, &fcb->FullName, fcb->Volume, fcb->FileBlock, &entry,
                                           &fcb->BodyTable);
            if (!NT_SUCCESS(s)) return s;
        }
        NTSTATUS s = CopyTableName(context, fcb->BodyTable, request.Table != 0);
        if (NT_SUCCESS(s) && context->File->WriteAccess) CountWriter(card, fcb, ccb);
        return s;
    });
}

NTSTATUS ZarFsIoctlDereferenceBodyTable(ZARFS_IOCTL_REQUEST* ioctl)
{
    ZARFS_IRP_CONTEXT* context = ioctl->Context;
    if (!(context->Flags & ZARFS_IRPC_POSTED)) return ResolveAndPost(context);
    return OnWorker(context, [&](ZARFS_FCB* fcb, ZARFS_CCB* ccb) -> NTSTATUS {
        if ((ccb->Flags & ZARFS_CCB_BT_WRITER) && fcb->BodyTable != nullptr)
            ZarFsBTWriteAccessDereference(&context->Card->BodyTables, fcb->BodyTable);
        ccb->Flags &= ~ZARFS_CCB_BT_WRITER;
        return STATUS_SUCCESS;
    }, true);
}

NTSTATUS ZarFsIoctlCreateNewBodyTable(ZARFS_IOCTL_REQUEST* ioctl)
{
    ZARFS_IRP_CONTEXT* context = ioctl->Context;
    if (!(context->Flags & ZARFS_IRPC_POSTED)) return ResolveAndPost(context);
    ZARFS_BODY_TABLE_REFERENCE request;
    RtlCopyMemory(&request, SystemBuffer(context->Irp), sizeof request);
    ZARFS_CARD_INSTANCE* card = context->Card;
    return OnWorker(context, [&](ZARFS_FCB* fcb, ZARFS_CCB* ccb) -> NTSTATUS {
        // The file's object, once made, is the one every handle shares.
        if (fcb->BodyTable == nullptr) {
            NTSTATUS s = ZarFsFCBSetupFullName(fcb);
            if (NT_SUCCESS(s))
                s = ZarFsBTCreateNewObject(&card->BodyTables, &fcb->FullName, fcb->Volume, fcb->FileBlock,
                                           request.FrameCount, &fcb->BodyTable);
            if (!NT_SUCCESS(s)) return s;
        }
        CountWriter(card, fcb, ccb);
        return STATUS_SUCCESS;
    });
}

NTSTATUS ZarFsIoctlAddVideoNodesToBodyTable(ZARFS_IOCTL_REQUEST* ioctl) { return AddNodes(ioctl->Context, false); }

NTSTATUS ZarFsIoctlAddAlphaNodesToBodyTable(ZARFS_IOCTL_REQUEST* ioctl) { return AddNodes(ioctl->Context, true); }

NTSTATUS ZarFsIoctlMoveFileSegments(ZARFS_IOCTL_REQUEST* ioctl)
{
    ZARFS_IRP_CONTEXT* context = ioctl->Context;
    PIRP irp = context->Irp;
    auto* record = reinterpret_cast<ZARFS_MOVE_FILE_SEGMENTS*>(SystemBuffer(irp));
    if (context->Flags & ZARFS_IRPC_POSTED) {
        ZARFS_MOVE_FILE_SEGMENTS request;
        RtlCopyMemory(&request, record, sizeof request);
        NTSTATUS status = OnWorker(context, [&](ZARFS_FCB* fcb, ZARFS_CCB*) { return MoveSegments(context, fcb, &request); });
        if (!NT_SUCCESS(status)) return status;
        RtlCopyMemory(record, &request, sizeof request);
        ioctl->Information = sizeof request;
        return status;
    }
    ZARFS_FCB* fcb;
    NTSTATUS status = ResolveFile(context->Card, irp, record->Handle, &context->File, &fcb);
    if (!NT_SUCCESS(status)) return status;
    // Nobody else may have the file open while its blocks move.
    if (context->File->SharedRead || context->File->SharedWrite || context->File->SharedDelete)
        return STATUS_ACCESS_DENIED;
    PMDL mdl = IoAllocateMdl(reinterpret_cast<PVOID>(ULONG_PTR(record->ProgressAddress)), sizeof(ULONG), FALSE, FALSE,
                             nullptr);
    if (mdl == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    status = SehTry([&] { MmProbeAndLockPages(mdl, irp->RequestorMode, IoWriteAccess); });
    if (!NT_SUCCESS(status)) {
        IoFreeMdl(mdl);
        return STATUS_ACCESS_DENIED;
    }
    context->Mdl = mdl;
    context->Flags |= ZARFS_IRPC_OWN_MDL;
    ZarFsBTFlushUnrefObjects(&context->Card->BodyTables);
    return ZarFsIRPContextPost(context);
}

NTSTATUS ZarFsFileWriteEntry(ZARFS_VCB* vcb, ZARFS_FCB* fcb, ZAR_FILE_INFO* entry)
{
    // A deleted file's blocks may already be another file's entry.
    if (fcb->Flags & ZARFS_FCB_DELETED) return STATUS_DELETE_PENDING;
    NTSTATUS status = ZarFsHwWriteFileEntry(&vcb->Card->Hw, fcb->Volume, fcb->FileBlock, entry);
    if (!NT_SUCCESS(status)) return status;
    auto keepInStep = [&](ZARFS_FCB* f) {
        RtlCopyMemory(f->FileEntry, entry, sizeof *entry);
        ZarFsKIVFreeFileObject(f);
    };
    bool writerSeen = false;
    ZarFsFCBForEachOfFile(vcb->Root, fcb->Volume, fcb->FileBlock, [&](ZARFS_FCB* f) {
        writerSeen |= f == fcb;
        keepInStep(f);
    });
    if (!writerSeen) keepInStep(fcb);
    return STATUS_SUCCESS;
}

NTSTATUS ZarFsFileReleaseReservations(ZARFS_VCB* vcb, ZARFS_FCB* fcb)
{
    if (fcb->Volume == nullptr || fcb->FileEntry == nullptr) return STATUS_SUCCESS;
    // A deleted file's removal gave back every block its entry named.
    if (fcb->Flags & ZARFS_FCB_DELETED) {
        RtlZeroMemory(fcb->Reserved, sizeof fcb->Reserved);
        return STATUS_SUCCESS;
    }
    if (fcb->Reserved[VideoPart].LowerLength == 0 && fcb->Reserved[VideoPart].UpperLength == 0 &&
        fcb->Reserved[AlphaPart].LowerLength == 0 && fcb->Reserved[AlphaPart].UpperLength == 0)
        return STATUS_SUCCESS;
    ZARFS_CARD_INSTANCE* card = vcb->Card;
    ZAR_FILE_INFO entry;
    NTSTATUS status = ReadEntry(card, fcb, &entry);
    if (!NT_SUCCESS(status)) return status;
    // The entry must not keep naming blocks that are free again, so it is
    // written first; while the disk still names them they stay claimed.
    for (ULONG i = 0; i < 2; ++i) {
        const ZARFS_DUAL_ALLOCATION& space = fcb->Reserved[i];
        if (space.LowerLength == 0 && space.UpperLength == 0) continue;
        if (i == VideoPart) {
            entry.VideoFirstBlock = entry.VideoBlocksPerDrive = 0;
            entry.VideoBodyTableFirst = entry.VideoBodyTableBlocks = 0;
            entry.Flags &= ~(ZARFS_FILE_VIDEO_RESERVED | ZARFS_FILE_VIDEO_SDTI);
        } else {
            entry.AlphaFirstBlock = entry.AlphaBlocksPerDrive = 0;
            entry.AlphaBodyTableFirst = entry.AlphaBodyTableBlocks = 0;
            entry.Flags &= ~(ZARFS_FILE_ALPHA_RESERVED | ZARFS_FILE_ALPHA_SDTI | ZARFS_FILE_HAS_ALPHA);
        }
    }
    if (!PartHasSpace(entry, VideoPart) && !PartHasSpace(entry, AlphaPart) && entry.FrameCount == 0)
        entry.MediaKind = ZARFS_MEDIA_NONE;
    status = ZarFsFileWriteEntry(vcb, fcb, &entry);
    if (!NT_SUCCESS(status)) return status;
    ZARFS_DUAL_ALLOCATION given[2] = {fcb->Reserved[VideoPart], fcb->Reserved[AlphaPart]};
    for (ULONG i = 0; i < 2; ++i) {
        if (given[i].LowerLength == 0 && given[i].UpperLength == 0) continue;
        ForgetReservation(card, fcb, i);
        if (given[i].LowerLength != 0)
            ZarFsVolAllocReleaseSpace(&fcb->Volume->Alloc, given[i].LowerFirstBlock, given[i].LowerLength);
        if (given[i].UpperLength != 0)
            ZarFsVolAllocReleaseSpace(&fcb->Volume->Alloc, given[i].UpperFirstBlock, given[i].UpperLength);
    }
    return STATUS_SUCCESS;
}

void ZarFsFileReleaseBodyTableWriter(ZARFS_VCB* vcb, ZARFS_CCB* ccb)
{
    if (!(ccb->Flags & ZARFS_CCB_BT_WRITER)) return;
    ccb->Flags &= ~ZARFS_CCB_BT_WRITER;
    if (ccb->Fcb != nullptr && ccb->Fcb->BodyTable != nullptr)
        ZarFsBTWriteAccessDereference(&vcb->Card->BodyTables, ccb->Fcb->BodyTable);
}

void ZarFsFileReleaseBodyTable(ZARFS_VCB* vcb, ZARFS_FCB* fcb)
{
    if (fcb->BodyTable == nullptr) return;
    ZarFsBTDereferenceObject(&vcb->Card->BodyTables, fcb->BodyTable);
    fcb->BodyTable = nullptr;
}
