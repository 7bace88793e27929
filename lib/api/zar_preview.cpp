// The preview object of one board, its worker and the hand-over between
// processes through the named exchange block.

#include "zar_preview.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "include/zarkd.h"
#include "platform/ddraw/ddraw.h"
#include "platform/vfw/vfw.h"
#include "zar_app.h"
#include "zar_connection.h"
#include "zar_still_capture.h"

namespace zarapi {

namespace {

constexpr DWORD kWaitMs = 2000;

// The exchange block every previewing process of a board shares.
struct ExchangeBlock {
    volatile uint32_t active;
    volatile uint32_t processId;
};
static_assert(sizeof(ExchangeBlock) == 8);

struct PrevException {
    const char* what;
};

std::string PreviewName(const char* prefix, uint32_t board)
{
    char name[64];
    std::snprintf(name, sizeof name, "%s%d", prefix, int(board));
    return name;
}

// What a preview pass holds; released in reverse order whatever happened.
struct PassResources {
    bool comInitialised = false;
    IDirectDraw* draw = nullptr;
    IDirectDrawSurface* primary[2] = {};
    IDirectDrawClipper* clipper[2] = {};
    IDirectDrawSurface* capture = nullptr;
    HDRAWDIB drawDib = nullptr;
    void* bitmap = nullptr;

    ~PassResources()
    {
        if (capture) capture->Release();
        for (int i = 0; i < 2; ++i) {
            if (primary[i]) primary[i]->Release();
            if (clipper[i]) clipper[i]->Release();
        }
        if (draw) draw->Release();
        if (drawDib) DrawDibClose(drawDib);
        if (bitmap) VirtualFree(bitmap, 0, MEM_RELEASE);
        if (comInitialised) CoUninitialize();
    }
};

class CPreview {
public:
    explicit CPreview(uint32_t board) : m_board(board) {}
    ~CPreview() { Destroy(); }
    CPreview(const CPreview&) = delete;
    CPreview& operator=(const CPreview&) = delete;

    bool Create();
    void Destroy();
    int32_t Start(const ZAR_HPS_CAPTURE_IMAGE& settings);
    int32_t Stop();

private:
    enum : uint32_t {
        kStartedEvent = 1,
        kExitEvent = 2,
        kStartEvent = 4,
        kEndEvent = 8,
        kDoneEvent = 16,
        kMutex = 32,
        kSection = 64,
        kView = 128,
        kConnection = 256,
        kThread = 512,
        kLeftEvent = 1024,
    };

    static DWORD WINAPI ThreadMain(LPVOID self);
    void Run();
    int32_t Pass(const ZAR_HPS_CAPTURE_IMAGE& settings);
    void TearDown();
    bool EndRequested() const { return WaitForSingleObject(m_endEvent, 0) == WAIT_OBJECT_0; }
    bool Sync();
    // The worker's left event is set by the Win32 layer once its routine
    // has returned: the library may be leaving its process, where a
    // thread's end (and its handle) comes only after the library's detach
    // has run, so the end itself cannot be waited for here.
    bool WaitForWorkerLeft() { return WaitForSingleObject(m_leftEvent, kWaitMs) == WAIT_OBJECT_0; }

