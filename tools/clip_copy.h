// A clip file copied on the media drive with CreateFile/WriteFile, as a
// file-copy program would: the drive stores what it is given as a new clip.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Writes 'view' (a clip file as read from 'path') to 'copyPath' in 64 KB
// writes, reads the copy back and says in one line how that went.
std::string CopyClipFile(const std::string& copyPath, const std::vector<uint8_t>& view);
