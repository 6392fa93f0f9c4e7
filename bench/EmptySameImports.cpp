// Benchmark floor: a GUI program that does nothing, yet binds the same system
// DLLs, the same way, as LayerCleanup.

#include <windows.h>

int WINAPI wWinMain(HINSTANCE /*instance*/, HINSTANCE /*previousInstance*/, PWSTR /*commandLine*/, int /*showMode*/)
{
    // Never true (no process has the idle process's id); it keeps the imports
    // without running them.
    if (GetCurrentProcessId() == 0) {
        HKEY key = nullptr;
        RegCreateKeyExW(HKEY_CURRENT_USER, L"", 0, nullptr, 0, KEY_READ, nullptr, &key, nullptr);
        RegGetValueW(key, nullptr, L"", RRF_RT_REG_SZ, nullptr, nullptr, nullptr);
        RegDeleteValueW(key, L"");
        RegCloseKey(key);
        MessageBoxA(nullptr, "", "", MB_OK);
    }
    return 0;
}
