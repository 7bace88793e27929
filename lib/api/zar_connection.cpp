// Board connections, the process's list of them and the one device-request
// routine.

#include "zar_connection.h"

#include <algorithm>

#include "zar_app.h"

namespace {

struct ConnectionList {
    ConnectionList() { InitializeCriticalSection(&lock); }
    CRITICAL_SECTION lock;
    std::vector<CBoardConnection*> live;
};

ConnectionList& List()
{
    static ConnectionList* list = new ConnectionList;
    return *list;
}

// Each thread's event for the requests it waits for: the request clears it
// as it starts, so one event serves every request of the thread, and a
// request costs no event made and closed.
thread_local HANDLE requestEvent = nullptr;

HANDLE RequestEvent()
{
    if (!requestEvent) requestEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return requestEvent;
}

}  // namespace

void ReleaseThreadRequestEvent()
{
    if (requestEvent) CloseHandle(requestEvent);
    requestEvent = nullptr;
}

static_assert(sizeof(HANDLE) == 4, "the board handle's head carries 32-bit handles");

std::string BoardObjectName(const char* prefix, uint32_t board)
{
    return std::string(prefix) + char('0' + board);
}

HANDLE OpenBoardDevice(const char* prefix, uint32_t board)
{
    return CreateFileA(BoardObjectName(prefix, board).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                       DWORD(FILE_FLAG_OVERLAPPED) | FILE_ATTRIBUTE_NORMAL, nullptr);
}

HANDLE CreateBoardAbortEvent(uint32_t board)
{
    CZarDll* app = ZarApp();
    return CreateEventA(app ? app->SecurityAttributes() : nullptr, TRUE, FALSE,
                        BoardObjectName(ZAR_ABORT_EVENT_PREFIX, board).c_str());
}

CBoardConnection::CBoardConnection(uint32_t board) : m_board(board)
{
    m_hBoard = OpenBoardDevice(kBoardDevicePrefix, board);
    m_hFileSystem = OpenBoardDevice(kFileSystemDevicePrefix, board);
    m_hIo = OpenBoardDevice(kIoDevicePrefix, board);
    m_hAbortEvent = CreateBoardAbortEvent(board);
    if (void* view = ZarSharedView()) m_pShared = ZarSharedBoard(view, board);
    ConnectionList& list = List();
    EnterCriticalSection(&list.lock);
    list.live.push_back(this);
    LeaveCriticalSection(&list.lock);
}

CBoardConnection::~CBoardConnection()
{
    delete m_attached;
    m_attached = nullptr;
    if (m_ownsHandles) {
        // Workers are asked to end and joined: a thread stopped from outside
        // could hold the field-sync mutex, the SCSI bus or the audio lock.
        if (!m_workers.empty() && m_hAbortEvent) SetEvent(m_hAbortEvent);
        for (HANDLE thread : m_workers) {
            WaitForSingleObject(thread, INFINITE);
            CloseHandle(thread);
        }
        m_workers.clear();
        for (HANDLE* h : {&m_hBoard, &m_hFileSystem, &m_hIo}) {
            if (*h != INVALID_HANDLE_VALUE) CloseHandle(*h);
            *h = INVALID_HANDLE_VALUE;
        }
        if (m_hAbortEvent) CloseHandle(m_hAbortEvent);
        m_hAbortEvent = nullptr;
    }
    TakeFromList(this);
}

void CBoardConnection::AddWorker(HANDLE thread) { m_workers.push_back(thread); }

CBoardConnection* CBoardConnection::FromHandle(ZAR_BOARD handle)
{
    auto* wanted = reinterpret_cast<CBoardConnection*>(handle);
    ConnectionList& list = List();
    EnterCriticalSection(&list.lock);
    const bool found = std::find(list.live.begin(), list.live.end(), wanted) != list.live.end() && wanted->m_handedOut;
    LeaveCriticalSection(&list.lock);
    return found ? wanted : nullptr;
}

bool CBoardConnection::TakeHandedOut(ZAR_BOARD handle)
{
    auto* wanted = reinterpret_cast<CBoardConnection*>(handle);
    ConnectionList& list = List();
    EnterCriticalSection(&list.lock);
    auto it = std::find(list.live.begin(), list.live.end(), wanted);
    const bool found = it != list.live.end() && wanted->m_handedOut;
    if (found) list.live.erase(it);
    LeaveCriticalSection(&list.lock);
    return found;
}

bool CBoardConnection::TakeFromList(CBoardConnection* connection)
{
    ConnectionList& list = List();
    EnterCriticalSection(&list.lock);
    auto it = std::find(list.live.begin(), list.live.end(), connection);
    const bool found = it != list.live.end();
    if (found) list.live.erase(it);
    LeaveCriticalSection(&list.lock);
    return found;
}

CBoardConnection* CBoardConnection::TakeFirst()
{
    ConnectionList& list = List();
    EnterCriticalSection(&list.lock);
    CBoardConnection* first = list.live.empty() ? nullptr : list.live.front();
    if (first) list.live.erase(list.live.begin());
    LeaveCriticalSection(&list.lock);
    return first;
}

size_t CBoardConnection::CountInList()
{
    ConnectionList& list = List();
    EnterCriticalSection(&list.lock);
    const size_t n = list.live.size();
    LeaveCriticalSection(&list.lock);
    return n;
}

BOOL SendDeviceRequest(HANDLE device, DWORD code, LPVOID in, DWORD inLength, LPVOID out, DWORD outLength,
                       LPDWORD returned, LPOVERLAPPED overlapped)
{
    if (overlapped) {
        if (DeviceIoControl(device, code, in, inLength, out, outLength, returned, overlapped)) return TRUE;
        return GetLastError() == ERROR_IO_PENDING;
    }
    OVERLAPPED own{};
    own.hEvent = RequestEvent();
    if (!own.hEvent) return FALSE;
    BOOL ok = DeviceIoControl(device, code, in, inLength, out, outLength, returned, &own);
    if (!ok && GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(device, &own, returned, TRUE);
    return ok;
}
