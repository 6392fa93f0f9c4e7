#include "support/PeFile.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <utility>

namespace {

using Bytes = std::vector<std::uint8_t>;

// The layout of a delay-load descriptor (delayimp.h's ImgDelayDescr), all RVAs.
struct DelayDescriptor {
    DWORD attributes;
    DWORD dllName;
    DWORD moduleHandle;
    DWORD addressTable;
    DWORD nameTable;
    DWORD boundTable;
    DWORD unloadTable;
    DWORD timestamp;
};

class Image {
public:
    explicit Image(Bytes bytes) : m_bytes(std::move(bytes)) {}

    template <typename T> [[nodiscard]] T At(const std::size_t offset) const
    {
        if (offset + sizeof(T) > m_bytes.size()) {
            throw std::runtime_error("truncated PE file");
        }
        T value{};
        std::memcpy(&value, m_bytes.data() + offset, sizeof(T));
        return value;
    }

    void SetSections(std::vector<IMAGE_SECTION_HEADER> sections) { m_sections = std::move(sections); }
    [[nodiscard]] const std::vector<IMAGE_SECTION_HEADER>& Sections() const { return m_sections; }
    [[nodiscard]] std::size_t Size() const { return m_bytes.size(); }

    // The file offset of a relative virtual address, if the file holds it.
    [[nodiscard]] std::optional<std::size_t> Offset(const DWORD rva) const
    {
        for (const IMAGE_SECTION_HEADER& section : m_sections) {
            if (rva >= section.VirtualAddress && rva < section.VirtualAddress + section.SizeOfRawData) {
                return std::size_t{section.PointerToRawData} + (rva - section.VirtualAddress);
            }
        }
        return std::nullopt;
    }

    // A short printable string at an RVA, or nothing.
    [[nodiscard]] std::optional<std::string> Name(const DWORD rva) const
    {
        const std::optional<std::size_t> offset = Offset(rva);
        if (!offset) {
            return std::nullopt;
        }
        std::string name;
        for (std::size_t i = *offset; i < m_bytes.size() && name.size() < 256; ++i) {
            const auto c = static_cast<char>(m_bytes[i]);
            if (c == '\0') {
                return name.empty() ? std::nullopt : std::optional<std::string>(name);
            }
            if (std::isprint(static_cast<unsigned char>(c)) == 0) {
                return std::nullopt;
            }
            name += c;
        }
        return std::nullopt;
    }

