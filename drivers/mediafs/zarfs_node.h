// The media drive's tree in memory: the volume control block of a card's
// drive, one FCB per opened path (root, file-type folder, volume, folder,
// media file) and one CCB per handle; and the directory search entry that
// enumerates the children of every node kind.
//
// Names of the tree (kind = the parent's kind + 1):
//   \                         root (0): one folder per file type
//   \KIV                      file-type folder (1): the card's usable volumes
//   \KIV\<volume>             volume (2): its folders
//   \KIV\<volume>\<folder>    folder (3): its media files
//   \KIV\<volume>\<folder>\<file>  media file (4), read as a clip file
//   \<EXT>\<volume>\<folder>\<file>\<name>  under a type of presentation 2
//                             the media file is a directory: its frame files
//                             (<file><number>.<EXT>, one a frame), then its
//                             RAM files (5)
#pragma once

#include "zarfs_complete.h"
#include "zarfs_hw.h"

struct ZARFS_CARD_INSTANCE;

inline constexpr ULONG ZARFS_MAX_COMPONENT = 255;  // characters of one name component
inline constexpr ULONG ZARFS_LABEL_CHARS = 32;

enum ZARFS_NODE_KIND : ULONG {
    ZarFsNodeRoot = 0,
    ZarFsNodeFileType = 1,
    ZarFsNodeVolume = 2,
    ZarFsNodeFolder = 3,
    ZarFsNodeFile = 4,
    ZarFsNodeFrame = 5,             // frame file or RAM file inside a media file
};

// A file type's presentation value: its media files as directories of frame files.
inline constexpr ULONG ZARFS_PRESENT_FRAMES = 2;

// ZARFS_FCB flags.
inline constexpr ULONG ZARFS_FCB_DIRECTORY = 0x1;
inline constexpr ULONG ZARFS_FCB_ROOT = 0x2;
inline constexpr ULONG ZARFS_FCB_DELETE_PENDING = 0x4;
inline constexpr ULONG ZARFS_FCB_DELETED = 0x10;      // gone from the disk; found by no new open
inline constexpr ULONG ZARFS_FCB_VIRTUAL = 0x20;      // a RAM file
inline constexpr ULONG ZARFS_FCB_PORT = 0x100;        // the port file of its folder
inline constexpr ULONG ZARFS_FCB_SERVICE_FAILED = 0x200;  // frame file: a read or write failed at the service

struct ZARFS_CLIP_VIEW;
struct ZARFS_CLIP_WRITER;
struct ZARFS_PORT_FILE;

struct ZARFS_FCB {
    LIST_ENTRY Sibling;             // on the parent's Children
    LIST_ENTRY Children;
    ZARFS_FCB* Parent;
    ZARFS_NODE_KIND Kind;
    ULONG Flags;                    // ZARFS_FCB_...
    ULONG TypeIndex;                // the file type the path was opened through
    ULONG OpenCount;                // file objects not yet closed
    ULONG HandleCount;              // file objects not yet cleaned up
    SHARE_ACCESS Share;
    ULONGLONG Time;
    ZARFS_HW_VOLUME* Volume;        // volume and below, referenced
    ULONG FolderSlot;               // folder and below
    ULONG FileSlot;                 // media file: its slot in the folder
    ULONG FileBlock;                // media file: its entry's first block
    ULONG FrameIndex;               // frame file: the frame it shows, its index among the media file's children
    ULONG ServiceContext;           // frame file: the service's context, once opened there
    ZAR_FILE_INFO* FileEntry;       // media file: the entry as read at open
    ZARFS_CLIP_VIEW* ClipView;      // media file: built on the first read
    ZARFS_CLIP_WRITER* ClipWriter;  // native media file: made by the first write
    struct ZARFS_BT_OBJECT* BodyTable;  // media file: referenced by a control code, until the FCB goes
    ZARFS_RAM_FILE* RamFile;        // RAM file: its contents, in the volume's list
    ZARFS_DUAL_ALLOCATION Reserved[2];  // media file: video and alpha space allocated, not yet settled
    UNICODE_STRING FullName;        // built on demand; "\" for the root
    ULONG NameChars;
    WCHAR Name[ZARFS_MAX_COMPONENT + 1];
};

// ZARFS_CCB flags.
inline constexpr ULONG ZARFS_CCB_DELETE_ON_CLOSE = 0x1;
inline constexpr ULONG ZARFS_CCB_MATCH_ALL = 0x10;
inline constexpr ULONG ZARFS_CCB_SEARCH_SET = 0x40;
inline constexpr ULONG ZARFS_CCB_QUERIED = 0x80;
inline constexpr ULONG ZARFS_CCB_BT_WRITER = 0x100;   // counted as a writer on the FCB's body tables
inline constexpr ULONG ZARFS_CCB_TAG = 1;

