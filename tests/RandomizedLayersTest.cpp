// The promise users need: a run removes the entries of the three targets in
// its working directory that it can read as strings, and nothing else.
// Each case fills the real Layers key with random targets and decoys, runs the
// cleanup in-process and compares the key byte for byte.
//
//   LAYERCLEANUP_FUZZ_SEED   replay a run (the seed is printed at the start and on failure)
//   LAYERCLEANUP_FUZZ_CASES  how many cases (default 2000)

#include "cleanup/RunCleanup.h"
#include "support/BoxRecorder.h"
#include "support/Expected.h"
#include "support/Folders.h"
#include "support/TestRegistry.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

using Rng = std::mt19937_64;

std::uint64_t EnvironmentNumber(const char* name, const std::uint64_t fallback)
{
    const char* text = std::getenv(name); // NOLINT(concurrency-mt-unsafe): read once, before any thread
    return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 0) : fallback;
}

std::size_t Uniform(Rng& rng, const std::size_t low, const std::size_t high)
{
    return std::uniform_int_distribution<std::size_t>(low, high)(rng);
}

bool Chance(Rng& rng, const double probability)
{
    return std::bernoulli_distribution(probability)(rng);
}

// Mostly small sizes, where the edge cases are; sometimes up to 64 KiB.
std::size_t RandomSize(Rng& rng)
{
    const std::size_t bucket = Uniform(rng, 0, 19);
    if (bucket < 10) {
        return Uniform(rng, 0, 16);
    }
    if (bucket < 16) {
        return Uniform(rng, 17, 1024);
    }
    if (bucket < 19) {
        return Uniform(rng, 1025, 8192);
    }
    return Uniform(rng, 8193, 65536);
}

std::wstring RandomText(Rng& rng, const std::size_t length)
{
    static const std::wstring alphabet = L"abcXYZ019 ~\\/.%_\x00E9\x00DF\x6E38\x0416";
    std::wstring text;
    for (std::size_t i = 0; i < length; ++i) {
        text += alphabet[Uniform(rng, 0, alphabet.size() - 1)];
    }
    return text;
}

std::vector<std::uint8_t> RandomBytes(Rng& rng, const std::size_t size)
{
    std::vector<std::uint8_t> bytes(size);
    for (std::uint8_t& byte : bytes) {
        byte = static_cast<std::uint8_t>(Uniform(rng, 0, 255));
    }
    return bytes;
}

// String data that is either well formed (text and its null) or raw: any
// size, odd ones included, terminated or not.
std::vector<std::uint8_t> RandomStringData(Rng& rng)
{
    const std::size_t size = RandomSize(rng);
    if (Chance(rng, 0.5)) {
        return StringData(RandomText(rng, size / 2));
    }
    std::vector<std::uint8_t> data = StringData(RandomText(rng, size / 2 + 1));
    data.resize(size);
    return data;
}

// Wine's RegGetValueW expands unterminated REG_EXPAND_SZ data by reading on
// past the end of its own copy of it. A 64-bit process has survived that read
// through tens of thousands of cases; a 32-bit one runs into an unmapped page
// within a few hundred and dies inside RegGetValueW, whatever the caller does.
// There, raw expandable data keeps its random content and size but ends in a null.
std::vector<std::uint8_t> RawExpandableData(Rng& rng)
{
    std::vector<std::uint8_t> data = RandomStringData(rng);
    if (sizeof(void*) == 4) {
        data.resize(data.size() + data.size() % 2 + 2, 0);
    }
    return data;
}

enum class Kind { String, EmptyString, ExpandableString, MultiString, Dword, Binary };

// Whether a REG_SZ-restricted read delivers the value. Expandable strings are
// delivered expanded; an unterminated one is expanded with whatever memory
// follows it inside the registry implementation, so whether it fits (and so is
// read at all) is not up to the test.
enum class Readable { Yes, No, Either };

struct Generated {
    RegValue value;
    Readable asString = Readable::No;
};

