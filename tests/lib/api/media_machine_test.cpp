// Still capture, the preview and the volume optimiser through ZarDll as a
// program loads it, on a machine with one simulated board (its input is the
// built-in colour bars) and a two-drive media volume.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "include/zardll.h"
#include "include/zarkd.h"
#include "outside/fpga_images.h"
#include "platform/host/embedded_machine.h"
#include "platform/user/snapshot.h"
#include "platform/user/user.h"
#include "platform/win32/win32.h"
#include "sim/pci_layouts.h"
#include "tools/clip_file.h"
#include "tools/media_volumes.h"

namespace {

std::string folder;
sim::BuiltTopology hardware;

class MediaEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        folder = (std::filesystem::temp_directory_path() / ("zardll-media-" + std::to_string(getpid()))).string();
        std::filesystem::remove_all(folder);
        std::filesystem::create_directories(folder);
        std::string why;
        ASSERT_TRUE(fpgaimages::InstallImageFiles(std::filesystem::path(folder) / "drives/C/WINNT/system32/drivers", 0,
                                                  &why))
            << why;
        sim::BoardOptions board;
        for (int id : {0, 1}) {
            sim::DriveConfig d;
            d.id = id;
            d.blocks = 16384;
            d.image = folder + "/drive" + std::to_string(id) + ".img";
            board.drives.push_back(d);
        }
        hardware = sim::BuildTopology(sim::BoardsLayout(1, 4, board));
        embedded::MachineOptions options;
        options.folder = folder;
        options.pci = hardware.topology;
        options.drivers = {"ZARKD", "ZARFSKD"};
        ASSERT_TRUE(embedded::BootMachine(options, &why)) << why;
        ASSERT_EQ(FormatMediaVolume(0, u"Media", {0, 1}), 0);
        // COM finds the drawing object's library by name.
        ::setenv("ZAR_DLL_PATH", ZAR_LIBRARY_DIR, 1);
        HMODULE server = LoadLibraryA(ZAR_LIBRARY_DIR "/libddraw.so");
        ASSERT_NE(server, nullptr);
        auto registerServer = reinterpret_cast<int32_t (*)()>(
            reinterpret_cast<void (*)()>(GetProcAddress(server, "DllRegisterServer")));
        ASSERT_NE(registerServer, nullptr);
        ASSERT_EQ(registerServer(), 0);
    }
    void TearDown() override
    {
        embedded::ShutdownMachine();
        std::filesystem::remove_all(folder);
    }
};
const bool registered = (::testing::AddGlobalTestEnvironment(new MediaEnvironment), true);

#define ZAR_CALLS(X)                                                                                                  \
    X(DcOpenEx) X(DcClose) X(ExInitializeExceptionHandler) X(ExGetExceptionPacket) X(HpsCaptureImage)                 \
    X(HpsCaptureQuery) X(HpsGetWaveformBitmap) X(ProcAmpWaveformDlg) X(OptimizeVolume) X(QueryOptimizeProgress)       \
    X(AbortOptimizeVolume) X(ScanMediaFiles) X(GetFileLocation) X(GetVolumeSpaceInfoEx)

// The library's exports, as a program that loads it by name finds them.
struct ZarDll {
#define DECLARE(name) decltype(&::Zar##name) name = nullptr;
    ZAR_CALLS(DECLARE)
#undef DECLARE
    HMODULE module = nullptr;
    bool Load()
    {
        module = LoadLibraryA(ZARDLL_PATH);
        if (!module) return false;
        bool all = true;
        auto find = [&](auto& f, const char* name) {
            f = reinterpret_cast<std::remove_reference_t<decltype(f)>>(
                reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
            all = all && f != nullptr;
        };
#define FIND(name) find(name, "Zar" #name);
        ZAR_CALLS(FIND)
#undef FIND
        return all;
    }
};

class ZarDllMedia : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dll.Load());
        ASSERT_EQ(dll.DcOpenEx(0, &board), ZAR_OK);
    }
    void TearDown() override
    {
        if (board) dll.DcClose(board);
        if (dll.module) FreeLibrary(dll.module);
    }

    ZarDll dll;
    ZAR_BOARD board = nullptr;
};

