// The SCSI drives of one board, as the machine folder names them, and their
// image files.
//
// File: <machine>/boards/<n>/drives.txt, one drive a line, blank lines and
// everything after '#' ignored. A line is whitespace-separated key=value
// fields; a value with spaces goes in double quotes. Keys:
//   id=<0..15, not 7>     SCSI id (required; 7 is the host adapter's own)
//   size=<n>[K|M|G|T]     capacity in bytes, binary suffixes, a whole number
//                         of 512-byte blocks (required, or blocks=)
//   blocks=<n>            capacity in 512-byte blocks
//   vendor= product= revision= serial=
//                         INQUIRY text fields (8, 16, 4 and 20 characters at
//                         most; padded with spaces)
//   image=<path>          image file, relative to the board's folder
//                         (default drive<id>.img)
//   spinup=<seconds>      time from start to ready (decimals allowed; 0)
//   start=power-on|command
//                         the motor starts at power-on (default), or only
//                         at START UNIT (NOT READY 02/04/02 until then)
//   width=8|16            widest transfer the drive agrees to (16)
//   period=<factor>       shortest synchronous period it agrees to, in 4 ns
//                         units (12 = 50 ns; default 12)
//   offset=<n>            largest synchronous offset it agrees to; 0 makes
//                         it asynchronous only (default 15)
//   rcd=0|1 wce=0|1 dexcpt=0|1
//                         power-on values of the caching page's read-cache-
//                         disable and write-cache-enable bits and of the
//                         exceptions page's DEXCPT bit (0, 1, 0)
//   fixed=<list>          comma-separated bits among rcd, wce, dexcpt that
//                         the drive does not let MODE SELECT change
// Example:
//   id=0 size=4G vendor=ACME product="FASTDISK 4000" revision=0102 spinup=8
//   id=2 blocks=2097152 width=8 period=25 offset=8 fixed=rcd rcd=1
//
// An image is created sparse at its configured size on first use; an
// existing image keeps its contents and is grown (never shrunk) to it. A
// capacity above 2^32 blocks (2T) is refused: a drive reports its last
// block in 32 bits.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

struct DriveConfig {
    int id = 0;
    uint64_t blocks = 0;
    std::string vendor = "SOLVSIM";
    std::string product = "VIRTUAL DISK";
    std::string revision = "1.00";
    std::string serial;
    std::string image;              // absolute, or as the caller gave it
    uint64_t spinUpNs = 0;
    bool startAtPowerOn = true;
    bool wide = true;               // largest width: 16 bits
    uint8_t minPeriod = 12;         // 4 ns units
    uint8_t maxOffset = 15;
    bool rcd = false, wce = true, dexcpt = false;
    bool rcdChangeable = true, wceChangeable = true, dexcptChangeable = true;
    // Whether a missing image is made (sparse, empty). LoadDrives clears it
    // for an image its board's record names: that image held the drive's
    // data. A created image is added to 'imageRecord' (when one is named).
    bool createImage = true;
    std::string imageRecord;
};

struct DriveList {
    std::vector<DriveConfig> drives;
    std::vector<std::string> errors;  // "drives.txt:3: ...", lines skipped
    std::string fileError;            // the file exists but could not be read: no drives
};

// Parses the text of a drives file; relative image paths are taken from
// 'boardFolder'.
DriveList ParseDrives(std::string_view text, const std::string& boardFolder, const std::string& fileName = "drives.txt");
// Reads <machineFolder>/boards/<board>/drives.txt; no file means no drives.
// The board folder's images.txt lists the images its drives have held, one
// path a line (written as images are made; an image found there is never
// made again, since a missing one had data).
DriveList LoadDrives(const std::string& machineFolder, int board);

// Opens the drive's image for reading and writing, creating it sparse or
// growing a new one to the configured size. An image that held data and is
// missing or shorter than the drive is refused. Returns the descriptor, or
// -1 with 'error' set.
int OpenDriveImage(const DriveConfig& config, std::string* error);

}  // namespace sim
