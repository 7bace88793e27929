// Board open, close and initialisation. The first open of a board in a
// process prepares what every later open relies on; the board-wide part of
// it (registry parameters into the shared record, the video units, the
// audio DMA events) is done once per machine, under the board's named
// mutex, so a second process waits for the first and then finds it done.

#include <cstring>

#include "include/zardll.h"
#include "include/zarfs.h"
#include "include/zario.h"
#include "include/zarkd.h"
#include "user.h"
#include "zar_app.h"
#include "zar_connection.h"
#include "zar_engine.h"
#include "zar_preview.h"
#include "zar_named_mutex.h"
#include "zar_option.h"
#include "zar_shared.h"

namespace {

constexpr char kBoardMutexPrefix[] = "KIV_SOLVANE_DLL_BOARD";
// Made by each process that set a board up and kept until it unloads: while
// it exists some process keeps the board, and its recorder may be writing
// the body-table backup file.
constexpr char kBoardUserPrefix[] = "KIV_SOLVANE_DLL_USER";
constexpr char kParametersKey[] = "System\\CurrentControlSet\\Services\\ZARKD\\Parameters";
// The recording side file: board 0 keeps this name, board n adds its number.
constexpr char kBackupFile[] = "\\system32\\drivers\\!KIVBKUP";

// Firmware request of IOCTL_ZAR_FLEX_DOWNLOAD.
enum : uint32_t { kFirmwareProgram = 0, kFirmwareReport = 1 };
enum : uint32_t { kFirmwareAnswerNone = 0, kFirmwareAnswerLoaded = 1, kFirmwareAnswerLoadedDve = 3 };
struct FirmwareRequest {
    uint32_t Command;
    uint32_t Answer;
    uint32_t Identification[2];
};
static_assert(sizeof(FirmwareRequest) == 16);

// One board-driver request without the caller's overlapped record.
bool BoardRequest(CBoardConnection& c, uint32_t code, void* in, DWORD inLength, void* out, DWORD outLength)
{
    DWORD returned = 0;
    return SendDeviceRequest(c.m_hBoard, code, in, inLength, out, outLength, &returned, nullptr) != FALSE;
}

// The firmware answer word of a report; 0 when the request fails.
uint32_t FirmwareReport(CBoardConnection& c)
{
    FirmwareRequest request{kFirmwareReport, 0, {0, 0}};
    if (!BoardRequest(c, IOCTL_ZAR_FLEX_DOWNLOAD, &request, sizeof request, &request, sizeof request)) return 0;
    return request.Answer;
}

std::string ParametersKey(uint32_t board)
{
    return board == 0 ? std::string(kParametersKey) : BoardObjectName(kParametersKey, board);
}

bool ReadDword(HKEY key, const char* name, uint32_t* value)
{
    DWORD type = 0, data = 0, size = sizeof data;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) != ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof data)
        return false;
    *value = data;
    return true;
}

void WriteDword(HKEY key, const char* name, uint32_t value)
{
    RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

// Either spelling the board's registry uses (625 or 0x625); anything else is 525.
uint32_t StandardOfValue(uint32_t value)
{
    return value == ZAR_STANDARD_625 || value == ZAR_STANDARD_625_HEX ? ZAR_STANDARD_625 : ZAR_STANDARD_525;
}

}  // namespace

// ---- Open and close ----

HANDLE CZarDll::BoardSetUpMutex(uint32_t board)
{
    EnterCriticalSection(&m_lock);
    HANDLE& mutex = m_boards[board].setUpMutex;
    if (!mutex)
        mutex = CreateMutexA(&m_securityAttributes, FALSE, BoardObjectName(kBoardMutexPrefix, board).c_str());
    LeaveCriticalSection(&m_lock);
    return mutex;
}