    // The function names of an import name table; nothing if it is not one.
    [[nodiscard]] std::optional<std::set<std::string>> NameTable(const DWORD rva, const bool wide) const
    {
        std::optional<std::size_t> offset = Offset(rva);
        if (!offset) {
            return std::nullopt;
        }
        std::set<std::string> names;
        for (;; *offset += wide ? 8 : 4) {
            const std::uint64_t thunk = wide ? At<std::uint64_t>(*offset) : At<DWORD>(*offset);
            if (thunk == 0) {
                break;
            }
            const std::uint64_t ordinalFlag = wide ? IMAGE_ORDINAL_FLAG64 : IMAGE_ORDINAL_FLAG32;
            if ((thunk & ordinalFlag) != 0) {
                names.insert("#" + std::to_string(thunk & 0xFFFFU));
                continue;
            }
            const std::optional<std::string> name = Name(static_cast<DWORD>(thunk) + 2); // after the hint
            if (!name) {
                return std::nullopt;
            }
            names.insert(*name);
        }
        return names;
    }

private:
    Bytes m_bytes;
    std::vector<IMAGE_SECTION_HEADER> m_sections;
};

std::string Upper(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](const unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

bool EndsWithDll(const std::string& name)
{
    return name.size() > 4 && Upper(name.substr(name.size() - 4)) == ".DLL";
}

void ReadImports(const Image& image, const IMAGE_DATA_DIRECTORY& directory, const bool wide, PeFile& file)
{
    const std::optional<std::size_t> start = image.Offset(directory.VirtualAddress);
    if (directory.VirtualAddress == 0 || !start) {
        return;
    }
    for (std::size_t offset = *start;; offset += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        const auto descriptor = image.At<IMAGE_IMPORT_DESCRIPTOR>(offset);
        if (descriptor.Name == 0) {
            break;
        }
        const std::optional<std::string> dll = image.Name(descriptor.Name);
        const DWORD table = descriptor.OriginalFirstThunk != 0 ? descriptor.OriginalFirstThunk : descriptor.FirstThunk;
        const std::optional<std::set<std::string>> names = image.NameTable(table, wide);
        if (!dll || !names) {
            throw std::runtime_error("unreadable import table");
        }
        file.imports[Upper(*dll)].insert(names->begin(), names->end());
    }
}

void ReadDelayImports(const Image& image, const bool wide, PeFile& file)
{
    for (const IMAGE_SECTION_HEADER& section : image.Sections()) {
        const std::size_t end = std::min<std::size_t>(section.PointerToRawData + section.SizeOfRawData, image.Size());
        for (std::size_t offset = section.PointerToRawData; offset + sizeof(DelayDescriptor) <= end; offset += 4) {
            const auto descriptor = image.At<DelayDescriptor>(offset);
            if (descriptor.attributes != 1 || descriptor.boundTable != 0 || descriptor.unloadTable != 0 ||
                descriptor.timestamp != 0 || !image.Offset(descriptor.moduleHandle) ||
                !image.Offset(descriptor.addressTable)) {
                continue;
            }
            const std::optional<std::string> dll = image.Name(descriptor.dllName);
            if (!dll || !EndsWithDll(*dll)) {
                continue;
            }
            const std::optional<std::set<std::string>> names = image.NameTable(descriptor.nameTable, wide);
            if (names && !names->empty()) {
                file.delayImports[Upper(*dll)].insert(names->begin(), names->end());
            }
        }
    }
}

} // namespace

PeFile ReadPeFile(const std::wstring& path)
{
    std::ifstream stream(std::filesystem::path(path), std::ios::binary);
    if (!stream) {
        throw std::runtime_error("cannot open the program file");
    }
    Image image(Bytes{std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()});

    PeFile file;
    file.size = image.Size();
    const auto dos = image.At<IMAGE_DOS_HEADER>(0);
    if (dos.e_magic != IMAGE_DOS_SIGNATURE ||
        image.At<DWORD>(static_cast<std::size_t>(dos.e_lfanew)) != IMAGE_NT_SIGNATURE) {
        throw std::runtime_error("not a PE file");
    }
    const auto headerOffset = static_cast<std::size_t>(dos.e_lfanew) + sizeof(DWORD);
    const auto header = image.At<IMAGE_FILE_HEADER>(headerOffset);
    const std::size_t optionalOffset = headerOffset + sizeof(IMAGE_FILE_HEADER);
    file.machine = header.Machine;
    file.timestamp = header.TimeDateStamp;
    file.magic = image.At<WORD>(optionalOffset);
    const bool wide = file.magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC;

    IMAGE_DATA_DIRECTORY importDirectory{};
    IMAGE_DATA_DIRECTORY resourceDirectory{};
    const auto readOptional = [&](const auto& optional) {
        file.subsystem = optional.Subsystem;
        file.subsystemVersion[0] = optional.MajorSubsystemVersion;
        file.subsystemVersion[1] = optional.MinorSubsystemVersion;
        file.osVersion[0] = optional.MajorOperatingSystemVersion;
        file.osVersion[1] = optional.MinorOperatingSystemVersion;
        importDirectory = optional.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        resourceDirectory = optional.DataDirectory[IMAGE_DIRECTORY_ENTRY_RESOURCE];
    };
    if (wide) {
        readOptional(image.At<IMAGE_OPTIONAL_HEADER64>(optionalOffset));
    } else {
        readOptional(image.At<IMAGE_OPTIONAL_HEADER32>(optionalOffset));
    }
    file.hasResourceDirectory = resourceDirectory.VirtualAddress != 0 || resourceDirectory.Size != 0;

    std::vector<IMAGE_SECTION_HEADER> sections;
    for (WORD i = 0; i < header.NumberOfSections; ++i) {
        const auto section = image.At<IMAGE_SECTION_HEADER>(optionalOffset + header.SizeOfOptionalHeader +
                                                            i * sizeof(IMAGE_SECTION_HEADER));
        sections.push_back(section);
        file.sections.emplace_back(reinterpret_cast<const char*>(section.Name),
                                   strnlen(reinterpret_cast<const char*>(section.Name), IMAGE_SIZEOF_SHORT_NAME));
    }
    image.SetSections(std::move(sections));

    ReadImports(image, importDirectory, wide, file);
    ReadDelayImports(image, wide, file);
    return file;
}
