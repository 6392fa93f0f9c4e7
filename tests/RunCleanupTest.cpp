#include "cleanup/RunCleanup.h"
#include "cleanup/TargetExecutables.h"
#include "registry/RegException.h"
#include "support/BoxRecorder.h"
#include "support/CleanupFixture.h"
#include "support/CountingRegistry.h"
#include "support/ImportHook.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace {

const RegValue Layers = StringValue(L"~ WINXPSP3 RUNASADMIN");

class RunCleanup : public CleanupFixture {
protected:
    [[nodiscard]] RegValues AllThree() const
    {
        return {{Entry(L"ViceCity.exe"), Layers},
                {Entry(L"LibertyCity.exe"), StringValue(L"")},
                {Entry(L"SanAndreas.exe"), StringValue(L"HIGHDPIAWARE")}};
    }

    static void ExpectConfirmation(const RecordedBox& box)
    {
        EXPECT_EQ(box.owner, nullptr);
        EXPECT_EQ(box.text, "Successfully removed the registry value");
        EXPECT_EQ(box.caption, "Success");
        EXPECT_EQ(box.style, static_cast<UINT>(MB_OK));
    }
};

TEST_F(RunCleanup, RemovesAllThreeEntriesInTableOrderConfirmingEach)
{
    ResetLayersKey(AllThree());
    const BoxRecorder boxes;

    EXPECT_EQ(::RunCleanup(), 0);

    ASSERT_EQ(boxes.Boxes().size(), 3U);
    for (const RecordedBox& box : boxes.Boxes()) {
        ExpectConfirmation(box);
    }
    // Each box appears right after its own removal, before the next target is touched.
    EXPECT_EQ(boxes.Boxes()[0].layersWhileOpen, (RegValues{{Entry(L"LibertyCity.exe"), StringValue(L"")},
                                                           {Entry(L"SanAndreas.exe"), StringValue(L"HIGHDPIAWARE")}}));
    EXPECT_EQ(boxes.Boxes()[1].layersWhileOpen, (RegValues{{Entry(L"SanAndreas.exe"), StringValue(L"HIGHDPIAWARE")}}));
    EXPECT_EQ(boxes.Boxes()[2].layersWhileOpen, RegValues{});
    EXPECT_EQ(ReadLayersKey(), RegValues{});
}

TEST_F(RunCleanup, WithNoEntryShowsNothingAndStillCreatesTheKey)
{
    DeleteKeyTree(HKEY_CURRENT_USER, LayersPath());
    ASSERT_FALSE(KeyExists(HKEY_CURRENT_USER, LayersPath()));
    const BoxRecorder boxes;

    EXPECT_EQ(::RunCleanup(), 0);

    EXPECT_TRUE(boxes.Boxes().empty());
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, LayersPath()));
}

TEST_F(RunCleanup, LeavesEverythingButTheThreeEntriesAlone)
{
    const std::wstring parent = ParentDirectory();
    const RegValues decoys{
        {parent + L"\\ViceCity.exe", Layers},                  // same name, other folder
        {WorkingDirectory() + L"\\Sub\\ViceCity.exe", Layers}, // same name, a subfolder
        {Entry(L"Notepad.exe"), Layers},                       // other program, same folder
        {Entry(L"ViceCity.exe.bak"), Layers},                  // a longer name
        {Entry(L"ViceCity.exe "), Layers},                     // trailing space
        {WorkingDirectory() + L"\\\\ViceCity.exe", Layers},    // doubled separator
        {WorkingDirectory() + L"/ViceCity.exe", Layers},       // forward separator
        {L"ViceCity.exe", Layers},                             // the bare file name
        {Entry(L"LibertyCity.exe"), DwordValue(1)},            // a target, but not a string
        {Entry(L"SanAndreas.exe"), RegValue{REG_BINARY, {'~', 0, 0, 0}}},
    };
    ResetLayersKey(decoys);
    const BoxRecorder boxes;

    EXPECT_EQ(::RunCleanup(), 0);

    EXPECT_TRUE(boxes.Boxes().empty());
    EXPECT_EQ(ReadLayersKey(), decoys);
}

TEST_F(RunCleanup, RemovesOnlyTheEntriesThatExist)
{
    ResetLayersKey({{Entry(L"LibertyCity.exe"), Layers}, {Entry(L"Notepad.exe"), Layers}});
    const BoxRecorder boxes;

    EXPECT_EQ(::RunCleanup(), 0);

    ASSERT_EQ(boxes.Boxes().size(), 1U);
    ExpectConfirmation(boxes.Boxes()[0]);
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
    ResetLayersKey({{Entry(L"ViceCity.exe"), RegValue{REG_EXPAND_SZ, StringData(L"%SystemRoot% ~ WINXPSP3")}}});
    const BoxRecorder boxes;

    EXPECT_EQ(::RunCleanup(), 0);

    ASSERT_EQ(boxes.Boxes().size(), 1U);
    ExpectConfirmation(boxes.Boxes()[0]);
    EXPECT_EQ(ReadLayersKey(), RegValues{});
}

