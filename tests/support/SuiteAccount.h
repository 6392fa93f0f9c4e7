#pragma once

#include "support/OwnRun.h"

#include <string>

// An account that may lose its compatibility settings: the suite's own Wine
// prefix, which its scripts mark, or a throwaway account (a CI runner's, say)
// marked by hand. Only there do the cases run that change the Layers key
// itself (delete it, lock it); anywhere else they are skipped.
namespace suite {

inline const std::wstring MarkValue = L"DisposableAccount";

// Whether the account carries the mark: HKCU\Software\LayerCleanupTests,
// DisposableAccount, a REG_DWORD of 1. Read from the real account, once,
// before anything maps HKEY_CURRENT_USER elsewhere.
[[nodiscard]] bool IsDisposableAccount();

// Why a case that would change the Layers key itself was not run here;
// `change` says what it would have done.
[[nodiscard]] std::string NotDisposableReason(const std::string& change);

} // namespace suite
