// System information, the machine's Windows folders, full path names and
// the process heap.
#include "w32_internal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Copies 'text' as Win32 hands strings back: the length without the
// terminator when it fits, else the size needed with it (nothing written).
DWORD CopyOut(const std::string& text, LPSTR buffer, DWORD size)
{
    if (!buffer || text.size() >= size) return DWORD(text.size() + 1);
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return DWORD(text.size());
}

// Every heap block starts with this header, so HeapSize needs no table and
// the block keeps 8-byte alignment.
struct HeapBlock {
    uint32_t magic;
    uint32_t size;
};
static_assert(sizeof(HeapBlock) == 8);
constexpr uint32_t kHeapMagic = 0x50414548;  // "HEAP"
int processHeap;                              // its address is the heap's handle

HeapBlock* BlockOf(LPCVOID p)
{
    if (!p) return nullptr;
    auto* block = const_cast<HeapBlock*>(static_cast<const HeapBlock*>(p) - 1);
    return block->magic == kHeapMagic ? block : nullptr;
}

bool IsProcessHeap(HANDLE heap)
{
    if (heap == &processHeap) return true;
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
}

}  // namespace

UINT GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize) { return CopyOut("C:\\WINNT", lpBuffer, uSize); }

UINT GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize) { return CopyOut("C:\\WINNT\\system32", lpBuffer, uSize); }

DWORD GetFullPathNameA(LPCSTR lpFileName, DWORD nBufferLength, LPSTR lpBuffer, LPSTR* lpFilePart)
{
    if (!lpFileName || !*lpFileName) {
        SetLastError(ERROR_INVALID_NAME);
        return 0;
    }
    std::u16string full;
    if (!w32::FullDosPath(w32::AnsiToWide(lpFileName), &full)) return 0;
    std::string path = w32::WideToAnsi(full);
    // A name ending in a separator keeps it: it names a folder, not a file.
    char last = lpFileName[std::strlen(lpFileName) - 1];
    if ((last == '\\' || last == '/') && !path.empty() && path.back() != '\\') path += '\\';
    DWORD result = CopyOut(path, lpBuffer, nBufferLength);
    if (lpFilePart && result == path.size()) {
        size_t slash = path.find_last_of('\\');
        *lpFilePart = slash + 1 < path.size() ? lpBuffer + slash + 1 : nullptr;
    }
    return result;
}

void GetSystemInfo(LPSYSTEM_INFO lpSystemInfo)
{
    if (!lpSystemInfo) return;
    // One Intel processor, as the workstation the board sits in; the user
    // range is the i386 one below the kernel's 2 GB.
    *lpSystemInfo = {};
    lpSystemInfo->wProcessorArchitecture = PROCESSOR_ARCHITECTURE_INTEL;
    lpSystemInfo->dwPageSize = 4096;
    lpSystemInfo->lpMinimumApplicationAddress = reinterpret_cast<LPVOID>(0x00010000);
    lpSystemInfo->lpMaximumApplicationAddress = reinterpret_cast<LPVOID>(0x7FFEFFFF);
    lpSystemInfo->dwActiveProcessorMask = 1;
    lpSystemInfo->dwNumberOfProcessors = 1;
    lpSystemInfo->dwProcessorType = PROCESSOR_INTEL_PENTIUM;
    lpSystemInfo->dwAllocationGranularity = 65536;
    lpSystemInfo->wProcessorLevel = 6;
}

HANDLE GetProcessHeap() { return &processHeap; }

LPVOID HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes)
{
    if (!IsProcessHeap(hHeap)) return nullptr;
    if (dwBytes > 0x7FFF0000u) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    void* memory = (dwFlags & HEAP_ZERO_MEMORY) ? std::calloc(1, sizeof(HeapBlock) + dwBytes)
                                                : std::malloc(sizeof(HeapBlock) + dwBytes);
    if (!memory) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    auto* block = static_cast<HeapBlock*>(memory);
    *block = {kHeapMagic, uint32_t(dwBytes)};
    return block + 1;
}

LPVOID HeapReAlloc(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem, SIZE_T dwBytes)
{
    if (!IsProcessHeap(hHeap)) return nullptr;
    HeapBlock* block = BlockOf(lpMem);
    if (!block) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    uint32_t old = block->size;
    if (dwFlags & HEAP_REALLOC_IN_PLACE_ONLY) {
        if (dwBytes > old) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        block->size = uint32_t(dwBytes);
        return lpMem;
    }
    LPVOID fresh = HeapAlloc(hHeap, dwFlags, dwBytes);
    if (!fresh) return nullptr;  // the old block stays as it was
    std::memcpy(fresh, lpMem, old < dwBytes ? old : dwBytes);
    HeapFree(hHeap, 0, lpMem);
    return fresh;
}

BOOL HeapFree(HANDLE hHeap, DWORD, LPVOID lpMem)
{
    if (!IsProcessHeap(hHeap)) return FALSE;
    if (!lpMem) return TRUE;
    HeapBlock* block = BlockOf(lpMem);
    if (!block) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    block->magic = 0;  // a stale pointer to it no longer passes for a block
    std::free(block);
    return TRUE;
}

SIZE_T HeapSize(HANDLE hHeap, DWORD, LPCVOID lpMem)
{
    if (!IsProcessHeap(hHeap)) return SIZE_T(-1);
    HeapBlock* block = BlockOf(lpMem);
    if (!block) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return SIZE_T(-1);
    }
    return block->size;
}

void OutputDebugStringA(LPCSTR lpOutputString)
{
    if (lpOutputString) std::fputs(lpOutputString, stderr);
}
