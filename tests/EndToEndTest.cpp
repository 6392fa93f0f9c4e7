// The real LayerCleanup.exe, started as a user would start it, with its
// message boxes read and answered from outside the process: this build's
// program, and the 32-bit deliverable that users get.

#include "support/BoxAnswerer.h"
#include "support/CleanupFixture.h"
#include "support/Expected.h"
#include "support/SuiteAccount.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <system_error>
#include <vector>

namespace {

using expected::LibertyCity;
using expected::SanAndreas;
using expected::ViceCity;

const RegValue Layers = StringValue(L"~ WINXPSP3");

struct Program {
    const char* name;
    std::wstring path;  // empty where the build has not said where the program is
    bool runs32BitOn64; // as a 32-bit process on this 64-bit system
    DWORD timeoutMs;
};

Program ThisBuild()
{
    return {"ThisBuild", ProgramFolder() + L"\\LayerCleanup.exe", sizeof(void*) == 4, 60000};
}

// The deliverable's path relative to this executable comes from the build, in
// LAYERCLEANUP_DELIVERABLE; the suite builds it before these cases run. Where
// the 32-bit Wine is emulated, each start of it takes seconds.
Program Deliverable32()
{
    std::wstring relative(GetEnvironmentVariableW(L"LAYERCLEANUP_DELIVERABLE", nullptr, 0), L'\0');
    relative.resize(
        GetEnvironmentVariableW(L"LAYERCLEANUP_DELIVERABLE", relative.data(), static_cast<DWORD>(relative.size())));
    std::replace(relative.begin(), relative.end(), L'/', L'\\');
    return {"Deliverable32", relative.empty() ? L"" : ProgramFolder() + L"\\" + relative, true, 120000};
}

class EndToEndFixture : public CleanupFixture {
protected:
    [[nodiscard]] ProgramRun RunProgram(const Program& program, const std::vector<std::wstring>& arguments = {}) const
    {
        if (program.path.empty()) {
            ADD_FAILURE() << program.name << ": LAYERCLEANUP_DELIVERABLE does not say where the program is; "
                          << "run the cases through ctest, which sets it";
            return {};
        }
        ProgramRun run = RunAnsweringBoxes(
            program.path, arguments, WorkingDirectory(), [](SeenBox& box) { box.layersWhileOpen = ReadLayersKey(); },
            program.timeoutMs);
        EXPECT_EQ(run.failure, "");
        EXPECT_EQ(run.ran32BitOn64, program.runs32BitOn64);
        return run;
    }

    [[nodiscard]] RegValues Targets() const
    {
        return {{Entry(ViceCity), Layers}, {Entry(LibertyCity), Layers}, {Entry(SanAndreas), Layers}};
    }

    [[nodiscard]] RegValues Decoys() const
    {
        const std::wstring parent = ParentDirectory();
        return {{parent + L"\\" + ViceCity, Layers},
                {parent + L"\\Other\\" + LibertyCity, Layers},
                {Entry(L"Notepad.exe"), Layers},
                {Entry(SanAndreas + L".old"), Layers}};
    }

