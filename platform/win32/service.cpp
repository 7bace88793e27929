// The service manager, over the machine's registry and named objects, so
// that every process of the machine sees the same services.
//
// A service is its key under Services (Type, Start, ErrorControl,
// ImagePath, DisplayName). Its running state lives in the volatile subkey
// Status (State, Controls, ExitCode, SpecificExitCode, CheckPoint, WaitHint,
// Process, and Control while a control is on its way), gone with the
// machine. A driver is started and stopped by loading and unloading it in
// the machine's kernel. A program's service runs as a client process of the
// machine's host, with ZAR_SERVICE naming its service; its dispatcher
// signals the event ZarService.<NAME>.Connected once its ServiceMain runs,
// waits on ZarService.<NAME>.Control for the controls ControlService
// writes, and answers each on ZarService.<NAME>.Answered once its handler
// returned.
#include "w32_internal.h"

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <vector>

extern char** environ;

struct SC_HANDLE__ {
    bool manager;
    std::string name;  // a service's, as its key spells it
    DWORD access;
};

struct SERVICE_STATUS_HANDLE__ {
    std::string name;
    LPHANDLER_FUNCTION handler;
};

namespace {

constexpr char kServices[] = "System\\CurrentControlSet\\Services";
constexpr DWORD kConnectMs = 30000;  // a program's start, and a control's answer, at most
constexpr DWORD kSystemRootLength = 12;

std::mutex handlesLock;
std::set<const void*> handles;  // the SC_HANDLEs and the lock this process holds open

bool Live(const void* h)
{
    std::lock_guard<std::mutex> g(handlesLock);
    return h && handles.count(h);
}

template <typename T>
T* Keep(T* h)
{
    std::lock_guard<std::mutex> g(handlesLock);
    handles.insert(h);
    return h;
}

bool Drop(const void* h)
{
    std::lock_guard<std::mutex> g(handlesLock);
    return handles.erase(h) != 0;
}

std::string Upper(std::string s)
{
    for (char& c : s) c = char(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

bool ValidName(LPCSTR name)
{
    if (!name || !*name || std::strlen(name) > 256) return false;
    for (const char* p = name; *p; p++)
        if (*p == '\\' || *p == '/') return false;
    return true;
}

std::string KeyOf(const std::string& name) { return std::string(kServices) + "\\" + name; }

HKEY OpenServiceKey(const std::string& name, REGSAM access)
{
    HKEY key = nullptr;
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, KeyOf(name).c_str(), 0, access, &key) == ERROR_SUCCESS ? key : nullptr;
}

DWORD ReadDword(HKEY key, const char* value, DWORD fallback)
{
    DWORD v = 0, type = 0, size = sizeof v;
    if (RegQueryValueExA(key, value, nullptr, &type, reinterpret_cast<LPBYTE>(&v), &size) != ERROR_SUCCESS ||
        type != REG_DWORD)
        return fallback;
    return v;
}

std::string ReadText(HKEY key, const char* value)
{
    char text[1024];
    DWORD type = 0, size = sizeof text - 1;
    if (RegQueryValueExA(key, value, nullptr, &type, reinterpret_cast<LPBYTE>(text), &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return {};
    text[size] = 0;
    return text;
}

void WriteDword(HKEY key, const char* value, DWORD v)
{
    RegSetValueExA(key, value, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof v);
}

// The service's configuration: its type and start, and whether its key is there.
struct Config {
    bool exists = false;
    DWORD type = 0, start = SERVICE_DEMAND_START;
    bool deleting = false;
    std::string imagePath;
};

Config ReadConfig(const std::string& name)
{
    Config c;
    HKEY key = OpenServiceKey(name, KEY_READ);
    if (!key) return c;
    c.exists = true;
    c.type = ReadDword(key, "Type", 0);
    c.start = ReadDword(key, "Start", SERVICE_DEMAND_START);
    c.deleting = ReadDword(key, "DeleteFlag", 0) != 0;
    c.imagePath = ReadText(key, "ImagePath");
    RegCloseKey(key);
    return c;
}

bool IsDriver(DWORD type) { return (type & (SERVICE_KERNEL_DRIVER | SERVICE_FILE_SYSTEM_DRIVER)) != 0; }

// The running state: the Status subkey (made volatile on first use).
HKEY OpenStatus(const std::string& name, bool create)
{
    HKEY key = nullptr;
    std::string path = KeyOf(name) + "\\Status";
    if (create) {
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr,
                            &key, nullptr) != ERROR_SUCCESS)
            return nullptr;
        return key;
    }
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS ? key : nullptr;
}

void WriteStatus(const std::string& name, const SERVICE_STATUS& s, DWORD process)
{
    HKEY key = OpenStatus(name, true);
    if (!key) return;
    WriteDword(key, "State", s.dwCurrentState);
    WriteDword(key, "Controls", s.dwControlsAccepted);
    WriteDword(key, "ExitCode", s.dwWin32ExitCode);
    WriteDword(key, "SpecificExitCode", s.dwServiceSpecificExitCode);
    WriteDword(key, "CheckPoint", s.dwCheckPoint);
    WriteDword(key, "WaitHint", s.dwWaitHint);
    if (process != DWORD(-1)) WriteDword(key, "Process", process);
    RegCloseKey(key);
}

SERVICE_STATUS ReadStatus(const std::string& name, const Config& c)
{
    SERVICE_STATUS s{};
    s.dwServiceType = c.type;
    HKEY key = OpenStatus(name, false);
    if (!key) {
        // A driver the machine's boot loaded runs until it is stopped.
        bool booted = IsDriver(c.type) && c.start <= SERVICE_AUTO_START;
        s.dwCurrentState = booted ? DWORD(SERVICE_RUNNING) : DWORD(SERVICE_STOPPED);
        s.dwControlsAccepted = booted ? DWORD(SERVICE_ACCEPT_STOP) : 0;
        return s;
    }
    s.dwCurrentState = ReadDword(key, "State", SERVICE_STOPPED);
    s.dwControlsAccepted = ReadDword(key, "Controls", 0);
    s.dwWin32ExitCode = ReadDword(key, "ExitCode", 0);
    s.dwServiceSpecificExitCode = ReadDword(key, "SpecificExitCode", 0);
    s.dwCheckPoint = ReadDword(key, "CheckPoint", 0);
    s.dwWaitHint = ReadDword(key, "WaitHint", 0);
    DWORD process = ReadDword(key, "Process", 0);
    RegCloseKey(key);
    // A program that ended without saying so has stopped all the same.
    if (!IsDriver(c.type) && s.dwCurrentState != SERVICE_STOPPED && process &&
        ::kill(pid_t(process), 0) != 0 && errno == ESRCH) {
        s.dwCurrentState = SERVICE_STOPPED;
        s.dwControlsAccepted = 0;
        s.dwWin32ExitCode = ERROR_SERVICE_NOT_ACTIVE;
    }
    return s;
}

// Deletes the service's key with its Status subkey.
void DeleteKeys(const std::string& name)
{
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, (KeyOf(name) + "\\Status").c_str());
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, KeyOf(name).c_str());
}