struct ZARFS_CCB {
    ULONG Tag;                      // ZARFS_CCB_TAG
    ZARFS_FCB* Fcb;                 // null for a handle on the volume itself
    PFILE_OBJECT File;
    ACCESS_MASK Access;
    ULONG Flags;                    // ZARFS_CCB_...
    ULONG Index;                    // where the next directory query goes on
    BOOLEAN Wild;                   // the search name has wildcards
    UNICODE_STRING SearchName;      // upper-cased, over SearchBuffer
    ZARFS_PORT_FILE* Port;          // a handle on the port file: its command and reply
    WCHAR SearchBuffer[ZARFS_MAX_COMPONENT + 1];
};

// ZARFS_VCB flags.
inline constexpr ULONG ZARFS_VCB_INITIALIZED = 0x1;
inline constexpr ULONG ZARFS_VCB_LOCKED = 0x10;

// The drive's resource (lock 2 of the Locking block in zarfs_driver.h)
// guards:
//  - the tree: FCBs, CCBs, their counts and names;
//  - every media file's entry from its read to its rewrite, each FCB's copy
//    of it (FileEntry, FileBlock), the clip view built from it (ClipView)
//    and the space it reserved (Reserved); and with them the pairing of an
//    entry with the allocator (the allocator has a lock of its own for its
//    lists, not for what the entries say).
// Changing any of these takes it exclusive; reading them takes it shared.
// A clip read holds it shared for the whole read, so no rewrite can free
// the view under it while other reads go on beside it; the view itself is
// built once, exclusive, and never changed while it lives.
struct ZARFS_VCB {
    ERESOURCE Resource;             // the drive's resource (lock 2): see above
    ZARFS_FCB* Root;
    ZARFS_CARD_INSTANCE* Card;
    PDEVICE_OBJECT Disk;
    ULONG VolumeOpens;              // handles on the volume itself
    ULONG OpenFiles;
    ULONG ReadOnlyFiles;            // open without write or delete access
    SHARE_ACCESS Share;             // of the volume handles
    ULONG Flags;                    // ZARFS_VCB_...
    PFILE_OBJECT Locker;
    ULONG LabelBytes;
    WCHAR Label[ZARFS_LABEL_CHARS];
    PNOTIFY_SYNC NotifySync;        // guards NotifyList
    LIST_ENTRY NotifyList;          // directory handles waiting for changes
};

// A child of a node, as the directory enumeration finds it.
struct ZARFS_DIR_SEARCH_ENTRY {
    ULONG Index;                    // among the node's children; the next search starts at Index + 1
    ULONGLONG Time;
    ULONGLONG Size;
    ULONG NameLength;               // bytes
    WCHAR Name[ZARFS_NAME_CHARS];
    ULONG Value;                    // type index, folder slot or file-entry block
    BOOLEAN Directory;
};

// Request kinds of a file object of the media drive.
enum ZARFS_REQUEST_TYPE : ULONG {
    ZarFsRequestVolume = 0,
    ZarFsRequestFolder = 1,
    ZarFsRequestFile = 2,
    ZarFsRequestUnknown = 3,
};

// The built-in file type: the folder every media file is listed in as a clip file.
inline constexpr WCHAR ZARFS_NATIVE_EXTENSION[] = u"KIV";

// ---- volume control block, FCBs and CCBs (zarfs_fcb.cpp) ----
NTSTATUS ZarFsVCBInitialize(ZARFS_VCB* vcb, ZARFS_CARD_INSTANCE* card, PDEVICE_OBJECT disk);
void ZarFsVCBFree(ZARFS_VCB* vcb);
NTSTATUS ZarFsVCBLockVolume(ZARFS_VCB* vcb, PFILE_OBJECT locker);
void ZarFsVCBUnlockVolume(ZARFS_VCB* vcb);
NTSTATUS ZarFsFCBCreate(ZARFS_VCB* vcb, ZARFS_FCB* parent, const ZARFS_DIR_SEARCH_ENTRY* entry, ZARFS_FCB** fcb);
ZARFS_FCB* ZarFsFCBFindChild(ZARFS_FCB* parent, PCWSTR name, ULONG chars);
// Releases the FCB and then each ancestor that has no handle and no child.
void ZarFsFCBRemove(ZARFS_FCB* fcb);
NTSTATUS ZarFsFCBSetupFullName(ZARFS_FCB* fcb);
// Drops the full names of the FCB and of everything below it.
void ZarFsFCBRemoveFullNames(ZARFS_FCB* fcb);
BOOLEAN ZarFsFCBHasOpenDescendant(ZARFS_FCB* fcb);
BOOLEAN ZarFsFCBCanSetDisposition(ZARFS_VCB* vcb, ZARFS_FCB* fcb);
NTSTATUS ZarFsFCBDeleteEntry(ZARFS_VCB* vcb, ZARFS_FCB* fcb);
NTSTATUS ZarFsFCBRename(ZARFS_VCB* vcb, ZARFS_FCB* fcb, PCWSTR name, ULONG chars);
NTSTATUS ZarFsFCBMove(ZARFS_VCB* vcb, ZARFS_FCB* target, ZARFS_FCB* fcb, PCWSTR name, ULONG chars);
// The port file's node in 'parent' (not a directory, time now).
NTSTATUS ZarFsFCBCreatePort(ZARFS_VCB* vcb, ZARFS_FCB* parent, ZARFS_FCB** fcb);
ZARFS_CCB* ZarFsCCBAllocate(ZARFS_FCB* fcb, PFILE_OBJECT file, ACCESS_MASK access);
void ZarFsCCBFree(ZARFS_CCB* ccb);
ZARFS_REQUEST_TYPE ZarFsGetRequestType(PFILE_OBJECT file, ZARFS_VCB** vcb, ZARFS_FCB** fcb, ZARFS_CCB** ccb);
// A component's rules: 1..255 characters, none of \ / : * ? " < > |.
BOOLEAN ZarFsIsValidComponent(PCWSTR name, ULONG chars);

