#pragma once

#include <windows.h>

#include <array>
#include <string>

// What the program must do, written out here and nowhere else in the tests,
// independently of the program's own constants: a wrong key, name or text in
// the program then fails the tests instead of moving them along with it.
namespace expected {

// The current user's compatibility-mode entries.
inline const std::wstring LayersKey = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\AppCompatFlags\\Layers";
inline constexpr REGSAM LayersAccess = 0x0002011F; // KEY_READ | KEY_WRITE | KEY_WOW64_64KEY

// The executables whose entries are removed, in the order of their boxes.
inline const std::wstring ViceCity = L"ViceCity.exe";
inline const std::wstring LibertyCity = L"LibertyCity.exe";
inline const std::wstring SanAndreas = L"SanAndreas.exe";
inline const std::array<std::wstring, 3> Targets{ViceCity, LibertyCity, SanAndreas};

// The confirmation shown after each removal.
inline constexpr const char* ConfirmationText = "Successfully removed the registry value";
inline constexpr const char* ConfirmationCaption = "Success";

// The box that reports an error which ended the run.
inline constexpr const char* ErrorCaption = "LayerCleanup";

} // namespace expected
