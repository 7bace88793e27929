// ZarDcGetVersionInfo and ZarDcGetVersionInfoEx: the versions of the
// library, the drivers and the service, the firmware of the board and of
// the digital-I/O option, the board's identification from its EEPROM and
// its capabilities. The plain record is the first 97 bytes of the extended.

#include <cstring>
#include <string>

#include "include/zardll.h"
#include "include/zario.h"
#include "include/zarkd.h"
#include "zar_export_frame.h"
#include "zar_option.h"

namespace {

#pragma pack(push, 1)
struct VersionInfoEx {
    uint32_t Library[2];
    uint32_t BoardDriver[2];
    uint32_t FileSystemDriver[2];
    uint32_t Firmware[2];
    uint32_t TitleComponent[2];
    uint32_t Standard;
    uint32_t DveBoard;
    char HardwareId[17];
    uint32_t RevisionMajor;
    uint32_t RevisionMinor;
    uint32_t IoBoardPresent;
    uint32_t IoFirmware[2];
    uint32_t Capabilities;
    uint32_t Service[2];
    uint32_t Fps24;  // extended form only
};
#pragma pack(pop)
static_assert(sizeof(VersionInfoEx) == ZAR_VERSION_INFO_EX_SIZE);
static_assert(offsetof(VersionInfoEx, HardwareId) == 48);
static_assert(offsetof(VersionInfoEx, Capabilities) == 85);
static_assert(offsetof(VersionInfoEx, Fps24) == ZAR_VERSION_INFO_SIZE);

constexpr uint32_t kEepromDevice = 0xA0;
constexpr uint32_t kEepromIdOffset = 24;
constexpr uint32_t kEepromRevisionMinor = 40;
constexpr uint32_t kEepromRevisionMajor = 41;
constexpr char kNoHardwareId[] = "SN000000";

// The file version (most significant word first); false without one.
bool FileVersion(const std::string& path, uint32_t version[2])
{
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
    if (size == 0) return false;
    std::string block(size, '\0');
    if (!GetFileVersionInfoA(path.c_str(), 0, size, block.data())) return false;
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(block.data(), "\\", reinterpret_cast<LPVOID*>(&fixed), &length) || length < sizeof *fixed)
        return false;
    version[0] = fixed->dwFileVersionMS;
    version[1] = fixed->dwFileVersionLS;
    return true;
}

std::string SystemPath(const char* tail)
{
    char directory[MAX_PATH] = {};
    GetSystemDirectoryA(directory, sizeof directory);
    return std::string(directory) + tail;
}

bool EepromByte(const ExportCall& call, uint32_t address, uint8_t* value)
{
    uint32_t command[5] = {1, kEepromDevice, address, 0, 0};  // read and wait
    DWORD returned = 0;
    if (!SendDeviceRequest(call.connection->m_hBoard, IOCTL_ZAR_I2C_COMMAND, command, sizeof command, command,
                           sizeof command, &returned, nullptr))
        return false;
    *value = static_cast<uint8_t>(command[3]);
    return true;
}

// The identification text and the revision bytes; the fallback text when
// the EEPROM does not answer.
void ReadEeprom(const ExportCall& call, VersionInfoEx& info)
{
    std::memset(info.HardwareId, 0, sizeof info.HardwareId);
    uint8_t bytes[kEepromRevisionMajor + 1 - kEepromIdOffset] = {};
    for (uint32_t i = 0; i < sizeof bytes; ++i) {
        if (!EepromByte(call, kEepromIdOffset + i, &bytes[i])) {
            std::memcpy(info.HardwareId, kNoHardwareId, sizeof kNoHardwareId - 1);
            info.RevisionMajor = 1;
            info.RevisionMinor = 0;
            return;
        }
    }
    // The text ends at its NUL; the last of the 17 bytes is always one.
    for (uint32_t i = 0; i + 1 < sizeof info.HardwareId && bytes[i] != 0; ++i) info.HardwareId[i] = char(bytes[i]);
    info.RevisionMajor = bytes[kEepromRevisionMajor - kEepromIdOffset];
    info.RevisionMinor = bytes[kEepromRevisionMinor - kEepromIdOffset];
    if (info.RevisionMajor == 0 && info.RevisionMinor == 0) info.RevisionMajor = 1;
}

int32_t GetVersionInfo(const ExportCall& call, void* record, size_t size)
{
    CBoardConnection& c = *call.connection;
    ZAR_BOARD_SHARED& shared = *c.m_pShared;
    VersionInfoEx info{};
    // The library's own file; where it is linked into a program rather than
    // loaded, the installed copy in the system directory.
    char library[MAX_PATH] = {};
    HMODULE self = GetModuleHandleA("ZarDll");
    const bool ownFile = self && GetModuleFileNameA(self, library, sizeof library) && FileVersion(library, info.Library);
    if (!ownFile && !FileVersion(SystemPath("\\ZarDll.dll"), info.Library)) return ZAR_E_DRIVER;
    if (!FileVersion(SystemPath("\\drivers\\ZARKD.sys"), info.BoardDriver) ||
        !FileVersion(SystemPath("\\drivers\\ZARFSKD.sys"), info.FileSystemDriver) ||
        !FileVersion(SystemPath("\\ZarService.exe"), info.Service))
        return ZAR_E_DRIVER;
    info.Firmware[0] = call.app.FirmwareWord(0);
    info.Firmware[1] = call.app.FirmwareWord(1);
    info.Standard = shared.Standard;
    uint32_t dve = 0;
    DWORD returned = 0;
    if (SendDeviceRequest(c.m_hBoard, IOCTL_ZAR_GET_DVE_STATE, nullptr, 0, &dve, sizeof dve, &returned, nullptr) &&
        dve != 0) {
        info.DveBoard = 1;
        if (shared.BoardState < ZAR_SHARED_STATE_FIRMWARE_DVE) shared.BoardState = ZAR_SHARED_STATE_FIRMWARE_DVE;
    }
    ReadEeprom(call, info);
    info.IoBoardPresent = shared.IoBoardPresent;
    if (shared.IoBoardPresent) {
        ZARIO_FIRMWARE_REQUEST io{ZARIO_FIRMWARE_REPORT, 0, {0, 0}};
        if (SendOptionRequest(c, IOCTL_ZARIO_FIRMWARE, &io, sizeof io)) {
            info.IoFirmware[0] = io.Identification[0];
            info.IoFirmware[1] = io.Identification[1];
        }
    }
    call.app.ReadCapabilities(c);
    info.Capabilities = shared.Capabilities;
    info.Fps24 = (shared.Fps24Option & 1) | ((shared.IoFps24Answer & 1) << 1);
    std::memcpy(record, &info, size);
    return ZAR_OK;
}

}  // namespace

int32_t DoZarDcGetVersionInfo(const ExportCall& call, void* record)
{
    return GetVersionInfo(call, record, ZAR_VERSION_INFO_SIZE);
}

int32_t DoZarDcGetVersionInfoEx(const ExportCall& call, void* record)
{
    return GetVersionInfo(call, record, ZAR_VERSION_INFO_EX_SIZE);
}
