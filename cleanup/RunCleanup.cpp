#include "cleanup/RunCleanup.h"

#include "cleanup/LayersKey.h"
#include "cleanup/TargetExecutables.h"
#include "cleanup/ValueName.h"
#include "registry/RegHandle.h"

#include <windows.h>

#include <string>

namespace {

constexpr const char* RemovedText = "Successfully removed the registry value";
constexpr const char* RemovedCaption = "Success";

} // namespace

int RunCleanup()
{
    winreg::RegHandle layers;
    layers.OpenOrCreate(HKEY_CURRENT_USER, std::wstring(LayersKeyPath), LayersKeyAccess);

    const std::wstring directory = QueryCurrentDirectory();
    for (const std::wstring& fileName : TargetExecutables) {
        const std::wstring valueName = ComposeValueName(directory, fileName);
        // Only a readable string entry counts; anything else is left alone.
        if (!layers.ProbeString(valueName)) {
            continue;
        }
        layers.RemoveValue(valueName);
        // Modal: the next target is visited only once the user has seen this one.
        MessageBoxA(nullptr, RemovedText, RemovedCaption, MB_OK);
    }

    layers.Release();
    return 0;
}