Generated RandomValue(Rng& rng)
{
    switch (static_cast<Kind>(Uniform(rng, 0, 5))) {
    case Kind::String:
        return {RegValue{REG_SZ, RandomStringData(rng)}, Readable::Yes};
    case Kind::EmptyString:
        return {RegValue{REG_SZ, Chance(rng, 0.5) ? StringData(L"") : std::vector<std::uint8_t>{}}, Readable::Yes};
    case Kind::ExpandableString:
        if (Chance(rng, 0.5)) {
            const std::wstring text = RandomText(rng, RandomSize(rng) / 2);
            return {RegValue{REG_EXPAND_SZ, StringData(Chance(rng, 0.3) ? L"%WINDIR%\\" + text : text)}, Readable::Yes};
        }
        return {RegValue{REG_EXPAND_SZ, RawExpandableData(rng)}, Readable::Either};
    case Kind::MultiString:
        return {RegValue{REG_MULTI_SZ, RandomStringData(rng)}, Readable::No};
    case Kind::Dword:
        return {Chance(rng, 0.8) ? DwordValue(static_cast<DWORD>(Uniform(rng, 0, 0xFFFFFFFF)))
                                 : RegValue{REG_DWORD, RandomBytes(rng, RandomSize(rng))},
                Readable::No};
    case Kind::Binary:
    default:
        return {RegValue{REG_BINARY, RandomBytes(rng, RandomSize(rng))}, Readable::No};
    }
}

std::wstring ParentOf(const std::wstring& directory)
{
    const std::size_t separator = directory.find_last_of(L'\\', directory.size() - 2);
    return directory.substr(0, separator == 2 ? 3 : separator);
}

bool IsDriveRoot(const std::wstring& directory)
{
    return directory.size() == 3 && directory[1] == L':' && directory[2] == L'\\';
}

// The directory with exactly one separator after it, written out by hand so
// that the expected names do not come from the code under test.
std::wstring Joined(const std::wstring& directory)
{
    return IsDriveRoot(directory) ? directory : directory + L"\\";
}

// Names that are not the entry of a target in `directory`, however close.
std::vector<std::wstring> DecoyNames(const std::wstring& directory, const std::wstring& fileName)
{
    const std::wstring joined = Joined(directory);
    const std::wstring stem = fileName.substr(0, fileName.size() - 4);
    std::vector<std::wstring> names{
        joined + L"Sub\\" + fileName,             // child
        joined + L"Notepad.exe",                  // another program, same folder
        joined + stem + L".ex",                   // a shorter name
        joined + fileName + L".bak",              // a longer name
        joined + L"x" + fileName,                 // a prefixed name
        joined + fileName + L" ",                 // trailing space
        joined + fileName + L".",                 // trailing dot
        joined + L"\\" + fileName,                // doubled separator
        directory + L"/" + fileName,              // forward separator
        fileName,                                 // the bare file name
        L"C:\\Program Files\\Other\\" + fileName, // elsewhere entirely
        L"C:\\Windows\\System32\\notepad.exe",    // another program's entry
        directory + L"x\\" + fileName,            // a folder this one's name is a prefix of
    };
    if (!IsDriveRoot(directory)) {
        const std::wstring parent = ParentOf(directory);
        const std::wstring parentJoined = Joined(parent);
        names.push_back(parentJoined + fileName);                                      // parent
        names.push_back(parentJoined + L"Sibling\\" + fileName);                       // sibling
        names.push_back(directory.substr(0, directory.size() - 1) + L"\\" + fileName); // a prefix of this folder
        names.push_back(directory + L"\\.\\" + fileName);                              // same file, other spelling
    }
    return names;
}

struct Case {
    std::wstring directory;
    RegValues initial;
    std::vector<std::pair<std::wstring, Readable>> targets; // the entries present, in table order
};

Case MakeCase(Rng& rng, const std::vector<std::wstring>& directories)
{
    Case made;
    made.directory = directories[Uniform(rng, 0, directories.size() - 1)];
    const std::wstring joined = Joined(made.directory);
    for (const std::wstring& fileName : expected::Targets) {
        if (Chance(rng, 0.6)) {
            const Generated entry = RandomValue(rng);
            made.initial[joined + fileName] = entry.value;
            made.targets.emplace_back(joined + fileName, entry.asString);
        }
        for (const std::wstring& decoy : DecoyNames(made.directory, fileName)) {
            if (Chance(rng, 0.25)) {
                made.initial[decoy] = RandomValue(rng).value;
            }
        }
    }
    return made;
}

std::string Narrow(const std::wstring& text)
{
    std::string narrow;
    for (const wchar_t c : text) {
        narrow += c < 128 ? static_cast<char>(c) : '?';
    }
    return narrow;
}

