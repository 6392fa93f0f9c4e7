// The real LayerCleanup.exe, started as a user would start it, with its
// message boxes read and answered from outside the process: this build's
// program, and the 32-bit deliverable that users get.

#include "support/BoxAnswerer.h"
#include "support/CleanupFixture.h"

#include <gtest/gtest.h>

#include <string>
#include <system_error>
#include <vector>

namespace {

const RegValue Layers = StringValue(L"~ WINXPSP3");

struct Program {
    const char* name;
    std::wstring path;
    bool runs32BitOn64; // as a 32-bit process on this 64-bit system
    DWORD timeoutMs;
};

Program ThisBuild()
{
    return {"ThisBuild", ProgramFolder() + L"\\LayerCleanup.exe", sizeof(void*) == 4, 60000};
}

// The win32 preset's build, beside this build's tree. Where the 32-bit Wine
// is emulated, each start of it takes seconds.
Program Deliverable32()
{
    return {"Deliverable32", ProgramFolder() + L"\\..\\win32\\LayerCleanup.exe", true, 120000};
}

struct SeenBox {
    ObservedBox box;
    RegValues layers; // the Layers key while the box was open
};

class EndToEndFixture : public CleanupFixture {
protected:
    struct Result {
        DWORD exitCode;
        std::vector<SeenBox> boxes;
    };

    [[nodiscard]] Result RunProgram(const Program& program, const std::vector<std::wstring>& arguments = {}) const
    {
        Result result{0, {}};
        const ProgramRun run = RunAnsweringBoxes(
            program.path, arguments, WorkingDirectory(),
            [&result](const ObservedBox& box) {
                result.boxes.push_back({box, ReadLayersKey()});
            },
            program.timeoutMs);
        EXPECT_FALSE(run.timedOut);
        EXPECT_EQ(run.ran32BitOn64, program.runs32BitOn64);
        result.exitCode = run.exitCode;
        return result;
    }

    [[nodiscard]] RegValues Targets() const
    {
        return {
            {Entry(L"ViceCity.exe"), Layers}, {Entry(L"LibertyCity.exe"), Layers}, {Entry(L"SanAndreas.exe"), Layers}};
    }

    [[nodiscard]] RegValues Decoys() const
    {
        const std::wstring parent = ParentDirectory();
        return {{parent + L"\\ViceCity.exe", Layers},
                {parent + L"\\Other\\LibertyCity.exe", Layers},
                {Entry(L"Notepad.exe"), Layers},
                {Entry(L"SanAndreas.exe.old"), Layers}};
    }

    static RegValues Merge(RegValues first, const RegValues& second)
    {
        first.insert(second.begin(), second.end());
        return first;
    }