std::string EventName(const std::string& service, const char* what)
{
    return "ZarService." + Upper(service) + "." + what;
}

std::u16string DriverKeyPath(const std::string& name)
{
    return u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + w32::AnsiToWide(name.c_str());
}

// The service database's lock: one named semaphore of the machine. This
// process's own hold lets it start services meanwhile.
HANDLE databaseLock = nullptr;
bool databaseLockHeld = false;

bool DatabaseLockedByOther()
{
    std::lock_guard<std::mutex> g(handlesLock);
    if (databaseLockHeld) return false;
    HANDLE sem = CreateSemaphoreA(nullptr, 1, 1, "ZarServiceDatabaseLock");
    if (!sem) return false;
    bool locked = WaitForSingleObject(sem, 0) != WAIT_OBJECT_0;
    if (!locked) ReleaseSemaphore(sem, 1, nullptr);
    CloseHandle(sem);
    return locked;
}

// The program's host file and arguments from an ImagePath: a quoted or a
// plain first word, %SystemRoot% as C:\WINNT, and a drive path taken in the
// machine's folder.
std::vector<std::string> ProgramOf(std::string image)
{
    std::vector<std::string> words;
    if (image.size() >= kSystemRootLength && Upper(image.substr(0, kSystemRootLength)) == "%SYSTEMROOT%")
        image = "C:\\WINNT" + image.substr(kSystemRootLength);
    if (image.size() >= 11 && Upper(image.substr(0, 11)) == "\\SYSTEMROOT") image = "C:\\WINNT" + image.substr(11);
    size_t at = 0;
    while (at < image.size()) {
        while (at < image.size() && image[at] == ' ') at++;
        if (at >= image.size()) break;
        size_t end;
        if (image[at] == '"') {
            end = image.find('"', at + 1);
            if (end == std::string::npos) end = image.size();
            words.push_back(image.substr(at + 1, end - at - 1));
            at = end + 1;
        } else {
            end = image.find(' ', at);
            if (end == std::string::npos) end = image.size();
            words.push_back(image.substr(at, end - at));
            at = end;
        }
    }
    if (words.empty()) return words;
    std::string& program = words[0];
    const char* folder = std::getenv("ZAR_MACHINE");
    if (program.size() > 2 && program[1] == ':' && std::isalpha(static_cast<unsigned char>(program[0])) && folder) {
        std::string path = std::string(folder) + "/drives/" + char(std::toupper(static_cast<unsigned char>(program[0])));
        for (size_t i = 2; i < program.size(); i++) path += program[i] == '\\' ? '/' : program[i];
        program = path;
    }
    return words;
}

