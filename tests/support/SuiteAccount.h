#pragma once

#include <string>

// The tests replace the current user's whole Layers key, so they run only on
// an account made for them: the suite's own Wine prefix, which its scripts
// mark with this value. No real user's account has it.
namespace suite {

inline const std::wstring MarkKey = L"Software\\LayerCleanupTests";
inline const std::wstring MarkValue = L"DisposableAccount";

// Whether the current user's registry carries the mark (a REG_DWORD of 1).
[[nodiscard]] bool IsMarkedAccount();

// Why the tests will not run here, and how to run them.
[[nodiscard]] std::string RefusalText();

// Takes the mark away until the object goes, which puts it back.
class Unmarked {
public:
    Unmarked();
    ~Unmarked();
    Unmarked(const Unmarked&) = delete;
    Unmarked& operator=(const Unmarked&) = delete;
    Unmarked(Unmarked&&) = delete;
    Unmarked& operator=(Unmarked&&) = delete;
};

} // namespace suite
