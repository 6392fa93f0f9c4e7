#include "support/BoxAnswerer.h"

#include <algorithm>
#include <stdexcept>

namespace {

// How often a state that is waited for is looked at again.
constexpr DWORD PollMs = 5;

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

// In the ANSI code page, as the program handed it to MessageBoxA.
std::string WindowText(HWND window)
{
    std::string text(static_cast<std::size_t>(GetWindowTextLengthA(window)) + 1, '\0');
    text.resize(static_cast<std::size_t>(GetWindowTextA(window, text.data(), static_cast<int>(text.size()))));
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

struct BoxControls {
    std::string text;
    std::vector<HWND> buttons; // the visible ones, in the dialog's order
};

// The text is the box's static control that is not its icon.
BOOL CALLBACK CollectControl(HWND child, LPARAM context)
{
    auto* const controls = reinterpret_cast<BoxControls*>(context);
    const std::wstring kind = ClassName(child);
    if (kind == L"Button" && IsWindowVisible(child) != FALSE) {
        controls->buttons.push_back(child);
    } else if (kind == L"Static" && (GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) != SS_ICON) {
        controls->text = WindowText(child);
    }
    return TRUE;
}

BoxControls ReadControls(HWND box)
{
    BoxControls controls;
    EnumChildWindows(box, CollectControl, reinterpret_cast<LPARAM>(&controls));
    return controls;
}

bool ReadyForInput(const BoxControls& controls)
{
    return !controls.buttons.empty() && std::all_of(controls.buttons.begin(), controls.buttons.end(),
                                                    [](HWND button) { return IsWindowEnabled(button) != FALSE; });
}

// Seen on screen, the box's type is MB_OK when it offers OK alone, and none of
// the types otherwise.
UINT ButtonType(const std::vector<HWND>& buttons)
{
    return buttons.size() == 1 && GetDlgCtrlID(buttons.front()) == IDOK ? MB_OK : MB_TYPEMASK;
}

enum class Waited { Reached, ProcessEnded, TimedOut };

// Looks at `reached` until it holds, the process ends or the deadline passes.
template <typename Condition> Waited WaitFor(HANDLE process, const ULONGLONG deadline, const Condition& reached)
{
    for (;;) {
        if (reached()) {
            return Waited::Reached;
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            return Waited::TimedOut;
        }
        const auto wait = static_cast<DWORD>(std::min<ULONGLONG>(PollMs, deadline - now));
        if (WaitForSingleObject(process, wait) == WAIT_OBJECT_0) {
            return reached() ? Waited::Reached : Waited::ProcessEnded;
        }
    }
}

DWORD Remaining(const ULONGLONG deadline)
{
    const ULONGLONG now = GetTickCount64();
    return now < deadline ? static_cast<DWORD>(deadline - now) : 0;
}

// Answers the boxes until the program ends; returns what was waited for in vain, if anything.
std::string AnswerBoxes(const PROCESS_INFORMATION& process, const ULONGLONG deadline,
                        const std::function<void(SeenBox&)>& whileOpen, std::vector<SeenBox>& boxes)
{
    for (;;) {
        HWND box = nullptr;
        BoxControls controls;
        const Waited shown = WaitFor(process.hProcess, deadline, [&] {
            box = FindBox(process.dwProcessId);
            controls = box != nullptr ? ReadControls(box) : BoxControls{};
            return box != nullptr && ReadyForInput(controls);
        });
        if (shown == Waited::ProcessEnded) {
            return "";
        }
        if (shown == Waited::TimedOut) {
            return box == nullptr ? "the program to end or show a box" : "the box's buttons to be enabled";
        }
        // The first time the program waits for input it is showing this box.
        if (WaitForInputIdle(process.hProcess, Remaining(deadline)) != 0) {
            return "the program to wait for input with its box open";
        }

        SeenBox seen{WindowText(box),
                     controls.text,
                     ButtonType(controls.buttons),
                     MB_TYPEMASK,
                     GetWindow(box, GW_OWNER) != nullptr,
                     {}};
        if (whileOpen) {
            whileOpen(seen);
        }
        boxes.push_back(std::move(seen));

        HWND button = controls.buttons.front();
        PostMessageW(box, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(button), BN_CLICKED), reinterpret_cast<LPARAM>(button));
        if (WaitFor(process.hProcess, deadline, [box] { return IsWindow(box) == FALSE; }) == Waited::TimedOut) {
            return "the box to close once its first button was pressed";
        }
    }
}

// A job that ends its processes when its last handle is closed.
class Job {
public:
    Job() : m_job(CreateJobObjectW(nullptr, nullptr))
    {
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        SetInformationJobObject(m_job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    }
    ~Job()
    {
        if (m_job != nullptr) {
            CloseHandle(m_job);
        }
    }
    Job(const Job&) = delete;
    Job& operator=(const Job&) = delete;
    Job(Job&&) = delete;
    Job& operator=(Job&&) = delete;

    [[nodiscard]] HANDLE Get() const noexcept { return m_job; }

private:
    HANDLE m_job;
};

} // namespace

ProgramRun RunAnsweringBoxes(const std::wstring& program, const std::vector<std::wstring>& arguments,
                             const std::wstring& workingDirectory, const std::function<void(SeenBox&)>& whileOpen,
                             const DWORD timeoutMs)
{
    std::wstring commandLine = QuoteArgument(program);
    for (const std::wstring& argument : arguments) {
        commandLine += L' ' + QuoteArgument(argument);
    }

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    // On a busy machine Wine now and then fails to bring a new process up
    // (about one start in two thousand here) and reports ERROR_INTERNAL_ERROR;
    // the program has not run at all then, so it is simply started again.
    for (int attempt = 1;; ++attempt) {
        if (CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                           workingDirectory.empty() ? nullptr : workingDirectory.c_str(), &startup,
                           &process) != FALSE) {
            break;
        }
        const DWORD status = GetLastError();
        if (status != ERROR_INTERNAL_ERROR || attempt == 3) {
            throw std::runtime_error("CreateProcessW failed with status " + std::to_string(status));
        }
    }
    // The program ends with this process, however this one ends: a test
    // program that is killed leaves no program behind with its box open, in
    // a folder that can then not be removed. Where this process's own job
    // allows no job of its own (Windows 7), the program runs without one.
    const Job job;
    static_cast<void>(AssignProcessToJobObject(job.Get(), process.hProcess));
    ResumeThread(process.hThread);
    CloseHandle(process.hThread);

    ProgramRun run;
    BOOL wow64 = FALSE;
    SYSTEM_INFO system{};
    GetNativeSystemInfo(&system);
    run.ran32Bit = system.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_INTEL ||
                   (IsWow64Process(process.hProcess, &wow64) != FALSE && wow64 != FALSE);
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    const std::string waitedFor = AnswerBoxes(process, deadline, whileOpen, run.boxes);
    if (!waitedFor.empty()) {
        run.failure = "waited " + std::to_string(timeoutMs) + " ms in vain for " + waitedFor;
        TerminateProcess(process.hProcess, 0xDEAD);
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &run.exitCode);
    CloseHandle(process.hProcess);
    return run;
}

std::wstring ProgramFolder()
{
    std::wstring path(32768, L'\0'); // the longest path Windows knows
    path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
    return path.substr(0, path.find_last_of(L"\\/"));
}
