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

TEST_F(RunCleanup, RemovesAllThreeEntriesInTableOrderConfirmingEach)
{
    ResetLayersKey(AllThree());
    const BoxRecorder boxes;

    EXPECT_EQ(::RunCleanup(), 0);

    ASSERT_EQ(boxes.Boxes().size(), 3U);
    EXPECT_TRUE(AreConfirmations(boxes.Boxes()));
    // Each box appears right after its own removal, before the next target is touched.
    EXPECT_EQ(boxes.Boxes()[0].layersWhileOpen,
              (RegValues{{Entry(LibertyCity), StringValue(L"")}, {Entry(SanAndreas), StringValue(L"HIGHDPIAWARE")}}));
    EXPECT_EQ(boxes.Boxes()[1].layersWhileOpen, (RegValues{{Entry(SanAndreas), StringValue(L"HIGHDPIAWARE")}}));
    EXPECT_EQ(boxes.Boxes()[2].layersWhileOpen, RegValues{});
    EXPECT_EQ(ReadLayersKey(), RegValues{});
}

TEST_F(RunCleanup, WithNoEntryShowsNothingAndStillCreatesTheKey)
{
    DeleteKeyTree(HKEY_CURRENT_USER, expected::LayersKey);
    ASSERT_FALSE(KeyExists(HKEY_CURRENT_USER, expected::LayersKey));
    const BoxRecorder boxes;

    EXPECT_EQ(::RunCleanup(), 0);

    EXPECT_TRUE(boxes.Boxes().empty());
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, expected::LayersKey));
}

TEST_F(RunCleanup, LeavesEverythingButTheThreeEntriesAlone)
{
    const std::wstring parent = ParentDirectory();
    const RegValues decoys{
        {parent + L"\\" + ViceCity, Layers},                  // same name, other folder
        {WorkingDirectory() + L"\\Sub\\" + ViceCity, Layers}, // same name, a subfolder
        {Entry(L"Notepad.exe"), Layers},                      // other program, same folder
        {Entry(ViceCity + L".bak"), Layers},                  // a longer name
        {Entry(ViceCity + L" "), Layers},                     // trailing space
        {WorkingDirectory() + L"\\\\" + ViceCity, Layers},    // doubled separator
        {WorkingDirectory() + L"/" + ViceCity, Layers},       // forward separator
        {ViceCity, Layers},                                   // the bare file name
        {Entry(LibertyCity), DwordValue(1)},                  // a target, but not a string
        {Entry(SanAndreas), RegValue{REG_BINARY, {'~', 0, 0, 0}}},
    };
    ResetLayersKey(decoys);
    const BoxRecorder boxes;

    EXPECT_EQ(::RunCleanup(), 0);

    EXPECT_TRUE(boxes.Boxes().empty());
    EXPECT_EQ(ReadLayersKey(), decoys);
}

TEST_F(RunCleanup, RemovesOnlyTheEntriesThatExist)
{
    ResetLayersKey({{Entry(LibertyCity), Layers}, {Entry(L"Notepad.exe"), Layers}});
    const BoxRecorder boxes;

    EXPECT_EQ(::RunCleanup(), 0);

    ASSERT_EQ(boxes.Boxes().size(), 1U);
    EXPECT_TRUE(AreConfirmations(boxes.Boxes()));
    EXPECT_EQ(ReadLayersKey(), (RegValues{{Entry(L"Notepad.exe"), Layers}}));
}

TEST_F(RunCleanup, ASecondRunFindsNothingMore)
{
    ResetLayersKey(AllThree());
    {
        const BoxRecorder first;
        EXPECT_EQ(::RunCleanup(), 0);
        EXPECT_EQ(first.Boxes().size(), 3U);
    }
    const BoxRecorder second;
    EXPECT_EQ(::RunCleanup(), 0);
    EXPECT_TRUE(second.Boxes().empty());
}

TEST_F(RunCleanup, RemovesAnExpandableStringEntryLikeAPlainOne)
{
    ResetLayersKey({{Entry(ViceCity), RegValue{REG_EXPAND_SZ, StringData(L"%SystemRoot% ~ WINXPSP3")}}});
    const BoxRecorder boxes;

    EXPECT_EQ(::RunCleanup(), 0);

    ASSERT_EQ(boxes.Boxes().size(), 1U);
    EXPECT_TRUE(AreConfirmations(boxes.Boxes()));
    EXPECT_EQ(ReadLayersKey(), RegValues{});
}

TEST_F(RunCleanup, AtADriveRootUsesASingleSeparator)
{
    const ScopedCurrentDirectory root(L"C:\\");
    ResetLayersKey({{L"C:\\" + ViceCity, Layers}, {L"C:\\\\" + ViceCity, Layers}});
    const BoxRecorder boxes;

    EXPECT_EQ(::RunCleanup(), 0);

    EXPECT_EQ(boxes.Boxes().size(), 1U);
    EXPECT_EQ(ReadLayersKey(), (RegValues{{L"C:\\\\" + ViceCity, Layers}}));
}

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

TEST_F(RunCleanup, StopsBeforeAnyTargetWhenTheKeyCannotBeOpenedForWriting)
{
    ResetLayersKey(AllThree());
    const BoxRecorder boxes;
    std::optional<winreg::RegException> error;
    {
        const DenyValueWrites locked(HKEY_CURRENT_USER, expected::LayersKey);
        error = Thrown<winreg::RegException>([] { ::RunCleanup(); });
    }

    ASSERT_TRUE(error) << "no exception";
    EXPECT_EQ(error->code().value(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(std::string(error->what()),
              "RegCreateKeyExW failed.: " + std::system_category().message(ERROR_ACCESS_DENIED));
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
