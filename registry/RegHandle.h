#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace winreg {

// The fixed messages of the errors that RegHandle raises, naming the failed call.
inline constexpr const char* OpenOrCreateFailed = "RegCreateKeyExW failed.";
inline constexpr const char* RemoveValueFailed = "RegDeleteValueW failed.";

// Sole owner of one open registry key. The key is closed by Release() or by
// destruction, whichever comes first, and never more than once. Predefined
// roots such as HKEY_CURRENT_USER are never closed.
class RegHandle {
public:
    RegHandle() noexcept = default;
    // Takes ownership of an already open key (or of a predefined root).
    explicit RegHandle(HKEY key) noexcept;
    ~RegHandle();

    RegHandle(const RegHandle&) = delete;
    RegHandle& operator=(const RegHandle&) = delete;
    RegHandle(RegHandle&& other) noexcept;
    RegHandle& operator=(RegHandle&& other) noexcept;

    // Opens the key, creating it when absent. Throws RegException
    // (OpenOrCreateFailed) and leaves this object unchanged on failure.
    void OpenOrCreate(HKEY parent, const std::wstring& subKey, REGSAM access);

    // The text of a value that the system delivers as a string (REG_SZ, or
    // REG_EXPAND_SZ expanded), up to its first null; nothing when the value is
    // missing, is of another type or cannot be read. Never throws for a
    // registry failure.
    [[nodiscard]] std::optional<std::wstring> ProbeString(const std::wstring& valueName) const;

    // Deletes one value. Throws RegException (RemoveValueFailed).
    void RemoveValue(const std::wstring& valueName) const;

    // Closes the key (unless it is a predefined root) and leaves the object empty.
    void Release() noexcept;

    [[nodiscard]] HKEY Get() const noexcept { return m_key; }

    [[nodiscard]] static bool IsPredefinedRoot(HKEY key) noexcept;

private:
    HKEY m_key = nullptr;
};

} // namespace winreg