int32_t CZarDll::DcOpen(uint32_t board, ZAR_BOARD* handle, bool extended)
{
    *handle = ZAR_INVALID_BOARD;
    if (board >= ZAR_DLL_MAX_BOARDS) return ZAR_E_BAD_ARGUMENT;
    CNamedMutexHeld boardLock(BoardSetUpMutex(board));
    BoardSlot& slot = m_boards[board];
    if (!slot.firstOpenDone) slot.firstOpenDone = InitBoardOnce(board);

    auto* connection = new CBoardConnection(board);
    int32_t result = ZAR_OK;
    if (connection->m_hBoard == INVALID_HANDLE_VALUE) {
        result = ZAR_E_NO_DEVICE;
    } else {
        int32_t initialised = DcInitialize(*connection, 0);
        if (initialised != ZAR_OK) initialised = DcInitialize(*connection, 1);
        // A board whose firmware could not be programmed is not opened, and
        // says so, whatever state an earlier load left in the record.
        if (initialised == ZAR_E_FIRMWARE) {
            result = ZAR_E_FIRMWARE;
        } else {
            switch (connection->m_pShared->BoardState) {
            case ZAR_SHARED_STATE_NEVER: result = ZAR_E_NO_DEVICE; break;
            case ZAR_SHARED_STATE_UNAVAILABLE: result = ZAR_E_BOARD_UNAVAILABLE; break;
            case ZAR_SHARED_STATE_NO_BOARD: result = ZAR_E_NO_BOARD; break;
            case ZAR_SHARED_STATE_BRIDGE_ONLY: result = ZAR_E_BOARD_UNKNOWN; break;
            default: break;
            }
        }
    }
    if (result != ZAR_OK) {
        delete connection;
        return result;
    }
    connection->m_openedByExtendedCall = extended ? 1 : 0;
    connection->m_handedOut = true;
    *handle = connection->AsHandle();
    return ZAR_OK;
}

int32_t CZarDll::DcClose(ZAR_BOARD handle)
{
    if (!handle || handle == ZAR_INVALID_BOARD) return ZAR_E_BAD_HANDLE;
    // Taken out of the list first, so two closes of one handle cannot both
    // destroy it.
    if (!CBoardConnection::TakeHandedOut(handle)) return ZAR_E_BAD_HANDLE;
    delete reinterpret_cast<CBoardConnection*>(handle);
    return ZAR_OK;
}

// ---- Firmware ----

int32_t CZarDll::DcInitialize(CBoardConnection& c, uint32_t mode)
{
    if (mode > 1) return ZAR_E_BAD_ARGUMENT;
    CNamedMutexHeld boardLock(BoardSetUpMutex(c.m_board));
    ZAR_BOARD_SHARED* record = c.m_pShared;
    uint32_t state = 0;
    if (!BoardRequest(c, IOCTL_ZAR_GET_BOARD_STATE, nullptr, 0, &state, sizeof state)) return ZAR_E_DRIVER;
    if (state == ZAR_BOARD_STATE_NONE) {
        record->BoardState = ZAR_SHARED_STATE_NO_BOARD;
        return ZAR_E_DRIVER;
    }
    if (state == ZAR_BOARD_STATE_BRIDGE_ONLY) {
        record->BoardState = ZAR_SHARED_STATE_BRIDGE_ONLY;
        return ZAR_E_DRIVER;
    }
    if (mode == 1) {
        const int32_t programmed = ProgramFirmware(c);
        if (programmed != ZAR_OK) return programmed;
        PostFirmwareInit(c, 0);
        return ZAR_OK;
    }
    switch (FirmwareReport(c)) {
    case kFirmwareAnswerNone: return ZAR_E_FIRMWARE;
    case kFirmwareAnswerLoaded: record->BoardState = ZAR_SHARED_STATE_FIRMWARE; break;
    case kFirmwareAnswerLoadedDve: record->BoardState = ZAR_SHARED_STATE_FIRMWARE_DVE; break;
    default: break;
    }
    return ZAR_OK;
}

