#include "registry/RegHandle.h"

#include "registry/RegException.h"

#include <algorithm>
#include <array>
#include <utility>

namespace winreg {

RegHandle::RegHandle(HKEY key) noexcept : m_key(key) {}

RegHandle::~RegHandle()
{
    Release();
}

RegHandle::RegHandle(RegHandle&& other) noexcept : m_key(std::exchange(other.m_key, nullptr)) {}

RegHandle& RegHandle::operator=(RegHandle&& other) noexcept
{
    if (this != &other) {
        Release();
        m_key = std::exchange(other.m_key, nullptr);
    }
    return *this;
}

void RegHandle::OpenOrCreate(HKEY parent, const std::wstring& subKey, const REGSAM access)
{
    HKEY opened = nullptr;
    const LONG status =
        RegCreateKeyExW(parent, subKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr, &opened, nullptr);
    if (status != ERROR_SUCCESS) {
        throw RegException(status, OpenOrCreateFailed);
    }
    // Never leak a key that this object already held.
    Release();
    m_key = opened;
}

std::optional<std::wstring> RegHandle::ProbeString(const std::wstring& valueName) const
{
    DWORD announced = 0;
    if (RegGetValueW(m_key, nullptr, valueName.c_str(), RRF_RT_REG_SZ, nullptr, nullptr, &announced) != ERROR_SUCCESS) {
        return std::nullopt;
    }

    // The read is given room for one character more than the size query
    // announced: the system terminates string data stored without a null,
    // and some size queries (Wine's, for instance) leave that null out. A
    // value that grew by more than that between the two reads counts as absent.
    constexpr DWORD terminator = sizeof(wchar_t);
    if (announced > MAXDWORD - terminator) {
        return std::nullopt;
    }
    DWORD byteCount = announced + terminator;

    // The buffer holds as many characters as the read states bytes: some
    // registry implementations expand REG_EXPAND_SZ data into it counting its
    // size in characters, and may write that many before they report
    // ERROR_MORE_DATA. The spare room keeps such a write inside the buffer.
    std::wstring text(byteCount, L' ');
    if (RegGetValueW(m_key, nullptr, valueName.c_str(), RRF_RT_REG_SZ, nullptr, text.data(), &byteCount) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }

    // The text is what was delivered, up to its first null: data stored
    // without a terminator, or of an odd size, then reads the same whether or
    // not the system terminated it.
    text.resize(std::min(text.size(), std::size_t{byteCount} / sizeof(wchar_t)));
    text.resize(std::min(text.size(), text.find(L'\0')));
    return text;
}

void RegHandle::RemoveValue(const std::wstring& valueName) const
{
    const LONG status = RegDeleteValueW(m_key, valueName.c_str());
    if (status != ERROR_SUCCESS) {
        throw RegException(status, RemoveValueFailed);
    }
}

void RegHandle::Release() noexcept
{
    const HKEY key = std::exchange(m_key, nullptr);
    if (key != nullptr && !IsPredefinedRoot(key)) {
        // Nothing useful can be done about a failed close.
        static_cast<void>(RegCloseKey(key));
    }
}

bool RegHandle::IsPredefinedRoot(HKEY key) noexcept
{
    // Handles that belong to the system rather than to their holder.
    // HKEY_DYN_DATA is deliberately absent: such a handle is closed like any other.
    const std::array<HKEY, 9> roots{
        HKEY_CLASSES_ROOT,
        HKEY_CURRENT_USER,
        HKEY_LOCAL_MACHINE,
        HKEY_USERS,
        HKEY_PERFORMANCE_DATA,
        HKEY_CURRENT_CONFIG,
        HKEY_CURRENT_USER_LOCAL_SETTINGS,
        HKEY_PERFORMANCE_TEXT,
        HKEY_PERFORMANCE_NLSTEXT,
    };
    return std::find(roots.begin(), roots.end(), key) != roots.end();
}

} // namespace winreg
