#include "support/TestRegistry.h"

#include "registry/RegException.h"
#include "support/Expected.h"

#include <sddl.h>

#include <cstring>

std::vector<std::uint8_t> StringData(const std::wstring& text)
{
    std::vector<std::uint8_t> data((text.size() + 1) * sizeof(wchar_t), 0);
    std::memcpy(data.data(), text.data(), text.size() * sizeof(wchar_t));
    return data;
}

RegValue StringValue(const std::wstring& text)
{
    return RegValue{REG_SZ, StringData(text)};
}

RegValue DwordValue(const DWORD number)
{
    std::vector<std::uint8_t> data(sizeof number);
    std::memcpy(data.data(), &number, sizeof number);
    return RegValue{REG_DWORD, data};
}

void WriteValue(HKEY key, const std::wstring& name, const RegValue& value)
{
    // The system adds a terminator to string data that lacks one when the
    // character after the data happens to be null; a non-null guard after the
    // data keeps what is stored exactly what was asked for.
    std::vector<std::uint8_t> guarded = value.data;
    guarded.insert(guarded.end(), {0xFF, 0xFF, 0xFF});
    const LONG status =
        RegSetValueExW(key, name.c_str(), 0, value.type, guarded.data(), static_cast<DWORD>(value.data.size()));
    if (status != ERROR_SUCCESS) {
        throw winreg::RegException(status, "RegSetValueExW failed.");
    }
}

std::optional<RegValue> ReadValue(HKEY key, const std::wstring& name)
{
    DWORD type = 0;
    DWORD size = 0;
    LONG status = RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size);
    if (status == ERROR_FILE_NOT_FOUND) {
        return std::nullopt;
    }
    if (status != ERROR_SUCCESS) {
        throw winreg::RegException(status, "RegQueryValueExW failed.");
    }
    RegValue value{type, std::vector<std::uint8_t>(size)};
    status = RegQueryValueExW(key, name.c_str(), nullptr, &type, value.data.data(), &size);
    if (status != ERROR_SUCCESS) {
        throw winreg::RegException(status, "RegQueryValueExW failed.");
    }
    value.data.resize(size);
    return value;
}

RegValues ReadAllValues(HKEY key)
{
    DWORD count = 0;
    DWORD longestName = 0;
    LONG status = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, &longestName,
                                   nullptr, nullptr, nullptr);
    if (status != ERROR_SUCCESS) {
        throw winreg::RegException(status, "RegQueryInfoKeyW failed.");
    }
    RegValues values;
    for (DWORD index = 0; index < count; ++index) {
        std::wstring name(longestName + 1, L'\0');
        auto length = static_cast<DWORD>(name.size());
        status = RegEnumValueW(key, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
        if (status != ERROR_SUCCESS) {
            throw winreg::RegException(status, "RegEnumValueW failed.");
        }
        name.resize(length);
        const std::optional<RegValue> value = ReadValue(key, name);
        if (value) {
            values.emplace(name, *value);
        }
    }
    return values;
}

winreg::RegHandle OpenKey(HKEY parent, const std::wstring& path, const REGSAM access)
{
    winreg::RegHandle key;
    key.OpenOrCreate(parent, path, access | KEY_WOW64_64KEY);
    return key;
}

std::optional<winreg::RegHandle> OpenExisting(HKEY parent, const std::wstring& path, const REGSAM access)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(parent, path.c_str(), 0, access | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return winreg::RegHandle(key);
}

bool KeyExists(HKEY parent, const std::wstring& path)
{
    return OpenExisting(parent, path).has_value();
}

void DeleteKeyTree(HKEY parent, const std::wstring& path)
{
    const LONG status = RegDeleteTreeW(parent, path.c_str());
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
        throw winreg::RegException(status, "RegDeleteTreeW failed.");
    }
}

void ResetLayersKey(const RegValues& values)
{
    DeleteKeyTree(HKEY_CURRENT_USER, expected::LayersKey);
    const winreg::RegHandle layers = OpenKey(HKEY_CURRENT_USER, expected::LayersKey);
    for (const auto& [name, value] : values) {
        WriteValue(layers.Get(), name, value);
    }
}

std::optional<RegValues> ReadLayersKey()
{
    const std::optional<winreg::RegHandle> layers = OpenExisting(HKEY_CURRENT_USER, expected::LayersKey);
    return layers ? std::optional<RegValues>(ReadAllValues(layers->Get())) : std::nullopt;
}

DenyValueWrites::DenyValueWrites(HKEY parent, const std::wstring& path)
{
    m_key.OpenOrCreate(parent, path, READ_CONTROL | WRITE_DAC | KEY_WOW64_64KEY);

    DWORD size = 0;
    RegGetKeySecurity(m_key.Get(), DACL_SECURITY_INFORMATION, nullptr, &size);
    m_previous.resize(size);
    LONG status = RegGetKeySecurity(m_key.Get(), DACL_SECURITY_INFORMATION, m_previous.data(), &size);
    if (status != ERROR_SUCCESS) {
        throw winreg::RegException(status, "RegGetKeySecurity failed.");
    }

    // Everyone: denied KEY_SET_VALUE, allowed everything else.
    PSECURITY_DESCRIPTOR locked = nullptr;
    if (ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(D;;0x2;;;WD)(A;;KA;;;WD)", SDDL_REVISION_1, &locked,
                                                             nullptr) == FALSE) {
        throw winreg::RegException(static_cast<LONG>(GetLastError()), "building the DACL failed.");
    }
    status = RegSetKeySecurity(m_key.Get(), DACL_SECURITY_INFORMATION, locked);
    LocalFree(locked);
    if (status != ERROR_SUCCESS) {
        throw winreg::RegException(status, "RegSetKeySecurity failed.");
    }
}

DenyValueWrites::~DenyValueWrites()
{
    RegSetKeySecurity(m_key.Get(), DACL_SECURITY_INFORMATION, m_previous.data());
}
