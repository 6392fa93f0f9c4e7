#include "support/OwnRun.h"

#include "support/Expected.h"
#include "support/Folders.h"
#include "support/TestRegistry.h"

#include <cstdlib>
#include <cwchar>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

namespace own {

namespace {

constexpr std::size_t TimeDigits = 16;

struct HandleCloser {
    void operator()(HANDLE handle) const noexcept { CloseHandle(handle); }
};
using ProcessHandle = std::unique_ptr<std::remove_pointer_t<HANDLE>, HandleCloser>;

std::optional<ULONGLONG> CreationTime(HANDLE process)
{
    FILETIME created{};
    FILETIME exited{};
    FILETIME kernel{};
    FILETIME user{};
    if (GetProcessTimes(process, &created, &exited, &kernel, &user) == FALSE) {
        return std::nullopt;
    }
    return (ULONGLONG{created.dwHighDateTime} << 32U) | created.dwLowDateTime;
}

std::wstring TempFolderPath()
{
    std::wstring temp(MAX_PATH + 1, L'\0');
    temp.resize(GetTempPathW(static_cast<DWORD>(temp.size()), temp.data()));
    while (!temp.empty() && (temp.back() == L'\\' || temp.back() == L'/')) {
        temp.pop_back();
    }
    return temp;
}

std::vector<std::wstring> SubKeyNames(HKEY key)
{
    std::vector<std::wstring> names;
    for (DWORD index = 0;; ++index) {
        std::wstring name(256, L'\0'); // the longest key name
        auto length = static_cast<DWORD>(name.size());
        if (RegEnumKeyExW(key, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            return names;
        }
        name.resize(length);
        names.push_back(name);
    }
}

bool IsLeftover(const std::optional<Run>& owner)
{
    return owner && HasEnded(*owner);
}

} // namespace

std::wstring RunName(const Run& run)
{
    std::wstring time(TimeDigits + 1, L'\0');
    static_cast<void>(swprintf(time.data(), time.size(), L"%016llx", run.created));
    time.resize(TimeDigits);
    return std::to_wstring(run.processId) + L"-" + time;
}

std::optional<Run> ParseRunName(const std::wstring_view name)
{
    // Exactly "<decimal process id>-<16 lowercase hex digits>".
    const std::wstring text(name);
    const std::size_t dash = text.find_first_not_of(L"0123456789");
    if (dash == 0 || dash > 10 || dash == std::wstring::npos || text[dash] != L'-' ||
        text.size() != dash + 1 + TimeDigits ||
        text.find_first_not_of(L"0123456789abcdef", dash + 1) != std::wstring::npos) {
        return std::nullopt;
    }
    const unsigned long long processId = std::wcstoull(text.c_str(), nullptr, 10);
    if (processId > MAXDWORD) {
        return std::nullopt;
    }
    return Run{static_cast<DWORD>(processId), std::wcstoull(text.c_str() + dash + 1, nullptr, 16)};
}

const Run& ThisRun()
{
    static const Run self{GetCurrentProcessId(), CreationTime(GetCurrentProcess()).value_or(0)};
    return self;
}

bool HasEnded(const Run& run)
{
    if (run == ThisRun()) {
        return false;
    }
    const ProcessHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, run.processId));
    if (!process) {
        // No such process. Any other refusal (another user's process, say)
        // leaves the run's traces alone: it may still be going on.
        return GetLastError() == ERROR_INVALID_PARAMETER;
    }
    DWORD exitCode = 0;
    const bool running = GetExitCodeProcess(process.get(), &exitCode) != FALSE && exitCode == STILL_ACTIVE;
    return !running || CreationTime(process.get()) != run.created;
}

const std::wstring& ThisRunFolder()
{
    static const std::wstring folder = TempFolderPath() + L"\\" + std::wstring(RunPrefix) + RunName(ThisRun());
    return folder;
}

std::optional<Run> OwnerOf(const std::wstring_view path)
{
    const std::wstring runs = TempFolderPath() + L"\\" + std::wstring(RunPrefix);
    if (path.compare(0, runs.size(), runs) != 0) {
        return std::nullopt;
    }
    const std::wstring_view rest = path.substr(runs.size());
    const std::size_t end = rest.find(L'\\');
    return end == std::wstring_view::npos ? std::nullopt : ParseRunName(rest.substr(0, end));
}

std::string RemoveLeftovers()
{
    std::size_t entries = 0;
    std::size_t keys = 0;
    std::size_t folders = 0;

    if (const auto layers = OpenExisting(HKEY_CURRENT_USER, expected::LayersKey, KEY_QUERY_VALUE | KEY_SET_VALUE)) {
        for (const auto& [name, value] : ReadAllValues(layers->Get())) {
            if (IsLeftover(OwnerOf(name)) && RegDeleteValueW(layers->Get(), name.c_str()) == ERROR_SUCCESS) {
                ++entries;
            }
        }
    }
    if (const auto tests = OpenExisting(HKEY_CURRENT_USER, TestsKey, KEY_READ | KEY_WRITE | DELETE)) {
        for (const std::wstring& name : SubKeyNames(tests->Get())) {
            if (IsLeftover(ParseRunName(name)) && RegDeleteTreeW(tests->Get(), name.c_str()) == ERROR_SUCCESS) {
                ++keys;
            }
        }
    }
    const std::wstring temp = TempFolderPath();
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW((temp + L"\\" + std::wstring(RunPrefix) + L"*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring_view name = found.cFileName;
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                IsLeftover(ParseRunName(name.substr(RunPrefix.size())))) {
                RemoveFolderTree(temp + L"\\" + found.cFileName);
                ++folders;
            }
        } while (FindNextFileW(search, &found) != FALSE);
        FindClose(search);
    }

    if (entries + keys + folders == 0) {
        return "";
    }
    return "removed what earlier runs that ended early left: " + std::to_string(entries) + " compatibility entries, " +
           std::to_string(keys) + " scratch keys, " + std::to_string(folders) + " folders";
}

void RemoveThisRunsTraces()
{
    RemoveFolderTree(ThisRunFolder());
    const auto tests = OpenExisting(HKEY_CURRENT_USER, TestsKey, KEY_QUERY_VALUE);
    DWORD subKeys = 1;
    DWORD values = 1;
    if (tests &&
        RegQueryInfoKeyW(tests->Get(), nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values, nullptr, nullptr,
                         nullptr, nullptr) == ERROR_SUCCESS &&
        subKeys == 0 && values == 0) {
        RegDeleteKeyW(HKEY_CURRENT_USER, TestsKey.c_str());
    }
}

} // namespace own
