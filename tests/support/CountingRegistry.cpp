#include "support/CountingRegistry.h"

namespace {

CallCounts counted;

LONG WINAPI CountedOpen(HKEY parent, LPCWSTR path, DWORD reserved, LPWSTR kind, DWORD options, REGSAM access,
                        const LPSECURITY_ATTRIBUTES security, PHKEY key, LPDWORD disposition)
{
    counted.openings.emplace_back(parent, path != nullptr ? path : L"", access);
    return SystemFunction<decltype(RegCreateKeyExW)>("RegCreateKeyExW")(parent, path, reserved, kind, options, access,
                                                                        security, key, disposition);
}

LONG WINAPI CountedRead(HKEY key, LPCWSTR subKey, LPCWSTR name, DWORD flags, LPDWORD type, PVOID data, LPDWORD size)
{
    ++counted.reads;
    return SystemFunction<decltype(RegGetValueW)>("RegGetValueW")(key, subKey, name, flags, type, data, size);
}

LONG WINAPI CountedDeletion(HKEY key, LPCWSTR name)
{
    ++counted.deletions;
    return SystemFunction<decltype(RegDeleteValueW)>("RegDeleteValueW")(key, name);
}

LONG WINAPI CountedClose(HKEY key)
{
    counted.closedKeys.push_back(key);
    return SystemFunction<decltype(RegCloseKey)>("RegCloseKey")(key);
}

} // namespace

CountingRegistry::CountingRegistry()
    : m_open("RegCreateKeyExW", &CountedOpen), m_read("RegGetValueW", &CountedRead),
      m_deletion("RegDeleteValueW", &CountedDeletion), m_close("RegCloseKey", &CountedClose)
{
    counted = CallCounts{};
}

const CallCounts& CountingRegistry::Counts() noexcept
{
    return counted;
}
