#pragma once

#include <windows.h>

#include <string_view>

// The current user's compatibility-mode entries live here, one value per
// executable, named by the executable's full path.
inline constexpr std::wstring_view LayersKeyPath{
    L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\AppCompatFlags\\Layers"};

// Read and write the 64-bit view, so that the 32-bit build sees the same
// entries as 64-bit programs do.
inline constexpr REGSAM LayersKeyAccess = KEY_READ | KEY_WRITE | KEY_WOW64_64KEY;
