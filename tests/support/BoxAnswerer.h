#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

// Runs a program as a user would and answers each message box it shows,
// pressing its first button after the observer has looked at it.

struct ObservedBox {
    std::wstring caption;
    std::wstring text;
    std::vector<std::wstring> buttons;
};

struct ProgramRun {
    DWORD exitCode = 0;
    bool timedOut = false;
    bool ran32BitOn64 = false; // the program ran as a 32-bit process on a 64-bit system
    std::vector<ObservedBox> boxes;
};

// `whileOpen` is called while each box is still on screen. An empty
// `workingDirectory` means this process's own.
ProgramRun RunAnsweringBoxes(const std::wstring& program, const std::vector<std::wstring>& arguments,
                             const std::wstring& workingDirectory,
                             const std::function<void(const ObservedBox&)>& whileOpen, DWORD timeoutMs = 60000);

// The folder of this executable, where the build puts the programs under test.
std::wstring ProgramFolder();
