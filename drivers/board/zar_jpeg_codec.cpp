// JPEG codecs: register access through the three DEBI ports of each codec,
// the shared reset, the initialisation programme a channel loads before it
// plays or records, the real-time and direction bits, and the JPEG control
// request.
//
// Every register access is a sequence of single DEBI accesses (address high,
// address low, data); a multi-byte value is written most significant byte
// first and is not one atomic step.

#include "zar_board_regs.h"
#include "zar_debi.h"
#include "zar_extension.h"
#include "zar_jpeg.h"
#include "zar_videochips.h"
#include "include/zar_jpeg_tables.h"

namespace {


constexpr ULONG kControlRealtime[ZAR_JPEG_CHANNEL_COUNT] = {0x1, 0x2};
constexpr ULONG kControlResetN = 0x4;   // low holds both codecs in reset
constexpr ULONG kControlRun = 0x8;
constexpr ULONG kDirectionEncode = 0x1;
constexpr ULONG kVideoEncode = 0x8;
constexpr ULONG kVideoUncompressed = 0x100;
constexpr ULONG kPathMeasure = 0x1;
constexpr ULONG kRegId = 0x22;
constexpr ULONG kModeLoad = 0x80;
constexpr ULONG kRateUnconstrained = 3;
constexpr ULONG kActivePixels = 720;

// Quantisation tables (luminance, chrominance) in row order, and the
// zig-zag order the marker segment carries them in.
constexpr UCHAR kLumaQuant[64] = {16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
                                  14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
                                  18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
                                  49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};
constexpr UCHAR kChromaQuant[64] = {17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99,
                                    24, 26, 56, 99, 99, 99, 99, 99, 47, 66, 99, 99, 99, 99, 99, 99,
                                    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
                                    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};
constexpr UCHAR kZigzag[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
                               12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
                               35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
                               58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// The four typical Huffman tables: class/identifier, 16 code counts, values.
constexpr UCHAR kHuffmanTables[416] = {
    // DC luminance
    0x00, 0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11,
    // DC chrominance
    0x01, 0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11,
    // AC luminance
    0x10, 0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d,
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61, 0x07, 0x22, 0x71,
    0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52, 0xd1, 0xf0, 0x24, 0x33, 0x62, 0x72,
    0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x34, 0x35, 0x36, 0x37,
    0x38, 0x39, 0x3a, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59,
    0x5a, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x83,
    0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9a, 0xa2, 0xa3,
    0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3,
    0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2,
    0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8, 0xe9, 0xea, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa,
    // AC chrominance
    0x11, 0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77,
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61, 0x71, 0x13, 0x22,
    0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xa1, 0xb1, 0xc1, 0x09, 0x23, 0x33, 0x52, 0xf0, 0x15, 0x62, 0x72, 0xd1,
    0x0a, 0x16, 0x24, 0x34, 0xe1, 0x25, 0xf1, 0x17, 0x18, 0x19, 0x1a, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x35, 0x36,
    0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58,
    0x59, 0x5a, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a,
    0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9a,
    0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba,
    0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda,
    0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8, 0xe9, 0xea, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa,
};
static_assert(sizeof(kHuffmanTables) == 416);

constexpr UCHAR kComponents[9] = {0, 0x21, 0, 1, 0x11, 1, 2, 0x11, 1};   // id, sampling, table
constexpr UCHAR kScan[9] = {0, 0, 1, 0x11, 2, 0x11, 0, 63, 0};
constexpr UCHAR kJfif[14] = {'J', 'F', 'I', 'F', 0, 1, 0, 0, 0, 1, 0, 1, 0, 0};

// Field geometry of a standard: 525 / 625 lines.
struct ZAR_JPEG_TIMING {
    ULONG TotalLines, TotalPixels, VSyncEnd, FieldLines, FirstLine, LastLine, PlayStart, RecordStart;
};
constexpr ZAR_JPEG_TIMING kTiming525 = {524, 857, 251, 251, 5, 253, 116, 120};
constexpr ZAR_JPEG_TIMING kTiming625 = {624, 863, 291, 291, 8, 296, 122, 126};

bool ZarJpegIsRecordCommand(ULONG command)
{
    return command == ZAR_JPEG_CMD_RECORD || command == ZAR_JPEG_CMD_RECORD_MEASURE ||
           command == ZAR_JPEG_CMD_RECORD_AUDIO;
}

// One register write that also lands in the codec's image.
struct ZAR_JPEG_WRITER {
    PZAR_DEVICE_EXTENSION Ext;
    ULONG Codec;
    ULONG Length;

    void Byte(ULONG reg, ULONG value)
    {
        ZarJpegRegWrite(Ext, Codec, reg, value);
        Keep(value);
    }
    void Bytes(ULONG reg, const UCHAR* values, ULONG count)
    {
        for (ULONG i = 0; i < count; ++i) Byte(reg + i, values[i]);
    }
    void ZigzagTable(ULONG reg, const UCHAR* table)
    {
        for (ULONG i = 0; i < 64; ++i) Byte(reg + i, table[kZigzag[i]]);
    }
    void Zeros(ULONG first, ULONG last)
    {
        for (ULONG reg = first; reg <= last; ++reg) Byte(reg, 0);
    }
    void Word(ULONG reg, ULONG value, ULONG bytes)
    {
        if (bytes == 2) ZarJpegRegWrite16(Ext, Codec, reg, value);
        if (bytes == 3) ZarJpegRegWrite24(Ext, Codec, reg, value);
        if (bytes == 4) ZarJpegRegWrite32(Ext, Codec, reg, value);
        for (ULONG i = 0; i < bytes; ++i) Keep(value >> (8 * (bytes - 1 - i)));
    }
    void Keep(ULONG value)
    {
        if (Length < ZAR_JPEG_REGISTER_IMAGE) Ext->Jpeg.RegisterImage[Codec][Length++] = UCHAR(value);
    }
};

// Writes 'bytes' bytes of 'value', most significant first, rewriting the
// address high byte only where it changes.
void ZarJpegRegWriteN(PZAR_DEVICE_EXTENSION ext, ULONG codec, ULONG reg, ULONG value, ULONG bytes)
{
    if (codec >= ZAR_JPEG_CHANNEL_COUNT) return;
    const ULONG base = ZAR_REG_CODEC_PORT_BASE[codec];
    for (ULONG i = 0; i < bytes; ++i) {
        ULONG r = reg + i;
        if (i == 0 || (r >> 8) != ((r - 1) >> 8)) ZarDebiPioWrite(ext, base, r >> 8);
        ZarDebiPioWrite(ext, base + 4, r);
        ZarDebiPioWrite(ext, base + 8, value >> (8 * (bytes - 1 - i)));
    }
}

void ZarJpegWriteCodecControl(PZAR_DEVICE_EXTENSION ext)
{
    ZarDebiPioWrite(ext, ZAR_REG_CODEC_CONTROL, ext->Jpeg.CodecControl);
}

struct ZAR_JPEG_SYNC_CALL {
    PKSYNCHRONIZE_ROUTINE Routine;
    PVOID Context;
};

}  // namespace

void ZarJpegRegWrite(PZAR_DEVICE_EXTENSION ext, ULONG codec, ULONG reg, ULONG value)
{
    if (codec >= ZAR_JPEG_CHANNEL_COUNT) return;
    const ULONG base = ZAR_REG_CODEC_PORT_BASE[codec];
    ZarDebiPioWrite(ext, base, reg >> 8);
    ZarDebiPioWrite(ext, base + 4, reg);
    ZarDebiPioWrite(ext, base + 8, value);
}

USHORT ZarJpegRegRead(PZAR_DEVICE_EXTENSION ext, ULONG codec, ULONG reg)
{
    if (codec >= ZAR_JPEG_CHANNEL_COUNT) return 0;
    const ULONG base = ZAR_REG_CODEC_PORT_BASE[codec];
    ZarDebiPioWrite(ext, base, reg >> 8);
    ZarDebiPioWrite(ext, base + 4, reg);
    return ZarDebiPioRead(ext, base + 8);
}

void ZarJpegRegWrite16(PZAR_DEVICE_EXTENSION ext, ULONG codec, ULONG reg, ULONG value)
{
    ZarJpegRegWriteN(ext, codec, reg, value, 2);
}
void ZarJpegRegWrite24(PZAR_DEVICE_EXTENSION ext, ULONG codec, ULONG reg, ULONG value)
{
    ZarJpegRegWriteN(ext, codec, reg, value, 3);
}
void ZarJpegRegWrite32(PZAR_DEVICE_EXTENSION ext, ULONG codec, ULONG reg, ULONG value)
{
    ZarJpegRegWriteN(ext, codec, reg, value, 4);
}

NTSTATUS ZarJpegReset(PZAR_DEVICE_EXTENSION ext)
{
    ULONG& control = ext->Jpeg.CodecControl;
    control = (control & ~(kControlRealtime[0] | kControlRealtime[1] | kControlRun)) | kControlResetN;
    ZarJpegWriteCodecControl(ext);
    KeStallExecutionProcessor(10);
    control |= kControlRun;
    ZarJpegWriteCodecControl(ext);
    KeStallExecutionProcessor(10);
    control &= ~kControlResetN;
    ZarJpegWriteCodecControl(ext);
    KeStallExecutionProcessor(10);
    control |= kControlResetN;
    ZarJpegWriteCodecControl(ext);
    KeStallExecutionProcessor(200);
    // Reading the identification settles the codecs' bus interface.
    ZarJpegRegRead(ext, 0, kRegId);
    ZarJpegRegRead(ext, 1, kRegId);
    ext->Jpeg.PathControl |= kPathMeasure;
    ZarDebiPioWrite(ext, ZAR_REG_PATH_CONTROL, ext->Jpeg.PathControl);
    return STATUS_SUCCESS;
}

NTSTATUS ZarJpegCodecInit(PZAR_DEVICE_EXTENSION ext, ULONG codec, const ZAR_JPEG_COMMAND* command)
{
    if (codec >= ZAR_JPEG_CHANNEL_COUNT) return STATUS_UNSUCCESSFUL;
    const bool record = ZarJpegIsRecordCommand(command->Command);
    const ZAR_JPEG_TIMING& t = ext->Standard == 625 ? kTiming625 : kTiming525;
    RtlZeroMemory(ext->Jpeg.RegisterImage[codec], ZAR_JPEG_REGISTER_IMAGE);
    ZAR_JPEG_WRITER w{ext, codec, 0};

    w.Byte(0x00, 0);
    w.Byte(0x02, 1);
    w.Byte(0x03, record ? 0xA2 : 0);
    w.Byte(0x04, 0);
    w.Byte(0x05, 0xFF);
    w.Byte(0x06, 0x98);
    w.Byte(0x07, 0);
    w.Word(0x09, 0xFFFFFFFF, 4);
    w.Word(0x0D, 0xFFFFFFFF, 4);
    w.Word(0x11, ZarJpegQuantiserScale[20], 2);
    w.Word(0x13, 0xFFFFFF, 3);
    w.Byte(0x24, 0);
    w.Byte(0x25, 0);
    w.Byte(0x30, 0x80);
    w.Byte(0x31, 0xE0);
    w.Byte(0x32, 0);
    w.Byte(0x33, 16);
    w.Byte(0x34, 128);
    w.Byte(0x35, 128);
    w.Word(0x36, t.TotalLines, 2);
    w.Word(0x38, t.TotalPixels, 2);
    w.Byte(0x3A, 2);
    w.Byte(0x3B, 62);
    w.Byte(0x3C, 3);
    w.Byte(0x3D, 130);
    w.Word(0x3E, t.VSyncEnd, 2);
    w.Word(0x40, 850, 2);
    w.Word(0x42, t.FirstLine, 2);
    w.Word(0x44, t.LastLine, 2);
    const ULONG h = record ? t.RecordStart : t.PlayStart;
    w.Word(0x46, h, 2);
    w.Word(0x48, h + kActivePixels, 2);
    w.Word(0x4A, 3, 2);
    w.Word(0x4C, t.FieldLines, 2);
    w.Word(0x4E, 130, 2);
    w.Word(0x50, 850, 2);

    w.Word(0x60, 0xFFC0, 2);
    w.Word(0x62, 17, 2);
    w.Byte(0x64, 8);
    w.Word(0x65, t.LastLine - t.FirstLine, 2);
    w.Word(0x67, kActivePixels, 2);
    w.Byte(0x69, 3);
    w.Bytes(0x6A, kComponents, sizeof(kComponents));
    w.Word(0x7A, 0xFFDA, 2);
    w.Word(0x7C, 12, 2);
    w.Byte(0x7E, 3);
    w.Bytes(0x7F, kScan, sizeof(kScan));
    w.Word(0xC0, 0xFFDD, 2);
    w.Word(0xC2, 4, 2);
    w.Word(0xC4, 0, 2);
    w.Word(0xCC, 0xFFDB, 2);
    w.Word(0xCE, 132, 2);
    w.Byte(0xD0, 0);
    w.ZigzagTable(0xD1, kLumaQuant);
    w.Byte(0x111, 1);
    w.ZigzagTable(0x112, kChromaQuant);
    w.Word(0x1D4, 0xFFC4, 2);
    w.Word(0x1D6, 418, 2);
    w.Bytes(0x1D8, kHuffmanTables, sizeof(kHuffmanTables));
    w.Word(0x380, 0xFFE0, 2);
    w.Word(0x382, 16, 2);
    w.Bytes(0x384, kJfif, sizeof(kJfif));
    w.Zeros(0x392, 0x3BF);
    w.Word(0x3C0, 0xFFFE, 2);
    w.Word(0x3C2, 62, 2);
    w.Zeros(0x3C4, 0x3FF);
    w.Byte(0x00, kModeLoad);

    ext->Jpeg.Channel[codec].State.StateWord = ZAR_VIDEO_IDLE;
    return STATUS_SUCCESS;
}

void ZarJpegEnableRealtimeMode(PZAR_DEVICE_EXTENSION ext, ULONG codec, BOOLEAN on)
{
    ULONG bits = codec == 2 ? kControlRealtime[0] | kControlRealtime[1]
                            : codec < ZAR_JPEG_CHANNEL_COUNT ? kControlRealtime[codec] : 0;
    if (on)
        ext->Jpeg.CodecControl |= bits;
    else
        ext->Jpeg.CodecControl &= ~bits;
    ZarJpegWriteCodecControl(ext);
}

void ZarJpegSetVideoDirection(PZAR_DEVICE_EXTENSION ext, ULONG codec, ULONG direction)
{
    if (codec != 0) return;
    ZAR_JPEG_STATE& j = ext->Jpeg;
    if (direction == ZAR_JPEG_DECODE) {
        j.VideoControl &= ~(kVideoEncode | kVideoUncompressed);
        j.Direction &= ~kDirectionEncode;
    } else if (direction == ZAR_JPEG_ENCODE) {
        j.VideoControl |= kVideoEncode;
        if (j.Channel[0].Rate.Mode == kRateUnconstrained)
            j.VideoControl |= kVideoUncompressed;
        else
            j.VideoControl &= ~kVideoUncompressed;
        j.Direction |= kDirectionEncode;
    } else {
        return;
    }
    ZarDebiPioWrite(ext, ZAR_REG_VIDEO_CONTROL, j.VideoControl);
    ZarDebiPioWrite(ext, ZAR_REG_CODEC_DIRECTION, j.Direction);
}

void ZarJpegInitialize(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_JPEG_STATE& j = ext->Jpeg;
    KeInitializeSpinLock(&j.Lock);
    for (ULONG c = 0; c < ZAR_JPEG_CHANNEL_COUNT; ++c) {
        ZAR_JPEG_CHANNEL& ch = j.Channel[c];
        KeInitializeEvent(&ch.StateEvent, NotificationEvent, FALSE);
        KeInitializeEvent(&ch.CommandEvent, NotificationEvent, FALSE);
        ch.FieldSlotState = ZAR_FIELD_SIGNAL_JPEG_STATE + c;
        ch.FieldSlotCommand = ZAR_FIELD_SIGNAL_JPEG_COMMAND + c;
        ext->FieldSignal[ch.FieldSlotState].Event = &ch.StateEvent;
        ext->FieldSignal[ch.FieldSlotCommand].Event = &ch.CommandEvent;
        ch.PreviousDescriptor = -1;
        ch.LastDescriptor = -1;
    }
    j.OptionHold = 1;
    j.OptionParity = 1;
    j.EventsReady = TRUE;
}

BOOLEAN ZarJpegSynchronize(PZAR_DEVICE_EXTENSION ext, PKSYNCHRONIZE_ROUTINE routine, PVOID context)
{
    if (ext->SyncLevel > 2 && ext->InterruptObject != nullptr)
        return KeSynchronizeExecution(ext->InterruptObject, routine, context);
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) return routine(context);
    KIRQL oldIrql;
    KeAcquireSpinLock(&ext->Jpeg.Lock, &oldIrql);
    BOOLEAN result = routine(context);
    KeReleaseSpinLock(&ext->Jpeg.Lock, oldIrql);
    return result;
}