int32_t CZarDll::ProgramFirmware(CBoardConnection& c)
{
    ZAR_BOARD_SHARED* record = c.m_pShared;
    // What the record said before; a failed programming puts it back, so
    // no process ever finds the board "being programmed" by nobody.
    const uint32_t before = record->BoardState == ZAR_SHARED_STATE_PROGRAMMING ? ZAR_SHARED_STATE_NEVER
                                                                                 : record->BoardState;
    record->BoardState = ZAR_SHARED_STATE_PROGRAMMING;
    m_firmwareWords[0] = m_firmwareWords[1] = 0;
    FirmwareRequest request{kFirmwareProgram, 0, {0, 0}};
    const bool sent = BoardRequest(c, IOCTL_ZAR_FLEX_DOWNLOAD, &request, sizeof request, &request, sizeof request);
    if (!sent || (request.Answer != kFirmwareAnswerLoaded && request.Answer != kFirmwareAnswerLoadedDve)) {
        record->BoardState = before;
        MessageBoxA(nullptr, "Firmware programming failed.", nullptr, MB_OK | MB_ICONSTOP);
        return ZAR_E_FIRMWARE;
    }
    m_firmwareWords[0] = request.Identification[0];
    m_firmwareWords[1] = request.Identification[1];
    record->BoardState =
        request.Answer == kFirmwareAnswerLoaded ? ZAR_SHARED_STATE_FIRMWARE : ZAR_SHARED_STATE_FIRMWARE_DVE;
    if (record->IoBoardPresent) {
        ZARIO_FIRMWARE_REQUEST io{ZARIO_FIRMWARE_PROGRAM, 0, {0, 0}};
        if (SendOptionRequest(c, IOCTL_ZARIO_FIRMWARE, &io, sizeof io))
            SendOptionRequest(c, IOCTL_ZARIO_FIRMWARE_DONE, nullptr, 0);
        ReadCapabilities(c);
    }
    return ZAR_OK;
}

void CZarDll::ReadCapabilities(CBoardConnection& c)
{
    ZAR_BOARD_SHARED* record = c.m_pShared;
    uint32_t capabilities = ZAR_CAP_BASE;
    if (record->IoBoardPresent) {
        uint32_t answer[3] = {0, 0, 0};
        if (SendOptionRequest(c, IOCTL_ZARIO_GET_CAPABILITIES, answer, sizeof answer)) {
            if (answer[0]) capabilities |= 0xFADFF7;
            if (answer[1]) capabilities |= 0xF5DFF7;
        }
    }
    uint32_t option625 = 0;
    if (BoardRequest(c, IOCTL_ZAR_GET_625_SUPPORT, &option625, sizeof option625, &option625, sizeof option625)) {
        if (option625 == 0) capabilities |= ZAR_CAP_625;
        if (option625 == 1) capabilities |= ZAR_CAP_625 | ZAR_CAP_625_DUAL;
    }
    record->Fps24Option = 0;
    record->IoFps24Answer = 0;
    uint32_t fps24 = 0;
    if (BoardRequest(c, IOCTL_ZAR_GET_24FPS_SUPPORT, &fps24, sizeof fps24, &fps24, sizeof fps24))
        record->Fps24Option = fps24;
    if (record->IoBoardPresent) {
        uint32_t io24 = 0;
        if (SendOptionRequest(c, IOCTL_ZARIO_GET_24FPS_SUPPORT, &io24, sizeof io24)) record->IoFps24Answer = io24;
    }
    if ((record->Fps24Option & 1) && (record->IoFps24Answer & 1)) capabilities |= ZAR_CAP_24FPS;
    record->Capabilities = capabilities;
}

void CZarDll::PostFirmwareInit(CBoardConnection& c, uint32_t flag)
{
    ZAR_BOARD_SHARED* record = c.m_pShared;
    if ((flag & 0xFF) == 0) {
        BoardRequest(c, IOCTL_ZAR_POST_FPGA_INIT, nullptr, 0, nullptr, 0);
        zarapi::ResetMixerSettings(record);
    }
    uint32_t code = 0;
    if (BoardRequest(c, IOCTL_ZAR_GET_AUDIO_STANDARDS, nullptr, 0, &code, sizeof code))
        record->SampleRate = zarapi::SampleRateOfCode(code);
    record->SystemPrefsBatch = 32;
    ZarEngine().ResetDve(c, flag & 0xFF);
}

