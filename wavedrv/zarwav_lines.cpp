// The line states the system's volume control keeps for "Solvane Mixer":
// one 132-byte record {state, name} per line of a destination. A value of
// another size is replaced by the defaults; one of the right size is the
// user's and stays.
#include <cstring>
#include <string>
#include <vector>

#include "zarwav_tables.h"

namespace {

constexpr char kVolumeKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Applets\\Volume Control\\Solvane Mixer";
constexpr DWORD kHidden = 4;

struct LINE_STATE {
    DWORD State;
    WCHAR Name[64];
};
static_assert(sizeof(LINE_STATE) == 132);

void WriteDestination(ULONG destination, const char* subkey, BOOL digitalPresent)
{
    std::vector<LINE_STATE> records;
    for (ULONG id = 0; id < kLineCount; ++id) {
        const ZARWAV_LINE& line = kZarWavLines[id];
        if (line.Destination != destination) continue;
        LINE_STATE r{};
        for (size_t i = 0; i < 63 && line.Name[i] != 0; ++i) r.Name[i] = line.Name[i];
        if (destination == 1 && ((line.Mix == kMixAnalog && line.Index == kWave) || (line.Mix == kMixDigital && line.Index == kDigitalWave)))
            r.State = kHidden;
        if (!digitalPresent && line.Mix == kMixDigital && line.Index != kDigitalWave) r.State = kHidden;
        records.push_back(r);
    }
    std::string path = std::string(kVolumeKey) + "\\" + subkey;
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return;
    const DWORD size = DWORD(records.size() * sizeof(LINE_STATE));
    DWORD type = 0, have = 0;
    LSTATUS found = RegQueryValueExA(key, "LineStates", nullptr, &type, nullptr, &have);
    if (found != ERROR_SUCCESS || have != size)
        RegSetValueExA(key, "LineStates", 0, REG_BINARY, reinterpret_cast<const BYTE*>(records.data()), size);
    RegCloseKey(key);
}

}  // namespace

void ZarWavWriteLineStates(BOOL digitalPresent)
{
    WriteDestination(0, "Play", digitalPresent);
    WriteDestination(1, "Rec", digitalPresent);
}
