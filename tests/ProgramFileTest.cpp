// The program files as they are shipped, checked without running them: the
// format Windows 6.0 and later needs, no resources, a size budget, and no
// import beyond the system functions the program calls on purpose.

#include "support/BoxAnswerer.h"
#include "support/PeFile.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace {

constexpr std::uint64_t SizeBudget = std::uint64_t{1024} * 1024;

struct ProgramFile {
    const char* description;
    std::wstring path;
    WORD machine;
    WORD magic;
};

std::vector<ProgramFile> ProgramFiles()
{
    const bool wide = sizeof(void*) == 8;
    return {
        // The 32-bit deliverable lives in the win32 preset's tree, beside this one.
        {"the 32-bit deliverable", ProgramFolder() + L"\\..\\win32\\LayerCleanup.exe", IMAGE_FILE_MACHINE_I386,
         IMAGE_NT_OPTIONAL_HDR32_MAGIC},
        {"this build's program", ProgramFolder() + L"\\LayerCleanup.exe",
         wide ? IMAGE_FILE_MACHINE_AMD64 : IMAGE_FILE_MACHINE_I386,
         wide ? IMAGE_NT_OPTIONAL_HDR64_MAGIC : IMAGE_NT_OPTIONAL_HDR32_MAGIC},
    };
}

class ProgramFileTest : public ::testing::TestWithParam<ProgramFile> {
protected:
    static PeFile Read(const ProgramFile& program)
    {
        try {
            return ReadPeFile(program.path);
        } catch (const std::exception& error) {
            ADD_FAILURE() << program.description << ": " << error.what() << " (is the win32 preset built?)";
            return {};
        }
    }
};

TEST_P(ProgramFileTest, IsAGuiProgramForWindows6)
{
    const PeFile file = Read(GetParam());
    EXPECT_EQ(file.machine, GetParam().machine);
    EXPECT_EQ(file.magic, GetParam().magic);
    EXPECT_EQ(file.subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
    EXPECT_EQ(file.subsystemVersion[0], 6);
    EXPECT_EQ(file.subsystemVersion[1], 0);
    EXPECT_EQ(file.osVersion[0], 6);
    EXPECT_EQ(file.osVersion[1], 0);
}

TEST_P(ProgramFileTest, CarriesNoResourcesAndNoLinkTime)
{
    const PeFile file = Read(GetParam());
    EXPECT_FALSE(file.hasResourceDirectory);
    EXPECT_EQ(std::count(file.sections.begin(), file.sections.end(), ".rsrc"), 0);
    EXPECT_EQ(file.timestamp, 0U) << "a link timestamp makes every build differ";
}

TEST_P(ProgramFileTest, StaysWithinItsSizeBudget)
{
    const PeFile file = Read(GetParam());
    EXPECT_GT(file.size, 0U);
    EXPECT_LE(file.size, SizeBudget);
}

TEST_P(ProgramFileTest, ImportsOnlyTheSystemFunctionsItCalls)
{
    const PeFile file = Read(GetParam());
    const std::set<std::string> systemDlls{"KERNEL32.DLL", "USER32.DLL", "ADVAPI32.DLL", "MSVCRT.DLL"};
    for (const auto& imports : {file.imports, file.delayImports}) {
        for (const auto& [dll, functions] : imports) {
            EXPECT_EQ(systemDlls.count(dll), 1U) << "imports from " << dll;
        }
    }
    ASSERT_EQ(file.imports.count("ADVAPI32.DLL"), 1U);
    EXPECT_EQ(file.imports.at("ADVAPI32.DLL"),
              (std::set<std::string>{"RegCloseKey", "RegCreateKeyExW", "RegDeleteValueW", "RegGetValueW"}));
    // USER32 is bound only when the first box is shown.
    EXPECT_EQ(file.imports.count("USER32.DLL"), 0U);
    ASSERT_EQ(file.delayImports.count("USER32.DLL"), 1U);
    EXPECT_EQ(file.delayImports.at("USER32.DLL"), std::set<std::string>{"MessageBoxA"});
}

INSTANTIATE_TEST_SUITE_P(Shipped, ProgramFileTest, ::testing::ValuesIn(ProgramFiles()),
                         [](const ::testing::TestParamInfo<ProgramFile>& param) {
                             return param.index == 0 ? std::string("Deliverable32") : std::string("ThisBuild");
                         });

} // namespace
