#include "cleanup/ErrorReport.h"
#include "registry/RegException.h"
#include "support/BoxRecorder.h"

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

const std::vector<ReportCase> ReportCases{
    {"a normal run", [] { return 0; }, 0, ""},
    {"a registry error", []() -> int { throw winreg::RegException(ERROR_ACCESS_DENIED, "RegCreateKeyExW failed."); }, 5,
     winreg::RegException(ERROR_ACCESS_DENIED, "RegCreateKeyExW failed.").what()},
    {"a directory error",
     []() -> int {
         throw std::filesystem::filesystem_error("current_path()",
                                                 std::error_code(ERROR_PATH_NOT_FOUND, std::system_category()));
     },
     3,
     std::filesystem::filesystem_error("current_path()", std::error_code(ERROR_PATH_NOT_FOUND, std::system_category()))
         .what()},
    {"an error whose status is 0", []() -> int { throw std::system_error(0, std::system_category(), "odd"); }, 1,
     std::system_error(0, std::system_category(), "odd").what()},
    {"an allocation failure", []() -> int { throw std::bad_alloc(); }, 1, std::bad_alloc().what()},
    {"something that is no exception", []() -> int { throw 42; }, 1, "An unexpected error ended the run."},
};

TEST(RunReportingErrors, ShowsOneErrorBoxAndExitsWithTheStatus)
{
    for (const ReportCase& report : ReportCases) {
        const BoxRecorder boxes;
        EXPECT_EQ(RunReportingErrors(report.run), report.exitStatus) << report.description;
        if (report.boxText.empty()) {
            EXPECT_TRUE(boxes.Boxes().empty()) << report.description;
            continue;
        }
        ASSERT_EQ(boxes.Boxes().size(), 1U) << report.description;
        const RecordedBox& box = boxes.Boxes().front();
        EXPECT_EQ(box.owner, nullptr) << report.description;
        EXPECT_EQ(box.text, report.boxText) << report.description;
        EXPECT_EQ(box.caption, "LayerCleanup") << report.description;
        EXPECT_EQ(box.style, static_cast<UINT>(MB_OK | MB_ICONERROR)) << report.description;
    }
}

} // namespace
