// The clip file written to a second name on the media drive and read back.

#include "tools/clip_copy.h"

#include <algorithm>

#include "win32.h"

std::string CopyClipFile(const std::string& copyPath, const std::vector<uint8_t>& view)
{
    DeleteFileA(copyPath.c_str());  // an earlier run's copy
    HANDLE out = CreateFileA(copyPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    if (out == INVALID_HANDLE_VALUE) return "cannot be made: error " + std::to_string(GetLastError());
    const size_t chunk = 64 * 1024;
    for (size_t at = 0; at < view.size(); at += chunk) {
        DWORD length = DWORD(std::min(chunk, view.size() - at)), done = 0;
        if (!WriteFile(out, view.data() + at, length, &done, nullptr)) {
            const DWORD error = GetLastError();
            CloseHandle(out);
            return "write at byte " + std::to_string(at) + " refused: error " + std::to_string(error);
        }
    }
    CloseHandle(out);
    HANDLE in = CreateFileA(copyPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (in == INVALID_HANDLE_VALUE) return "cannot be opened again: error " + std::to_string(GetLastError());
    std::vector<uint8_t> back, buffer(chunk);
    DWORD got = 0;
    while (ReadFile(in, buffer.data(), DWORD(buffer.size()), &got, nullptr) && got > 0)
        back.insert(back.end(), buffer.begin(), buffer.begin() + got);
    CloseHandle(in);
    if (back != view) return "reads back DIFFERENT (" + std::to_string(back.size()) + " bytes)";
    return std::to_string(view.size()) + " bytes written with WriteFile, stored as a clip, read back identical";
}
