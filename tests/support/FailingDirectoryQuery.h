#pragma once

#include <windows.h>

// A stand-in for GetCurrentDirectoryW (see ImportHook) that fails as a
// working directory that has gone away makes it fail.
inline DWORD WINAPI FailingDirectoryQuery(DWORD /*length*/, LPWSTR /*buffer*/)
{
    SetLastError(ERROR_PATH_NOT_FOUND);
    return 0;
}
