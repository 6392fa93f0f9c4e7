#include "cleanup/ErrorReport.h"
#include "registry/RegException.h"
#include "support/BoxRecorder.h"
#include "support/Expected.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <new>
#include <string>
#include <system_error>
#include <vector>

namespace {

struct ReportCase {
    const char* description;
    int (*run)();
    int exitStatus;
    std::string boxText; // empty: no box
};

std::string SystemText(const int status)
{
    return std::system_category().message(status);
}

std::filesystem::filesystem_error FolderGone()
{
    return {"current_path()", std::error_code(ERROR_PATH_NOT_FOUND, std::system_category())};
}

const std::vector<ReportCase> ReportCases{
    {"a normal run", [] { return 0; }, 0, ""},
    {"the key cannot be opened",
     []() -> int { throw winreg::RegException(ERROR_ACCESS_DENIED, "RegCreateKeyExW failed."); }, ERROR_ACCESS_DENIED,
     std::string(expected::KeyNotOpened) + "RegCreateKeyExW failed.: " + SystemText(ERROR_ACCESS_DENIED)},
    {"a removal fails", []() -> int { throw winreg::RegException(ERROR_ACCESS_DENIED, "RegDeleteValueW failed."); },
     ERROR_ACCESS_DENIED,
     std::string(expected::RemovalFailed) + "RegDeleteValueW failed.: " + SystemText(ERROR_ACCESS_DENIED)},
    {"the working folder cannot be read", []() -> int { throw FolderGone(); }, ERROR_PATH_NOT_FOUND,
     std::string(expected::FolderNotRead) + FolderGone().what()},
    {"a registry error of another call",
     []() -> int { throw winreg::RegException(ERROR_INVALID_HANDLE, "RegCloseKey failed."); }, ERROR_INVALID_HANDLE,
     std::string(expected::UnexpectedError) + "RegCloseKey failed.: " + SystemText(ERROR_INVALID_HANDLE)},
    {"an error whose status is 0", []() -> int { throw std::system_error(0, std::system_category(), "odd"); }, 1,
     std::string(expected::UnexpectedError) + std::system_error(0, std::system_category(), "odd").what()},
    {"an allocation failure", []() -> int { throw std::bad_alloc(); }, 1,
     std::string(expected::UnexpectedError) + std::bad_alloc().what()},
    {"something that is no exception", []() -> int { throw 42; }, 1,
     std::string(expected::UnexpectedError) + "an error that carries no description"},
};

TEST(RunReportingErrors, ShowsOneErrorBoxInPlainWordsAndExitsWithTheStatus)
{
    for (const ReportCase& report : ReportCases) {
        const BoxRecorder boxes(BoxRecorder::Key::NotRead);
        EXPECT_EQ(RunReportingErrors(report.run), report.exitStatus) << report.description;
        if (report.boxText.empty()) {
            EXPECT_TRUE(boxes.Boxes().empty()) << report.description;
            continue;
        }
        ASSERT_EQ(boxes.Boxes().size(), 1U) << report.description;
        EXPECT_TRUE(IsErrorBox(boxes.Boxes().front(), report.boxText)) << report.description;
    }
}

} // namespace
