#pragma once

#include "registry/RegHandle.h"

#include <windows.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

// Direct registry access for tests: what a key really holds, byte for byte.

struct RegValue {
    DWORD type = REG_NONE;
    std::vector<std::uint8_t> data;

    bool operator==(const RegValue& other) const { return type == other.type && data == other.data; }
    bool operator!=(const RegValue& other) const { return !(*this == other); }
};

using RegValues = std::map<std::wstring, RegValue>;

// The data of a REG_SZ-style value: the text's UTF-16 bytes and its terminating null.
[[nodiscard]] std::vector<std::uint8_t> StringData(const std::wstring& text);
[[nodiscard]] RegValue StringValue(const std::wstring& text);
[[nodiscard]] RegValue DwordValue(DWORD number);

void WriteValue(HKEY key, const std::wstring& name, const RegValue& value);
[[nodiscard]] std::optional<RegValue> ReadValue(HKEY key, const std::wstring& name);
[[nodiscard]] RegValues ReadAllValues(HKEY key);

[[nodiscard]] winreg::RegHandle OpenKey(HKEY parent, const std::wstring& path, REGSAM access = KEY_ALL_ACCESS);
// The key opened without creating it; nothing where it does not exist.
[[nodiscard]] std::optional<winreg::RegHandle> OpenExisting(HKEY parent, const std::wstring& path,
                                                            REGSAM access = KEY_READ);
[[nodiscard]] bool KeyExists(HKEY parent, const std::wstring& path);
void DeleteKeyTree(HKEY parent, const std::wstring& path);

// Deletes and recreates the current user's Layers key (expected::LayersKey),
// so that it holds exactly `values`.
void ResetLayersKey(const RegValues& values = {});
// What the current user's Layers key holds; nothing where it does not exist.
[[nodiscard]] std::optional<RegValues> ReadLayersKey();

// Denies everyone the right to set values in a key, the way an administrator
// might lock it; the key's previous security is restored when the object goes.
class DenyValueWrites {
public:
    DenyValueWrites(HKEY parent, const std::wstring& path);
    ~DenyValueWrites();
    DenyValueWrites(const DenyValueWrites&) = delete;
    DenyValueWrites& operator=(const DenyValueWrites&) = delete;
    DenyValueWrites(DenyValueWrites&&) = delete;
    DenyValueWrites& operator=(DenyValueWrites&&) = delete;

private:
    winreg::RegHandle m_key;
    std::vector<std::uint8_t> m_previous;
};
