// A board connection: the board handle the exports take and return. It
// holds the three device handles of one board, the board's record in the
// shared section, the board's record-abort event and the worker threads
// that run on the board's behalf. Every driver request of the library
// goes through SendDeviceRequest; the handle it is given decides which of
// the three drivers (whose control codes overlap) receives it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "include/zardll.h"
#include "platform/win32/win32.h"

// An object a connection owns and deletes with itself (a live source).
class CConnectionAttachment {
public:
    virtual ~CConnectionAttachment() = default;
};

class CBoardConnection {
public:
    // Opens the three devices (a device that does not open leaves its
    // handle invalid) and the abort event, and joins the process's list.
    explicit CBoardConnection(uint32_t board);
    // Ends the workers (abort event set, each joined), closes every handle
    // once and leaves the process's list.
    ~CBoardConnection();
    CBoardConnection(const CBoardConnection&) = delete;
    CBoardConnection& operator=(const CBoardConnection&) = delete;

    ZAR_BOARD AsHandle() { return reinterpret_cast<ZAR_BOARD>(this); }
    // The connection of a handle this process was given and has not
    // closed, or null (the handle is never read through before that).
    static CBoardConnection* FromHandle(ZAR_BOARD handle);
    // Takes a connection given to the application out of the list; false
    // when the handle is not one (closed before, never this process's, or
    // the library's own connection of a board).
    static bool TakeHandedOut(ZAR_BOARD handle);
    // Takes the connection out of the process's list; false when it was not in it.
    static bool TakeFromList(CBoardConnection* connection);
    static size_t CountInList();
    // Any connection of the list, taken out of it; null when it is empty.
    static CBoardConnection* TakeFirst();

    // A worker thread of this connection, ended with it. The thread watches
    // the abort event.
    void AddWorker(HANDLE thread);

    // The public head (ZAR_BOARD_CONNECTION_HEAD): board number, devices.
    uint32_t m_board;
    HANDLE m_hBoard = INVALID_HANDLE_VALUE;
    HANDLE m_hFileSystem = INVALID_HANDLE_VALUE;
    HANDLE m_hIo = INVALID_HANDLE_VALUE;
    // The rest is the library's own.
    ZAR_BOARD_SHARED* m_pShared = nullptr;
    HANDLE m_hAbortEvent = nullptr;
    std::vector<HANDLE> m_workers;
    uint32_t m_openedByExtendedCall = 0;
    uint32_t m_ownsHandles = 1;
    CConnectionAttachment* m_attached = nullptr;
    bool m_handedOut = false;  // given to the application by an open
};

// "<prefix><digit>": the name of one of a board's devices or named objects.
std::string BoardObjectName(const char* prefix, uint32_t board);
// Opens a device of a board as a connection does; INVALID_HANDLE_VALUE when
// it is not there.
HANDLE OpenBoardDevice(const char* prefix, uint32_t board);
inline constexpr char kBoardDevicePrefix[] = "\\\\.\\KIVZAR";
inline constexpr char kFileSystemDevicePrefix[] = "\\\\.\\ZarFsDevice";
inline constexpr char kIoDevicePrefix[] = "\\\\.\\ZARIO";

// The board's record-abort event KIVZARRECEVENTABORT<n>: manual reset,
// shared by every process.
HANDLE CreateBoardAbortEvent(uint32_t board);

// One device request. With the caller's overlapped record it returns at
// once (a pending request counts as success; the caller waits on its
// record); without one it waits until the driver completes the request.
// Nonzero on success; on failure the last error says why.
BOOL SendDeviceRequest(HANDLE device, DWORD code, LPVOID in, DWORD inLength, LPVOID out, DWORD outLength,
                       LPDWORD returned, LPOVERLAPPED overlapped);
// Closes the calling thread's request event (as the thread or the library goes).
void ReleaseThreadRequestEvent();
