// The application object: one a module, found with AfxGetApp, holding the
// application's name and the registry key under which its profile lives
// (HKEY_CURRENT_USER\Software\<key>\<application name>).
#pragma once

#include <string>

#include "wnd.h"

class CWinThread : public CObject {
public:
    virtual BOOL InitInstance() { return TRUE; }
    virtual int ExitInstance() { return 0; }
    // The message loop of the thread, until WM_QUIT; its exit code.
    virtual int Run();
    CWnd* m_pMainWnd = nullptr;
};

class CWinApp : public CWinThread {
public:
    explicit CWinApp(const char* appName = nullptr);
    ~CWinApp() override;

    void SetRegistryKey(const char* key);
    UINT GetProfileInt(const char* section, const char* entry, int defaultValue);
    BOOL WriteProfileInt(const char* section, const char* entry, int value);
    std::string GetProfileString(const char* section, const char* entry, const char* defaultValue = "");
    BOOL WriteProfileString(const char* section, const char* entry, const char* value);
    void EnableControlContainer() {}

    std::string m_pszAppName;
    std::string m_pszRegistryKey;
    HINSTANCE m_hInstance = nullptr;

private:
    HKEY SectionKey(const char* section, bool create);
};

CWinApp* AfxGetApp();
int AfxMessageBox(const char* text, UINT type = MB_OK);
