#pragma once

#include "support/ImportHook.h"

#include <windows.h>

#include <string>
#include <tuple>
#include <vector>

using KeyOpening = std::tuple<HKEY, std::wstring, REGSAM>; // parent, path, access

struct CallCounts {
    std::vector<KeyOpening> openings; // RegCreateKeyExW calls, in order
    int reads = 0;
    int deletions = 0;
    std::vector<HKEY> closedKeys; // in the order they were closed
};

// Counts the registry calls made while it lives, passing each on to the
// system. One at a time.
class CountingRegistry {
public:
    CountingRegistry();
    ~CountingRegistry() = default;
    CountingRegistry(const CountingRegistry&) = delete;
    CountingRegistry& operator=(const CountingRegistry&) = delete;
    CountingRegistry(CountingRegistry&&) = delete;
    CountingRegistry& operator=(CountingRegistry&&) = delete;

    [[nodiscard]] static const CallCounts& Counts() noexcept;

private:
    ImportHook<decltype(RegCreateKeyExW)> m_open;
    ImportHook<decltype(RegGetValueW)> m_read;
    ImportHook<decltype(RegDeleteValueW)> m_deletion;
    ImportHook<decltype(RegCloseKey)> m_close;
};
