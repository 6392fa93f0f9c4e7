#pragma once

#include "support/ImportHook.h"

#include <windows.h>

#include <vector>

struct CallCounts {
    int opens = 0;
    int reads = 0;
    int deletions = 0;
    std::vector<HKEY> closedKeys; // in the order they were closed
    int boxes = 0;
};

// Counts the registry calls made while it lives, passing each on to the
// system; boxes are answered (and counted) without touching the registry.
// One at a time.
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
    ImportHook<decltype(MessageBoxA)> m_box;
};