std::string Describe(const RegValues& values)
{
    std::ostringstream out;
    for (const auto& [name, value] : values) {
        out << "  \"" << Narrow(name) << "\" type " << value.type << ", " << value.data.size() << " bytes\n";
    }
    return out.str();
}

// Runs one case; returns what went wrong, or nothing.
std::string Check(const Case& tried)
{
    ResetLayersKey(tried.initial);
    std::vector<SeenBox> boxes;
    int status = -1;
    {
        const ScopedCurrentDirectory inside(tried.directory);
        const BoxRecorder recorder;
        status = RunCleanup();
        boxes = recorder.Boxes();
    }

    const RegValues actual = ReadLayersKey().value_or(RegValues{});
    std::vector<std::wstring> removed; // what should be gone, in table order
    for (const auto& [name, readable] : tried.targets) {
        if (readable == Readable::Yes || (readable == Readable::Either && actual.count(name) == 0)) {
            removed.push_back(name);
        }
    }

    std::ostringstream problems;
    if (status != 0) {
        problems << "exit status " << status << "\n";
    }
    if (boxes.size() != removed.size()) {
        problems << boxes.size() << " boxes for " << removed.size() << " removals\n";
    }
    // Box k is shown once the first k+1 removals are done and before any later one.
    for (std::size_t k = 0; k < std::min(boxes.size(), removed.size()); ++k) {
        if (const ::testing::AssertionResult confirmation = IsConfirmation(boxes[k]); !confirmation) {
            problems << "box " << k << ": " << confirmation.message() << "\n";
        }
        for (std::size_t j = 0; j < removed.size(); ++j) {
            const bool present = boxes[k].layersWhileOpen.count(removed[j]) != 0;
            if (present != (j > k)) {
                problems << "while box " << k << " was open, \"" << Narrow(removed[j]) << "\" was "
                         << (present ? "still there" : "already gone") << "\n";
            }
        }
    }

    RegValues expected = tried.initial;
    for (const std::wstring& name : removed) {
        expected.erase(name);
    }
    if (actual != expected) {
        problems << "the key holds\n" << Describe(actual) << "but should hold\n" << Describe(expected);
    }
    if (!problems.str().empty()) {
        problems << "working directory \"" << Narrow(tried.directory) << "\", key before the run:\n"
                 << Describe(tried.initial);
    }
    return problems.str();
}

TEST(RandomizedLayers, RemovesTheReadableTargetEntriesAndNothingElse)
{
    const std::uint64_t seed = EnvironmentNumber("LAYERCLEANUP_FUZZ_SEED", std::random_device{}());
    const std::uint64_t cases = EnvironmentNumber("LAYERCLEANUP_FUZZ_CASES", 2000);
    std::printf("randomized layers: seed %llu, %llu cases (replay with LAYERCLEANUP_FUZZ_SEED=%llu)\n",
                static_cast<unsigned long long>(seed), static_cast<unsigned long long>(cases),
                static_cast<unsigned long long>(seed));

    const TempFolder ordinary(L"Apps");
    const TempFolder unusual(L"My Games \x00C4\x00F6\x00FC \x6E38\x620F \x0416");
    const TempFolder base(L"Deep");
    std::vector<std::wstring> directories{ordinary.Path(), L"C:\\", unusual.Path()};
    // Around the classic 260-character buffer the directory is first read into,
    // and well beyond it, where the system lets a program in (see CanEnter).
    for (const std::size_t length : {258U, 259U, 260U, 261U, 300U}) {
        if (const std::wstring directory = base.MakeSubfolderOfLength(length); CanEnter(directory)) {
            directories.push_back(directory);
        } else {
            std::printf("randomized layers: this system lets no program enter a directory of %zu characters\n", length);
        }
    }

    Rng rng(seed);
    const auto start = std::chrono::steady_clock::now();
    std::uint64_t index = 0;
    for (; index < cases; ++index) {
        const Case tried = MakeCase(rng, directories);
        const std::string problems = Check(tried);
        if (!problems.empty()) {
            ADD_FAILURE() << "case " << index << " of seed " << seed << " (replay with LAYERCLEANUP_FUZZ_SEED=" << seed
                          << "):\n"
                          << problems;
            break;
        }
    }
    ResetLayersKey();
    const auto elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("randomized layers: %llu cases in %.1f s\n", static_cast<unsigned long long>(index), elapsed);
}

} // namespace