    static RegValues Merge(RegValues first, const RegValues& second)
    {
        first.insert(second.begin(), second.end());
        return first;
    }
};

// The cases that every program file must pass, the 32-bit deliverable included.
class EndToEnd : public EndToEndFixture, public ::testing::WithParamInterface<Program> {
protected:
    [[nodiscard]] ProgramRun Run() const { return RunProgram(GetParam()); }
};

// Cases run on this build only, to keep the deliverable's costly starts few.
class EndToEndThisBuild : public EndToEndFixture {
protected:
    [[nodiscard]] ProgramRun Run(const std::vector<std::wstring>& arguments = {}) const
    {
        return RunProgram(ThisBuild(), arguments);
    }
};

TEST_P(EndToEnd, RemovesTheThreeEntriesInOrderOneBoxEach)
{
    ResetLayersKey(Merge(Targets(), Decoys()));

    const ProgramRun run = Run();

    EXPECT_EQ(run.exitCode, 0U);
    ASSERT_EQ(run.boxes.size(), 3U);
    EXPECT_TRUE(AreConfirmations(run.boxes));
    EXPECT_EQ(run.boxes[0].layersWhileOpen,
              Merge({{Entry(LibertyCity), Layers}, {Entry(SanAndreas), Layers}}, Decoys()));
    EXPECT_EQ(run.boxes[1].layersWhileOpen, Merge({{Entry(SanAndreas), Layers}}, Decoys()));
    EXPECT_EQ(run.boxes[2].layersWhileOpen, Decoys());
    EXPECT_EQ(ReadLayersKey(), Decoys());
}

TEST_P(EndToEnd, KeepsANonStringTargetEntry)
{
    const RegValues kept = Merge({{Entry(LibertyCity), DwordValue(1)}}, Decoys());
    ResetLayersKey(Merge({{Entry(ViceCity), Layers}, {Entry(SanAndreas), Layers}}, kept));

    const ProgramRun run = Run();

    EXPECT_EQ(run.exitCode, 0U);
    ASSERT_EQ(run.boxes.size(), 2U);
    EXPECT_TRUE(AreConfirmations(run.boxes));
    EXPECT_EQ(run.boxes[0].layersWhileOpen, Merge({{Entry(SanAndreas), Layers}}, kept));
    EXPECT_EQ(run.boxes[1].layersWhileOpen, kept);
    EXPECT_EQ(ReadLayersKey(), kept);
}

TEST_P(EndToEnd, ASecondRunIsSilent)
{
    ResetLayersKey(Merge(Targets(), Decoys()));
    ASSERT_EQ(Run().boxes.size(), 3U);

    const ProgramRun second = Run();

    EXPECT_EQ(second.exitCode, 0U);
    EXPECT_TRUE(second.boxes.empty());
    EXPECT_EQ(ReadLayersKey(), Decoys());
}

// A C++ exception thrown and caught inside the program, which shows that its
// error handling works as linked (the 32-bit deliverable declares NO_SEH).
TEST_P(EndToEnd, ReportsALockedKeyAndRemovesNothing)
{
    ResetLayersKey(Merge(Targets(), Decoys()));
    ProgramRun run;
    {
        const DenyValueWrites locked(HKEY_CURRENT_USER, expected::LayersKey);
        run = Run();
    }

    EXPECT_EQ(run.exitCode, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    ASSERT_EQ(run.boxes.size(), 1U);
    EXPECT_TRUE(IsErrorBox(run.boxes[0],
                           std::string(expected::KeyNotOpened) +
                               "RegCreateKeyExW failed.: " + std::system_category().message(ERROR_ACCESS_DENIED),
                           0));
    EXPECT_EQ(run.boxes[0].layersWhileOpen, Merge(Targets(), Decoys()));
    EXPECT_EQ(ReadLayersKey(), Merge(Targets(), Decoys()));
}

INSTANTIATE_TEST_SUITE_P(, EndToEnd, ::testing::Values(ThisBuild(), Deliverable32()),
                         [](const ::testing::TestParamInfo<Program>& program) {
                             return std::string(program.param.name);
                         });

TEST_F(EndToEndThisBuild, IgnoresItsArguments)
{
    ResetLayersKey(Merge({{Entry(LibertyCity), Layers}}, Decoys()));

    const ProgramRun run = Run({L"/?", L"--all", L"C:\\Windows", L"Notepad.exe"});

    EXPECT_EQ(run.exitCode, 0U);
    ASSERT_EQ(run.boxes.size(), 1U);
    EXPECT_TRUE(AreConfirmations(run.boxes));
    EXPECT_EQ(ReadLayersKey(), Decoys());
}

TEST_F(EndToEndThisBuild, CreatesTheKeyWhenAbsentAndShowsNothing)
{
    DeleteKeyTree(HKEY_CURRENT_USER, expected::LayersKey);

    const ProgramRun run = Run();

    EXPECT_EQ(run.exitCode, 0U);
    EXPECT_TRUE(run.boxes.empty());
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, expected::LayersKey));
}

// The test program itself, started by hand on an account that is not the
// suite's: it must refuse, and leave every compatibility setting as it was.
TEST_F(EndToEndThisBuild, TheTestProgramLeavesAnUnmarkedAccountAlone)
{
    ResetLayersKey(Merge(Targets(), Decoys()));
    ProgramRun run;
    {
        const suite::Unmarked unmarked;
        const Program tests{"LayerCleanupTests", ProgramFolder() + L"\\LayerCleanupTests.exe", sizeof(void*) == 4,
                            60000};
        run = RunProgram(tests, {L"--gtest_filter=RunCleanup*:EndToEndThisBuild.CreatesTheKey*"});
    }

    EXPECT_EQ(run.exitCode, 2U);
    EXPECT_TRUE(run.boxes.empty());
    EXPECT_EQ(ReadLayersKey(), Merge(Targets(), Decoys()));
}

} // namespace