// Runs a program's service as a client process of the machine's host (under
// the emulator, when the system's programs run under one).
bool Spawn(const std::string& service, const std::vector<std::string>& words, pid_t* pid)
{
    std::vector<std::string> argv;
    const char* emulator = std::getenv("ZAR_EMULATOR");
    if (emulator && *emulator) argv.push_back(emulator);
    argv.insert(argv.end(), words.begin(), words.end());
    std::vector<char*> cargv;
    for (auto& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "ZAR_SERVICE=", 12) != 0) env.push_back(*e);
    env.push_back("ZAR_SERVICE=" + service);
    std::vector<char*> cenv;
    for (auto& e : env) cenv.push_back(e.data());
    cenv.push_back(nullptr);
    if (::posix_spawn(pid, cargv[0], nullptr, nullptr, cargv.data(), cenv.data()) != 0) return false;
    // Reaped when it ends, whoever asks for its state meanwhile.
    pid_t child = *pid;
    try {
        std::thread([child] { ::waitpid(child, nullptr, 0); }).detach();
    } catch (const std::system_error&) {
    }
    return true;
}

BOOL Fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

SC_HANDLE__* ServiceHandle(SC_HANDLE h)
{
    return Live(h) && !h->manager ? h : nullptr;
}

}  // namespace

SC_HANDLE OpenSCManagerA(LPCSTR lpMachineName, LPCSTR lpDatabaseName, DWORD dwDesiredAccess)
{
    if (lpMachineName && *lpMachineName) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    if (lpDatabaseName && std::strcmp(lpDatabaseName, "ServicesActive") != 0) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    return Keep(new SC_HANDLE__{true, {}, dwDesiredAccess});
}

