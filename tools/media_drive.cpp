// The media drive in the demo: the drive letter from the file system's
// preferences, then the tree under it (file types, volumes, folders, media
// files with their sizes) through FindFirstFile/FindNextFile.

#include "media_drive.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "include/zarfs.h"
#include "platform/win32/win32.h"
#include "tools/clip_file.h"

namespace {

struct Entry {
    std::string name;
    uint64_t size;
    bool directory;
};

std::vector<Entry> List(const std::string& folder)
{
    std::vector<Entry> out;
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return out;
    do {
        out.push_back({data.cFileName, (uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow,
                       (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
    } while (FindNextFileA(find, &data));
    FindClose(find);
    return out;
}

// Depth 0 is the root; volumes lie at depth 2, their folders at 3.
void ShowTree(const std::string& path, int depth)
{
    std::vector<Entry> entries = List(path);
    if (depth == 2 && entries.empty()) {
        const std::string folder = path + "\\Clips";
        bool made = CreateDirectoryA(folder.c_str(), nullptr);
        std::printf("%*s(no folder: CreateDirectory %s: %s)\n", 2 * depth + 4, "", folder.c_str(),
                    made ? "made" : "failed");
        entries = List(path);
    }
    for (const Entry& e : entries) {
        if (e.directory) {
            std::printf("%*s%s\\\n", 2 * depth + 4, "", e.name.c_str());
            ShowTree(path + "\\" + e.name, depth + 1);
        } else {
            std::printf("%*s%-32s %12llu bytes\n", 2 * depth + 4, "", e.name.c_str(),
                        static_cast<unsigned long long>(e.size));
        }
    }
    if (entries.empty() && depth > 0) std::printf("%*s(empty)\n", 2 * depth + 4, "");
}

}  // namespace

void ShowMediaDrive()
{
    std::printf("\n== Media drive ==\n");
    const char letter = MediaDriveLetter();
    if (letter == 0) {
        std::printf("  \\\\.\\ZarFsDevice0 does not answer: no media drive\n");
        return;
    }
    const std::string root = std::string(1, letter) + ":";
    std::printf("  board 0's media drive is %s (FindFirstFile/FindNextFile):\n", root.c_str());
    std::printf("  %s\\\n", root.c_str());
    ShowTree(root, 0);
}
