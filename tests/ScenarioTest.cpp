// Every scenario of a run, written once as a row of one table and run three
// ways: in-process (InProcess), where HKEY_CURRENT_USER is the test program's
// scratch registry; and as a user starts them, this build's LayerCleanup.exe
// (ThisBuild) and the 32-bit deliverable that users get (Deliverable32),
// against the account's real Layers key, with their boxes read and answered
// from outside. A started program cannot be mapped: its scenarios add entries
// only in a folder of their own, and everything else the key holds must stay
// as it was, byte for byte.

#include "Scenarios.h"

#include "cleanup/ErrorReport.h"
#include "cleanup/RunCleanup.h"
#include "support/BoxAnswerer.h"
#include "support/BoxRecorder.h"
#include "support/Expected.h"
#include "support/Folders.h"
#include "support/LayersUnderTest.h"
#include "support/ScratchRegistry.h"
#include "support/SuiteAccount.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace {

using expected::LibertyCity;
using expected::SanAndreas;
using expected::ViceCity;

enum Way : unsigned { InProcess = 1U, ThisBuild = 2U, Deliverable32 = 4U };
constexpr unsigned AllWays = InProcess | ThisBuild | Deliverable32;

// Entry names are written relative to the run: "<dir>" stands for the working
// directory without a trailing separator, "<up>" for the folder that holds
// it. Both lie in a folder of the scenario's own, except at a drive root
// (in-process only), where <up> stands for nothing.
struct Scenario {
    const char* name;
    unsigned ways;
    KeyState key;
    RegValues before;
    std::vector<SeenBox> boxes; // in order, each with the Layers key while it is open
    RegValues after;
    DWORD exitCode = 0;
    bool again = false; // a second run right after shows nothing and leaves the key as it is
    bool atDriveRoot = false;
    std::vector<std::wstring> arguments = {}; // given to the program; a run in-process takes none
};

const RegValue Layers = StringValue(L"~ WINXPSP3");

RegValues Merge(RegValues first, const RegValues& second)
{
    first.insert(second.begin(), second.end());
    return first;
}

// Names a run must leave alone, however close they come to a target's entry.
const RegValues Decoys{
    {L"<up>\\" + ViceCity, Layers},            // the folder above
    {L"<up>\\Other\\" + LibertyCity, Layers},  // a sibling folder
    {L"<dir>\\Sub\\" + SanAndreas, Layers},    // a subfolder
    {L"<dir>x\\" + ViceCity, Layers},          // a folder whose name begins like this one's
    {L"<dir>\\Notepad.exe", Layers},           // another program
    {L"<dir>\\" + ViceCity + L".bak", Layers}, // a longer name
    {L"<dir>\\" + LibertyCity + L" ", Layers}, // a trailing space
    {L"<dir>\\\\" + SanAndreas, Layers},       // a doubled separator
    {L"<dir>/" + ViceCity, Layers},            // a forward separator
};

SeenBox Confirmed(const RegValues& whileOpen)
{
    return {expected::ConfirmationCaption, expected::ConfirmationText, MB_OK, ~0U, false, Merge(whileOpen, Decoys)};
}