SC_HANDLE CreateServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, LPCSTR lpDisplayName, DWORD dwDesiredAccess,
                         DWORD dwServiceType, DWORD dwStartType, DWORD dwErrorControl, LPCSTR lpBinaryPathName,
                         LPCSTR lpLoadOrderGroup, LPDWORD lpdwTagId, LPCSTR, LPCSTR, LPCSTR)
{
    if (!Live(hSCManager) || !hSCManager->manager) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (!ValidName(lpServiceName)) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    DWORD kind = dwServiceType & ~DWORD(SERVICE_INTERACTIVE_PROCESS);
    bool driver = kind == SERVICE_KERNEL_DRIVER || kind == SERVICE_FILE_SYSTEM_DRIVER;
    bool program = kind == SERVICE_WIN32_OWN_PROCESS || kind == SERVICE_WIN32_SHARE_PROCESS;
    if ((!driver && !program) || (driver && (dwServiceType & SERVICE_INTERACTIVE_PROCESS)) ||
        dwStartType > SERVICE_DISABLED || (program && dwStartType < SERVICE_AUTO_START) ||
        dwErrorControl > SERVICE_ERROR_CRITICAL || !lpBinaryPathName || !*lpBinaryPathName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    Config existing = ReadConfig(lpServiceName);
    if (existing.exists) {
        SetLastError(existing.deleting ? ERROR_SERVICE_MARKED_FOR_DELETE : ERROR_SERVICE_EXISTS);
        return nullptr;
    }
    HKEY key = nullptr;
    LSTATUS r = RegCreateKeyExA(HKEY_LOCAL_MACHINE, KeyOf(lpServiceName).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                nullptr, &key, nullptr);
    if (r != ERROR_SUCCESS) {
        SetLastError(DWORD(r));
        return nullptr;
    }
    WriteDword(key, "Type", dwServiceType);
    WriteDword(key, "Start", dwStartType);
    WriteDword(key, "ErrorControl", dwErrorControl);
    RegSetValueExA(key, "ImagePath", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(lpBinaryPathName),
                   DWORD(std::strlen(lpBinaryPathName) + 1));
    const char* display = lpDisplayName ? lpDisplayName : lpServiceName;
    RegSetValueExA(key, "DisplayName", 0, REG_SZ, reinterpret_cast<const BYTE*>(display),
                   DWORD(std::strlen(display) + 1));
    RegCloseKey(key);
    // Made now: stopped until started, whatever its start type.
    WriteStatus(lpServiceName, SERVICE_STATUS{dwServiceType, SERVICE_STOPPED, 0, 0, 0, 0, 0}, 0);
    if (lpdwTagId) *lpdwTagId = lpLoadOrderGroup && *lpLoadOrderGroup ? 1 : 0;
    return Keep(new SC_HANDLE__{false, lpServiceName, dwDesiredAccess});
}

SC_HANDLE OpenServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, DWORD dwDesiredAccess)
{
    if (!Live(hSCManager) || !hSCManager->manager) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (!ValidName(lpServiceName)) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    if (!ReadConfig(lpServiceName).exists) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    return Keep(new SC_HANDLE__{false, lpServiceName, dwDesiredAccess});
}

BOOL CloseServiceHandle(SC_HANDLE hSCObject)
{
    if (!Drop(hSCObject)) return Fail(ERROR_INVALID_HANDLE);
    delete hSCObject;
    return TRUE;
}

BOOL QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus)
{
    SC_HANDLE__* h = ServiceHandle(hService);
    if (!h) return Fail(ERROR_INVALID_HANDLE);
    if (!lpServiceStatus) return Fail(ERROR_INVALID_PARAMETER);
    Config c = ReadConfig(h->name);
    if (!c.exists) return Fail(ERROR_SERVICE_DOES_NOT_EXIST);
    *lpServiceStatus = ReadStatus(h->name, c);
    return TRUE;
}

BOOL StartServiceA(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCSTR* lpServiceArgVectors)
{
    SC_HANDLE__* h = ServiceHandle(hService);
    if (!h) return Fail(ERROR_INVALID_HANDLE);
    Config c = ReadConfig(h->name);
    if (!c.exists) return Fail(ERROR_SERVICE_DOES_NOT_EXIST);
    if (c.deleting) return Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
    if (c.start == SERVICE_DISABLED) return Fail(ERROR_SERVICE_DISABLED);
    if (DatabaseLockedByOther()) return Fail(ERROR_SERVICE_DATABASE_LOCKED);
    if (IsDriver(c.type)) {  // the kernel knows whether it is loaded
        std::u16string path = DriverKeyPath(h->name);
        UNICODE_STRING us{USHORT(path.size() * 2), USHORT(path.size() * 2), path.data()};
        NTSTATUS status = NtLoadDriver(&us);
        if (status == NTSTATUS(0xC000010E)) return Fail(ERROR_SERVICE_ALREADY_RUNNING);  // STATUS_IMAGE_ALREADY_LOADED
        if (status == STATUS_DRIVER_UNABLE_TO_LOAD || status == STATUS_OBJECT_NAME_NOT_FOUND)
            return Fail(ERROR_FILE_NOT_FOUND);
        if (!NT_SUCCESS(status)) {
            w32::SetLastNtError(status);
            return FALSE;
        }
        WriteStatus(h->name, SERVICE_STATUS{c.type, SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0, 0, 0}, 0);
        return TRUE;
    }
    if (ReadStatus(h->name, c).dwCurrentState != SERVICE_STOPPED) return Fail(ERROR_SERVICE_ALREADY_RUNNING);
    // A program's service: its process, then its dispatcher's word that it runs.
    std::vector<std::string> words = ProgramOf(c.imagePath);
    if (words.empty()) return Fail(ERROR_BAD_EXE_FORMAT);
    for (DWORD i = 0; i < dwNumServiceArgs && lpServiceArgVectors; i++)
        if (lpServiceArgVectors[i]) words.push_back(lpServiceArgVectors[i]);
    HANDLE connected = CreateEventA(nullptr, TRUE, FALSE, EventName(h->name, "Connected").c_str());
    if (!connected) return FALSE;
    ResetEvent(connected);
    WriteStatus(h->name, SERVICE_STATUS{c.type, SERVICE_START_PENDING, 0, 0, 0, 0, kConnectMs}, 0);
    pid_t pid = 0;
    if (!Spawn(h->name, words, &pid)) {
        CloseHandle(connected);
        WriteStatus(h->name, SERVICE_STATUS{c.type, SERVICE_STOPPED, 0, ERROR_FILE_NOT_FOUND, 0, 0, 0}, 0);
        return Fail(ERROR_FILE_NOT_FOUND);
    }
    WriteStatus(h->name, SERVICE_STATUS{c.type, SERVICE_START_PENDING, 0, 0, 0, 0, kConnectMs}, DWORD(pid));
    // Its program may end before it connects: looked at every 50 ms.
    DWORD waited = 0;
    DWORD outcome = WAIT_TIMEOUT;
    while (waited < kConnectMs) {
        outcome = WaitForSingleObject(connected, 50);
        if (outcome != WAIT_TIMEOUT) break;
        if (::kill(pid, 0) != 0 && errno == ESRCH) break;
        waited += 50;
    }
    CloseHandle(connected);
    if (outcome == WAIT_OBJECT_0) return TRUE;
    ::kill(pid, SIGKILL);
    WriteStatus(h->name, SERVICE_STATUS{c.type, SERVICE_STOPPED, 0, ERROR_SERVICE_REQUEST_TIMEOUT, 0, 0, 0}, 0);
    return Fail(ERROR_SERVICE_REQUEST_TIMEOUT);
}

