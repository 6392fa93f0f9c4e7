#include "registry/RegHandle.h"
#include "registry/RegException.h"
#include "support/CountingRegistry.h"
#include "support/Expected.h"
#include "support/ImportHook.h"
#include "support/TestRegistry.h"
#include "support/Thrown.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cwchar>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

struct ProbeCase {
    const char* description;
    DWORD type;
    Bytes data;
    // What a correct system may deliver: one result where Windows documents it
    // or Wine's conformance tests, which also run on Windows, show it; each
    // plausible one where Windows leaves it open.
    std::vector<std::optional<std::wstring>> accepted;
};

const std::vector<ProbeCase> ProbeCases{
    {"plain text", REG_SZ, StringData(L"~ WINXPSP3 RUNASADMIN"), {L"~ WINXPSP3 RUNASADMIN"}},
    {"empty string", REG_SZ, StringData(L""), {L""}},
    // RegGetValue terminates string data stored without a null.
    {"string without terminator", REG_SZ, {'a', 0, 'b', 0}, {L"ab"}},
    // A value with no data reads as empty text.
    {"no data at all", REG_SZ, {}, {L""}},
    // Undocumented on Windows: half a character, read as nothing or as that byte.
    {"one byte", REG_SZ, {'a'}, {L"", L"a"}},
    // Undocumented on Windows: an odd size, whose last half character is dropped or read.
    {"odd size, unterminated", REG_SZ, {'a', 0, 'b', 0, 'c'}, {L"ab", L"abc"}},
    {"odd size, ending in half a null", REG_SZ, {'a', 0, 'b', 0, 'c', 0, 0}, {L"abc"}},
    {"expandable string, delivered expanded", REG_EXPAND_SZ, StringData(L"C:\\Games"), {L"C:\\Games"}},
    {"32-bit number", REG_DWORD, {1, 0, 0, 0}, {std::nullopt}},
    {"binary", REG_BINARY, {'a', 0, 0, 0}, {std::nullopt}},
    {"multi-string", REG_MULTI_SZ, {'a', 0, 0, 0, 0, 0}, {std::nullopt}},
};

// Where these tests keep their values: the Layers key, emptied.
winreg::RegHandle EmptyKey()
{
    ResetLayersKey();
    return OpenKey(HKEY_CURRENT_USER, expected::LayersKey);
}

TEST(RegHandleProbeString, ReadsOnlyWhatTheSystemDeliversAsAString)
{
    const winreg::RegHandle key = EmptyKey();
    for (const ProbeCase& probe : ProbeCases) {
        WriteValue(key.Get(), L"value", RegValue{probe.type, probe.data});
        const std::optional<std::wstring> read = key.ProbeString(L"value");
        EXPECT_NE(std::find(probe.accepted.begin(), probe.accepted.end(), read), probe.accepted.end())
            << probe.description << ": read as " << ::testing::PrintToString(read);
        // Probing reads; it never changes the value.
        EXPECT_EQ(ReadValue(key.Get(), L"value"), (RegValue{probe.type, probe.data})) << probe.description;
    }
}

// Checks, on each read into a buffer, that the size the probe states fits the
// buffer: the probe's buffer is all spaces up to its terminating null.
std::vector<std::pair<DWORD, std::size_t>> statedAndAvailable;

LONG WINAPI MeasuringRead(HKEY key, LPCWSTR subKey, LPCWSTR name, DWORD flags, LPDWORD type, PVOID data, LPDWORD size)
{
    if (data != nullptr && size != nullptr) {
        statedAndAvailable.emplace_back(*size, std::wcslen(static_cast<const wchar_t*>(data)) * sizeof(wchar_t));
    }
    return SystemFunction<decltype(RegGetValueW)>("RegGetValueW")(key, subKey, name, flags, type, data, size);
}

TEST(RegHandleProbeString, NeverStatesMoreRoomThanItsBufferHas)
{
    const winreg::RegHandle key = EmptyKey();
    const ImportHook<decltype(RegGetValueW)> hook("RegGetValueW", &MeasuringRead);
    for (const std::size_t bytes : {1U, 3U, 5U, 7U, 1001U, 65535U}) {
        WriteValue(key.Get(), L"odd", RegValue{REG_SZ, Bytes(bytes, 'x')});
        statedAndAvailable.clear();
        EXPECT_TRUE(key.ProbeString(L"odd").has_value()) << bytes;
        ASSERT_EQ(statedAndAvailable.size(), 1U) << bytes;
        EXPECT_LE(statedAndAvailable[0].first, statedAndAvailable[0].second) << bytes << " bytes";
    }
}

