#pragma once

#include "support/ImportHook.h"

#include <windows.h>

// Makes every GetCurrentDirectoryW call of this executable fail with `status`
// while the object lives, as a directory that has gone away would.
class FailingDirectoryQuery {
public:
    explicit FailingDirectoryQuery(DWORD status);
    ~FailingDirectoryQuery() = default;
    FailingDirectoryQuery(const FailingDirectoryQuery&) = delete;
    FailingDirectoryQuery& operator=(const FailingDirectoryQuery&) = delete;
    FailingDirectoryQuery(FailingDirectoryQuery&&) = delete;
    FailingDirectoryQuery& operator=(FailingDirectoryQuery&&) = delete;

private:
    ImportHook<decltype(GetCurrentDirectoryW)> m_hook;
};
