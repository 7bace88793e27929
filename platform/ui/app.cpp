#include "app.h"

#include <cstring>

namespace {
CWinApp* theApp = nullptr;
}

CWinApp* AfxGetApp() { return theApp; }

CWinApp::CWinApp(const char* appName)
{
    if (appName) m_pszAppName = appName;
    theApp = this;
}

CWinApp::~CWinApp()
{
    if (theApp == this) theApp = nullptr;
}

int CWinThread::Run()
{
    MSG msg;
    BOOL got;
    while ((got = GetMessageA(&msg, nullptr, 0, 0)) != 0) {
        if (got == -1) break;
        HWND root = msg.hwnd ? GetAncestor(msg.hwnd, GA_ROOT) : nullptr;
        if (root && IsDialogMessageA(root, &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    ExitInstance();
    return static_cast<int>(msg.wParam);
}

void CWinApp::SetRegistryKey(const char* key) { m_pszRegistryKey = key ? key : ""; }

HKEY CWinApp::SectionKey(const char* section, bool create)
{
    if (m_pszRegistryKey.empty() || !section) return nullptr;
    const std::string path = "Software\\" + m_pszRegistryKey + "\\" + m_pszAppName + "\\" + section;
    HKEY key = nullptr;
    LONG r = create ? RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr)
                    : RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key);
    return r == ERROR_SUCCESS ? key : nullptr;
}

UINT CWinApp::GetProfileInt(const char* section, const char* entry, int defaultValue)
{
    HKEY key = SectionKey(section, false);
    if (!key) return static_cast<UINT>(defaultValue);
    DWORD value = 0, type = 0, size = sizeof value;
    const LONG r = RegQueryValueExA(key, entry, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    RegCloseKey(key);
    return r == ERROR_SUCCESS && type == REG_DWORD ? value : static_cast<UINT>(defaultValue);
}

BOOL CWinApp::WriteProfileInt(const char* section, const char* entry, int value)
{
    HKEY key = SectionKey(section, true);
    if (!key) return FALSE;
    const DWORD v = static_cast<DWORD>(value);
    const LONG r = RegSetValueExA(key, entry, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof v);
    RegCloseKey(key);
    return r == ERROR_SUCCESS;
}

std::string CWinApp::GetProfileString(const char* section, const char* entry, const char* defaultValue)
{
    HKEY key = SectionKey(section, false);
    if (!key) return defaultValue ? defaultValue : "";
    char buffer[1024] = {};
    DWORD type = 0, size = sizeof buffer - 1;
    const LONG r = RegQueryValueExA(key, entry, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
    RegCloseKey(key);
    return r == ERROR_SUCCESS && type == REG_SZ ? std::string(buffer) : std::string(defaultValue ? defaultValue : "");
}

BOOL CWinApp::WriteProfileString(const char* section, const char* entry, const char* value)
{
    HKEY key = SectionKey(section, true);
    if (!key) return FALSE;
    const LONG r = value ? RegSetValueExA(key, entry, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                                          static_cast<DWORD>(std::strlen(value) + 1))
                         : RegDeleteValueA(key, entry);
    RegCloseKey(key);
    return r == ERROR_SUCCESS;
}

int AfxMessageBox(const char* text, UINT type)
{
    CWinApp* app = AfxGetApp();
    HWND owner = app && app->m_pMainWnd ? app->m_pMainWnd->m_hWnd : GetActiveWindow();
    return MessageBoxA(owner, text, app && !app->m_pszAppName.empty() ? app->m_pszAppName.c_str() : nullptr, type);
}