void CZarDll::ReadScsiDeviceTable(CBoardConnection& c)
{
    ZAR_BOARD_SHARED* record = c.m_pShared;
    std::memset(record->ScsiDevices, 0, sizeof record->ScsiDevices);
    for (uint32_t id = 0; id < ZAR_SCSI_MAX_TARGETS; ++id) {
        ZAR_SCSI_DEVICE_INFO info{};
        info.ScsiId = id;
        if (BoardRequest(c, IOCTL_ZAR_GET_SCSI_DEVICE, &info, sizeof info, &info, sizeof info))
            std::memcpy(record->ScsiDevices[id], &info, sizeof info);
    }
}

// ---- The first open of a board in a process ----

bool CZarDll::InitBoardOnce(uint32_t board)
{
    // The board driver and the file-system driver must answer; the option's
    // device is only tried.
    HANDLE probe = OpenBoardDevice(kBoardDevicePrefix, board);
    if (probe == INVALID_HANDLE_VALUE) return false;
    CloseHandle(probe);
    probe = OpenBoardDevice(kIoDevicePrefix, board);
    if (probe != INVALID_HANDLE_VALUE) CloseHandle(probe);
    probe = OpenBoardDevice(kFileSystemDevicePrefix, board);
    if (probe == INVALID_HANDLE_VALUE) return false;
    CloseHandle(probe);

    BoardSlot& slot = m_boards[board];
    DeleteStaleBackupFile(board);
    slot.userMark = CreateEventA(&m_securityAttributes, TRUE, FALSE, BoardObjectName(kBoardUserPrefix, board).c_str());
    slot.connection = new CBoardConnection(board);
    CBoardConnection& c = *slot.connection;
    ZAR_BOARD_SHARED* record = c.m_pShared;

    uint32_t ioState = 0;
    record->IoBoardPresent = c.m_hIo != INVALID_HANDLE_VALUE &&
                             SendOptionRequest(c, IOCTL_ZARIO_GET_BOARD_STATE, &ioState, sizeof ioState) &&
                             ioState == ZARIO_BOARD_PRESENT;
    ReadCapabilities(c);
    slot.fieldSyncMutex =
        CreateMutexA(&m_securityAttributes, FALSE, BoardObjectName(ZAR_FIELD_SYNC_MUTEX_PREFIX, board).c_str());
    uint32_t dvePresent = 0;
    if (BoardRequest(c, IOCTL_ZAR_GET_DVE_STATE, nullptr, 0, &dvePresent, sizeof dvePresent) && dvePresent &&
        record->BoardState < ZAR_SHARED_STATE_FIRMWARE_DVE)
        record->BoardState = ZAR_SHARED_STATE_FIRMWARE_DVE;
    ReadScsiDeviceTable(c);
    BuildColorTables(&m_colorTables);
    char path[MAX_PATH] = {};
    if (GetModuleFileNameA(GetModuleHandleA("ZarDll"), path, sizeof path)) {
        m_libraryDirectory = path;
        const size_t slash = m_libraryDirectory.rfind('\\');
        m_libraryDirectory.resize(slash == std::string::npos ? 0 : slash);
    }

    if (record->Standard != 0) {
        // Another process read the parameters and set the units up: only
        // this process's view of the firmware's state is refreshed.
        if (FirmwareReport(c) != kFirmwareAnswerNone) PostFirmwareInit(c, 1);
    } else {
        uint32_t lumaAdjust = kLumaAdjustNone;
        ReadRegistryParameters(board, record, &lumaAdjust);
        zarapi::WriteStandardFields(record, record->Standard);
        if (FirmwareReport(c) != kFirmwareAnswerNone) PostFirmwareInit(c, 0);
        ZarEngine().SetAllTrackLevelMultipliers(c, 1.0);
        ProgramVideoUnits(c, board, lumaAdjust);
    }
    slot.engineObjects = ZarEngine().BuildBoardObjects(*this, c);
    CreateAudioDmaEvents(slot, c, board);
    ZarEngine().StartBoard(c);
    zarapi::CreateBoardPreview(board);
    slot.clearedWords[0] = slot.clearedWords[1] = 0;
    return true;
}

