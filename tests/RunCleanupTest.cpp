// The run's failures and registry calls, which need a seam (see ImportHook):
// every other scenario of a run is a row of the table in ScenarioTest.cpp.

#include "cleanup/RunCleanup.h"
#include "registry/RegException.h"
#include "support/BoxRecorder.h"
#include "support/CleanupFixture.h"
#include "support/CountingRegistry.h"
#include "support/Expected.h"
#include "support/FailingDirectoryQuery.h"
#include "support/ImportHook.h"
#include "support/Thrown.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace {

using expected::LibertyCity;
using expected::SanAndreas;
using expected::ViceCity;

const RegValue Layers = StringValue(L"~ WINXPSP3 RUNASADMIN");

class RunCleanup : public CleanupFixture {
protected:
    [[nodiscard]] RegValues AllThree() const
    {
        return {{Entry(ViceCity), Layers},
                {Entry(LibertyCity), StringValue(L"")},
                {Entry(SanAndreas), StringValue(L"HIGHDPIAWARE")}};
    }
};

// A deletion that fails at the second target, as a locked-down or
// concurrently changed registry could make it.
int deletions = 0;

LONG WINAPI DeleteFailingAtSecond(HKEY key, LPCWSTR name)
{
    if (++deletions == 2) {
        return ERROR_ACCESS_DENIED;
    }
    return SystemFunction<decltype(RegDeleteValueW)>("RegDeleteValueW")(key, name);
}

TEST_F(RunCleanup, StopsAtAFailedDeletionKeepingEarlierRemovals)
{
    ResetLayersKey(AllThree());
    const BoxRecorder boxes;
    const ImportHook<decltype(RegDeleteValueW)> hook("RegDeleteValueW", &DeleteFailingAtSecond);
    deletions = 0;

    const auto error = Thrown<winreg::RegException>([] { ::RunCleanup(); });

    ASSERT_TRUE(error) << "no exception";
    EXPECT_EQ(error->code().value(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(std::string(error->what()),
              "RegDeleteValueW failed.: " + std::system_category().message(ERROR_ACCESS_DENIED));
    EXPECT_EQ(deletions, 2); // the third target was never reached
    ASSERT_EQ(boxes.Boxes().size(), 1U);
    EXPECT_TRUE(AreConfirmations(boxes.Boxes()));
    EXPECT_EQ(ReadLayersKey(),
              (RegValues{{Entry(LibertyCity), StringValue(L"")}, {Entry(SanAndreas), StringValue(L"HIGHDPIAWARE")}}));
}

TEST_F(RunCleanup, StopsBeforeAnyTargetWhenTheDirectoryCannotBeRead)
{
    ResetLayersKey(AllThree());
    const BoxRecorder boxes;
    CallCounts counts;
    std::optional<std::filesystem::filesystem_error> error;
    {
        const CountingRegistry counting;
        const ImportHook<decltype(GetCurrentDirectoryW)> failing("GetCurrentDirectoryW", &FailingDirectoryQuery);
        error = Thrown<std::filesystem::filesystem_error>([] { ::RunCleanup(); });
        counts = CountingRegistry::Counts();
    }

    ASSERT_TRUE(error) << "no exception";
    EXPECT_EQ(error->code().value(), ERROR_PATH_NOT_FOUND);
    EXPECT_NE(std::string(error->what()).find("current_path()"), std::string::npos) << error->what();
    EXPECT_EQ(counts.reads, 0);
    EXPECT_TRUE(boxes.Boxes().empty());
    EXPECT_EQ(ReadLayersKey(), AllThree());
}

class RegistryCalls : public CleanupFixture {};

// A target entry that is not a string is absent to the probe: one read, like a missing one.
TEST_F(RegistryCalls, AreOneOpenOneReadPerAbsentTwoPerPresentOneDeletionPerPresentAndOneClose)
{
    const std::optional<RegValue> missing;
    const std::optional<RegValue> present = StringValue(L"~ WINXPSP3");
    const std::optional<RegValue> number = DwordValue(1);
    const std::vector<std::array<std::optional<RegValue>, 3>> cases{{missing, missing, missing},
                                                                    {present, missing, missing},
                                                                    {missing, present, present},
                                                                    {present, present, present},
                                                                    {number, present, number}};
    for (const auto& targets : cases) {
        RegValues entries;
        int presentCount = 0;
        int numberCount = 0;
        for (std::size_t i = 0; i < targets.size(); ++i) {
            if (const std::optional<RegValue>& target = targets.at(i)) {
                entries[Entry(expected::Targets.at(i))] = *target;
                ++(target->type == REG_SZ ? presentCount : numberCount);
            }
        }
        ResetLayersKey(entries);
        std::size_t boxCount = 0;
        {
            const BoxRecorder boxes(BoxRecorder::Key::NotRead);
            const CountingRegistry counting;
            EXPECT_EQ(::RunCleanup(), 0);
            boxCount = boxes.Boxes().size();
        }
        const int absentCount = 3 - presentCount;
        const CallCounts& counted = CountingRegistry::Counts();
        const KeyOpening layers{HKEY_CURRENT_USER, expected::LayersKey, expected::LayersAccess};
        EXPECT_EQ(counted.openings, std::vector<KeyOpening>{layers});
        EXPECT_EQ(counted.reads, absentCount + 2 * presentCount);
        EXPECT_EQ(counted.deletions, presentCount);
        EXPECT_EQ(counted.closedKeys.size(), 1U);
        EXPECT_EQ(boxCount, static_cast<std::size_t>(presentCount));
        // One line per case, collected by the benchmark's report.
        std::printf("registry calls | %d of 3 present%s | %zu | %d | %d | %zu |\n", presentCount,
                    numberCount > 0 ? ", the others numbers" : "", counted.openings.size(), counted.reads,
                    counted.deletions, counted.closedKeys.size());
    }
}

} // namespace