// One frame of a media file shown as a directory (not a RAM file nor a
// port file beside the frames); its parent holds the media file's entry.
inline bool ZarFsIsFrameFile(const ZARFS_FCB* fcb)
{
    return fcb->Kind == ZarFsNodeFrame && !(fcb->Flags & (ZARFS_FCB_VIRTUAL | ZARFS_FCB_PORT));
}

// The presentation value of a file type (0 for an index no type has).
ULONG ZarFsTypePresentation(ULONG typeIndex);

// Calls 'visit' on every FCB that stands for the media file whose entry
// lies at 'block' of 'volume': one for each file-type folder it was opened
// through. Deleted FCBs are left out: their block may be another file's.
template <typename Visit>
void ZarFsFCBForEachOfFile(ZARFS_FCB* node, const ZARFS_HW_VOLUME* volume, ULONG block, Visit visit)
{
    for (PLIST_ENTRY e = node->Children.Flink; e != &node->Children; e = e->Flink) {
        auto* child = CONTAINING_RECORD(e, ZARFS_FCB, Sibling);
        if (child->Kind == ZarFsNodeFile) {
            if (child->Volume == volume && child->FileBlock == block && child->FileEntry != nullptr &&
                !(child->Flags & ZARFS_FCB_DELETED))
                visit(child);
            continue;
        }
        if (child->Kind < ZarFsNodeFile) ZarFsFCBForEachOfFile(child, volume, block, visit);
    }
}

// ---- directory enumeration and control (zarfs_dirctl.cpp) ----
// The first child at or after 'start' that the CCB's search matches (every
// child when 'ccb' is null); false when there is none.
BOOLEAN ZarFsFindDirEntry(ZARFS_VCB* vcb, ZARFS_FCB* fcb, const ZARFS_CCB* ccb, ULONG start,
                          ZARFS_DIR_SEARCH_ENTRY* entry);
// The child of that name (case-insensitive), or false.
BOOLEAN ZarFsFindDirEntryByName(ZARFS_VCB* vcb, ZARFS_FCB* fcb, PCWSTR name, ULONG chars,
                                ZARFS_DIR_SEARCH_ENTRY* entry);
// Tells the handles waiting for changes in the node's folder (or above it,
// watching the tree) that the node was added, removed, renamed or changed.
void ZarFsNotifyChange(ZARFS_VCB* vcb, ZARFS_FCB* fcb, ULONG filter, ULONG action);
// The change filter of a node's name: a folder's or a file's.
inline ULONG ZarFsNotifyNameFilter(const ZARFS_FCB* fcb)
{
    return (fcb->Flags & ZARFS_FCB_DIRECTORY) ? FILE_NOTIFY_CHANGE_DIR_NAME : FILE_NOTIFY_CHANGE_FILE_NAME;
}
// A media file's size as listed and read: its clip-file view, or the
// stored size of a file without media.
ULONGLONG ZarFsFileSize(const ZAR_FILE_INFO* entry);

// ---- clip-file view (zarfs_clipview.cpp) ----
ULONGLONG ZarFsKIVGetTotalFileSize(const ZAR_FILE_INFO* entry);
NTSTATUS ZarFsKIVInitializeFileObjectForRead(ZARFS_VCB* vcb, ZARFS_FCB* fcb);
void ZarFsKIVFreeFileObject(ZARFS_FCB* fcb);
NTSTATUS ZarFsKIVFileRead(ZARFS_VCB* vcb, ZARFS_FCB* fcb, PUCHAR buffer, ULONGLONG offset, ULONG length);

