#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

// What a Windows program file declares about itself, read from the file
// without loading it.
struct PeFile {
    std::uint64_t size = 0;
    WORD machine = 0;
    WORD magic = 0; // IMAGE_NT_OPTIONAL_HDR32_MAGIC or ..._HDR64_MAGIC
    DWORD timestamp = 0;
    WORD subsystem = 0;
    std::array<WORD, 2> subsystemVersion{};
    std::array<WORD, 2> osVersion{};
    bool hasResourceDirectory = false;
    std::vector<std::string> sections;
    // DLL name in upper case -> imported function names.
    std::map<std::string, std::set<std::string>> imports;
    // The same for delay-loaded DLLs. GNU ld leaves the delay-import directory
    // empty, so the descriptors are found by their shape in the file's data.
    std::map<std::string, std::set<std::string>> delayImports;
};

// Throws std::runtime_error when the file cannot be read or is no PE file.
PeFile ReadPeFile(const std::wstring& path);