    uint32_t m_board;
    uint32_t m_flags = 0;
    CBoardConnection* m_connection = nullptr;
    HANDLE m_thread = nullptr;
    HANDLE m_startedEvent = nullptr, m_exitEvent = nullptr, m_startEvent = nullptr;
    HANDLE m_endEvent = nullptr, m_doneEvent = nullptr, m_mutex = nullptr, m_section = nullptr;
    ExchangeBlock* m_block = nullptr;
    std::mutex m_settingsLock;
    ZAR_HPS_CAPTURE_IMAGE m_settings{};
    volatile int32_t m_result = 0;
    bool m_threadStuck = false;
    HANDLE m_leftEvent = nullptr;
};

bool CPreview::Create()
{
    try {
        LPSECURITY_ATTRIBUTES sa = ZarApp() ? ZarApp()->SecurityAttributes() : nullptr;
        auto need = [](HANDLE h, const char* what) {
            if (!h) throw PrevException{what};
            return h;
        };
        m_startedEvent = need(CreateEventA(nullptr, TRUE, FALSE, nullptr), "thread started event");
        m_flags |= kStartedEvent;
        m_exitEvent = need(CreateEventA(nullptr, TRUE, FALSE, nullptr), "thread exit event");
        m_flags |= kExitEvent;
        m_startEvent = need(CreateEventA(nullptr, FALSE, FALSE, nullptr), "start event");
        m_flags |= kStartEvent;
        m_endEvent = need(CreateEventA(sa, FALSE, FALSE, PreviewName("ZAR_PREV_END_EVENT", m_board).c_str()), "end event");
        m_flags |= kEndEvent;
        m_doneEvent =
            need(CreateEventA(sa, FALSE, FALSE, PreviewName("ZAR_PREV_DONE_EVENT", m_board).c_str()), "done event");
        m_flags |= kDoneEvent;
        m_mutex = need(CreateMutexA(sa, FALSE, PreviewName("ZAR_PREV_SHARED_MEM_MUTEX", m_board).c_str()), "mutex");
        m_flags |= kMutex;
        m_section = need(CreateFileMappingA(INVALID_HANDLE_VALUE, sa, PAGE_READWRITE, 0, sizeof(ExchangeBlock),
                                            PreviewName("ZAR_PREV_SHARED_MEM", m_board).c_str()),
                         "section");
        const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
        m_flags |= kSection;
        m_block = static_cast<ExchangeBlock*>(
            need(MapViewOfFile(m_section, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(ExchangeBlock)), "view"));
        m_flags |= kView;
        if (!existed) std::memset(m_block, 0, sizeof *m_block);
        m_leftEvent = need(CreateEventA(nullptr, TRUE, FALSE, nullptr), "thread left event");
        m_flags |= kLeftEvent;
        m_connection = new CBoardConnection(m_board);
        m_flags |= kConnection;
        m_thread = need(CreateThread(nullptr, 0, ThreadMain, this, 0, nullptr), "thread");
        m_flags |= kThread;
        if (WaitForSingleObject(m_startedEvent, kWaitMs) != WAIT_OBJECT_0) throw PrevException{"thread start"};
        return true;
    } catch (const PrevException&) {
        TearDown();
        return false;
    } catch (const std::bad_alloc&) {
        TearDown();
        return false;
    }
}

void CPreview::Destroy()
{
    if (m_flags & kThread) {
        Stop();
        SetEvent(m_exitEvent);
        if (WaitForWorkerLeft()) {
            CloseHandle(m_thread);
            m_flags &= ~kThread;
        } else if (!TerminateThread(m_thread, 1)) {
            // A thread that cannot be ended keeps what it uses: nothing is
            // freed under it.
            m_threadStuck = true;
        }
    }
    TearDown();
}

void CPreview::TearDown()
{
    if (m_threadStuck) return;
    if (m_flags & kThread) {
        // Creation failed after the thread was made: it only waits to start.
        SetEvent(m_exitEvent);
        if (!WaitForWorkerLeft()) {
            m_threadStuck = true;
            return;
        }
        CloseHandle(m_thread);
    }
    if (m_flags & kView) UnmapViewOfFile(m_block);
    if (m_flags & kSection) CloseHandle(m_section);
    for (auto [flag, h] : {std::pair{kStartedEvent, &m_startedEvent}, {kExitEvent, &m_exitEvent},
                           {kStartEvent, &m_startEvent}, {kEndEvent, &m_endEvent}, {kDoneEvent, &m_doneEvent},
                           {kMutex, &m_mutex}, {kLeftEvent, &m_leftEvent}})
        if (m_flags & flag) CloseHandle(*h);
    if (m_flags & kConnection) delete m_connection;
    m_connection = nullptr;
    m_block = nullptr;
    m_flags = 0;
}

int32_t CPreview::Start(const ZAR_HPS_CAPTURE_IMAGE& settings)
{
    {
        std::lock_guard<std::mutex> hold(m_settingsLock);
        m_settings = settings;
    }
    const DWORD got = WaitForSingleObject(m_mutex, kWaitMs);
    if (got != WAIT_OBJECT_0 && got != WAIT_ABANDONED) return ZAR_E_DRIVER;
    // Whoever previews now, this process included, is asked to stop; the
    // start goes on when it does not confirm within the wait.
    if (m_block->active && WaitForSingleObject(m_doneEvent, 0) != WAIT_OBJECT_0) {
        SetEvent(m_endEvent);
        WaitForSingleObject(m_doneEvent, kWaitMs);
    }
    ResetEvent(m_endEvent);  // a request nobody took must not end the new preview
    SetEvent(m_startEvent);
    m_block->active = 1;
    m_block->processId = GetCurrentProcessId();
    ReleaseMutex(m_mutex);
    return ZAR_OK;
}

int32_t CPreview::Stop()
{
    const DWORD got = WaitForSingleObject(m_mutex, kWaitMs);
    if (got != WAIT_OBJECT_0 && got != WAIT_ABANDONED) return ZAR_E_DRIVER;
    if (m_block->active && m_block->processId == GetCurrentProcessId()) {
        if (WaitForSingleObject(m_doneEvent, 0) != WAIT_OBJECT_0) {
            SetEvent(m_endEvent);
            WaitForSingleObject(m_doneEvent, kWaitMs);
        }
        m_block->active = 0;
    }
    ReleaseMutex(m_mutex);
    return ZAR_OK;
}

DWORD WINAPI CPreview::ThreadMain(LPVOID self)
{
    static_cast<CPreview*>(self)->Run();
    return 0;
}

void CPreview::Run()
{
    SetEventWhenThreadReturns(m_leftEvent);
    m_result = 0;
    SetEvent(m_startedEvent);
    for (;;) {
        HANDLE waits[2] = {m_startEvent, m_exitEvent};
        const DWORD woken = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
        if (woken != WAIT_OBJECT_0) break;
        ZAR_HPS_CAPTURE_IMAGE settings;
        {
            std::lock_guard<std::mutex> hold(m_settingsLock);
            settings = m_settings;
        }
        const int32_t result = Pass(settings);
        if (result != ZAR_OK) {
            ZAR_EXCEPTION_PACKET packet{};
            packet.Kind = ZAR_PREVIEW_PACKET_KIND;
            packet.One = 1;
            packet.Words[0] = uint32_t(result);
            packet.Words[1] = m_board;
            if (ZarApp()) ZarApp()->PostExceptionPacket(packet);
        }
        m_result = result;
        SetEvent(m_doneEvent);
    }
}

bool CPreview::Sync()
{
    uint32_t field = 2;  // the next field of either parity
    DWORD returned = 0;
    return SendDeviceRequest(m_connection->m_hBoard, IOCTL_ZAR_SYNCHRONIZE_EXECUTION, &field, sizeof field, &field,
                             sizeof field, &returned, nullptr) != FALSE;
}

int32_t CPreview::Pass(const ZAR_HPS_CAPTURE_IMAGE& settings)
{
    PassResources res;
    const bool two = settings.Command == ZAR_HPS_CAPTURE_PREVIEW_TWO;
    const bool directDraw = settings.Renderer == 1;
    const uint32_t w = settings.Width, h = settings.Height, pictures = two ? 2 : 1;

    res.comInitialised = SUCCEEDED(CoInitialize(nullptr));
    if (!res.comInitialised ||
        FAILED(CoCreateInstance(CLSID_DirectDraw, nullptr, CLSCTX_ALL, IID_IDirectDraw,
                                reinterpret_cast<void**>(&res.draw))) ||
        FAILED(res.draw->Initialize(nullptr)) || FAILED(res.draw->SetCooperativeLevel(nullptr, DDSCL_NORMAL)))
        return ZAR_PREVIEW_E_DRAWING;

    HWND windows[2] = {reinterpret_cast<HWND>(uintptr_t(settings.Window)),
                       reinterpret_cast<HWND>(uintptr_t(settings.SecondWindow))};
    POINT at[2] = {{settings.WindowX, settings.WindowY}, {settings.SecondWindowX, settings.SecondWindowY}};
    RECT screen[2] = {};
    for (uint32_t i = 0; i < pictures; ++i) {
        POINT p = at[i];
        ClientToScreen(windows[i], &p);
        screen[i] = {p.x, p.y, p.x + LONG(w), p.y + LONG(h)};
    }

    ZAR_HPS_CAPTURE_REQUEST scaler = ScalerRequest(settings, BoardActiveLines(*m_connection), 0);
    BITMAPINFOHEADER header{};
    uint8_t* memory = nullptr;
    uint32_t pitch = 0;
    if (!directDraw) {
        pitch = CaptureStride(ZAR_HPS_FORMAT_BGR, w);
        res.drawDib = DrawDibOpen();
        res.bitmap = VirtualAlloc(nullptr, pitch * h * pictures, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
        if (!res.drawDib || !res.bitmap) return ZAR_E_NO_MEMORY;
        header.biSize = sizeof header;
        header.biWidth = LONG(w);
        header.biHeight = LONG(h);
        header.biPlanes = 1;
        header.biBitCount = 24;
        header.biSizeImage = pitch * h;
        memory = static_cast<uint8_t*>(res.bitmap);
        scaler.PixelFormat = ZAR_HPS_FORMAT_BGR;
    } else {
        for (uint32_t i = 0; i < pictures; ++i) {
            DDSURFACEDESC primary{};
            primary.dwSize = sizeof primary;
            primary.dwFlags = DDSD_CAPS;
            primary.ddsCaps.dwCaps = DDSCAPS_PRIMARYSURFACE;
            if (FAILED(res.draw->CreateSurface(&primary, &res.primary[i], nullptr)) ||
                FAILED(res.draw->CreateClipper(0, &res.clipper[i], nullptr)) ||
                FAILED(res.clipper[i]->SetHWnd(0, windows[i])) || FAILED(res.primary[i]->SetClipper(res.clipper[i])))
                return ZAR_PREVIEW_E_DRAWING;
        }
        DDSURFACEDESC desc{};
        desc.dwSize = sizeof desc;
        desc.dwFlags = DDSD_CAPS | DDSD_WIDTH | DDSD_HEIGHT;
        desc.dwWidth = w;
        desc.dwHeight = h * pictures;
        desc.ddsCaps.dwCaps = DDSCAPS_OFFSCREENPLAIN | DDSCAPS_SYSTEMMEMORY;
        if (FAILED(res.draw->CreateSurface(&desc, &res.capture, nullptr))) return ZAR_PREVIEW_E_DRAWING;
        DDSURFACEDESC locked{};
        locked.dwSize = sizeof locked;
        if (FAILED(res.capture->Lock(nullptr, &locked, DDLOCK_WAIT, nullptr))) return ZAR_PREVIEW_E_DRAWING;
        const DDPIXELFORMAT& f = locked.ddpfPixelFormat;
        const int32_t format = (f.dwFlags & DDPF_RGB)
                                   ? PreviewFormatOf(f.dwRGBBitCount, f.dwRBitMask, f.dwGBitMask, f.dwBBitMask)
                                   : -1;
        res.capture->Unlock(nullptr);
        if (format < 0) return ZAR_PREVIEW_E_FORMAT;
        memory = static_cast<uint8_t*>(locked.lpSurface);
        pitch = uint32_t(locked.lPitch);
        scaler.PixelFormat = uint32_t(format);
    }

    scaler.Kind = 1;
    scaler.BufferAddress = uint32_t(uintptr_t(memory));
    scaler.Pitch = pitch;
    scaler.BufferSize = pitch * h * pictures;
    if (two) {
        scaler.Fields = 3;
        scaler.FieldSequential = 1;
        scaler.ControlBitParity0 = settings.ControlBitParity0;
    }
    DWORD returned = 0;
    if (!SendDeviceRequest(m_connection->m_hBoard, IOCTL_ZAR_HPS_CAPTURE, &scaler, sizeof scaler, &scaler,
                           sizeof scaler, &returned, nullptr))
        return ZAR_PREVIEW_E_SCALER;

    int32_t result = ZAR_OK;
    while (result == ZAR_OK && !EndRequested()) {
        for (uint32_t i = 0; i < pictures && result == ZAR_OK; ++i) {
            if (!Sync()) {
                result = ZAR_E_DRIVER;
                break;
            }
            if (directDraw) {
                if (res.capture->IsLost() != DD_OK) res.capture->Restore();
                // The scaler writes into this memory until it is stopped: a
                // surface whose memory moved ends the preview rather than
                // being drawn while the old memory is written.
                DDSURFACEDESC now{};
                now.dwSize = sizeof now;
                if (FAILED(res.capture->GetSurfaceDesc(&now)) || now.lpSurface != memory) {
                    result = ZAR_E_DRIVER;
                    break;
                }
                RECT from{0, LONG(h * i), LONG(w), LONG(h * (i + 1))};
                if (FAILED(res.primary[i]->Blt(&screen[i], res.capture, &from, DDBLT_WAIT, nullptr)))
                    result = ZAR_E_DRIVER;
            } else {
                HDC dc = GetDC(windows[i]);
                const bool drawn = dc && DrawDibDraw(res.drawDib, dc, at[i].x, at[i].y, LONG(w), LONG(h), &header,
                                                     memory + size_t(pitch) * h * i, 0, 0, LONG(w), LONG(h), 0);
                if (dc) ReleaseDC(windows[i], dc);
                if (!drawn) result = ZAR_E_DRIVER;
            }
        }
    }

    // The scaler is stopped, and its stop completed, before the memory it
    // writes can go.
    ZAR_HPS_CAPTURE_REQUEST stop{};
    stop.Kind = 2;
    SendDeviceRequest(m_connection->m_hBoard, IOCTL_ZAR_HPS_CAPTURE, &stop, sizeof stop, &stop, sizeof stop,
                      &returned, nullptr);
    return result;
}

std::mutex previewsLock;
CPreview* previews[ZAR_DLL_MAX_BOARDS] = {};

CPreview* PreviewOf(uint32_t board)
{
    std::lock_guard<std::mutex> hold(previewsLock);
    return board < ZAR_DLL_MAX_BOARDS ? previews[board] : nullptr;
}

}  // namespace

int32_t PreviewFormatOf(uint32_t bits, uint32_t red, uint32_t green, uint32_t blue)
{
    if (bits == 32 && red == 0xFF0000 && green == 0xFF00 && blue == 0xFF) return ZAR_HPS_FORMAT_BGRA;
    if (bits == 24 && red == 0xFF0000 && green == 0xFF00 && blue == 0xFF) return ZAR_HPS_FORMAT_BGR;
    if (bits == 16 && red == 0xF800 && green == 0x7E0 && blue == 0x1F) return ZAR_HPS_FORMAT_RGB565;
    if (bits == 16 && red == 0x7C00 && green == 0x3E0 && blue == 0x1F) return ZAR_HPS_FORMAT_RGB555;
    if (bits == 16 && red == 0xF800 && green == 0x7C0 && blue == 0x1F) return ZAR_HPS_FORMAT_RGB565_ALT;
    return -1;
}

bool CreateBoardPreview(uint32_t board)
{
    if (board >= ZAR_DLL_MAX_BOARDS) return false;
    if (PreviewOf(board)) return true;
    auto* preview = new (std::nothrow) CPreview(board);
    if (!preview) return false;
    if (!preview->Create()) {
        delete preview;
        return false;
    }
    std::lock_guard<std::mutex> hold(previewsLock);
    previews[board] = preview;
    return true;
}

void DestroyBoardPreview(uint32_t board)
{
    if (board >= ZAR_DLL_MAX_BOARDS) return;
    CPreview* preview;
    {
        std::lock_guard<std::mutex> hold(previewsLock);
        preview = previews[board];
        previews[board] = nullptr;
    }
    delete preview;
}

int32_t StartBoardPreview(uint32_t board, const ZAR_HPS_CAPTURE_IMAGE& settings)
{
    CPreview* preview = PreviewOf(board);
    return preview ? preview->Start(settings) : ZAR_E_DRIVER;
}

int32_t StopBoardPreview(uint32_t board)
{
    CPreview* preview = PreviewOf(board);
    return preview ? preview->Stop() : ZAR_E_DRIVER;
}

}  // namespace zarapi
