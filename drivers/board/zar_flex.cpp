// FPGA image loader. The board's four FPGAs lose their logic at power-off;
// a download reads the image file of the board's revision, picks one image
// per FPGA and shifts the four in parallel over DEBI, each FPGA on its own
// data line, least significant bit first. The control-code handler around
// it re-initialises the video path once the FPGAs run.
//
// The file is checked against its own header before any image byte is
// taken from it: every image must lie inside the file, every FPGA must have
// at least one image, and the stream buffer is sized from the images
// themselves rather than from the header's largest-image field.

#include <cstring>

#include "include/zarkd_msg.h"
#include "zar_audio.h"
#include "zar_board_regs.h"
#include "zar_boardsetup.h"
#include "zar_bridge.h"
#include "zar_debi.h"
#include "zar_eventlog.h"
#include "zar_extension.h"
#include "zar_flex.h"
#include "zar_i2c.h"
#include "zar_isr.h"
#include "zar_videochips.h"

namespace {

constexpr ULONG kTagFlex = ZarCharTag('Z', 'a', 'r', 'F');

// Image file layout (little-endian).
constexpr char kMagic[4] = {'C', 'o', 'p', 'y'};
constexpr ULONG kOffVersionA = 32;
constexpr ULONG kOffVersionB = 36;
constexpr ULONG kOffStandard = 40;
constexpr ULONG kOffFpgaCount = 44;
constexpr ULONG kOffImageCounts = 48;
constexpr ULONG kOffImageSizes = 112;
constexpr ULONG kOffLargest = 1136;
// No file that passes the header checks is longer than this.
constexpr ULONG kMaxFileBytes = ZAR_FLEX_HEADER_BYTES + ZAR_FLEX_MAX_IMAGES * ZAR_FLEX_MAX_IMAGE_BYTES;
constexpr ULONG kStreamBytesPerByte = 8;

// EEPROM bytes.
constexpr ULONG kEepromBoardRevision = 41;
constexpr ULONG kEepromFpgaChoice = 42;  // four bytes, FPGA 0 first
constexpr ULONG kOldBoardRevision = 2;
constexpr ULONG kBoardRevision = 3;
// Where the revision goes in the image file's name.
constexpr ULONG kRevisionDigit = sizeof(u"\\SystemRoot\\system32\\drivers\\Zar10kr") / sizeof(WCHAR) - 1;

// Bridge registers and words.
constexpr ULONG kPsrFpgasConfigured = 0x10;
constexpr ULONG kDebiConfigFpga = 0x8A0000;
constexpr ULONG kDebiWriteFpgaData = 0x4FFFE;  // two bytes to board address 0xFFFE
constexpr ULONG kDebiReadFpgaData = 0x5FFFE;   // two bytes from board address 0xFFFE
constexpr ULONG kAllInterrupts = 0xFFFFFFFF;
// The bridge's GPIO change before every stream: pins 0 and 1.
constexpr ULONG kGpioChangeValue = 80;
constexpr ULONG kGpioChangePin0 = 0;
constexpr ULONG kGpioChangePin1 = 1;
// Program line (GPIO pin 0): mode bits to clear and set for output high and low.
constexpr ULONG kGpioHighClear = 0xAF;
constexpr ULONG kGpioHigh = 0x50;
constexpr ULONG kGpioLowClear = 0xBF;
constexpr ULONG kGpioLow = 0x40;
constexpr ULONG kProgramPulseStallUs = 10;
// A DEBI engine that stays busy this many status reads is taken as hung;
// the stream stops and the FPGAs do not report configured.
constexpr ULONG kDebiBusyPolls = 1000000;

// Board side.
constexpr ULONG kStartupClocks = 64;

constexpr LONGLONG kSettleBeforeLoad = -300000LL;  // 30 ms, 100 ns units
// A file whose images never configure would have the search send every
// combination, up to 16^4, while the caller waits 30 s: the search gives up
// after this many sends or this much time, and pauses between sends so the
// rest of the machine (fields, timers, other boards) runs meanwhile.
constexpr ULONG kMaxSearchSends = 256;
constexpr LONGLONG kMaxSearchTime = 200000000LL;    // 20 s, 100 ns units
constexpr LONGLONG kPauseBetweenSends = -10000LL;   // 1 ms
constexpr ULONG kMaxReinitPasses = 7;

// Bit j of a byte as byte j of a 64-bit lane word: one image byte becomes
// eight stream bytes with one data bit each, at bit 0 before the shift to
// its FPGA's data line.
struct ZAR_FLEX_LANES {
    ULONGLONG Lane[256];
};
constexpr ZAR_FLEX_LANES ZarFlexMakeLanes()
{
    ZAR_FLEX_LANES lanes{};
    for (ULONG b = 0; b < 256; ++b)
        for (ULONG j = 0; j < 8; ++j)
            if (b & (1u << j)) lanes.Lane[b] |= 1ULL << (8 * j);
    return lanes;
}
constexpr ZAR_FLEX_LANES kLanes = ZarFlexMakeLanes();

// What one download holds: the file, the expanded images and the stream.
struct ZAR_FLEX_IMAGES {
    char Name[16];                            // the file's name, for the event log
    PUCHAR File;
    ULONG FileLength;
    PUCHAR Image[ZAR_FLEX_MAX_IMAGES];        // expanded, 8 bytes per image byte
    ULONG ImageLength[ZAR_FLEX_MAX_IMAGES];   // expanded length
    ULONG First[ZAR_FLEX_FPGA_COUNT];         // each FPGA's global image numbers
    ULONG Last[ZAR_FLEX_FPGA_COUNT];
    PUCHAR Combined;
};

ULONG ZarFlexFileDword(const ZAR_FLEX_IMAGES* images, ULONG offset)
{
    ULONG value;
    std::memcpy(&value, images->File + offset, sizeof(value));
    return value;
}

// An entry about the image file names it: a damaged file is then found by
// whoever reads the log.
void ZarFlexLog(PZAR_DEVICE_EXTENSION ext, const ZAR_FLEX_IMAGES* images, ULONG message, NTSTATUS status)
{
    ZarLogEventNaming(ext->DriverObject, ext->EventLogLevel, message, status, images->Name);
}

ULONG ZarFlexBoardRevision(PZAR_DEVICE_EXTENSION ext, BOOLEAN eepromValid)
{
    ULONG value = 0;
    if (eepromValid && NT_SUCCESS(ZarDcReadEepromByte(ext, kEepromBoardRevision, &value)) &&
        value == kOldBoardRevision)
        return kOldBoardRevision;
    return kBoardRevision;
}

// Reads the whole file into paged pool. A file too short for its header or
// longer than any valid file is refused before it is read.
NTSTATUS ZarFlexReadFile(PZAR_DEVICE_EXTENSION ext, PCWSTR path, ZAR_FLEX_IMAGES* images)
{
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES attributes;
    IO_STATUS_BLOCK iosb{};
    HANDLE file = nullptr;
    RtlInitUnicodeString(&name, path);
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    NTSTATUS status = ZwCreateFile(&file, FILE_GENERIC_READ, &attributes, &iosb, nullptr, FILE_ATTRIBUTE_NORMAL,
                                   FILE_SHARE_READ, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE,
                                   nullptr, 0);
    if (!NT_SUCCESS(status)) {
        ZarFlexLog(ext, images, ZAR_MSG_FLEX_FILE_ACCESS_FAILED, status);
        return status;
    }

    FILE_STANDARD_INFORMATION info{};
    status = ZwQueryInformationFile(file, &iosb, &info, sizeof(info), FileStandardInformation);
    if (!NT_SUCCESS(status)) {
        ZwClose(file);
        ZarFlexLog(ext, images, ZAR_MSG_FLEX_FILE_ACCESS_FAILED, status);
        return status;
    }
    if (info.EndOfFile.QuadPart < ZAR_FLEX_HEADER_BYTES || info.EndOfFile.QuadPart > kMaxFileBytes) {
        ZwClose(file);
        ZarFlexLog(ext, images, ZAR_MSG_FLEX_FILE_BAD_HEADER, STATUS_UNSUCCESSFUL);
        return STATUS_UNSUCCESSFUL;
    }
    ULONG length = ULONG(info.EndOfFile.QuadPart);

    images->File = static_cast<PUCHAR>(ExAllocatePoolWithTag(PagedPool, length, kTagFlex));
    if (images->File == nullptr) {
        ZwClose(file);
        ZarFlexLog(ext, images, ZAR_MSG_FLEX_BUFFER_ALLOC_FAILED, STATUS_UNSUCCESSFUL);
        return STATUS_UNSUCCESSFUL;
    }
    LARGE_INTEGER offset;
    offset.QuadPart = 0;
    status = ZwReadFile(file, nullptr, nullptr, nullptr, &iosb, images->File, length, &offset, nullptr);
    ZwClose(file);
    if (!NT_SUCCESS(status) || iosb.Information != length) {
        ZarFlexLog(ext, images, ZAR_MSG_FLEX_FILE_READ_FAILED, STATUS_UNSUCCESSFUL);
        return STATUS_UNSUCCESSFUL;
    }
    images->FileLength = length;
    return STATUS_SUCCESS;
}

// The magic, the standard and the version words.
NTSTATUS ZarFlexCheckFile(PZAR_DEVICE_EXTENSION ext, ZAR_FLEX_IMAGES* images)
{
    if (std::memcmp(images->File, kMagic, sizeof(kMagic)) != 0) {
        ZarFlexLog(ext, images, ZAR_MSG_FLEX_FILE_BAD_HEADER, STATUS_UNSUCCESSFUL);
        return STATUS_UNSUCCESSFUL;
    }
    ULONG standard = ZarFlexFileDword(images, kOffStandard);
    if ((standard == ZAR_STANDARD_525 && ext->Standard == ZAR_STANDARD_625) ||
        (standard == ZAR_STANDARD_625 && ext->Standard == ZAR_STANDARD_525)) {
        ZarFlexLog(ext, images, ZAR_MSG_FLEX_FILE_WRONG_STANDARD, STATUS_UNSUCCESSFUL);
        return STATUS_UNSUCCESSFUL;
    }
    ext->FpgaVersion[0] = ZarFlexFileDword(images, kOffVersionA);
    ext->FpgaVersion[1] = ZarFlexFileDword(images, kOffVersionB);
    return STATUS_SUCCESS;
}

// Checks the counts and sizes against the limits and the file's length,
// then expands every image and allocates the stream buffer for the longest.
NTSTATUS ZarFlexExpandImages(PZAR_DEVICE_EXTENSION ext, ZAR_FLEX_IMAGES* images)
{
    ULONG counts[ZAR_FLEX_FPGA_COUNT];
    BOOLEAN bad = ZarFlexFileDword(images, kOffFpgaCount) != ZAR_FLEX_FPGA_COUNT;
    ULONG total = 0;
    for (ULONG f = 0; f < ZAR_FLEX_FPGA_COUNT && !bad; ++f) {
        counts[f] = ZarFlexFileDword(images, kOffImageCounts + 4 * f);
        // An FPGA without an image could never be configured.
        bad = counts[f] == 0 || counts[f] > ZAR_FLEX_MAX_IMAGES_PER_FPGA;
        if (!bad) {
            images->First[f] = total;
            total += counts[f];
            images->Last[f] = total - 1;
        }
    }
    ULONG end = ZAR_FLEX_HEADER_BYTES;
    ULONG longest = 0;
    for (ULONG i = 0; i < total && !bad; ++i) {
        ULONG size = ZarFlexFileDword(images, kOffImageSizes + 4 * i);
        bad = size > ZAR_FLEX_MAX_IMAGE_BYTES || size > images->FileLength - end;
        end += bad ? 0 : size;
        if (size > longest) longest = size;
    }
    if (!bad) bad = ZarFlexFileDword(images, kOffLargest) > ZAR_FLEX_MAX_IMAGE_BYTES;
    if (bad) {
        ZarFlexLog(ext, images, ZAR_MSG_FLEX_FILE_BAD_HEADER, STATUS_UNSUCCESSFUL);
        return STATUS_UNSUCCESSFUL;
    }

    const UCHAR* source = images->File + ZAR_FLEX_HEADER_BYTES;
    for (ULONG f = 0; f < ZAR_FLEX_FPGA_COUNT; ++f) {
        for (ULONG i = images->First[f]; i <= images->Last[f]; ++i) {
            ULONG size = ZarFlexFileDword(images, kOffImageSizes + 4 * i);
            ULONG length = size * kStreamBytesPerByte;
            if (length != 0) {
                images->Image[i] = static_cast<PUCHAR>(ExAllocatePoolWithTag(PagedPool, length, kTagFlex));
                if (images->Image[i] == nullptr) {
                    ZarFlexLog(ext, images, ZAR_MSG_FLEX_BUFFER_ALLOC_FAILED, STATUS_UNSUCCESSFUL);
                    return STATUS_UNSUCCESSFUL;
                }
            }
            images->ImageLength[i] = length;
            PUCHAR out = images->Image[i];
            for (ULONG k = 0; k < size; ++k, out += kStreamBytesPerByte) {
                ULONGLONG lane = kLanes.Lane[source[k]] << f;
                std::memcpy(out, &lane, sizeof(lane));
            }
            source += size;
        }
    }

    if (longest != 0) {
        images->Combined =
            static_cast<PUCHAR>(ExAllocatePoolWithTag(PagedPool, longest * kStreamBytesPerByte, kTagFlex));
        if (images->Combined == nullptr) {
            ZarFlexLog(ext, images, ZAR_MSG_FLEX_BUFFER_ALLOC_FAILED, STATUS_UNSUCCESSFUL);
            return STATUS_UNSUCCESSFUL;
        }
    }
    return STATUS_SUCCESS;
}

// The EEPROM's image choice, when the part is valid, readable and names an
// image of each FPGA's own range.
BOOLEAN ZarFlexStoredChoice(PZAR_DEVICE_EXTENSION ext, const ZAR_FLEX_IMAGES* images, BOOLEAN eepromValid,
                            ULONG choice[ZAR_FLEX_FPGA_COUNT])
{
    if (!eepromValid) return FALSE;
    for (ULONG f = 0; f < ZAR_FLEX_FPGA_COUNT; ++f) {
        if (!NT_SUCCESS(ZarDcReadEepromByte(ext, kEepromFpgaChoice + f, &choice[f]))) return FALSE;
        if (choice[f] < images->First[f] || choice[f] > images->Last[f]) return FALSE;
    }
    return TRUE;
}

// Combines the chosen images into one stream and sends it.
ULONG ZarFlexTry(PZAR_DEVICE_EXTENSION ext, ZAR_FLEX_IMAGES* images, const ULONG choice[ZAR_FLEX_FPGA_COUNT])
{
    ULONG length = 0;
    for (ULONG f = 0; f < ZAR_FLEX_FPGA_COUNT; ++f)
        if (images->ImageLength[choice[f]] > length) length = images->ImageLength[choice[f]];
    if (length != 0) std::memset(images->Combined, 0, length);
    for (ULONG f = 0; f < ZAR_FLEX_FPGA_COUNT; ++f) {
        const UCHAR* image = images->Image[choice[f]];
        ULONG imageLength = images->ImageLength[choice[f]];
        for (ULONG k = 0; k < imageLength; ++k) images->Combined[k] |= image[k];
    }
    return ZarFlexSend10K(ext, images->Combined, length);
}

BOOLEAN ZarFlexAccepted(PZAR_DEVICE_EXTENSION ext, ULONG bits)
{
    return (bits & ZAR_FLEX_CONFIGURED) && ((bits & ZAR_FLEX_DVE_ANSWERS) || !ext->DvePresent);
}

// Steps the choice like an odometer, FPGA 0 fastest; FALSE after the last.
BOOLEAN ZarFlexNextChoice(const ZAR_FLEX_IMAGES* images, ULONG choice[ZAR_FLEX_FPGA_COUNT])
{
    for (ULONG f = 0; f < ZAR_FLEX_FPGA_COUNT; ++f) {
        if (choice[f] < images->Last[f]) {
            ++choice[f];
            return TRUE;
        }
        choice[f] = images->First[f];
    }
    return FALSE;
}

// The stored choice first; when it is missing or does not configure, every
// combination in turn, and the one that works goes back to the EEPROM.
ULONG ZarFlexConfigure(PZAR_DEVICE_EXTENSION ext, ZAR_FLEX_IMAGES* images, BOOLEAN eepromValid)
{
    ULONG choice[ZAR_FLEX_FPGA_COUNT];
    if (ZarFlexStoredChoice(ext, images, eepromValid, choice)) {
        ULONG bits = ZarFlexTry(ext, images, choice);
        if (ZarFlexAccepted(ext, bits)) return bits;
    }
    for (ULONG f = 0; f < ZAR_FLEX_FPGA_COUNT; ++f) choice[f] = images->First[f];
    LARGE_INTEGER start, now, pause;
    KeQuerySystemTime(&start);
    pause.QuadPart = kPauseBetweenSends;
    for (ULONG sends = 1;; ++sends) {
        if (sends > 1) KeDelayExecutionThread(KernelMode, FALSE, &pause);
        ULONG bits = ZarFlexTry(ext, images, choice);
        if (ZarFlexAccepted(ext, bits)) {
            // Only a part that carries the board's signature is written.
            if (eepromValid)
                for (ULONG f = 0; f < ZAR_FLEX_FPGA_COUNT; ++f)
                    ZarDcWriteEepromByte(ext, kEepromFpgaChoice + f, choice[f]);
            return bits;
        }
        if (!ZarFlexNextChoice(images, choice)) return bits;
        KeQuerySystemTime(&now);
        if (sends >= kMaxSearchSends || now.QuadPart - start.QuadPart >= kMaxSearchTime) {
            DbgPrint("ZARKD: board %lu: the FPGA image search stopped after %lu combinations, none configured",
                     static_cast<unsigned long>(ext->BoardNumber), static_cast<unsigned long>(sends));
            return bits;
        }
    }
}

void ZarFlexWriteDebiConfig(PZAR_DEVICE_EXTENSION ext)
{
    WRITE_REGISTER_ULONG(ZarBridgeRegister(ext, ZAR_BRIDGE_DEBI_CONFIG), kDebiConfigFpga);
    ext->Flex.DebiConfig = kDebiConfigFpga;
}

BOOLEAN ZarFlexGpioChange(PVOID context)
{
    auto ext = static_cast<PZAR_DEVICE_EXTENSION>(context);
    ZarGpioChange(ext, kGpioChangeValue, kGpioChangePin0);
    ZarGpioChange(ext, kGpioChangeValue, kGpioChangePin1);
    return TRUE;
}

// Clears all four FPGAs: the program line goes low and high again. The
// bridge's interrupts are off, so the pulse needs no lock; the shadow keeps
// the word the pulse ends on.
void ZarFlexProgramPulse(PZAR_DEVICE_EXTENSION ext)
{
    ZarRunSynchronized(ext, ZarFlexGpioChange, ext);
    volatile ULONG* gpio = ZarBridgeRegister(ext, ZAR_BRIDGE_GPIO_CTRL);
    ULONG high = (ext->I2c.GpioShadow & ~kGpioHighClear) | kGpioHigh;
    ULONG low = (ext->I2c.GpioShadow & ~kGpioLowClear) | kGpioLow;
    WRITE_REGISTER_ULONG(gpio, high);
    KeStallExecutionProcessor(kProgramPulseStallUs);
    WRITE_REGISTER_ULONG(gpio, low);
    KeStallExecutionProcessor(kProgramPulseStallUs);
    WRITE_REGISTER_ULONG(gpio, high);
    KeStallExecutionProcessor(kProgramPulseStallUs);
    ext->I2c.GpioShadow = high;
}

}  // namespace

