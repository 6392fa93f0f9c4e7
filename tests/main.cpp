// The test program's entry. It runs on any account, a real player's too, and
// changes nothing there but what it makes and removes itself: a scratch
// registry key that the in-process cases take for HKEY_CURRENT_USER, folders
// in the temporary folder, and compatibility entries in those folders only.
// What a run that ended early left of these, the next run removes. Cases that
// would change the Layers key itself run only on an account marked as
// disposable (see support/SuiteAccount.h); anywhere else they are skipped,
// saying why. Listing the cases changes nothing.

#include "Scenarios.h"
#include "support/OwnRun.h"
#include "support/ScratchRegistry.h"
#include "support/SuiteAccount.h"

#include <gtest/gtest.h>

#include <exception>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

namespace {

// A plain summary for whoever started the program by hand: how many cases
// passed, failed and were skipped, and why each skipped one was.
void PrintSummary()
{
    const ::testing::UnitTest& tests = *::testing::UnitTest::GetInstance();
    std::vector<std::string> failed;
    std::vector<std::string> skipped;
    for (int suite = 0; suite < tests.total_test_suite_count(); ++suite) {
        const ::testing::TestSuite& cases = *tests.GetTestSuite(suite);
        for (int index = 0; index < cases.total_test_count(); ++index) {
            const ::testing::TestInfo& info = *cases.GetTestInfo(index);
            const ::testing::TestResult& result = *info.result();
            std::string name = std::string(info.test_suite_name()).append(".").append(info.name());
            if (result.Failed()) {
                failed.push_back(name);
            } else if (result.Skipped()) {
                std::string reason;
                for (int part = 0; part < result.total_part_count(); ++part) {
                    if (result.GetTestPartResult(part).skipped()) {
                        reason += result.GetTestPartResult(part).message();
                    }
                }
                skipped.push_back(name.append(": ").append(reason));
            }
        }
    }
    std::cout << "\nLayerCleanupTests: " << tests.successful_test_count() << " passed, " << failed.size() << " failed, "
              << skipped.size() << " skipped.\n";
    for (const std::string& name : failed) {
        std::cout << "  failed: " << name << "\n";
    }
    for (const std::string& line : skipped) {
        std::cout << "  skipped: " << line << "\n";
    }
}

} // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    RegisterScenarios();
    if (GTEST_FLAG_GET(list_tests)) {
        return RUN_ALL_TESTS();
    }

    // Read from the real account, before HKEY_CURRENT_USER is mapped elsewhere.
    const bool disposable = suite::IsDisposableAccount();
    std::cout << "LayerCleanupTests: this account is " << (disposable ? "" : "not ")
              << "marked as disposable; nothing of it is changed but what these tests make and remove.\n";
    std::optional<ScratchRegistry> scratch;
    try {
        if (const std::string removed = own::RemoveLeftovers(); !removed.empty()) {
            std::cout << "LayerCleanupTests: " << removed << ".\n";
        }
        scratch.emplace();
    } catch (const std::exception& error) {
        std::cerr << "LayerCleanupTests: cannot give the cases a registry of their own (" << error.what()
                  << "), so none was run.\n";
        own::RemoveThisRunsTraces();
        return 2;
    }
    const int status = RUN_ALL_TESTS();
    scratch.reset();
    own::RemoveThisRunsTraces();
    PrintSummary();
    return status;
}
