// The application object's life: the shared section mapped (and, by its
// first creator, filled under the section's named mutex), the process's
// events, counters and frame buffers; at unload every board's objects,
// connections and events let go.

#include "zar_app.h"

#include <cstring>

#include "zar_connection.h"
#include "zar_engine.h"
#include "zar_exceptions.h"
#include "zar_named_mutex.h"
#include "zar_shared.h"
#include "zar_preview.h"
#include "zar_volume_maintenance.h"

namespace {

CZarDll* theApp = nullptr;
void* sharedView = nullptr;

}  // namespace

CZarDll* ZarApp()
{
    // A program linking the library has it attached at the program's first
    // system call; when an export is that first call, one cheap system call
    // here lets the attach run before the export looks for the library.
    if (!theApp) GetTickCount();
    return theApp;
}
void* ZarSharedView() { return sharedView; }

CZarDll::CZarDll() { theApp = this; }

CZarDll::~CZarDll()
{
    if (theApp == this) theApp = nullptr;
}

bool CZarDll::InitInstance()
{
    for (BoardSlot& slot : m_boards) slot = BoardSlot{};
    if (!InitializeSecurityDescriptor(&m_securityDescriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&m_securityDescriptor, TRUE, nullptr, FALSE))
        return false;
    m_securityAttributes = {sizeof m_securityAttributes, &m_securityDescriptor, FALSE};

    {
        // A second process waits here until the first has filled the tables.
        CNamedMutexHeld fill(ZAR_SHARED_MUTEX_NAME, &m_securityAttributes);
        if (!fill.Held()) return false;
        m_section = CreateFileMappingA(INVALID_HANDLE_VALUE, &m_securityAttributes, PAGE_READWRITE, 0,
                                       ZAR_SHARED_SECTION_SIZE, ZAR_SHARED_SECTION_NAME);
        if (!m_section) {
            m_section = INVALID_HANDLE_VALUE;
            return false;
        }
        const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
        m_sharedView = MapViewOfFile(m_section, FILE_MAP_ALL_ACCESS, 0, 0, ZAR_SHARED_VIEW_SIZE);
        if (!m_sharedView) return false;  // without its view the library could not keep a board's state
        if (!existed) zarapi::FillNewSection(m_sharedView);
    }
    sharedView = m_sharedView;

    m_autoEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    m_manualEvents[0] = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    m_manualEvents[1] = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!m_autoEvent || !m_manualEvents[0] || !m_manualEvents[1]) return false;
    QueryPerformanceFrequency(&m_performanceFrequency);
    m_performanceFrequencyDouble = double(m_performanceFrequency.QuadPart);

    for (uint32_t i = 0; i < kFrameBuffers; ++i) {
        m_frameBuffers[i] = new (std::nothrow) uint8_t[kFrameBufferBytes];
        if (!m_frameBuffers[i]) return false;  // ExitInstance frees those made
    }
    // The board driver reads the gamma table by its address: memory a
    // client of a machine host shares with the host.
    m_gammaTable = static_cast<int32_t*>(VirtualAlloc(nullptr, 256 * sizeof(int32_t), MEM_COMMIT, PAGE_READWRITE));
    if (!m_gammaTable) return false;
    InitializeCriticalSection(&m_lock);
    m_lockReady = true;
    return ZarEngine().InitInstance(*this);
}

void CZarDll::ExitInstance()
{
    for (uint32_t board = 0; board < ZAR_DLL_MAX_BOARDS; ++board) ReleaseBoard(m_boards[board], board);
    // Connections the application left open go with the library.
    while (CBoardConnection* left = CBoardConnection::TakeFirst()) delete left;
    ZarEngine().ExitInstance(*this);
    delete m_exceptionQueue;
    m_exceptionQueue = nullptr;
    for (uint8_t*& buffer : m_frameBuffers) {
        delete[] buffer;
        buffer = nullptr;
    }
    if (m_gammaTable) VirtualFree(m_gammaTable, 0, MEM_RELEASE);
    m_gammaTable = nullptr;
    for (HANDLE* h : {&m_autoEvent, &m_manualEvents[0], &m_manualEvents[1]}) {
        if (*h) CloseHandle(*h);
        *h = nullptr;
    }
    sharedView = nullptr;
    if (m_sharedView) UnmapViewOfFile(m_sharedView);
    m_sharedView = nullptr;
    if (m_section != INVALID_HANDLE_VALUE) CloseHandle(m_section);
    m_section = INVALID_HANDLE_VALUE;
    if (m_lockReady) DeleteCriticalSection(&m_lock);
    m_lockReady = false;
}

void CZarDll::ReleaseBoard(BoardSlot& slot, uint32_t board)
{
    zarapi::EndVolumeOptimizer();
    zarapi::DestroyBoardPreview(board);
    if (slot.engineObjects || slot.connection) ZarEngine().StopBoard(board);
    delete slot.engineObjects;
    slot.engineObjects = nullptr;
    delete slot.connection;
    slot.connection = nullptr;
    for (HANDLE& event : slot.audioEvents) {
        if (event) CloseHandle(event);
        event = nullptr;
    }
    for (HANDLE* h : {&slot.fieldSyncMutex, &slot.userMark, &slot.setUpMutex}) {
        if (*h) CloseHandle(*h);
        *h = nullptr;
    }
    slot.firstOpenDone = false;
}

// ---- Worker threads ----

int CZarDll::WaitForThreadEnd(HANDLE thread)
{
    for (int poll = 0; poll < 300; ++poll) {
        DWORD code = 0;
        if (GetExitCodeThread(thread, &code) && code != STILL_ACTIVE) {
            CloseHandle(thread);
            return 1;
        }
        Sleep(10);
    }
    return 0;
}

// ---- Exception packets ----

int32_t CZarDll::ExInitializeExceptionHandler(uint32_t* semaphore)
{
    EnterCriticalSection(&m_lock);
    CExceptionPacketQueue* queue = m_exceptionQueue;
    if (!queue) {
        queue = CExceptionPacketQueue::Create();
        __atomic_store_n(&m_exceptionQueue, queue, __ATOMIC_RELEASE);
    }
    LeaveCriticalSection(&m_lock);
    if (!queue) return ZAR_E_DRIVER;  // tried again at the next call
    *semaphore = uint32_t(reinterpret_cast<uintptr_t>(queue->Semaphore()));
    return ZAR_OK;
}

int32_t CZarDll::ExGetExceptionPacket(ZAR_EXCEPTION_PACKET* packet)
{
    CExceptionPacketQueue* queue = ExceptionQueue();
    if (!queue) return ZAR_E_DRIVER;
    return queue->GetPacket(packet) ? ZAR_OK : ZAR_E_DRIVER;
}

CExceptionPacketQueue* CZarDll::ExceptionQueue() const
{
    return __atomic_load_n(&m_exceptionQueue, __ATOMIC_ACQUIRE);
}

bool CZarDll::PostExceptionPacket(const ZAR_EXCEPTION_PACKET& packet)
{
    CExceptionPacketQueue* queue = ExceptionQueue();
    return queue && queue->PutPacket(packet);
}