    static void ExpectConfirmation(const ObservedBox& box)
    {
        EXPECT_EQ(box.caption, L"Success");
        EXPECT_EQ(box.text, L"Successfully removed the registry value");
        EXPECT_EQ(box.buttons, std::vector<std::wstring>{L"OK"});
    }
};

// The cases that every program file must pass, the 32-bit deliverable included.
class EndToEnd : public EndToEndFixture, public ::testing::WithParamInterface<Program> {
protected:
    [[nodiscard]] Result Run() const { return RunProgram(GetParam()); }
};

// Cases run on this build only, to keep the deliverable's costly starts few.
class EndToEndThisBuild : public EndToEndFixture {
protected:
    [[nodiscard]] Result Run(const std::vector<std::wstring>& arguments = {}) const
    {
        return RunProgram(ThisBuild(), arguments);
    }
};

TEST_P(EndToEnd, RemovesTheThreeEntriesInOrderOneBoxEach)
{
    ResetLayersKey(Merge(Targets(), Decoys()));

    const Result result = Run();

    EXPECT_EQ(result.exitCode, 0U);
    ASSERT_EQ(result.boxes.size(), 3U);
    for (const SeenBox& seen : result.boxes) {
        ExpectConfirmation(seen.box);
    }
    EXPECT_EQ(result.boxes[0].layers,
              Merge({{Entry(L"LibertyCity.exe"), Layers}, {Entry(L"SanAndreas.exe"), Layers}}, Decoys()));
    EXPECT_EQ(result.boxes[1].layers, Merge({{Entry(L"SanAndreas.exe"), Layers}}, Decoys()));
    EXPECT_EQ(result.boxes[2].layers, Decoys());
    EXPECT_EQ(ReadLayersKey(), Decoys());
}

TEST_P(EndToEnd, KeepsANonStringTargetEntry)
{
    const RegValues kept = Merge({{Entry(L"LibertyCity.exe"), DwordValue(1)}}, Decoys());
    ResetLayersKey(Merge({{Entry(L"ViceCity.exe"), Layers}, {Entry(L"SanAndreas.exe"), Layers}}, kept));

    const Result result = Run();

    EXPECT_EQ(result.exitCode, 0U);
    ASSERT_EQ(result.boxes.size(), 2U);
    ExpectConfirmation(result.boxes[0].box);
    ExpectConfirmation(result.boxes[1].box);
    EXPECT_EQ(result.boxes[0].layers, Merge({{Entry(L"SanAndreas.exe"), Layers}}, kept));
    EXPECT_EQ(result.boxes[1].layers, kept);
    EXPECT_EQ(ReadLayersKey(), kept);
}

TEST_P(EndToEnd, ASecondRunIsSilent)
{
    ResetLayersKey(Merge(Targets(), Decoys()));
    ASSERT_EQ(Run().boxes.size(), 3U);

    const Result second = Run();

    EXPECT_EQ(second.exitCode, 0U);
    EXPECT_TRUE(second.boxes.empty());
    EXPECT_EQ(ReadLayersKey(), Decoys());
}

TEST_P(EndToEnd, ReportsALockedKeyAndRemovesNothing)
{
    ResetLayersKey(Merge(Targets(), Decoys()));
    Result result{};
    {
        const DenyValueWrites locked(HKEY_CURRENT_USER, LayersPath());
        result = Run();
    }

    EXPECT_EQ(result.exitCode, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    ASSERT_EQ(result.boxes.size(), 1U);
    const ObservedBox& box = result.boxes[0].box;
    EXPECT_EQ(box.caption, L"LayerCleanup");
    const std::string expected = "RegCreateKeyExW failed.: " + std::system_category().message(5);
    EXPECT_EQ(box.text, std::wstring(expected.begin(), expected.end()));
    EXPECT_EQ(box.buttons, std::vector<std::wstring>{L"OK"});
    EXPECT_EQ(ReadLayersKey(), Merge(Targets(), Decoys()));
}

INSTANTIATE_TEST_SUITE_P(, EndToEnd, ::testing::Values(ThisBuild(), Deliverable32()),
                         [](const ::testing::TestParamInfo<Program>& program) {
                             return std::string(program.param.name);
                         });

TEST_F(EndToEndThisBuild, IgnoresItsArguments)
{
    ResetLayersKey(Merge({{Entry(L"LibertyCity.exe"), Layers}}, Decoys()));

    const Result result = Run({L"/?", L"--all", L"C:\\Windows", L"Notepad.exe"});

    EXPECT_EQ(result.exitCode, 0U);
    ASSERT_EQ(result.boxes.size(), 1U);
    ExpectConfirmation(result.boxes[0].box);
    EXPECT_EQ(ReadLayersKey(), Decoys());
}

TEST_F(EndToEndThisBuild, CreatesTheKeyWhenAbsentAndShowsNothing)
{
    DeleteKeyTree(HKEY_CURRENT_USER, LayersPath());

    const Result result = Run();

    EXPECT_EQ(result.exitCode, 0U);
    EXPECT_TRUE(result.boxes.empty());
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, LayersPath()));
}

} // namespace
