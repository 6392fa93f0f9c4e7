#include "support/BoxAnswerer.h"

#include <stdexcept>

namespace {

// Quotes one argument so that the child's CommandLineToArgvW gives it back unchanged.
std::wstring QuoteArgument(const std::wstring& argument)
{
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) {
        return argument;
    }
    std::wstring quoted = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, L'\\');
    quoted += L'"';
    return quoted;
}

std::wstring WindowText(HWND window)
{
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
    return text;
}

std::wstring ClassName(HWND window)
{
    std::wstring name(256, L'\0');
    name.resize(static_cast<std::size_t>(GetClassNameW(window, name.data(), static_cast<int>(name.size()))));
    return name;
}

struct BoxSearch {
    DWORD processId;
    HWND found;
};

// A message box is a visible top-level dialog owned by the child process.
BOOL CALLBACK MatchBox(HWND window, LPARAM context)
{
    auto* const search = reinterpret_cast<BoxSearch*>(context);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == search->processId && IsWindowVisible(window) != FALSE && ClassName(window) == L"#32770") {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

HWND FindBox(const DWORD processId)
{
    BoxSearch search{processId, nullptr};
    EnumWindows(MatchBox, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

struct BoxContents {
    ObservedBox box;
    std::vector<HWND> buttonWindows;
};

// The text is the box's non-empty static control (the icon is an empty one).
BOOL CALLBACK CollectControl(HWND child, LPARAM context)
{
    auto* const contents = reinterpret_cast<BoxContents*>(context);
    const std::wstring kind = ClassName(child);
    if (kind == L"Button" && IsWindowVisible(child) != FALSE) {
        contents->box.buttons.push_back(WindowText(child));
        contents->buttonWindows.push_back(child);
    } else if (kind == L"Static" && contents->box.text.empty()) {
        contents->box.text = WindowText(child);
    }
    return TRUE;
}

BoxContents ReadBox(HWND box)
{
    BoxContents contents;
    contents.box.caption = WindowText(box);
    EnumChildWindows(box, CollectControl, reinterpret_cast<LPARAM>(&contents));
    return contents;
}

void PressFirstButton(HWND box, const BoxContents& contents)
{
    if (contents.buttonWindows.empty()) {
        PostMessageW(box, WM_CLOSE, 0, 0);
        return;
    }
    HWND button = contents.buttonWindows.front();
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(button), BN_CLICKED), reinterpret_cast<LPARAM>(button));
}

} // namespace

ProgramRun RunAnsweringBoxes(const std::wstring& program, const std::vector<std::wstring>& arguments,
                             const std::wstring& workingDirectory,
                             const std::function<void(const ObservedBox&)>& whileOpen, const DWORD timeoutMs)
{
    std::wstring commandLine = QuoteArgument(program);
    for (const std::wstring& argument : arguments) {
        commandLine += L' ' + QuoteArgument(argument);
    }

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                       workingDirectory.empty() ? nullptr : workingDirectory.c_str(), &startup, &process) == FALSE) {
        throw std::runtime_error("CreateProcessW failed with status " + std::to_string(GetLastError()));
    }
    CloseHandle(process.hThread);

    ProgramRun run;
    BOOL wow64 = FALSE;
    run.ran32BitOn64 = IsWow64Process(process.hProcess, &wow64) != FALSE && wow64 != FALSE;
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (WaitForSingleObject(process.hProcess, 10) == WAIT_TIMEOUT) {
        if (GetTickCount64() > deadline) {
            run.timedOut = true;
            TerminateProcess(process.hProcess, 0xDEAD);
            WaitForSingleObject(process.hProcess, INFINITE);
            break;
        }
        HWND box = FindBox(process.dwProcessId);
        if (box == nullptr) {
            continue;
        }
        // Let the box finish laying out its controls before reading them.
        Sleep(20);
        const BoxContents contents = ReadBox(box);
        if (whileOpen) {
            whileOpen(contents.box);
        }
        run.boxes.push_back(contents.box);
        PressFirstButton(box, contents);
        while (IsWindow(box) != FALSE && WaitForSingleObject(process.hProcess, 10) == WAIT_TIMEOUT &&
               GetTickCount64() < deadline) {
        }
    }
    GetExitCodeProcess(process.hProcess, &run.exitCode);
    CloseHandle(process.hProcess);
    return run;
}

std::wstring ProgramFolder()
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    return path.substr(0, path.find_last_of(L"\\/"));
}
