#include "support/SuiteAccount.h"

#include "registry/RegException.h"

#include <windows.h>

bool suite::IsMarkedAccount()
{
    DWORD mark = 0;
    DWORD size = sizeof mark;
    const LONG status =
        RegGetValueW(HKEY_CURRENT_USER, MarkKey.c_str(), MarkValue.c_str(), RRF_RT_REG_DWORD, nullptr, &mark, &size);
    return status == ERROR_SUCCESS && mark == 1;
}

std::string suite::RefusalText()
{
    return "LayerCleanupTests: refusing to run. Its cases delete and rewrite the current user's whole\n"
           "HKCU\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\AppCompatFlags\\Layers key, every\n"
           "compatibility setting of every program, so they run only in the Wine prefix that the suite\n"
           "makes for them, which carries HKCU\\Software\\LayerCleanupTests, DisposableAccount = 1.\n"
           "This account has no such mark: nothing was run and nothing was changed.\n"
           "Run the tests through CTest, which uses the build's own prefix (build/wineprefix):\n"
           "    scripts/test\n"
           "    ctest --preset win64 -R 'RunCleanup' --output-on-failure   # some cases, once scripts/test has run\n";
}

suite::Unmarked::Unmarked()
{
    const LONG status = RegDeleteKeyValueW(HKEY_CURRENT_USER, MarkKey.c_str(), MarkValue.c_str());
    if (status != ERROR_SUCCESS) {
        throw winreg::RegException(status, "RegDeleteKeyValueW failed.");
    }
}

suite::Unmarked::~Unmarked()
{
    const DWORD mark = 1;
    RegSetKeyValueW(HKEY_CURRENT_USER, MarkKey.c_str(), MarkValue.c_str(), REG_DWORD, &mark, sizeof mark);
}