ULONG ZarFlexSend10K(PZAR_DEVICE_EXTENSION ext, const UCHAR* buffer, ULONG length)
{
    ZarFlexProgramPulse(ext);
    ZarFlexWriteDebiConfig(ext);

    // The hot loop: one programmed DEBI write per stream byte, spinning on
    // the busy bit without a stall (a transfer takes a fraction of a
    // microsecond).
    volatile ULONG* status = ZarBridgeRegister(ext, ZAR_BRIDGE_PSR);
    volatile ULONG* command = ZarBridgeRegister(ext, ZAR_BRIDGE_DEBI_COMMAND);
    volatile ULONG* data = ZarBridgeRegister(ext, ZAR_BRIDGE_DEBI_AD);
    volatile ULONG* upload = ZarBridgeRegister(ext, ZAR_BRIDGE_MC2);
    // The engine is the stream's from its first byte to its last.
    if (!ZarDebiAcquireForStream(ext)) return 0;
    for (ULONG i = 0; i < length; ++i) {
        ULONG polls = 0;
        while ((READ_REGISTER_ULONG(status) & ZAR_PSR_DEBI_BUSY) && polls < kDebiBusyPolls) ++polls;
        if (polls == kDebiBusyPolls) break;
        WRITE_REGISTER_ULONG(command, kDebiWriteFpgaData);
        WRITE_REGISTER_ULONG(data, buffer[i]);
        WRITE_REGISTER_ULONG(upload, ZAR_MC2_UPLOAD_DEBI);
    }
    ZarDebiReleaseFromStream(ext);
    for (ULONG i = 0; i < kStartupClocks; ++i) ZarDebiPioWrite(ext, ZAR_REG_FPGA_DATA, 0);

    ULONG bits = 0;
    if (READ_REGISTER_ULONG(status) & kPsrFpgasConfigured) bits |= ZAR_FLEX_CONFIGURED;
    if (ZarDebiPioRead(ext, ZAR_REG_BOARD_STATUS) & ZAR_STATUS_DVE_ANSWERS) bits |= ZAR_FLEX_DVE_ANSWERS;
    return bits;
}