BOOL ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus)
{
    SC_HANDLE__* h = ServiceHandle(hService);
    if (!h) return Fail(ERROR_INVALID_HANDLE);
    if (!lpServiceStatus) return Fail(ERROR_INVALID_PARAMETER);
    if (dwControl < SERVICE_CONTROL_STOP || dwControl > SERVICE_CONTROL_INTERROGATE)
        return Fail(ERROR_INVALID_SERVICE_CONTROL);
    Config c = ReadConfig(h->name);
    if (!c.exists) return Fail(ERROR_SERVICE_DOES_NOT_EXIST);
    SERVICE_STATUS now = ReadStatus(h->name, c);
    if (now.dwCurrentState == SERVICE_STOPPED) return Fail(ERROR_SERVICE_NOT_ACTIVE);
    DWORD accepted = ~DWORD(0);  // an interrogation always is
    if (dwControl == SERVICE_CONTROL_STOP) accepted = SERVICE_ACCEPT_STOP;
    if (dwControl == SERVICE_CONTROL_PAUSE || dwControl == SERVICE_CONTROL_CONTINUE)
        accepted = SERVICE_ACCEPT_PAUSE_CONTINUE;
    if (!(now.dwControlsAccepted & accepted)) {
        *lpServiceStatus = now;
        return Fail(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
    }
    if (IsDriver(c.type)) {
        if (dwControl != SERVICE_CONTROL_STOP) return Fail(ERROR_INVALID_SERVICE_CONTROL);
        std::u16string path = DriverKeyPath(h->name);
        UNICODE_STRING us{USHORT(path.size() * 2), USHORT(path.size() * 2), path.data()};
        NTSTATUS status = NtUnloadDriver(&us);
        if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
            WriteStatus(h->name, SERVICE_STATUS{c.type, SERVICE_STOPPED, 0, 0, 0, 0, 0}, 0);
            return Fail(ERROR_SERVICE_NOT_ACTIVE);
        }
        if (status == STATUS_INVALID_DEVICE_REQUEST) return Fail(ERROR_INVALID_SERVICE_CONTROL);  // no unload routine
        if (!NT_SUCCESS(status)) {
            w32::SetLastNtError(status);
            return FALSE;
        }
        WriteStatus(h->name, SERVICE_STATUS{c.type, SERVICE_STOPPED, 0, 0, 0, 0, 0}, 0);
        *lpServiceStatus = ReadStatus(h->name, c);
        if (c.deleting) DeleteKeys(h->name);
        return TRUE;
    }
    // A program's service: the control to its dispatcher, which answers once
    // its handler returned.
    HANDLE control = OpenEventA(EVENT_MODIFY_STATE, FALSE, EventName(h->name, "Control").c_str());
    HANDLE answered = CreateEventA(nullptr, FALSE, FALSE, EventName(h->name, "Answered").c_str());
    if (!control || !answered) {
        if (control) CloseHandle(control);
        if (answered) CloseHandle(answered);
        return Fail(ERROR_SERVICE_NOT_ACTIVE);
    }
    HKEY status = OpenStatus(h->name, true);
    if (status) {
        WriteDword(status, "Control", dwControl);
        RegCloseKey(status);
    }
    SetEvent(control);
    DWORD outcome = WaitForSingleObject(answered, kConnectMs);
    CloseHandle(control);
    CloseHandle(answered);
    *lpServiceStatus = ReadStatus(h->name, c);
    if (outcome != WAIT_OBJECT_0) return Fail(ERROR_SERVICE_REQUEST_TIMEOUT);
    return TRUE;
}