std::vector<Scenario> Table()
{
    const RegValues vice{{L"<dir>\\" + ViceCity, Layers}};
    const RegValues liberty{{L"<dir>\\" + LibertyCity, StringValue(L"")}};
    const RegValues san{{L"<dir>\\" + SanAndreas, StringValue(L"HIGHDPIAWARE")}};
    const RegValues all = Merge(Merge(Merge(vice, liberty), san), Decoys);
    const RegValues number{{L"<dir>\\" + LibertyCity, DwordValue(1)}};
    const RegValues notStrings{{L"<dir>\\" + ViceCity, RegValue{REG_BINARY, {'~', 0, 0, 0}}},
                               {L"<dir>\\" + SanAndreas, RegValue{REG_MULTI_SZ, StringData(L"~ WINXPSP3")}}};
    const RegValues expandable{{L"<dir>\\" + ViceCity, RegValue{REG_EXPAND_SZ, StringData(L"%SystemRoot% ~ X")}}};
    const RegValues rootLeft{{L"<dir>\\\\" + ViceCity, Layers}, {ViceCity, Layers}};
    const std::string lockedText = std::string(expected::KeyNotOpened) +
                                   "RegCreateKeyExW failed.: " + std::system_category().message(ERROR_ACCESS_DENIED);
    const SeenBox locked{expected::ErrorCaption, lockedText, MB_OK | MB_ICONERROR, ~0U, false, all};
    const std::vector<std::wstring> arguments{L"/?", L"--all", L"C:\\Windows", L"Notepad.exe"};
    const RegValues none;
    const auto present = KeyState::Present;

    // One row per scenario, read across: name, ways, the key's state, the key
    // before, the boxes, the key after [, exit status, again, at a drive root, arguments].
    // clang-format off
    return {
        {"AllThreeInOrderOneBoxEach", AllWays, present, all,
         {Confirmed(Merge(liberty, san)), Confirmed(san), Confirmed(none)}, Decoys, 0, true},
        {"ANonStringTargetEntryStays", AllWays, present, Merge(Merge(vice, number), Merge(san, Decoys)),
         {Confirmed(Merge(number, san)), Confirmed(number)}, Merge(number, Decoys)},
        {"ArgumentsChangeNothing", InProcess | ThisBuild, present, Merge(liberty, Decoys),
         {Confirmed(none)}, Decoys, 0, false, false, arguments},
        {"NothingButLookAlikes", InProcess | ThisBuild, present, Merge(notStrings, Decoys),
         {}, Merge(notStrings, Decoys)},
        {"AnExpandableStringIsRemovedLikeAPlainOne", InProcess | ThisBuild, present, Merge(expandable, Decoys),
         {Confirmed(none)}, Decoys},
        {"AtADriveRootOneSeparator", InProcess, present, Merge(vice, Merge(rootLeft, Decoys)),
         {Confirmed(rootLeft)}, Merge(rootLeft, Decoys), 0, false, true},
        {"AnAbsentKeyIsCreatedAndNothingShown", InProcess | ThisBuild, KeyState::Absent, none,
         {}, none},
        {"ALockedKeyIsReportedAndNothingRemoved", AllWays, KeyState::Locked, all,
         {locked}, all, ERROR_ACCESS_DENIED},
    };
    // clang-format on
    // clang-format on
}

// Where a scenario runs, and what its entry names stand for there.
class Place {
public:
    explicit Place(const bool atDriveRoot)
        : m_directory(atDriveRoot ? L"C:\\" : m_own.MakeSubfolder(L"Spiele \x00C4\x00D6\x00DC")),
          m_up(atDriveRoot ? L"" : m_own.Path())
    {
    }

    [[nodiscard]] const std::wstring& Directory() const noexcept { return m_directory; }
    [[nodiscard]] const std::wstring& OwnFolder() const noexcept { return m_own.Path(); }

    [[nodiscard]] RegValues Resolve(const RegValues& values) const
    {
        const std::wstring directory = m_directory.substr(0, m_directory.find_last_not_of(L'\\') + 1);
        RegValues resolved;
        for (const auto& [name, value] : values) {
            std::wstring full = name;
            for (const auto& [mark, stands] : {std::pair{L"<dir>", directory}, std::pair{L"<up>", m_up}}) {
                if (name.rfind(mark, 0) == 0) {
                    full = stands + name.substr(std::wstring(mark).size());
                }
            }
            resolved.emplace(full, value);
        }
        return resolved;
    }

private:
    TempFolder m_own{L"Scenario"};
    std::wstring m_directory;
    std::wstring m_up;
};

// The program a way starts, if the build has said where it is: the
// deliverable's path relative to this executable is LAYERCLEANUP_DELIVERABLE.
std::wstring ProgramPath(const Way way)
{
    if (way == ThisBuild) {
        return ProgramFolder() + L"\\LayerCleanup.exe";
    }
    std::wstring relative(GetEnvironmentVariableW(L"LAYERCLEANUP_DELIVERABLE", nullptr, 0), L'\0');
    relative.resize(
        GetEnvironmentVariableW(L"LAYERCLEANUP_DELIVERABLE", relative.data(), static_cast<DWORD>(relative.size())));
    std::replace(relative.begin(), relative.end(), L'/', L'\\');
    return relative.empty() ? L"" : ProgramFolder() + L"\\" + relative;
}

class ScenarioRun : public ::testing::Test {
public:
    ScenarioRun(Scenario scenario, const Way way) : m_scenario(std::move(scenario)), m_way(way) {}