void CZarDll::DeleteStaleBackupFile(uint32_t board)
{
    // Another process that keeps this board may be recording into it.
    HANDLE user = OpenEventA(SYNCHRONIZE, FALSE, BoardObjectName(kBoardUserPrefix, board).c_str());
    if (user) {
        CloseHandle(user);
        return;
    }
    char windows[MAX_PATH] = {};
    const UINT length = GetWindowsDirectoryA(windows, sizeof windows);
    if (length == 0 || length >= sizeof windows) return;
    std::string path = std::string(windows) + kBackupFile;
    if (board > 0) path += std::to_string(board);
    DeleteFileA((path + ".!BT").c_str());
}

void CZarDll::ReadRegistryParameters(uint32_t board, ZAR_BOARD_SHARED* record, uint32_t* lumaAdjust)
{
    uint32_t standard = ZAR_STANDARD_525, overBudget = 30;
    HKEY key = nullptr;
    const std::string path = ParametersKey(board);
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
        uint32_t value = 0;
        if (ReadDword(key, "Standard", &value)) standard = StandardOfValue(value);
        ReadDword(key, "OverBudget", &overBudget);
        if (!ReadDword(key, "AllowDataOverruns", &value)) {
            // Written once; an over-budget allowance above 30 % goes with it.
            HKEY writable = nullptr;
            if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | KEY_SET_VALUE, &writable) ==
                ERROR_SUCCESS) {
                WriteDword(writable, "AllowDataOverruns", 1);
                if (overBudget >= 31) {
                    overBudget = 30;
                    WriteDword(writable, "OverBudget", overBudget);
                }
                RegCloseKey(writable);
            }
        }
        if (ReadDword(key, "LumaAdjust", &value)) *lumaAdjust = LumaAdjustInRange(value);
        RegCloseKey(key);
    }
    record->Standard = standard;
    record->OverBudget = overBudget;
    ZAR_FILE_SYSTEM_PREFS prefs{};
    DWORD returned = 0;
    CBoardConnection& c = *m_boards[board].connection;
    const bool answered = SendDeviceRequest(c.m_hFileSystem, IOCTL_ZARFS_GET_PREFERENCES, nullptr, 0, &prefs,
                                            sizeof prefs, &returned, nullptr) != FALSE;
    record->MediaDriveLetter = answered && prefs.DriveLetter ? char(prefs.DriveLetter) : 'P';
}

