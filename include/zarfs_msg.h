// Event-log messages of the media file-system driver ZARFSKD: identifiers
// of its message table (facility 5) and their texts. Entries carry the
// insertion strings; the first of them is %2.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr const char* ZARFS_EVENT_SOURCE = "ZARFSKD";

inline constexpr uint32_t ZARFS_MSG_INIT_ERROR = 0xC0050001;
inline constexpr uint32_t ZARFS_MSG_VIRTUAL_FILE_ERROR = 0xC0050002;
inline constexpr uint32_t ZARFS_MSG_FILE_ERROR = 0xC0050003;
inline constexpr uint32_t ZARFS_MSG_SERVICE_TIMEOUT = 0xC0050004;
inline constexpr uint32_t ZARFS_MSG_SCSI_RETRY = 0x80050005;
inline constexpr uint32_t ZARFS_MSG_SCSI_FAILED = 0xC0050006;
inline constexpr uint32_t ZARFS_MSG_CHECKSUM_RETRY = 0x80050007;
inline constexpr uint32_t ZARFS_MSG_CHECKSUM_FAILED = 0xC0050008;
inline constexpr uint32_t ZARFS_MSG_VERIFY_RETRY = 0x80050009;
inline constexpr uint32_t ZARFS_MSG_VERIFY_FAILED = 0xC005000A;
inline constexpr uint32_t ZARFS_MSG_BODY_TABLE_RECOVERED = 0x4005000B;

// Dump data of the ZARFS_MSG_FILE_ERROR entry that discovery makes when a
// folder slot names a file entry that an earlier slot (folders by slot,
// then file slots) already holds: the earlier slot keeps the file, this one
// is left out and cleared on disk.
struct ZARFS_REPEATED_SLOT {
    uint32_t Card;              // the board
    uint32_t ScsiId;            // the volume's drive 0
    uint32_t FolderSlot;        // the slot left out
    uint32_t FileSlot;
    uint32_t EntryBlock;        // the file entry both slots name
    uint32_t KeptFolderSlot;    // the slot that keeps it
    uint32_t KeptFileSlot;
};
static_assert(sizeof(ZARFS_REPEATED_SLOT) == 28);
inline constexpr const char* ZARFS_REPEATED_SLOT_TEXT = "Folder slot repeats a file; cleared";

struct ZARFS_MESSAGE {
    uint32_t Id;
    const char* Name;
    const char* Text;
};

inline constexpr ZARFS_MESSAGE ZarFsMessageTable[] = {
    {ZARFS_MSG_INIT_ERROR, "ZARFS_MSG_INIT_ERROR", "The following error occured during initialization: %2."},
    {ZARFS_MSG_VIRTUAL_FILE_ERROR, "ZARFS_MSG_VIRTUAL_FILE_ERROR", "Virtual File error: %2."},
    {ZARFS_MSG_FILE_ERROR, "ZARFS_MSG_FILE_ERROR", "File error: %2."},
    {ZARFS_MSG_SERVICE_TIMEOUT, "ZARFS_MSG_SERVICE_TIMEOUT",
     "A timeout occurred waiting for a response from the service while doing the following request: %2."},
    {ZARFS_MSG_SCSI_RETRY, "ZARFS_MSG_SCSI_RETRY", "SCSI %2 failed. ID=%3 LBA=%4 Type=%5 Retries=%6."},
    {ZARFS_MSG_SCSI_FAILED, "ZARFS_MSG_SCSI_FAILED", "SCSI %2 failed. ID=%3 LBA=%4 Type=%5 Retries=%6."},
    {ZARFS_MSG_CHECKSUM_RETRY, "ZARFS_MSG_CHECKSUM_RETRY", "Checksum error. ID=%2 LBA=%3 Type=%4 Retries=%5."},
    {ZARFS_MSG_CHECKSUM_FAILED, "ZARFS_MSG_CHECKSUM_FAILED", "Checksum error. ID=%2 LBA=%3 Type=%4 Retries=%5."},
    {ZARFS_MSG_VERIFY_RETRY, "ZARFS_MSG_VERIFY_RETRY", "Write verify error. ID=%2 LBA=%3 Type=%4 Retries=%5."},
    {ZARFS_MSG_VERIFY_FAILED, "ZARFS_MSG_VERIFY_FAILED", "Write verify error. ID=%2 LBA=%3 Type=%4 Retries=%5."},
    {ZARFS_MSG_BODY_TABLE_RECOVERED, "ZARFS_MSG_BODY_TABLE_RECOVERED", "Body table recovered for KIV file."},
};