// Memory the board can write into, freed with the value.
struct HostBuffer {
    explicit HostBuffer(size_t bytes) : size(bytes)
    {
        data = static_cast<uint8_t*>(VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    }
    ~HostBuffer() { VirtualFree(data, 0, MEM_RELEASE); }
    uint32_t Address() const { return uint32_t(uintptr_t(data)); }
    uint8_t* data;
    size_t size;
};

ZAR_HPS_CAPTURE_IMAGE Still(uint32_t width, uint32_t height, uint32_t format, uint32_t buffer)
{
    ZAR_HPS_CAPTURE_IMAGE r{};
    r.Command = ZAR_HPS_CAPTURE_STILL;
    r.Source = 3;
    r.PixelFormat = format;
    r.Width = width;
    r.Height = height;
    r.Contrast = 64;
    r.Brightness = 128;
    r.Saturation = 64;
    r.ImageBuffer = buffer;
    return r;
}

// The 75 % bars of the input (Y, Cb, Cr) and their colours, studio range.
const int kBars[7][3] = {{180, 128, 128}, {162, 44, 142}, {131, 156, 44}, {112, 72, 58},
                         {84, 184, 198},  {65, 100, 212}, {35, 212, 114}};
void BarRgb(int bar, int rgb[3])
{
    const double y = kBars[bar][0] - 16.0, cb = kBars[bar][1] - 128.0, cr = kBars[bar][2] - 128.0;
    auto clamp = [](double v) { return int(std::lround(std::clamp(v, 0.0, 255.0))); };
    rgb[0] = clamp(1.164 * y + 1.596 * cr);
    rgb[1] = clamp(1.164 * y - 0.813 * cr - 0.392 * cb);
    rgb[2] = clamp(1.164 * y + 2.018 * cb);
}
// The middle column of bar i at width w.
int BarColumn(int bar, int width) { return (2 * bar + 1) * width / 14; }

TEST_F(ZarDllMedia, AStillOfTheColourBarsHasEachBarAtItsColumns)
{
    const uint32_t w = 720, h = 486;
    HostBuffer image(w * h * 4);
    BITMAPINFOHEADER header{};
    ZAR_HPS_CAPTURE_IMAGE r = Still(w, h, ZAR_HPS_FORMAT_BGRA, image.Address());
    r.BitmapHeader = uint32_t(uintptr_t(&header));
    ASSERT_EQ(dll.HpsCaptureImage(board, &r), ZAR_OK);
    EXPECT_EQ(header.biSizeImage, w * h * 4);
    EXPECT_EQ(header.biBitCount, 32);
    for (int line : {10, 150, 280}) {  // the bars fill the upper 60 % of the frame
        for (int bar = 0; bar < 7; ++bar) {
            int rgb[3];
            BarRgb(bar, rgb);
            const uint8_t* p = image.data + (size_t(line) * w + BarColumn(bar, w)) * 4;
            EXPECT_NEAR(p[2], rgb[0], 4) << "bar " << bar << " line " << line;
            EXPECT_NEAR(p[1], rgb[1], 4) << "bar " << bar << " line " << line;
            EXPECT_NEAR(p[0], rgb[2], 4) << "bar " << bar << " line " << line;
        }
    }

    // 4:2:2 as the board holds it: Cb Y Cr Y, each the bar's own.
    HostBuffer uyvy(w * h * 2);
    r = Still(w, h / 2, ZAR_HPS_FORMAT_UYVY, uyvy.Address());
    r.Source = 1;
    ASSERT_EQ(dll.HpsCaptureImage(board, &r), ZAR_OK);
    for (int bar = 0; bar < 7; ++bar) {
        const uint8_t* p = uyvy.data + size_t(40) * w * 2 + (BarColumn(bar, w) & ~1) * 2;
        EXPECT_NEAR(p[0], kBars[bar][1], 2) << bar;
        EXPECT_NEAR(p[1], kBars[bar][0], 2) << bar;
        EXPECT_NEAR(p[2], kBars[bar][2], 2) << bar;
    }
}

TEST_F(ZarDllMedia, CaptureRequestsOutsideTheLimitsAreRefused)
{
    HostBuffer image(1280 * 576 * 4);
    struct Case {
        const char* what;
        ZAR_HPS_CAPTURE_IMAGE r;
        int32_t result;
    } cases[] = {
        {"width 1281", Still(1281, 486, 0, image.Address()), ZAR_E_BAD_ARGUMENT},
        {"a line more than a frame", Still(720, 487, 0, image.Address()), ZAR_E_BAD_ARGUMENT},
        {"24 bits is a still format", Still(17, 16, 1, image.Address()), ZAR_OK},
        {"555 is not", Still(720, 486, ZAR_HPS_FORMAT_RGB555, image.Address()), ZAR_E_BAD_ARGUMENT},
        {"no image: only the header", Still(720, 486, 0, 0), ZAR_OK},
        {"a ring of 24", [&] {
             ZAR_HPS_CAPTURE_IMAGE r = Still(720, 486, 0, 0);
             r.Command = ZAR_HPS_CAPTURE_RING;
             r.RingCount = 24;
             return r;
         }(),
         ZAR_E_BAD_ARGUMENT},
        {"a preview without a window", [&] {
             ZAR_HPS_CAPTURE_IMAGE r = Still(360, 243, 0, 0);
             r.Command = ZAR_HPS_CAPTURE_PREVIEW;
             r.Window = 0x1234;
             return r;
         }(),
         ZAR_E_BAD_ARGUMENT},
        {"command 7", [&] {
             ZAR_HPS_CAPTURE_IMAGE r = Still(720, 486, 0, image.Address());
             r.Command = 7;
             return r;
         }(),
         ZAR_E_BAD_ARGUMENT},
    };
    for (Case& c : cases) EXPECT_EQ(dll.HpsCaptureImage(board, &c.r), c.result) << c.what;

    ZAR_HPS_CAPTURE_IMAGE r = Still(720, 486, 0, image.Address());
    EXPECT_EQ(dll.HpsCaptureImage(nullptr, &r), ZAR_E_BAD_HANDLE);
    EXPECT_EQ(dll.HpsCaptureImage(board, nullptr), ZAR_E_BAD_ARGUMENT);
    r = Still(17, 16, ZAR_HPS_FORMAT_BGR, 0);
    EXPECT_EQ(dll.HpsCaptureQuery(&r, ZAR_HPS_QUERY_STRIDE), 52);
    EXPECT_EQ(dll.HpsCaptureQuery(nullptr, ZAR_HPS_QUERY_STRIDE), ZAR_E_BAD_ARGUMENT);

    // The effects library's dialog and waveform monitor are not in this
    // library: the arguments are checked, then -1.
    ZAR_PROC_AMP_WAVEFORM_DLG dialog{};
    EXPECT_EQ(dll.ProcAmpWaveformDlg(board, &dialog), ZAR_E_DRIVER);
    dialog.ProcAmp = 0x10;
    EXPECT_EQ(dll.ProcAmpWaveformDlg(board, &dialog), ZAR_E_BAD_ARGUMENT);
    BITMAPINFOHEADER header{};
    ZAR_WAVEFORM_REQUEST wave{2, 0, uint32_t(uintptr_t(&header)), 0, 0, 0, 0};
    EXPECT_EQ(dll.HpsGetWaveformBitmap(board, &wave), ZAR_OK);
    EXPECT_EQ(header.biWidth, 284);
    EXPECT_EQ(header.biHeight, 243);
    EXPECT_EQ(header.biSizeImage, 852u * 243);
    wave.Display = 3;
    EXPECT_EQ(dll.HpsGetWaveformBitmap(board, &wave), ZAR_E_BAD_ARGUMENT);
}

TEST_F(ZarDllMedia, AFreeRunningRingFillsAndStopsWithItsOverflowAnswer)
{
    const uint32_t w = 360, h = 243, count = 4;
    std::vector<std::unique_ptr<HostBuffer>> buffers;
    uint32_t list[count];
    for (uint32_t i = 0; i < count; ++i) {
        buffers.push_back(std::make_unique<HostBuffer>(w * h * 4));
        list[i] = buffers.back()->Address();
    }
    HostBuffer status(16);
    ZAR_HPS_CAPTURE_IMAGE r = Still(w, h, 0, 0);
    r.Command = ZAR_HPS_CAPTURE_RING;
    r.Source = 1;
    r.RingCount = count;
    r.RingBuffers = uint32_t(uintptr_t(list));
    r.RingStatus = status.Address();
    r.FreeRunning = 1;
    ASSERT_EQ(dll.HpsCaptureImage(board, &r), ZAR_OK);
    Sleep(200);
    auto* words = reinterpret_cast<volatile uint32_t*>(status.data);
    EXPECT_GT(words[0], 0u) << "buffers filled";
    ZAR_HPS_CAPTURE_IMAGE stop{};
    stop.Command = ZAR_HPS_CAPTURE_RING_STOP;
    stop.Answer = 77;
    ASSERT_EQ(dll.HpsCaptureImage(board, &stop), ZAR_OK);
    EXPECT_LE(stop.Answer, 1u) << "the driver's overflow answer";
    Sleep(100);
    EXPECT_EQ(words[0], 0xFFFFFFFFu) << "the ring has ended";
    // The first buffer holds the bars.
    int rgb[3];
    BarRgb(1, rgb);
    const uint8_t* p = buffers[0]->data + (size_t(20) * w + BarColumn(1, w)) * 4;
    EXPECT_NEAR(p[2], rgb[0], 6);
    EXPECT_NEAR(p[0], rgb[2], 6);
}

// ---- the preview in this process ----

HWND PreviewWindow()
{
    HWND hwnd = CreateWindowExA(0, "STATIC", "", WS_POPUP | WS_VISIBLE, 0, 0, 400, 300, nullptr, nullptr, nullptr,
                                nullptr);
    UpdateWindow(hwnd);
    return hwnd;
}

void SetDisplay(DWORD bits, DWORD red, DWORD green, DWORD blue)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Display", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    for (auto [name, value] : {std::pair{"BitsPerPixel", bits}, {"RedMask", red}, {"GreenMask", green}, {"BlueMask", blue}})
        RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    RegCloseKey(key);
}

