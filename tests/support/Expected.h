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

// The box that reports an error which ended the run: what happened in plain
// words, then the error's own description on a line of its own.
inline constexpr const char* ErrorCaption = "LayerCleanup";
inline constexpr const char* KeyNotOpened =
    "LayerCleanup could not open your compatibility settings in the registry, so nothing was removed.\n\n"
    "If a security program or an administrator has locked these settings, ask them to allow changes, then try "
    "again.\n\n"
    "Details:\n";
inline constexpr const char* RemovalFailed =
    "LayerCleanup could not remove a compatibility setting, so it stopped. The settings it confirmed as removed "
    "before this message stay removed; the others were not touched.\n\n"
    "Try again; if this keeps happening, a security program or an administrator may be blocking changes.\n\n"
    "Details:\n";
inline constexpr const char* FolderNotRead =
    "LayerCleanup could not read the folder it was started in, so nothing was removed.\n\n"
    "Copy LayerCleanup.exe into the game's folder and double-click it there.\n\n"
    "Details:\n";
inline constexpr const char* UnexpectedError =
    "LayerCleanup stopped because of an unexpected error. The settings it confirmed as removed before this "
    "message stay removed; the others were not touched.\n\n"
    "Details:\n";

} // namespace expected