TEST_F(RunCleanup, AtADriveRootUsesASingleSeparator)
{
    const ScopedCurrentDirectory root(L"C:\\");
    ResetLayersKey({{L"C:\\ViceCity.exe", Layers}, {L"C:\\\\ViceCity.exe", Layers}});
    const BoxRecorder boxes;

    EXPECT_EQ(::RunCleanup(), 0);

    EXPECT_EQ(boxes.Boxes().size(), 1U);
    EXPECT_EQ(ReadLayersKey(), (RegValues{{L"C:\\\\ViceCity.exe", Layers}}));
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

    try {
        ::RunCleanup();
        ADD_FAILURE() << "no exception";
    } catch (const winreg::RegException& error) {
        EXPECT_EQ(error.code().value(), ERROR_ACCESS_DENIED);
        EXPECT_EQ(std::string(error.what()), "RegDeleteValueW failed.: " + std::system_category().message(5));
    }

    EXPECT_EQ(deletions, 2); // the third target was never reached
    ASSERT_EQ(boxes.Boxes().size(), 1U);
    ExpectConfirmation(boxes.Boxes()[0]);
    EXPECT_EQ(ReadLayersKey(), (RegValues{{Entry(L"LibertyCity.exe"), StringValue(L"")},
                                          {Entry(L"SanAndreas.exe"), StringValue(L"HIGHDPIAWARE")}}));
}

DWORD WINAPI FailingDirectoryQuery(DWORD /*length*/, LPWSTR /*buffer*/)
{
    SetLastError(ERROR_PATH_NOT_FOUND);
    return 0;
}

TEST_F(RunCleanup, StopsBeforeAnyTargetWhenTheDirectoryCannotBeRead)
{
    ResetLayersKey(AllThree());
    CallCounts counts;
    {
        const CountingRegistry counting;
        const ImportHook<decltype(GetCurrentDirectoryW)> failing("GetCurrentDirectoryW", &FailingDirectoryQuery);
        try {
            ::RunCleanup();
            ADD_FAILURE() << "no exception";
        } catch (const std::filesystem::filesystem_error& error) {
            EXPECT_EQ(error.code().value(), ERROR_PATH_NOT_FOUND);
            EXPECT_NE(std::string(error.what()).find("current_path()"), std::string::npos) << error.what();
        }
        counts = CountingRegistry::Counts();
    }

    EXPECT_EQ(counts.reads, 0);
    EXPECT_EQ(counts.boxes, 0);
    EXPECT_EQ(ReadLayersKey(), AllThree());
}

TEST_F(RunCleanup, StopsBeforeAnyTargetWhenTheKeyCannotBeOpenedForWriting)
{
    ResetLayersKey(AllThree());
    const BoxRecorder boxes;
    {
        const DenyValueWrites locked(HKEY_CURRENT_USER, LayersPath());
        try {
            ::RunCleanup();
            ADD_FAILURE() << "no exception";
        } catch (const winreg::RegException& error) {
            EXPECT_EQ(error.code().value(), ERROR_ACCESS_DENIED);
            EXPECT_EQ(std::string(error.what()), "RegCreateKeyExW failed.: " + std::system_category().message(5));
        }
    }
    EXPECT_TRUE(boxes.Boxes().empty());
    EXPECT_EQ(ReadLayersKey(), AllThree());
}

class RegistryCalls : public CleanupFixture {};

TEST_F(RegistryCalls, AreOneOpenOneReadPerAbsentTwoPerPresentOneDeletionPerPresentAndOneClose)
{
    const std::vector<std::vector<bool>> presence{
        {false, false, false}, {true, false, false}, {false, true, true}, {true, true, true}};
    for (const std::vector<bool>& present : presence) {
        RegValues entries;
        int presentCount = 0;
        for (std::size_t i = 0; i < present.size(); ++i) {
            if (present[i]) {
                entries[Entry(TargetExecutables.at(i))] = StringValue(L"~ WINXPSP3");
                ++presentCount;
            }
        }
        ResetLayersKey(entries);
        {
            const CountingRegistry counting;
            EXPECT_EQ(::RunCleanup(), 0);
        }
        const int absentCount = 3 - presentCount;
        const CallCounts& counted = CountingRegistry::Counts();
        EXPECT_EQ(counted.opens, 1);
        EXPECT_EQ(counted.reads, absentCount + 2 * presentCount);
        EXPECT_EQ(counted.deletions, presentCount);
        EXPECT_EQ(counted.closedKeys.size(), 1U);
        EXPECT_EQ(counted.boxes, presentCount);
        // One line per case, collected by the benchmark's report.
        std::printf("registry calls | %d of 3 present | %d | %d | %d | %zu |\n", presentCount, counted.opens,
                    counted.reads, counted.deletions, counted.closedKeys.size());
    }
}

} // namespace