BOOL DeleteService(SC_HANDLE hService)
{
    SC_HANDLE__* h = ServiceHandle(hService);
    if (!h) return Fail(ERROR_INVALID_HANDLE);
    Config c = ReadConfig(h->name);
    if (!c.exists) return Fail(ERROR_SERVICE_DOES_NOT_EXIST);
    if (c.deleting) return Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
    if (ReadStatus(h->name, c).dwCurrentState == SERVICE_STOPPED) {
        DeleteKeys(h->name);
        return TRUE;
    }
    HKEY key = OpenServiceKey(h->name, KEY_ALL_ACCESS);
    if (!key) return Fail(ERROR_SERVICE_DOES_NOT_EXIST);
    WriteDword(key, "DeleteFlag", 1);
    RegCloseKey(key);
    return TRUE;
}

SC_LOCK LockServiceDatabase(SC_HANDLE hSCManager)
{
    if (!Live(hSCManager) || !hSCManager->manager) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    std::lock_guard<std::mutex> g(handlesLock);
    if (databaseLockHeld) {
        SetLastError(ERROR_SERVICE_DATABASE_LOCKED);
        return nullptr;
    }
    HANDLE sem = CreateSemaphoreA(nullptr, 1, 1, "ZarServiceDatabaseLock");
    if (!sem) return nullptr;
    if (WaitForSingleObject(sem, 0) != WAIT_OBJECT_0) {
        CloseHandle(sem);
        SetLastError(ERROR_SERVICE_DATABASE_LOCKED);
        return nullptr;
    }
    databaseLock = sem;
    databaseLockHeld = true;
    handles.insert(sem);
    return sem;
}

BOOL UnlockServiceDatabase(SC_LOCK ScLock)
{
    std::lock_guard<std::mutex> g(handlesLock);
    if (!ScLock || ScLock != databaseLock || !handles.erase(ScLock)) {
        SetLastError(ERROR_INVALID_SERVICE_LOCK);
        return FALSE;
    }
    ReleaseSemaphore(databaseLock, 1, nullptr);
    CloseHandle(databaseLock);
    databaseLock = nullptr;
    databaseLockHeld = false;
    return TRUE;
}

// ---- In a service's program ----

namespace {

std::mutex dispatcherLock;
SERVICE_STATUS_HANDLE__* registered = nullptr;  // the handler RegisterServiceCtrlHandler gave (with 'dispatcherLock')
HANDLE stopped = nullptr;                       // set once the service reported SERVICE_STOPPED

// A ServiceMain of either kind, and the arguments it gets.
struct MainStart {
    LPSERVICE_MAIN_FUNCTIONA mainA;
    LPSERVICE_MAIN_FUNCTIONW mainW;
    std::vector<std::string> args;
};

DWORD WINAPI RunServiceMain(LPVOID context)
{
    std::unique_ptr<MainStart> start(static_cast<MainStart*>(context));
    if (start->mainW) {
        std::vector<std::u16string> wide;
        for (auto& a : start->args) wide.push_back(w32::AnsiToWide(a.c_str()));
        std::vector<LPWSTR> argv;
        for (auto& a : wide) argv.push_back(a.data());
        argv.push_back(nullptr);
        start->mainW(DWORD(wide.size()), argv.data());
        return 0;
    }
    std::vector<char*> argv;
    for (auto& a : start->args) argv.push_back(a.data());
    argv.push_back(nullptr);
    start->mainA(DWORD(start->args.size()), argv.data());
    return 0;
}

BOOL RunDispatcher(const char* name, MainStart* start);

}  // namespace

BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* lpServiceStartTable)
{
    if (!lpServiceStartTable || !lpServiceStartTable->lpServiceProc) return Fail(ERROR_INVALID_PARAMETER);
    const char* name = std::getenv("ZAR_SERVICE");
    if (!name || !*name) return Fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    const SERVICE_TABLE_ENTRYA* entry = lpServiceStartTable;
    // A program of several services runs the one it was started for.
    for (const SERVICE_TABLE_ENTRYA* e = lpServiceStartTable; e->lpServiceProc; e++)
        if (e->lpServiceName && Upper(e->lpServiceName) == Upper(name)) entry = e;
    return RunDispatcher(name, new MainStart{entry->lpServiceProc, nullptr, {name}});
}

BOOL StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* lpServiceStartTable)
{
    if (!lpServiceStartTable || !lpServiceStartTable->lpServiceProc) return Fail(ERROR_INVALID_PARAMETER);
    const char* name = std::getenv("ZAR_SERVICE");
    if (!name || !*name) return Fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    const SERVICE_TABLE_ENTRYW* entry = lpServiceStartTable;
    std::u16string wanted = w32::AnsiToWide(Upper(name).c_str());
    for (const SERVICE_TABLE_ENTRYW* e = lpServiceStartTable; e->lpServiceProc; e++) {
        if (!e->lpServiceName) continue;
        std::u16string entryName(e->lpServiceName);
        for (char16_t& c : entryName)
            if (c >= u'a' && c <= u'z') c = char16_t(c - u'a' + u'A');
        if (entryName == wanted) entry = e;
    }
    return RunDispatcher(name, new MainStart{nullptr, entry->lpServiceProc, {name}});
}

