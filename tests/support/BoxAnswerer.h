#pragma once

#include "support/SeenBox.h"

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

// Runs a program as a user would and answers each message box it shows,
// pressing its first button once the box is on screen, ready for input, and
// the observer has looked at it.

struct ProgramRun {
    DWORD exitCode = 0;
    std::string failure;   // the state waited for in vain; empty when the program ran its course
    bool ran32Bit = false; // the program ran as a 32-bit process (on a 64-bit system, under WOW64)
    std::vector<SeenBox> boxes;
};

// `whileOpen` is called while each box is still on screen, and may add to what
// is kept of it. An empty `workingDirectory` means this process's own. Every
// wait ends by `timeoutMs` after the start; the program is then ended.
ProgramRun RunAnsweringBoxes(const std::wstring& program, const std::vector<std::wstring>& arguments,
                             const std::wstring& workingDirectory, const std::function<void(SeenBox&)>& whileOpen,
                             DWORD timeoutMs = 60000);

// The folder of this executable, where the build puts the programs under test.
std::wstring ProgramFolder();
