// A client process of a machine host that links ZarDll: it opens a board
// and says what it found in the shared section, and with "hold" keeps the
// board open until the named event ZarDllTestRelease is set.
//   zardll_client open|hold|first <board>
// "first" opens the board as the process's very first call into the system
// and says only what the open gave.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "include/zardll.h"
#include "platform/win32/win32.h"

int main(int argc, char** argv)
{
    if (argc != 3) return 2;
    const std::string command = argv[1];
    const uint32_t number = uint32_t(std::strtoul(argv[2], nullptr, 10));
    if (command == "first") {
        ZAR_BOARD board = nullptr;
        const int32_t opened = ZarDcOpen(number, &board);
        std::printf("opened %d\n", int(opened));
        std::fflush(stdout);
        if (opened == ZAR_OK) ZarDcClose(board);
        return 0;
    }
    // What the section held before this process opened the board.
    uint32_t standardBefore = 0;
    HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, ZAR_SHARED_SECTION_NAME);
    void* view = mapping ? MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, ZAR_SHARED_VIEW_SIZE) : nullptr;
    if (view) standardBefore = ZarSharedBoard(view, number)->Standard;
    ZAR_BOARD board = nullptr;
    const int32_t opened = ZarDcOpen(number, &board);
    if (!view) {
        mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, ZAR_SHARED_SECTION_NAME);
        view = mapping ? MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, ZAR_SHARED_VIEW_SIZE) : nullptr;
    }
    if (!view) {
        std::printf("no section\n");
        return 1;
    }
    const ZAR_BOARD_SHARED* record = ZarSharedBoard(view, number);
    uint32_t keyGain0 = 0;
    std::memcpy(&keyGain0, static_cast<const uint8_t*>(view) + ZAR_SHARED_KEY_GAIN_OFFSET, 4);
    std::printf("opened %d before %lu standard %lu state %lu keygain %lu\n", int(opened),
                static_cast<unsigned long>(standardBefore), static_cast<unsigned long>(record->Standard),
                static_cast<unsigned long>(record->BoardState), static_cast<unsigned long>(keyGain0));
    std::fflush(stdout);
    if (command == "hold") {
        HANDLE release = CreateEventA(nullptr, TRUE, FALSE, "ZarDllTestRelease");
        WaitForSingleObject(release, 120000);
        CloseHandle(release);
    }
    if (opened == ZAR_OK) ZarDcClose(board);
    UnmapViewOfFile(view);
    CloseHandle(mapping);
    return 0;
}