void CZarDll::ProgramVideoUnits(CBoardConnection& c, uint32_t board, uint32_t lumaAdjust)
{
    const bool pal = c.m_pShared->Standard == ZAR_STANDARD_625;
    // The play units start empty.
    uint8_t command[36] = {};
    BoardRequest(c, IOCTL_ZAR_DVE_PLAY_COMMAND, command, 32, command, 32);
    std::memset(command, 0, sizeof command);
    BoardRequest(c, IOCTL_ZAR_MIX_PLAY_COMMAND, command, 32, command, 32);
    for (uint32_t second : {1u, 0u}) {
        std::memset(command, 0, sizeof command);
        std::memcpy(command + 4, &second, 4);
        BoardRequest(c, IOCTL_ZAR_GFX_PLAY_COMMAND, command, 36, command, 36);
    }
    for (uint32_t second : {0u, 1u}) {
        std::memset(command, 0, sizeof command);
        std::memcpy(command + 4, &second, 4);
        BoardRequest(c, IOCTL_ZAR_PROC_AMP_PLAY_COMMAND, command, 36, command, 36);
    }

    // The board's current genlock, encoder set-up and input set-up, each
    // replaced by the registry value where one is stored. Genlock words:
    // horizontal position, subcarrier phase, external genlock, (status),
    // feedback-loop detection off. Encoder words: primary and secondary
    // output set-up, video 1 composite.
    uint32_t genlock[5] = {}, encoder[3] = {}, setupRemoved = 0;
    const bool haveGenlock = BoardRequest(c, IOCTL_ZAR_GET_GENLOCK, nullptr, 0, genlock, sizeof genlock);
    const bool haveEncoder = BoardRequest(c, IOCTL_ZAR_GET_ENCODER, nullptr, 0, encoder, sizeof encoder);
    BoardRequest(c, IOCTL_ZAR_VIN_GET_STANDARDS, &setupRemoved, sizeof setupRemoved, &setupRemoved, 4);
    uint32_t inputSetup = setupRemoved ? 0 : 1;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, ParametersKey(board).c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
        ReadDword(key, "HorizontalPosition", &genlock[0]);
        ReadDword(key, "MainSubcarrierPhase", &genlock[1]);
        ReadDword(key, "ExternalGenlock", &genlock[2]);
        ReadDword(key, "DisableFeedbackLoopDetection", &genlock[4]);
        ReadDword(key, pal ? "PrimarySetup625" : "PrimarySetup", &encoder[0]);
        ReadDword(key, pal ? "SecondarySetup625" : "SecondarySetup", &encoder[1]);
        ReadDword(key, "Video1Mode", &encoder[2]);
        if (!pal) ReadDword(key, "InputSetup", &inputSetup);
        RegCloseKey(key);
    }
    if (haveGenlock) BoardRequest(c, IOCTL_ZAR_SET_GENLOCK, genlock, sizeof genlock, nullptr, 0);
    if (haveEncoder) BoardRequest(c, IOCTL_ZAR_SET_ENCODER, encoder, sizeof encoder, nullptr, 0);
    if (!pal) {
        // The input-mode flag word: 1 keeps the input's set-up, 0x80000001
        // removes it; the board takes its top bit.
        const uint32_t flag = inputSetup ? 1u : 0x80000001u;
        uint32_t removal = (flag & 0x80000000u) ? 1 : 0;
        BoardRequest(c, IOCTL_ZAR_VIN_SET_STANDARDS, &removal, sizeof removal, &removal, sizeof removal);
    }
    if (!pal && lumaAdjust != kLumaAdjustNone && m_gammaTable) {
        BuildGammaTable(lumaAdjust, m_gammaTable);
        uint32_t address = uint32_t(reinterpret_cast<uintptr_t>(m_gammaTable));
        BoardRequest(c, IOCTL_ZAR_VIN_LOAD_PROC_AMP_TABLE, &address, sizeof address, nullptr, 0);
    }
}

void CZarDll::CreateAudioDmaEvents(BoardSlot& slot, CBoardConnection& c, uint32_t board)
{
    bool lastExisted = true;
    for (int i = 0; i < 6; ++i) {
        slot.audioEvents[i] = CreateEventA(&m_securityAttributes, TRUE, FALSE,
                                           BoardObjectName(ZAR_AUDIO_DMA_EVENT_PREFIXES[i], board).c_str());
        if (i == 5) lastExisted = slot.audioEvents[i] && GetLastError() == ERROR_ALREADY_EXISTS;
    }
    if (lastExisted) return;  // another process handed them to the driver
    uint32_t handles[6];
    for (int i = 0; i < 6; ++i) handles[i] = uint32_t(reinterpret_cast<uintptr_t>(slot.audioEvents[i]));
    BoardRequest(c, IOCTL_ZAR_AUD_REGISTER_EVENTS, handles, sizeof handles, nullptr, 0);
}