NTSTATUS ZarJpegControl(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    auto* request = static_cast<ZAR_JPEG_CONTROL_REQUEST*>(buffer);
    const PVOID block = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(request->Argument));
    switch (request->Selector) {
    case 0: return ZarSaa7146Init(ext);
    case 1: return ZarSaa7113Init(ext);
    case 2:
    case 3: {
        ULONG parameters[ZAR_SAA7125_PARAMETER_WORDS];
        NTSTATUS status = SehTry([&] {
            ProbeForRead(block, sizeof(parameters), sizeof(UCHAR));
            RtlCopyMemory(parameters, block, sizeof(parameters));
        });
        if (!NT_SUCCESS(status)) return status;
        return ZarSaa7125Init(ext, request->Selector - 2, parameters);
    }
    case 4: {
        ZAR_JPEG_COMMAND command;
        NTSTATUS status = SehTry([&] {
            ProbeForRead(block, sizeof(command), sizeof(UCHAR));
            RtlCopyMemory(&command, block, sizeof(command));
        });
        if (!NT_SUCCESS(status)) return status;
        status = ZarJpegCommand(ext, &command);
        // The command's results go back where the block came from.
        NTSTATUS copied = SehTry([&] {
            ProbeForWrite(block, sizeof(command), sizeof(UCHAR));
            RtlCopyMemory(block, &command, sizeof(command));
        });
        return NT_SUCCESS(copied) ? status : copied;
    }
    default: return STATUS_SUCCESS;
    }
}
