#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

// What a run of the test program makes on the account it runs on is named
// after the run: "LayerCleanupTests-<run>", where <run> is the process's id
// and creation time. The name tells whether its run still lives, so that what
// a run that ended early (killed, or the machine switched off) left behind can
// be recognised and removed, and what a run going on beside it has not.
namespace own {

inline constexpr std::wstring_view RunPrefix = L"LayerCleanupTests-";

// The tests' own key under HKEY_CURRENT_USER: it holds the runs' scratch
// registries, named <run>, and on a disposable account the mark.
inline const std::wstring TestsKey = L"Software\\LayerCleanupTests";

struct Run {
    DWORD processId = 0;
    ULONGLONG created = 0; // the process's creation time, in FILETIME units

    bool operator==(const Run& other) const { return processId == other.processId && created == other.created; }
};

// "<process id>-<creation time as 16 hex digits>".
[[nodiscard]] std::wstring RunName(const Run& run);
// The run a name stands for, read strictly; nothing when it is not one.
[[nodiscard]] std::optional<Run> ParseRunName(std::wstring_view name);

[[nodiscard]] const Run& ThisRun();
[[nodiscard]] bool HasEnded(const Run& run);

// %TEMP%\LayerCleanupTests-<run>: every folder that this run makes lies in it.
[[nodiscard]] const std::wstring& ThisRunFolder();

// The run whose folder a path (a Layers entry's name) lies in, if any: it
// begins %TEMP%\LayerCleanupTests-<run>\.
[[nodiscard]] std::optional<Run> OwnerOf(std::wstring_view path);

// Removes what runs that have ended left: Layers entries in their folders,
// their scratch keys, their folders. Returns a line saying what, or nothing.
std::string RemoveLeftovers();

// Removes this run's folder, and the tests' key where nothing is left in it.
void RemoveThisRunsTraces();

} // namespace own