// Some registry implementations (Wine's among them) expand REG_EXPAND_SZ data
// into the caller's buffer with its size counted in characters instead of
// bytes. When the expansion comes out longer than the first call said (an
// unterminated value is expanded with whatever follows it), up to twice the
// stated size is written before the call reports ERROR_MORE_DATA.
LONG WINAPI ExpandingInCharacters(HKEY /*key*/, LPCWSTR /*subKey*/, LPCWSTR /*name*/, DWORD /*flags*/, LPDWORD /*type*/,
                                  PVOID data, LPDWORD size)
{
    if (size == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (data == nullptr) {
        *size = 4001;
        return ERROR_SUCCESS;
    }
    const DWORD characters = *size;
    std::fill_n(static_cast<wchar_t*>(data), characters, L'x');
    *size = characters * 2;
    return ERROR_MORE_DATA;
}

bool AllHeapsValid()
{
    std::vector<HANDLE> heaps(GetProcessHeaps(0, nullptr) + 16);
    heaps.resize(GetProcessHeaps(static_cast<DWORD>(heaps.size()), heaps.data()));
    return std::all_of(heaps.begin(), heaps.end(), [](HANDLE heap) { return HeapValidate(heap, 0, nullptr) != FALSE; });
}

TEST(RegHandleProbeString, SurvivesAnExpansionWrittenInCharacters)
{
    const winreg::RegHandle key(HKEY_CURRENT_USER);
    ASSERT_TRUE(AllHeapsValid());
    {
        const ImportHook<decltype(RegGetValueW)> hook("RegGetValueW", &ExpandingInCharacters);
        for (int attempt = 0; attempt < 64; ++attempt) {
            EXPECT_EQ(key.ProbeString(L"C:\\Games\\ViceCity.exe"), std::nullopt);
        }
    }
    EXPECT_TRUE(AllHeapsValid());
}

TEST(RegHandleProbeString, ReadsAnExpandableStringAsItsExpansion)
{
    const winreg::RegHandle key = EmptyKey();
    WriteValue(key.Get(), L"expandable", RegValue{REG_EXPAND_SZ, StringData(L"%SystemRoot%\\Games")});
    std::wstring root(MAX_PATH, L'\0');
    root.resize(GetEnvironmentVariableW(L"SystemRoot", root.data(), MAX_PATH));
    ASSERT_FALSE(root.empty());
    EXPECT_EQ(key.ProbeString(L"expandable"), root + L"\\Games");
}

TEST(RegHandleProbeString, ReportsAMissingValueAsAbsent)
{
    const winreg::RegHandle key = EmptyKey();
    EXPECT_EQ(key.ProbeString(L"C:\\Games\\ViceCity.exe"), std::nullopt);
}

TEST(RegHandleProbeString, ReadsLongTextWhole)
{
    const winreg::RegHandle key = EmptyKey();
    const std::wstring text(32767, L'x');
    WriteValue(key.Get(), L"long", StringValue(text));
    EXPECT_EQ(key.ProbeString(L"long"), text);
}

TEST(RegHandleProbeString, OnAnEmptyHandleIsAbsent)
{
    const winreg::RegHandle empty;
    EXPECT_EQ(empty.ProbeString(L"value"), std::nullopt);
}

TEST(RegHandleRemoveValue, DeletesTheNamedValueOnly)
{
    const winreg::RegHandle key = EmptyKey();
    WriteValue(key.Get(), L"D:\\Apps\\ViceCity.exe", StringValue(L"~ WINXPSP3"));
    WriteValue(key.Get(), L"D:\\Apps\\ViceCity.exe ", StringValue(L"~ WINXPSP3"));

    key.RemoveValue(L"D:\\Apps\\ViceCity.exe");

    EXPECT_EQ(ReadAllValues(key.Get()), (RegValues{{L"D:\\Apps\\ViceCity.exe ", StringValue(L"~ WINXPSP3")}}));
}

TEST(RegHandleRemoveValue, OfAMissingValueThrowsWithStatusAndMessage)
{
    const winreg::RegHandle key = EmptyKey();

    const auto error = Thrown<winreg::RegException>([&key] { key.RemoveValue(L"missing"); });

    ASSERT_TRUE(error) << "no exception";
    EXPECT_EQ(error->code().value(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(std::string(error->what()),
              "RegDeleteValueW failed.: " + std::system_category().message(ERROR_FILE_NOT_FOUND));
}

TEST(RegHandleOpenOrCreate, CreatesAMissingKeyAndOpensAnExistingOne)
{
    ResetLayersKey();
    const std::wstring path = expected::LayersKey + L"\\Sub\\Key";
    ASSERT_FALSE(KeyExists(HKEY_CURRENT_USER, path));

    winreg::RegHandle created;
    created.OpenOrCreate(HKEY_CURRENT_USER, path, KEY_READ | KEY_WRITE | KEY_WOW64_64KEY);
    EXPECT_NE(created.Get(), nullptr);
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, path));
    WriteValue(created.Get(), L"kept", DwordValue(7));

    winreg::RegHandle opened;
    opened.OpenOrCreate(HKEY_CURRENT_USER, path, KEY_READ);
    EXPECT_EQ(ReadValue(opened.Get(), L"kept"), DwordValue(7));
}

TEST(RegHandleOpenOrCreate, WithAnInvalidParentThrowsAndStaysEmpty)
{
    winreg::RegHandle key;

    const auto error = Thrown<winreg::RegException>(
        [&key] { key.OpenOrCreate(reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x1234)), L"Sub", KEY_READ); });

    ASSERT_TRUE(error) << "no exception";
    EXPECT_EQ(error->code().value(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(std::string(error->what()),
              "RegCreateKeyExW failed.: " + std::system_category().message(ERROR_INVALID_HANDLE));
    EXPECT_EQ(key.Get(), nullptr);
}

// A key opened past the handle class, for it to take over.
HKEY OpenRaw()
{
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, expected::LayersKey.c_str(), 0, nullptr, 0, KEY_READ, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    return key;
}

// The keys this executable has closed since the last CountingRegistry began.
const std::vector<HKEY>& ClosedKeys()
{
    return CountingRegistry::Counts().closedKeys;
}

TEST(RegHandleRelease, OfAnEmptyObjectClosesNothing)
{
    const CountingRegistry counting;
    winreg::RegHandle key;
    key.Release();
    EXPECT_EQ(key.Get(), nullptr);
    EXPECT_TRUE(ClosedKeys().empty());
}

TEST(RegHandleRelease, NeverClosesAPredefinedRoot)
{
    const CountingRegistry counting;
    winreg::RegHandle key(HKEY_CURRENT_USER);
    key.Release();
    EXPECT_EQ(key.Get(), nullptr);
    EXPECT_TRUE(ClosedKeys().empty());
}

TEST(RegHandleRelease, ClosesAnOpenedKeyExactlyOnce)
{
    const CountingRegistry counting;
    const HKEY raw = OpenRaw();
    {
        winreg::RegHandle key(raw);
        key.Release();
        EXPECT_EQ(key.Get(), nullptr);
        EXPECT_EQ(ClosedKeys(), std::vector<HKEY>{raw});
        key.Release();
    }
    EXPECT_EQ(ClosedKeys(), std::vector<HKEY>{raw});
}

TEST(RegHandleRelease, HappensOnDestruction)
{
    const CountingRegistry counting;
    const HKEY raw = OpenRaw();
    {
        const winreg::RegHandle key(raw);
    }
    EXPECT_EQ(ClosedKeys(), std::vector<HKEY>{raw});
}

TEST(RegHandleRelease, ClosesAnObsoleteDynDataHandleLikeAnyOther)
{
    const CountingRegistry counting;
    {
        const winreg::RegHandle key(HKEY_DYN_DATA);
    }
    EXPECT_EQ(ClosedKeys(), std::vector<HKEY>{HKEY_DYN_DATA});
}

TEST(RegHandleRelease, FollowsTheKeyWhenMoved)
{
    const CountingRegistry counting;
    const HKEY raw = OpenRaw();
    {
        winreg::RegHandle first(raw);
        winreg::RegHandle second(std::move(first));
        // NOLINTNEXTLINE(bugprone-use-after-move,clang-analyzer-cplusplus.Move): the moved-from state is the point
        EXPECT_EQ(first.Get(), nullptr);
        EXPECT_EQ(second.Get(), raw);
        winreg::RegHandle third;
        third = std::move(second);
        EXPECT_TRUE(ClosedKeys().empty());
    }
    EXPECT_EQ(ClosedKeys(), std::vector<HKEY>{raw});
}

TEST(RegHandleRelease, ClosesTheOldKeyWhenReopened)
{
    const CountingRegistry counting;
    const HKEY raw = OpenRaw();
    winreg::RegHandle key(raw);
    key.OpenOrCreate(HKEY_CURRENT_USER, expected::LayersKey, KEY_READ);
    EXPECT_EQ(ClosedKeys(), std::vector<HKEY>{raw});
    EXPECT_NE(key.Get(), nullptr);
}

TEST(RegHandleIsPredefinedRoot, IsTrueForExactlyTheNineRoots)
{
    const auto handle = [](const ULONG value) {
        return reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(value)));
    };
    for (const ULONG value : {0x80000000UL, 0x80000001UL, 0x80000002UL, 0x80000003UL, 0x80000004UL, 0x80000005UL,
                              0x80000007UL, 0x80000050UL, 0x80000060UL}) {
        EXPECT_TRUE(winreg::RegHandle::IsPredefinedRoot(handle(value))) << std::hex << value;
    }
    for (const ULONG value : {0x80000006UL, 0x80000008UL, 0x80000051UL, 0x7FFFFFFFUL, 0x00000001UL, 0UL}) {
        EXPECT_FALSE(winreg::RegHandle::IsPredefinedRoot(handle(value))) << std::hex << value;
    }
    const winreg::RegHandle layers = OpenKey(HKEY_CURRENT_USER, expected::LayersKey);
    EXPECT_FALSE(winreg::RegHandle::IsPredefinedRoot(layers.Get()));
}

} // namespace
