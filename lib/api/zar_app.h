// The application object: one per process, made as the library loads and
// destroyed as it unloads. It maps the shared section, keeps what the first
// open of each board built, the exception queue and the process's work
// areas, and holds the bodies of the frame's exports.
#pragma once

#include <cstdint>
#include <string>

#include "include/zardll.h"
#include "platform/win32/win32.h"
#include "zar_color_tables.h"

class CBoardConnection;
class CBoardEngineObjects;
class CExceptionPacketQueue;

class CZarDll {
public:
    static constexpr uint32_t kFrameBufferBytes = 720 * 576;  // one byte a pixel of a 625-line frame
    static constexpr uint32_t kFrameBuffers = 3;

    CZarDll();
    ~CZarDll();
    CZarDll(const CZarDll&) = delete;
    CZarDll& operator=(const CZarDll&) = delete;

    // At process attach: false fails the load.
    bool InitInstance();
    // At process detach.
    void ExitInstance();

    // ---- Board open, close and initialisation ----
    int32_t DcOpen(uint32_t board, ZAR_BOARD* handle, bool extended);
    int32_t DcClose(ZAR_BOARD handle);
    int32_t DcInitialize(CBoardConnection& connection, uint32_t mode);
    int32_t ProgramFirmware(CBoardConnection& connection);
    // False when it gave up before building anything (a device missing):
    // the next open in the process tries again.
    bool InitBoardOnce(uint32_t board);
    void ReadCapabilities(CBoardConnection& connection);
    void PostFirmwareInit(CBoardConnection& connection, uint32_t flag);
    void ReadScsiDeviceTable(CBoardConnection& connection);

    // ---- Exception packets ----
    int32_t ExInitializeExceptionHandler(uint32_t* semaphore);
    int32_t ExGetExceptionPacket(ZAR_EXCEPTION_PACKET* packet);
    // The queue once an application asked for it; workers post only then.
    CExceptionPacketQueue* ExceptionQueue() const;
    // What workers call: stored or dropped (no queue, ring full).
    bool PostExceptionPacket(const ZAR_EXCEPTION_PACKET& packet);

    // ---- Worker threads ----
    // Polls the thread's exit every 10 ms, at most 300 times: 1 and the
    // handle closed once it ended, else 0 (the handle kept).
    static int WaitForThreadEnd(HANDLE thread);

    // ---- What other parts of the library read ----
    LPSECURITY_ATTRIBUTES SecurityAttributes() { return &m_securityAttributes; }
    void* SharedView() const { return m_sharedView; }
    bool FirstOpenDone(uint32_t board) const { return board < ZAR_DLL_MAX_BOARDS && m_boards[board].firstOpenDone; }
    const ZarColorTables& ColorTables() const { return m_colorTables; }
    const int32_t* GammaTable() const { return m_gammaTable; }
    const std::string& LibraryDirectory() const { return m_libraryDirectory; }
    uint8_t* FrameBuffer(uint32_t i) const { return i < kFrameBuffers ? m_frameBuffers[i] : nullptr; }
    double PerformanceFrequency() const { return m_performanceFrequencyDouble; }
    uint32_t FirmwareWord(uint32_t i) const { return i < 2 ? m_firmwareWords[i] : 0; }

private:
    struct BoardSlot {
        bool firstOpenDone = false;
        CBoardConnection* connection = nullptr;  // the first open's own connection
        CBoardEngineObjects* engineObjects = nullptr;
        HANDLE audioEvents[6] = {};
        HANDLE fieldSyncMutex = nullptr;
        HANDLE userMark = nullptr;  // named: tells other processes this one keeps the board
        HANDLE setUpMutex = nullptr;  // named: one process at a time sets the board up
        uint32_t clearedWords[2] = {};
    };

    // Board-wide set-up steps of InitBoardOnce.
    void ReadRegistryParameters(uint32_t board, ZAR_BOARD_SHARED* record, uint32_t* lumaAdjust);
    void ProgramVideoUnits(CBoardConnection& connection, uint32_t board, uint32_t lumaAdjust);
    void CreateAudioDmaEvents(BoardSlot& slot, CBoardConnection& connection, uint32_t board);
    void DeleteStaleBackupFile(uint32_t board);
    void ReleaseBoard(BoardSlot& slot, uint32_t board);
    // The board's named set-up mutex, made once per process.
    HANDLE BoardSetUpMutex(uint32_t board);

    SECURITY_DESCRIPTOR m_securityDescriptor{};
    SECURITY_ATTRIBUTES m_securityAttributes{};
    HANDLE m_section = INVALID_HANDLE_VALUE;
    void* m_sharedView = nullptr;
    BoardSlot m_boards[ZAR_DLL_MAX_BOARDS];
    HANDLE m_autoEvent = nullptr;
    HANDLE m_manualEvents[2] = {};
    LARGE_INTEGER m_performanceFrequency{};
    double m_performanceFrequencyDouble = 0;
    uint8_t* m_frameBuffers[kFrameBuffers] = {};
    CRITICAL_SECTION m_lock;  // the per-process lists and the queue's creation
    bool m_lockReady = false;
    CExceptionPacketQueue* volatile m_exceptionQueue = nullptr;
    ZarColorTables m_colorTables;
    int32_t* m_gammaTable = nullptr;  // 256 entries the board driver reads by address
    uint32_t m_firmwareWords[2] = {};
    std::string m_libraryDirectory;
};

// The process's application object while the library is loaded, else null.
CZarDll* ZarApp();
// The view of KIV_SOLVANE_DLL every connection reads, or null.
void* ZarSharedView();
