#include "support/ScratchRegistry.h"

#include "registry/RegException.h"
#include "support/OwnRun.h"
#include "support/TestRegistry.h"

#include <string>

namespace {

HKEY mapped = nullptr; // the scratch key of the ScratchRegistry alive, if any

void Map(HKEY key)
{
    const LONG status = RegOverridePredefKey(HKEY_CURRENT_USER, key);
    if (status != ERROR_SUCCESS) {
        throw winreg::RegException(status, "RegOverridePredefKey failed.");
    }
}

std::wstring ScratchPath()
{
    return own::TestsKey + L"\\" + own::RunName(own::ThisRun());
}

// A key made through HKEY_CURRENT_USER must land under the scratch key.
bool MappingTakes(HKEY scratch)
{
    const std::wstring probe = L"MappingProbe";
    HKEY made = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, probe.c_str(), 0, nullptr, 0, KEY_READ, nullptr, &made, nullptr) !=
        ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(made);
    const bool landed = OpenExisting(scratch, probe).has_value();
    RegDeleteKeyW(HKEY_CURRENT_USER, probe.c_str());
    return landed;
}

} // namespace

ScratchRegistry::ScratchRegistry()
{
    m_scratch.OpenOrCreate(HKEY_CURRENT_USER, ScratchPath(), KEY_ALL_ACCESS);
    try {
        Map(m_scratch.Get());
        if (!MappingTakes(m_scratch.Get())) {
            throw winreg::RegException(ERROR_INVALID_FUNCTION, "RegOverridePredefKey did not map HKEY_CURRENT_USER.");
        }
    } catch (...) {
        RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
        m_scratch.Release();
        RegDeleteTreeW(HKEY_CURRENT_USER, ScratchPath().c_str());
        throw;
    }
    mapped = m_scratch.Get();
}

ScratchRegistry::~ScratchRegistry()
{
    mapped = nullptr;
    RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
    m_scratch.Release();
    RegDeleteTreeW(HKEY_CURRENT_USER, ScratchPath().c_str());
}

RealCurrentUser::RealCurrentUser()
{
    Map(nullptr);
}

RealCurrentUser::~RealCurrentUser()
{
    RegOverridePredefKey(HKEY_CURRENT_USER, mapped);
}