void ZarFlexReleaseBuffers(PVOID fileBuffer, PVOID combinedBuffer, PUCHAR imageBuffers[ZAR_FLEX_MAX_IMAGES])
{
    if (fileBuffer != nullptr) ExFreePoolWithTag(fileBuffer, kTagFlex);
    if (combinedBuffer != nullptr) ExFreePoolWithTag(combinedBuffer, kTagFlex);
    for (ULONG i = 0; i < ZAR_FLEX_MAX_IMAGES; ++i)
        if (imageBuffers[i] != nullptr) ExFreePoolWithTag(imageBuffers[i], kTagFlex);
}

NTSTATUS ZarFlexDownload(PZAR_DEVICE_EXTENSION ext)
{
    BOOLEAN eepromValid = ZarDcIsValidEeprom(ext);
    ext->BoardRevision = ZarFlexBoardRevision(ext, eepromValid);
    WCHAR path[] = u"\\SystemRoot\\system32\\drivers\\Zar10kr3.mbf";
    path[kRevisionDigit] = WCHAR(u'0' + ext->BoardRevision);
    // A DEBI request in flight would lose its done interrupt to the mask
    // and hold the engine for good (and every stream below would then find
    // it taken): the engine is taken first, while the interrupts still run,
    // so a running request ends before they go off (a request that runs on
    // past the wait fails the download, not the request).
    if (!ZarDebiAcquireForStream(ext)) return STATUS_IO_TIMEOUT;
    ZarSetIntMode(ext, kAllInterrupts, FALSE);
    ZarDebiReleaseFromStream(ext);

    ZAR_FLEX_IMAGES images{};
    // The name after the folder, in ASCII as the log's strings are.
    const WCHAR* name = path + kRevisionDigit - (sizeof("Zar10kr") - 1);
    for (ULONG i = 0; name[i] != 0 && i + 1 < sizeof(images.Name); ++i) images.Name[i] = char(name[i]);
    NTSTATUS status = ZarFlexReadFile(ext, path, &images);
    if (NT_SUCCESS(status)) status = ZarFlexCheckFile(ext, &images);
    if (NT_SUCCESS(status)) {
        ext->FpgaState = ZAR_FPGA_NOT_CONFIGURED;
        ext->Flex.DveConfigured = FALSE;
        ext->BoardReady = FALSE;
        LARGE_INTEGER settle;
        settle.QuadPart = kSettleBeforeLoad;
        KeDelayExecutionThread(KernelMode, FALSE, &settle);
        status = ZarFlexExpandImages(ext, &images);
    }
    if (NT_SUCCESS(status)) {
        ULONG bits = ZarFlexConfigure(ext, &images, eepromValid);
        ZarFlexWriteDebiConfig(ext);
        if (bits & ZAR_FLEX_CONFIGURED) {
            // Leave the FPGAs' data port selected for reading.
            ZarDebiWaitIdle(ext);
            WRITE_REGISTER_ULONG(ZarBridgeRegister(ext, ZAR_BRIDGE_DEBI_COMMAND), kDebiReadFpgaData);
            WRITE_REGISTER_ULONG(ZarBridgeRegister(ext, ZAR_BRIDGE_MC2), ZAR_MC2_UPLOAD_DEBI);
            ext->Flex.DveConfigured = ext->DvePresent && (bits & ZAR_FLEX_DVE_ANSWERS);
            ext->FpgaState = ext->Flex.DveConfigured ? ZAR_FPGA_CONFIGURED_WITH_DVE : ZAR_FPGA_CONFIGURED;
        }
        if (!(bits & ZAR_FLEX_CONFIGURED)) status = STATUS_UNSUCCESSFUL;
        else if (!(bits & ZAR_FLEX_DVE_ANSWERS) && ext->DvePresent) status = STATUS_UNSUCCESSFUL;
    }
    ZarFlexReleaseBuffers(images.File, images.Combined, images.Image);
    return status;
}