namespace {

// The dispatcher of the service 'name': its ServiceMain on a thread of its
// own, the controls until the service reports it stopped.
BOOL RunDispatcher(const char* name, MainStart* start)
{
    HANDLE control = CreateEventA(nullptr, FALSE, FALSE, EventName(name, "Control").c_str());
    HANDLE answered = CreateEventA(nullptr, FALSE, FALSE, EventName(name, "Answered").c_str());
    HANDLE connected = OpenEventA(EVENT_MODIFY_STATE, FALSE, EventName(name, "Connected").c_str());
    stopped = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!control || !answered || !connected || !stopped) {
        delete start;
        return Fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    }
    HANDLE main = CreateThread(nullptr, 0, RunServiceMain, start, 0, nullptr);
    if (!main) {
        delete start;
        return Fail(ERROR_SERVICE_NO_THREAD);
    }
    SetEvent(connected);
    CloseHandle(connected);
    // Controls until the service says it stopped.
    HANDLE waits[2] = {stopped, control};
    for (;;) {
        DWORD w = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
        if (w != WAIT_OBJECT_0 + 1) break;
        DWORD code = 0;
        HKEY status = OpenStatus(name, false);
        if (status) {
            code = ReadDword(status, "Control", 0);
            RegDeleteValueA(status, "Control");
            RegCloseKey(status);
        }
        LPHANDLER_FUNCTION handler = nullptr;
        {
            std::lock_guard<std::mutex> g(dispatcherLock);
            if (registered) handler = registered->handler;
        }
        if (handler && code) handler(code);
        SetEvent(answered);
    }
    WaitForSingleObject(main, INFINITE);
    CloseHandle(main);
    CloseHandle(control);
    CloseHandle(answered);
    return TRUE;
}

}  // namespace

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(LPCSTR lpServiceName, LPHANDLER_FUNCTION lpHandlerProc)
{
    const char* name = std::getenv("ZAR_SERVICE");
    if (!lpHandlerProc || !lpServiceName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (!name || !stopped || Upper(lpServiceName) != Upper(name)) {
        SetLastError(ERROR_SERVICE_NOT_IN_EXE);
        return nullptr;
    }
    std::lock_guard<std::mutex> g(dispatcherLock);
    if (!registered) registered = new SERVICE_STATUS_HANDLE__{name, lpHandlerProc};
    registered->handler = lpHandlerProc;
    return registered;
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus, LPSERVICE_STATUS lpServiceStatus)
{
    {
        std::lock_guard<std::mutex> g(dispatcherLock);
        if (!hServiceStatus || hServiceStatus != registered) return Fail(ERROR_INVALID_HANDLE);
    }
    if (!lpServiceStatus || lpServiceStatus->dwCurrentState < SERVICE_STOPPED ||
        lpServiceStatus->dwCurrentState > SERVICE_PAUSED)
        return Fail(ERROR_INVALID_DATA);
    const std::string& name = hServiceStatus->name;
    WriteStatus(name, *lpServiceStatus, DWORD(::getpid()));
    if (lpServiceStatus->dwCurrentState == SERVICE_STOPPED) {
        if (ReadConfig(name).deleting) DeleteKeys(name);
        SetEvent(stopped);
    }
    return TRUE;
}

// ---- The wide calls ----

namespace {

// A wide string the call takes as ANSI: 'ok' false when the code page
// cannot hold it (the call then fails rather than naming something else).
struct Narrowed {
    bool present = false;
    bool ok = true;
    std::string text;
    explicit Narrowed(LPCWSTR s)
    {
        if (!s) return;
        present = true;
        std::u16string wide(s);
        text = w32::WideToAnsi(wide);
        ok = w32::AnsiToWide(text.c_str()) == wide && text.find('\0') == std::string::npos;
    }
    LPCSTR Get() const { return present ? text.c_str() : nullptr; }
};

template <typename... Strings>
bool AllNarrowed(const Strings&... strings)
{
    return (strings.ok && ...);
}

}  // namespace

SC_HANDLE OpenSCManagerW(LPCWSTR lpMachineName, LPCWSTR lpDatabaseName, DWORD dwDesiredAccess)
{
    Narrowed machine(lpMachineName), database(lpDatabaseName);
    if (!AllNarrowed(machine, database)) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    return OpenSCManagerA(machine.Get(), database.Get(), dwDesiredAccess);
}

SC_HANDLE CreateServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, LPCWSTR lpDisplayName, DWORD dwDesiredAccess,
                         DWORD dwServiceType, DWORD dwStartType, DWORD dwErrorControl, LPCWSTR lpBinaryPathName,
                         LPCWSTR lpLoadOrderGroup, LPDWORD lpdwTagId, LPCWSTR lpDependencies,
                         LPCWSTR lpServiceStartName, LPCWSTR lpPassword)
{
    Narrowed name(lpServiceName), display(lpDisplayName), path(lpBinaryPathName), group(lpLoadOrderGroup);
    Narrowed dependencies(lpDependencies), account(lpServiceStartName), password(lpPassword);
    if (!Live(hSCManager)) {  // a bad handle is told first, as in the ANSI call
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (!name.ok) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    if (!AllNarrowed(display, path, group, dependencies, account, password)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return CreateServiceA(hSCManager, name.Get(), display.Get(), dwDesiredAccess, dwServiceType, dwStartType,
                          dwErrorControl, path.Get(), group.Get(), lpdwTagId, dependencies.Get(), account.Get(),
                          password.Get());
}

SC_HANDLE OpenServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, DWORD dwDesiredAccess)
{
    Narrowed name(lpServiceName);
    if (Live(hSCManager) && !name.ok) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    return OpenServiceA(hSCManager, name.Get(), dwDesiredAccess);
}

BOOL StartServiceW(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCWSTR* lpServiceArgVectors)
{
    std::vector<Narrowed> args;
    for (DWORD i = 0; i < dwNumServiceArgs && lpServiceArgVectors; i++) {
        args.emplace_back(lpServiceArgVectors[i]);
        if (!args.back().ok && ServiceHandle(hService)) return Fail(ERROR_INVALID_PARAMETER);
    }
    std::vector<LPCSTR> narrow;
    for (const auto& a : args) narrow.push_back(a.Get());
    return StartServiceA(hService, DWORD(narrow.size()), narrow.empty() ? nullptr : narrow.data());
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerW(LPCWSTR lpServiceName, LPHANDLER_FUNCTION lpHandlerProc)
{
    Narrowed name(lpServiceName);
    if (!name.ok) {  // no service of this program has such a name
        SetLastError(ERROR_SERVICE_NOT_IN_EXE);
        return nullptr;
    }
    return RegisterServiceCtrlHandlerA(name.Get(), lpHandlerProc);
}
