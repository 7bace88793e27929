// VirtualAlloc and VirtualFree: whole zeroed pages. A client of a machine
// host takes them from its arena, the memory it shares with the host at
// the same address, so requests over them cross by reference and a
// driver's writes into them are seen while the request is still pending;
// anywhere else (embedded, or an arena that is full) they are the
// process's own pages, and requests over them cross by value.
#include "w32_client.h"
#include "w32_internal.h"

#include <mutex>
#include <sys/mman.h>
#include <unordered_map>

namespace {

std::mutex ownLock;
std::unordered_map<void*, size_t> ownPages;  // mapped here, with their length

}  // namespace

LPVOID VirtualAlloc(LPVOID lpAddress, SIZE_T dwSize, DWORD flAllocationType, DWORD flProtect)
{
    if (lpAddress || !dwSize || !(flAllocationType & (MEM_COMMIT | MEM_RESERVE)) ||
        (flAllocationType & ~DWORD(MEM_COMMIT | MEM_RESERVE)) || flProtect != PAGE_READWRITE) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (void* shared = w32::ArenaAllocate(dwSize)) return shared;
    void* p = ::mmap(nullptr, dwSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    std::lock_guard<std::mutex> g(ownLock);
    ownPages[p] = dwSize;
    return p;
}

BOOL VirtualFree(LPVOID lpAddress, SIZE_T dwSize, DWORD dwFreeType)
{
    if (dwFreeType != MEM_RELEASE || dwSize != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (w32::ArenaFree(lpAddress)) return TRUE;
    std::lock_guard<std::mutex> g(ownLock);
    auto it = ownPages.find(lpAddress);
    if (it == ownPages.end()) {
        SetLastError(ERROR_INVALID_ADDRESS);
        return FALSE;
    }
    ::munmap(it->first, it->second);
    ownPages.erase(it);
    return TRUE;
}
