#pragma once

#include <windows.h>

#include <string_view>

// The current user's compatibility-mode entries live here, one value per
// executable, named by the executable's full path.
inline constexpr std::wstring_view LayersKeyPath{
    L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\AppCompatFlags\\Layers"};

// The access the key is opened with, fixed as 0x0002011F. This part of the
// current user's hive is shared by the 32-bit and 64-bit views, not
// redirected, so KEY_WOW64_64KEY selects nothing here: it is part of the
// fixed mask, not a way to reach other entries.
inline constexpr REGSAM LayersKeyAccess = KEY_READ | KEY_WRITE | KEY_WOW64_64KEY;