ZAR_HPS_CAPTURE_IMAGE PreviewSettings(HWND hwnd, uint32_t renderer)
{
    ZAR_HPS_CAPTURE_IMAGE r = Still(360, 243, 0, 0);
    r.Command = ZAR_HPS_CAPTURE_PREVIEW;
    r.Source = 1;
    r.BottomUp = renderer == 0;  // a DrawDib bitmap is stored bottom row first
    r.Window = uint32_t(uintptr_t(hwnd));
    r.WindowX = 20;
    r.WindowY = 10;
    r.Renderer = renderer;
    return r;
}

TEST_F(ZarDllMedia, ThePreviewDrawsTheScalersPictureInTheWindow)
{
    struct Case {
        const char* what;
        uint32_t renderer;
        DWORD bits, red, green, blue;
        int tolerance;
    } cases[] = {
        {"DrawDib, 24 bits", 0, 32, 0xFF0000, 0xFF00, 0xFF, 4},
        {"DirectDraw, 32 bits", 1, 32, 0xFF0000, 0xFF00, 0xFF, 4},
        {"DirectDraw, 16 bits 5-5-5 (format 3)", 1, 16, 0x7C00, 0x3E0, 0x1F, 10},
        {"DirectDraw, 16 bits, green one bit up (format 4)", 1, 16, 0xF800, 0x7C0, 0x1F, 10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetDisplay(c.bits, c.red, c.green, c.blue);
        HWND hwnd = PreviewWindow();
        ZAR_HPS_CAPTURE_IMAGE r = PreviewSettings(hwnd, c.renderer);
        ASSERT_EQ(dll.HpsCaptureImage(board, &r), ZAR_OK);
        Sleep(300);  // some fields
        ZAR_HPS_CAPTURE_IMAGE stop{};
        stop.Command = ZAR_HPS_CAPTURE_PREVIEW_STOP;
        ASSERT_EQ(dll.HpsCaptureImage(board, &stop), ZAR_OK);
        for (int bar = 0; bar < 7; ++bar) {
            int rgb[3];
            BarRgb(bar, rgb);
            const COLORREF pixel = user::WindowPixel(hwnd, 20 + BarColumn(bar, 360), 10 + 30);
            EXPECT_NEAR(GetRValue(pixel), rgb[0], c.tolerance) << "bar " << bar;
            EXPECT_NEAR(GetGValue(pixel), rgb[1], c.tolerance) << "bar " << bar;
            EXPECT_NEAR(GetBValue(pixel), rgb[2], c.tolerance) << "bar " << bar;
        }
        DestroyWindow(hwnd);
    }
    SetDisplay(32, 0xFF0000, 0xFF00, 0xFF);
}

TEST_F(ZarDllMedia, APaletteDisplayEndsThePreviewWithItsCode)
{
    uint32_t semaphore = 0;
    ASSERT_EQ(dll.ExInitializeExceptionHandler(board, &semaphore), ZAR_OK);
    ZAR_EXCEPTION_PACKET packet{};
    while (dll.ExGetExceptionPacket(board, &packet) == ZAR_OK) {}
    SetDisplay(8, 0, 0, 0);
    HWND hwnd = PreviewWindow();
    ZAR_HPS_CAPTURE_IMAGE r = PreviewSettings(hwnd, 1);
    ASSERT_EQ(dll.HpsCaptureImage(board, &r), ZAR_OK);
    Sleep(200);
    ASSERT_EQ(dll.ExGetExceptionPacket(board, &packet), ZAR_OK);
    EXPECT_EQ(packet.Kind, 13u);
    EXPECT_EQ(int32_t(packet.Words[0]), -61);
    ZAR_HPS_CAPTURE_IMAGE stop{};
    stop.Command = ZAR_HPS_CAPTURE_PREVIEW_STOP;
    EXPECT_EQ(dll.HpsCaptureImage(board, &stop), ZAR_OK);
    SetDisplay(32, 0xFF0000, 0xFF00, 0xFF);
    DestroyWindow(hwnd);
}

// ---- volume maintenance ----

bool Disk(HANDLE board, uint32_t operation, uint32_t id, uint32_t first, uint32_t blocks, void* buffer)
{
    ZAR_DISK_REQUEST r{};
    r.Operation = operation;
    r.TargetId = id;
    r.FirstBlock = first;
    r.BlockCount = blocks;
    r.AccessMode = ZAR_DISK_ACCESS_STAGED;
    r.SdramAddress = 0x100000;
    r.UserBuffer = uint32_t(uintptr_t(buffer));
    r.UserBufferLength = blocks * 512;
    DWORD returned = 0;
    return DeviceIoControl(board, IOCTL_ZAR_DISK_REQUEST, &r, sizeof r, &r, sizeof r, &returned, nullptr) &&
           r.ScsiStatus == 0;
}

// A clip of 'frames' frames whose fields hold bytes naming the clip and the field.
std::string WriteClip(const std::string& name, uint32_t frames, int seed)
{
    ClipFile clip;
    std::string why;
    EXPECT_TRUE(clip.Create(name, frames * 2, 4, false, &why)) << why;
    HANDLE device = CreateFileA("\\\\.\\KIVZAR0", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    HostBuffer field(4 * 512);
    for (uint32_t k = 0; k < frames * 2; ++k) {
        // The library places the field and has the board write it; the
        // field's blocks are then written over with bytes of their own, so
        // a file mixed up with another would read back wrong.
        ClipFileField place{};
        bool room = true;
        EXPECT_TRUE(clip.Record(3, 0, k & 1, &place, &room, &why)) << why;
        EXPECT_TRUE(room);
        for (size_t i = 0; i < 3 * 512; ++i) field.data[i] = uint8_t(seed * 31 + k * 7 + i);
        EXPECT_TRUE(Disk(device, ZAR_DISK_OP_WRITE, place.drive, place.firstBlock, 3, field.data));
    }
    CloseHandle(device);
    EXPECT_TRUE(clip.Settle(&why)) << why;
    return clip.Path();
}

std::vector<uint8_t> ReadWhole(const std::string& path)
{
    std::vector<uint8_t> out, chunk(64 * 1024);
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << path;
    DWORD got = 0;
    while (ReadFile(h, chunk.data(), DWORD(chunk.size()), &got, nullptr) && got > 0)
        out.insert(out.end(), chunk.begin(), chunk.begin() + got);
    CloseHandle(h);
    return out;
}

int32_t Collect(const char* path, void* context)
{
    static_cast<std::vector<std::string>*>(context)->push_back(path);
    return 1;
}

TEST_F(ZarDllMedia, OptimisingLeavesEveryFileReadingTheSameWithNoRunsOverlapping)
{
    const char volume[] = "P:\\KIV\\Media";
    std::vector<std::string> paths;
    for (int i = 0; i < 4; ++i) paths.push_back(WriteClip("opt" + std::to_string(i) + ".kiv", 3 + i, i));
    // Gaps: the second and the fourth go.
    ASSERT_TRUE(DeleteFileA(paths[1].c_str()));
    ASSERT_TRUE(DeleteFileA(paths[3].c_str()));
    paths = {paths[0], paths[2]};
    std::vector<std::vector<uint8_t>> before;
    for (const std::string& p : paths) before.push_back(ReadWhole(p));

    std::vector<std::string> scanned;
    ZAR_SCAN_MEDIA_FILES scan{volume, Collect, &scanned};
    ASSERT_EQ(dll.ScanMediaFiles(board, &scan), ZAR_OK);
    std::sort(scanned.begin(), scanned.end());
    EXPECT_EQ(scanned, paths);

    ZAR_OPTIMIZE_VOLUME request{0, volume};
    ASSERT_EQ(dll.OptimizeVolume(board, &request), ZAR_OK);
    EXPECT_EQ(dll.OptimizeVolume(board, &request), ZAR_E_DRIVER) << "one run at a time";
    ZAR_OPTIMIZE_PROGRESS progress{};
    for (int i = 0; i < 600 && !progress.Ended; ++i) {
        Sleep(50);
        ASSERT_EQ(dll.QueryOptimizeProgress(board, &progress), ZAR_OK);
    }
    ASSERT_EQ(progress.Ended, 1u);
    EXPECT_EQ(progress.Result, 0);
    EXPECT_GT(progress.Total, 0u);
    EXPECT_EQ(progress.Moved, progress.Total);
    EXPECT_EQ(progress.Done, 100u) << "the file system counts the current move in percent";

    struct Run {
        uint32_t first, length;
        bool data;
    };
    std::vector<Run> runs;
    for (size_t i = 0; i < paths.size(); ++i) {
        EXPECT_EQ(ReadWhole(paths[i]), before[i]) << paths[i];
        ZAR_FILE_LOCATION where{};
        ASSERT_EQ(dll.GetFileLocation(board, paths[i].c_str(), &where), ZAR_OK);
        runs.push_back({where.EntryBlock, where.EntryBlocks, false});
        runs.push_back({where.VideoDataFirst, where.VideoDataBlocks, true});
        runs.push_back({where.VideoTableFirst, where.VideoTableBlocks, false});
    }
    std::sort(runs.begin(), runs.end(), [](const Run& a, const Run& b) { return a.first < b.first; });
    for (size_t i = 1; i < runs.size(); ++i)
        EXPECT_LE(runs[i - 1].first + runs[i - 1].length, runs[i].first) << "runs overlap";
    // Compacted: the data runs lie back to back from block 1024.
    uint32_t position = 1024;
    for (const Run& r : runs)
        if (r.data) {
            EXPECT_EQ(r.first, position);
            position += r.length;
        }

    // Again: the volume is compact, so nothing but nothing moves.
    ASSERT_EQ(dll.OptimizeVolume(board, &request), ZAR_OK);
    progress = {};
    for (int i = 0; i < 600 && !progress.Ended; ++i) {
        Sleep(50);
        dll.QueryOptimizeProgress(board, &progress);
    }
    EXPECT_EQ(progress.Result, 0);
    EXPECT_EQ(progress.Total, 0u);
    for (const std::string& p : paths) DeleteFileA(p.c_str());
}

TEST_F(ZarDllMedia, MaintenanceCallsCheckTheirRecords)
{
    EXPECT_EQ(dll.QueryOptimizeProgress(board, nullptr), ZAR_E_BAD_ARGUMENT);
    EXPECT_EQ(dll.QueryOptimizeProgress(board, reinterpret_cast<ZAR_OPTIMIZE_PROGRESS*>(0x10)), ZAR_E_BAD_ARGUMENT);
    ZAR_OPTIMIZE_VOLUME missing{0, "P:\\KIV\\NoSuchVolume"};
    EXPECT_EQ(dll.OptimizeVolume(board, &missing), ZAR_E_DRIVER);
    ZAR_OPTIMIZE_VOLUME unreadable{0, reinterpret_cast<const char*>(0x10)};
    EXPECT_EQ(dll.OptimizeVolume(board, &unreadable), ZAR_E_BAD_ARGUMENT);
    std::string tooLong(300, 'a');
    ZAR_OPTIMIZE_VOLUME longPath{0, tooLong.c_str()};
    EXPECT_EQ(dll.OptimizeVolume(board, &longPath), ZAR_E_BAD_ARGUMENT);
    ZAR_FILE_LOCATION where{};
    EXPECT_EQ(dll.GetFileLocation(board, "P:\\KIV\\Media\\Clips\\none.kiv", &where), ZAR_E_DRIVER);
    EXPECT_EQ(dll.GetVolumeSpaceInfoEx(board, nullptr), ZAR_E_DRIVER);
    EXPECT_EQ(dll.AbortOptimizeVolume(nullptr), ZAR_E_BAD_HANDLE);

    HANDLE folder = CreateFileA("P:\\KIV\\Media", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(folder, INVALID_HANDLE_VALUE);
    ZAR_VOLUME_SPACE_INFO space{};
    space.Handle = uint32_t(uintptr_t(folder));
    EXPECT_EQ(dll.GetVolumeSpaceInfoEx(board, &space), ZAR_OK);
    EXPECT_GT(space.AllocatorBlocks, 1024u);
    CloseHandle(folder);
}

}  // namespace
