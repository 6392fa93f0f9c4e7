#include "support/SuiteAccount.h"

#include <windows.h>

bool suite::IsDisposableAccount()
{
    static const bool marked = [] {
        DWORD mark = 0;
        DWORD size = sizeof mark;
        return RegGetValueW(HKEY_CURRENT_USER, own::TestsKey.c_str(), MarkValue.c_str(), RRF_RT_REG_DWORD, nullptr,
                            &mark, &size) == ERROR_SUCCESS &&
               mark == 1;
    }();
    return marked;
}

std::string suite::NotDisposableReason(const std::string& change)
{
    return change + ": such a case runs only on a disposable account (HKCU\\Software\\LayerCleanupTests, "
                    "DisposableAccount = 1), and this one is not marked as one";
}