// IOCTL_ZAR_FLEX_DOWNLOAD: dword 0 zero configures, anything else only
// reports; dwords 1-3 return the FPGA state and the version words. Once the
// FPGAs run, the video path is set up again, repeated while BRS transfers
// time out during it.
NTSTATUS ZarFlexIoDownload(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    auto* io = static_cast<PULONG>(buffer);
    BOOLEAN configure = io[0] == 0;
    NTSTATUS status = configure ? ZarFlexDownload(ext) : STATUS_SUCCESS;
    io[1] = ext->FpgaState;
    io[2] = ext->FpgaVersion[0];
    io[3] = ext->FpgaVersion[1];
    if (!configure || ext->FpgaState < ZAR_FPGA_CONFIGURED) return status;

    auto* timeouts = reinterpret_cast<volatile LONG*>(&ext->BrsTimeoutCount);
    for (ULONG pass = 0; pass < kMaxReinitPasses; ++pass) {
        if (pass != 0) InterlockedExchange(timeouts, 0);
        LONG before = *timeouts;
        ZarSaa7146Init(ext);
        ZarSaa7113Init(ext);
        ZarDcResetGfx(ext);
        ZarGfxInitFramestore(ext);
        if (*timeouts == before) break;
    }
    ext->VinMonitorPaused = FALSE;
    return status;
}
