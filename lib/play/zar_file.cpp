// The clip file base: the registry of open clip files, the field-sync
// mutexes and AllowDataOverruns. A reference is taken and the last one
// dropped under the registry lock, so a file found in the registry is
// never one being deleted.

#include "zar_file.h"

#include <map>

#include "include/zardll.h"
#include "zar_app.h"
#include "zar_connection.h"

namespace {

struct Registry {
    Registry() { InitializeCriticalSection(&lock); }
    CRITICAL_SECTION lock;
    std::map<std::u16string, CZarFile*> files;
    HANDLE fieldSync[CZarFile::kMaxBoards] = {};
};

Registry& TheRegistry()
{
    static Registry* registry = new Registry;  // never destroyed: files may outlive static destruction
    return *registry;
}

class Locked {
public:
    Locked() { EnterCriticalSection(&TheRegistry().lock); }
    ~Locked() { LeaveCriticalSection(&TheRegistry().lock); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
};

}  // namespace

CZarFile::CZarFile(std::u16string path) : m_path(std::move(path))
{
    if (m_path.empty()) return;
    Locked held;
    TheRegistry().files[m_path] = this;
}

CZarFile::~CZarFile() = default;

int32_t CZarFile::AddRef()
{
    InterlockedIncrement(&m_references);
    return 0;
}

void CZarFile::Release()
{
    {
        Locked held;
        if (InterlockedDecrement(&m_references) > 0) return;
        auto& files = TheRegistry().files;
        auto it = files.find(m_path);
        if (it != files.end() && it->second == this) files.erase(it);  // a newer file of the path keeps its entry
    }
    delete this;
}

bool CZarFile::FindOpenClipFile(const std::u16string& path, CZarFile** file)
{
    Locked held;
    auto& files = TheRegistry().files;
    auto it = files.find(path);
    if (it == files.end()) return false;
    it->second->AddRef();
    *file = it->second;
    return true;
}

size_t CZarFile::OpenClipFiles()
{
    Locked held;
    return TheRegistry().files.size();
}

bool CZarFile::CreateFieldSyncMutex(uint32_t board)
{
    if (board >= kMaxBoards) return false;
    Locked held;
    HANDLE& mutex = TheRegistry().fieldSync[board];
    if (mutex) return true;
    CZarDll* app = ZarApp();
    mutex = CreateMutexA(app ? app->SecurityAttributes() : nullptr, FALSE,
                         BoardObjectName(ZAR_FIELD_SYNC_MUTEX_PREFIX, board).c_str());
    return mutex != nullptr;
}

bool CZarFile::WaitFieldSyncMutex(uint32_t board)
{
    if (!CreateFieldSyncMutex(board)) return false;
    DWORD result = WaitForSingleObject(TheRegistry().fieldSync[board], kFieldSyncWaitMs);
    return result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
}

void CZarFile::ReleaseFieldSyncMutex(uint32_t board)
{
    if (board < kMaxBoards && TheRegistry().fieldSync[board]) ReleaseMutex(TheRegistry().fieldSync[board]);
}

void CZarFile::CloseFieldSyncMutex(uint32_t board)
{
    if (board >= kMaxBoards) return;
    Locked held;
    HANDLE& mutex = TheRegistry().fieldSync[board];
    if (mutex) CloseHandle(mutex);
    mutex = nullptr;
}

std::string CZarFile::ParametersKeyPath(uint32_t board)
{
    std::string path = "System\\CurrentControlSet\\Services\\ZARKD\\Parameters";
    if (board > 0) path += char('0' + board);
    return path;
}

bool CZarFile::ReadAllowDataOverruns(uint32_t board)
{
    if (board >= kMaxBoards) return false;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, ParametersKeyPath(board).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    DWORD value = 0, type = 0, bytes = sizeof value;
    LSTATUS status = RegQueryValueExA(key, "AllowDataOverruns", nullptr, &type, reinterpret_cast<LPBYTE>(&value), &bytes);
    RegCloseKey(key);
    return status == ERROR_SUCCESS && type == REG_DWORD && bytes == sizeof value && value != 0;
}
