#include "support/FailingDirectoryQuery.h"

namespace {

DWORD failure = ERROR_SUCCESS;

DWORD WINAPI FailDirectoryQuery(DWORD /*length*/, LPWSTR /*buffer*/)
{
    SetLastError(failure);
    return 0;
}

} // namespace

FailingDirectoryQuery::FailingDirectoryQuery(const DWORD status) : m_hook("GetCurrentDirectoryW", &FailDirectoryQuery)
{
    failure = status;
}