    void TestBody() override
    {
        const std::wstring program = m_way == InProcess ? L"" : ProgramPath(m_way);
        std::optional<RealCurrentUser> realAccount;
        if (m_way != InProcess) {
            if (program.empty()) {
                GTEST_SKIP() << "LAYERCLEANUP_DELIVERABLE does not name the 32-bit deliverable, as CTest does; "
                                "the ThisBuild cases run the LayerCleanup.exe beside this program";
            }
            realAccount.emplace();
            if (const std::string reason = WhyNotHere(); !reason.empty()) {
                GTEST_SKIP() << reason;
            }
        }

        const Place place(m_scenario.atDriveRoot);
        const LayersUnderTest layers(program.empty() ? L"" : place.OwnFolder(), m_scenario.key,
                                     place.Resolve(m_scenario.before));
        Check(Run(program, place), m_scenario.exitCode, m_scenario.boxes, layers, place);
        if (m_scenario.again) {
            SCOPED_TRACE("the second run");
            Check(Run(program, place), 0, {}, layers, place);
        }
    }

private:
    // Why the scenario cannot run against this account's real Layers key, if it cannot.
    [[nodiscard]] std::string WhyNotHere() const
    {
        if (suite::IsDisposableAccount()) {
            return "";
        }
        if (m_scenario.key == KeyState::Absent) {
            return suite::NotDisposableReason("It deletes the Layers key, with every program's settings in it");
        }
        if (m_scenario.key == KeyState::Locked) {
            return suite::NotDisposableReason("It locks the Layers key against changes");
        }
        return ReadLayersKey() ? ""
                               : suite::NotDisposableReason("This account has no Layers key, and a run of "
                                                            "the program would create it");
    }

    [[nodiscard]] std::pair<DWORD, std::vector<SeenBox>> Run(const std::wstring& program, const Place& place) const
    {
        if (program.empty()) {
            const ScopedCurrentDirectory inside(place.Directory());
            const BoxRecorder recorder;
            const int status = RunReportingErrors(RunCleanup);
            return {static_cast<DWORD>(status), recorder.Boxes()};
        }
        // Where the 32-bit Wine is emulated, each start of the deliverable takes seconds.
        const ProgramRun run = RunAnsweringBoxes(
            program, m_scenario.arguments, place.Directory(),
            [](SeenBox& box) { box.layersWhileOpen = ReadLayersKey().value_or(RegValues{}); },
            m_way == Deliverable32 ? 120000 : 60000);
        EXPECT_EQ(run.failure, "");
        EXPECT_EQ(run.ran32Bit, m_way == Deliverable32 || sizeof(void*) == 4);
        return {run.exitCode, run.boxes};
    }

    void Check(const std::pair<DWORD, std::vector<SeenBox>>& outcome, const DWORD exitCode,
               const std::vector<SeenBox>& boxes, const LayersUnderTest& layers, const Place& place) const
    {
        const auto& [status, seen] = outcome;
        EXPECT_EQ(status, exitCode);
        ASSERT_EQ(seen.size(), boxes.size());
        for (std::size_t i = 0; i < boxes.size(); ++i) {
            EXPECT_TRUE(IsBox(seen[i], boxes[i].caption, boxes[i].text, boxes[i].style)) << "box " << i;
            EXPECT_EQ(seen[i].layersWhileOpen, layers.With(place.Resolve(boxes[i].layersWhileOpen)))
                << "the Layers key while box " << i << " was open";
        }
        EXPECT_EQ(ReadLayersKey(), layers.With(place.Resolve(m_scenario.after))) << "the Layers key after the run";
    }

    Scenario m_scenario;
    Way m_way;
};

} // namespace

void RegisterScenarios()
{
    for (const Scenario& scenario : Table()) {
        for (const auto& [way, wayName] : {std::pair{InProcess, "InProcess"}, std::pair{ThisBuild, "ThisBuild"},
                                           std::pair{Deliverable32, "Deliverable32"}}) {
            if ((scenario.ways & way) != 0) {
                ::testing::RegisterTest(
                    wayName, scenario.name, nullptr, nullptr, __FILE__, __LINE__,
                    // GoogleTest takes the case over and deletes it.
                    [scenario, way = way]() -> ::testing::Test* { return new ScenarioRun(scenario, way); });
            }
        }
    }
}
