#include "cleanup/ValueName.h"
#include "support/FailingDirectoryQuery.h"
#include "support/Folders.h"
#include "support/ImportHook.h"
#include "support/Thrown.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

struct JoinCase {
    const wchar_t* directory;
    const wchar_t* fileName;
    const wchar_t* valueName;
};

TEST(ComposeValueName, JoinsWithExactlyOneSeparatorAndChangesNothingElse)
{
    const std::vector<JoinCase> cases{
        {L"D:\\Apps", L"ViceCity.exe", L"D:\\Apps\\ViceCity.exe"},
        {L"C:\\", L"ViceCity.exe", L"C:\\ViceCity.exe"},
        {L"\\\\server\\share\\Games", L"SanAndreas.exe", L"\\\\server\\share\\Games\\SanAndreas.exe"},
        {L"D:\\Apps/", L"LibertyCity.exe", L"D:\\Apps/LibertyCity.exe"},
        {L"d:\\GAMES\\.\\old\\..", L"ViceCity.exe", L"d:\\GAMES\\.\\old\\..\\ViceCity.exe"},
        {L"D:/Apps", L"ViceCity.exe", L"D:/Apps\\ViceCity.exe"},
        {L"\\\\?\\D:\\Apps", L"ViceCity.exe", L"\\\\?\\D:\\Apps\\ViceCity.exe"},
        {L"C:\\Spiele \x00C4\x00D6\x00DC \x6E38\x620F", L"ViceCity.exe",
         L"C:\\Spiele \x00C4\x00D6\x00DC \x6E38\x620F\\ViceCity.exe"},
    };
    for (const JoinCase& join : cases) {
        EXPECT_EQ(ComposeValueName(join.directory, join.fileName), join.valueName);
    }
}

TEST(QueryCurrentDirectory, ReturnsTheWorkingDirectoryAsTheSystemReportsIt)
{
    const TempFolder folder(L"Value name \x00E9\x6E38");
    const ScopedCurrentDirectory inside(folder.Path());
    EXPECT_EQ(QueryCurrentDirectory(), folder.Path());
}

TEST(QueryCurrentDirectory, KeepsTheSeparatorOfADriveRoot)
{
    const ScopedCurrentDirectory inside(L"C:\\");
    EXPECT_EQ(QueryCurrentDirectory(), L"C:\\");
}

// Counts the directory queries, passing each on to the system.
int directoryQueries = 0;

DWORD WINAPI CountingDirectoryQuery(DWORD length, LPWSTR buffer)
{
    ++directoryQueries;
    return SystemFunction<decltype(GetCurrentDirectoryW)>("GetCurrentDirectoryW")(length, buffer);
}

TEST(QueryCurrentDirectory, ReadsADirectoryLongerThan259CharactersWholeAfterOneEnlargement)
{
    // 300 characters: Wine lets a process enter a longer working directory
    // but overruns its own heap with it past about 350; Windows without
    // long-path support refuses to enter it at all.
    const TempFolder folder;
    const std::wstring deep = folder.MakeSubfolderOfLength(300);
    if (!CanEnter(deep)) {
        GTEST_SKIP() << "this system lets no program enter a directory of 300 characters unless it has declared "
                        "itself aware of long paths, which LayerCleanup has not";
    }
    const ScopedCurrentDirectory inside(deep);

    const ImportHook<decltype(GetCurrentDirectoryW)> hook("GetCurrentDirectoryW", &CountingDirectoryQuery);
    directoryQueries = 0;
    const std::wstring directory = QueryCurrentDirectory();

    EXPECT_EQ(directory, deep);
    EXPECT_EQ(directoryQueries, 2);
}

// A directory that keeps growing while it is read: each call asks for more
// room than the last until the fourth, which fits.
std::vector<DWORD> offeredLengths;
const std::wstring GrowingDirectory = L"G:\\" + std::wstring(597, L'g'); // 600 characters

DWORD WINAPI GrowingDirectoryQuery(DWORD length, LPWSTR buffer)
{
    offeredLengths.push_back(length);
    switch (offeredLengths.size()) {
    case 1:
        return 300;
    case 2:
        return 450;
    case 3:
        return 601; // the text and its null
    default:
        std::memcpy(buffer, GrowingDirectory.c_str(), (GrowingDirectory.size() + 1) * sizeof(wchar_t));
        return static_cast<DWORD>(GrowingDirectory.size());
    }
}

TEST(QueryCurrentDirectory, AsksAgainForAsLongAsTheSystemWantsMoreRoom)
{
    offeredLengths.clear();
    const ImportHook<decltype(GetCurrentDirectoryW)> hook("GetCurrentDirectoryW", &GrowingDirectoryQuery);
    EXPECT_EQ(QueryCurrentDirectory(), GrowingDirectory);
    EXPECT_EQ(offeredLengths, (std::vector<DWORD>{260, 300, 450, 601}));
}

TEST(QueryCurrentDirectory, RaisesTheFilesystemErrorWithTheSystemStatus)
{
    const ImportHook<decltype(GetCurrentDirectoryW)> failing("GetCurrentDirectoryW", &FailingDirectoryQuery);

    const auto error = Thrown<std::filesystem::filesystem_error>([] { static_cast<void>(QueryCurrentDirectory()); });

    ASSERT_TRUE(error) << "no exception";
    EXPECT_EQ(error->code().value(), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(error->code().category(), std::system_category());
    const std::string description = error->what();
    EXPECT_NE(description.find("current_path(): " + std::system_category().message(ERROR_PATH_NOT_FOUND)),
              std::string::npos)
        << description;
    EXPECT_TRUE(error->path1().empty());
    EXPECT_TRUE(error->path2().empty());
}

} // namespace
