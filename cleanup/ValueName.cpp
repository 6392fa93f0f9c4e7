#include "cleanup/ValueName.h"

#include <windows.h>

#include <filesystem>
#include <system_error>

std::wstring QueryCurrentDirectory()
{
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), buffer.data());
        if (length == 0) {
            const DWORD status = GetLastError();
            throw std::filesystem::filesystem_error("current_path()",
                                                    std::error_code(static_cast<int>(status), std::system_category()));
        }
        if (length < buffer.size()) {
            buffer.resize(length);
            return buffer;
        }
        // Too small: the system asked for `length` characters, its null included.
        // Asking again also covers a directory that changed in between.
        buffer.resize(length);
    }
}

std::wstring ComposeValueName(const std::wstring& directory, const std::wstring& fileName)
{
    std::wstring valueName = directory;
    if (!valueName.empty() && valueName.back() != L'\\' && valueName.back() != L'/') {
        valueName += L'\\';
    }
    valueName += fileName;
    return valueName;
}
