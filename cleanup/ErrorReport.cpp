#include "cleanup/ErrorReport.h"

#include "registry/RegException.h"
#include "registry/RegHandle.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <exception>
#include <filesystem>
#include <initializer_list>
#include <string_view>
#include <system_error>

namespace {

constexpr const char* ErrorCaption = "LayerCleanup";

// What happened and what state things are in, in the words of the people who
// run the program; the error's own description follows as the details.
constexpr std::string_view KeyNotOpened =
    "LayerCleanup could not open your compatibility settings in the registry, so nothing was removed.\n\n"
    "If a security program or an administrator has locked these settings, ask them to allow changes, then try "
    "again.";
constexpr std::string_view RemovalFailed =
    "LayerCleanup could not remove a compatibility setting, so it stopped. The settings it confirmed as removed "
    "before this message stay removed; the others were not touched.\n\n"
    "Try again; if this keeps happening, a security program or an administrator may be blocking changes.";
constexpr std::string_view FolderNotRead =
    "LayerCleanup could not read the folder it was started in, so nothing was removed.\n\n"
    "Copy LayerCleanup.exe into the game's folder and double-click it there.";
constexpr std::string_view UnexpectedError =
    "LayerCleanup stopped because of an unexpected error. The settings it confirmed as removed before this "
    "message stay removed; the others were not touched.";
constexpr std::string_view DetailsHeading = "\n\nDetails:\n";

// Room for the plain words and any error's description; a longer one is cut short.
using BoxText = std::array<char, 2048>;

// Joins without allocating, so that reporting cannot fail for lack of memory.
BoxText Join(const std::initializer_list<std::string_view> parts) noexcept
{
    BoxText text{};
    std::size_t length = 0;
    for (const std::string_view part : parts) {
        const std::size_t copied = std::min(part.size(), text.size() - 1 - length);
        std::copy_n(part.data(), copied, text.begin() + static_cast<std::ptrdiff_t>(length));
        length += copied;
    }
    return text;
}

int ReportFailure(const std::string_view summary, const char* description, const int status) noexcept
{
    const BoxText text = Join({summary, DetailsHeading, description});
    MessageBoxA(nullptr, text.data(), ErrorCaption, MB_OK | MB_ICONERROR);
    return status != 0 ? status : 1;
}

// Which step failed, told by the failed call that the error's message names.
std::string_view RegistrySummary(const winreg::RegException& error) noexcept
{
    const std::string_view description = error.what();
    const auto names = [description](const std::string_view message) {
        return description.compare(0, message.size(), message) == 0;
    };
    if (names(winreg::OpenOrCreateFailed)) {
        return KeyNotOpened;
    }
    if (names(winreg::RemoveValueFailed)) {
        return RemovalFailed;
    }
    return UnexpectedError;
}

} // namespace

int RunReportingErrors(int (*run)()) noexcept
{
    try {
        return run();
    } catch (const std::filesystem::filesystem_error& error) {
        return ReportFailure(FolderNotRead, error.what(), error.code().value());
    } catch (const winreg::RegException& error) {
        return ReportFailure(RegistrySummary(error), error.what(), error.code().value());
    } catch (const std::system_error& error) {
        return ReportFailure(UnexpectedError, error.what(), error.code().value());
    } catch (const std::exception& error) {
        return ReportFailure(UnexpectedError, error.what(), 0);
    } catch (...) {
        return ReportFailure(UnexpectedError, "an error that carries no description", 0);
    }
}