// ---- clip file written into the native folder (zarfs_clipwrite.cpp) ----
// A 40-byte format chunk, header included: STATUS_FILE_INVALID when it is
// no format the board records.
NTSTATUS ZarFsKIVVerifyVideoParameters(const UCHAR* format);
// The write object of an empty media file; access denied for a file that
// holds media or space a recorder reserved.
NTSTATUS ZarFsKIVInitializeFileObjectForWrite(ZARFS_VCB* vcb, ZARFS_FCB* fcb);
// Writes must follow on from the previous one (STATUS_INVALID_PARAMETER
// otherwise, nothing changed).
NTSTATUS ZarFsKIVFileWrite(ZARFS_VCB* vcb, ZARFS_FCB* fcb, const UCHAR* buffer, ULONGLONG offset, ULONG length);
// Frees the write object; the space of an unfinished clip is given back
// with the file's reservations (ZarFsFileReleaseReservations).
void ZarFsKIVFreeWriteObject(ZARFS_FCB* fcb);
// A write request on a native media file, completed here.
NTSTATUS ZarFsKIVWrite(ZARFS_VCB* vcb, ZARFS_FCB* fcb, PIRP irp, PIO_STACK_LOCATION stack);

// ---- the port file (zarfs_port.cpp) ----
NTSTATUS ZarFsComPortInitialize(ZARFS_VCB* vcb, ZARFS_PORT_FILE** port);
void ZarFsComPortFree(ZARFS_PORT_FILE* port);
ULONG ZarFsComPortReplyLength(const ZARFS_PORT_FILE* port);
// Both take the drive's resource themselves, and a command goes to the
// service outside it.
NTSTATUS ZarFsComPortRead(ZARFS_VCB* vcb, ZARFS_PORT_FILE* port, PUCHAR buffer, ULONGLONG offset, PULONG length);
NTSTATUS ZarFsComPortWrite(ZARFS_VCB* vcb, ZARFS_FCB* fcb, ZARFS_PORT_FILE* port, const UCHAR* buffer,
                           ULONGLONG offset, PULONG length);
// ---- frame files of the foreign types (zarfs_framefile.cpp) ----
inline constexpr ULONG ZARFS_MAX_FRAME_DIGITS = 10;  // a u32 frame number has at most 10 digits
// The name of frame 'frame' of the media file 'clip' (of 'frames' frames)
// in the folder of 'type'; returns its characters (at most 255), zero
// after them when there is room.
ULONG ZarFsConstructFileFrameName(PCWSTR clip, ULONG clipChars, const ZARFS_FILE_TYPE* type, ULONG frames,
                                  ULONG frame, ULONG baseFrame, ULONG minDigits, WCHAR (&name)[ZARFS_NAME_CHARS]);
// The frame files a media file shows: its frame count, but no more frames
// than its body table indexes (a damaged entry must not list billions).
ULONG ZarFsFrameFileCount(const ZAR_FILE_INFO* entry);
// A frame file's size: the type's size for the file's alpha part and SDTI types.
ULONG ZarFsFrameFileSize(const ZAR_FILE_INFO* entry, const ZARFS_FILE_TYPE* type);
// Reads a frame file (its index among the media file's children is the
// frame) through the service, opening it there on the first access; takes
// the drive's resource itself, and never while the service works.
NTSTATUS ZarFsFrameFileRead(ZARFS_VCB* vcb, ZARFS_FCB* fcb, PUCHAR buffer, ULONGLONG offset, ULONG length,
                            PULONG done);
// Writes a frame file through the service the same way; '*done' is what
// the service took.
NTSTATUS ZarFsFrameFileWrite(ZARFS_VCB* vcb, ZARFS_FCB* fcb, const UCHAR* buffer, ULONGLONG offset, ULONG length,
                             PULONG done);
// The write request of a frame file, completed here.
NTSTATUS ZarFsFrameFileWriteRequest(ZARFS_VCB* vcb, ZARFS_FCB* fcb, PIRP irp, PIO_STACK_LOCATION stack);
// Hands a whole frame image to the service as the frame 'frame' of the
// frame file 'frameName' (full name on the drive): open, write, cleanup and
// close. Call without the drive's resource.
NTSTATUS ZarFsFrameFileImport(ZARFS_VCB* vcb, PCUNICODE_STRING frameName, ULONG typeValue, ULONG frame,
                              const UCHAR* data, ULONG length);

// ---- create (zarfs_create.cpp) ----
// The FCB of a path from the root ("\KIV\vol\folder"), made as needed
// without a handle; the caller releases it with ZarFsFCBRemove.
NTSTATUS ZarFsFCBLookup(ZARFS_VCB* vcb, PCWSTR path, ULONG chars, ZARFS_FCB** fcb);

// The drive's VCB behind a device of the driver; null for a control device.
ZARFS_VCB* ZarFsDeviceVcb(PDEVICE_OBJECT device);
