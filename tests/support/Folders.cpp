#include "support/Folders.h"

#include "cleanup/ValueName.h"
#include "support/OwnRun.h"

#include <windows.h>

#include <atomic>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

namespace {

std::wstring ExtendedPath(const std::wstring& path)
{
    return path.rfind(L"\\\\", 0) == 0 ? path : L"\\\\?\\" + path;
}

} // namespace

void RemoveFolderTree(const std::wstring& path)
{
    WIN32_FIND_DATAW entry{};
    HANDLE search = FindFirstFileW(ExtendedPath(path + L"\\*").c_str(), &entry);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..") {
                continue;
            }
            const std::wstring child = path + L"\\" + name;
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                RemoveFolderTree(child);
            } else {
                DeleteFileW(ExtendedPath(child).c_str());
            }
        } while (FindNextFileW(search, &entry) != FALSE);
        FindClose(search);
    }
    RemoveDirectoryW(ExtendedPath(path).c_str());
}

TempFolder::TempFolder(const std::wstring& name)
{
    static std::atomic<unsigned> counter{0};
    const std::wstring& run = own::ThisRunFolder();
    if (CreateDirectoryW(run.c_str(), nullptr) == FALSE && GetLastError() != ERROR_ALREADY_EXISTS) {
        throw std::runtime_error("cannot create this run's folder, status " + std::to_string(GetLastError()));
    }
    m_path = run + L"\\" + name + L" " + std::to_wstring(counter++);
    RemoveFolderTree(m_path);
    if (CreateDirectoryW(ExtendedPath(m_path).c_str(), nullptr) == FALSE) {
        throw std::runtime_error("cannot create a temporary folder, status " + std::to_string(GetLastError()));
    }
}

TempFolder::~TempFolder()
{
    RemoveFolderTree(m_path);
}

std::wstring TempFolder::MakeSubfolder(const std::wstring& relative) const
{
    std::wstring path = m_path + L"\\" + relative;
    std::error_code failure;
    std::filesystem::create_directories(ExtendedPath(path), failure);
    if (failure) {
        throw std::runtime_error("cannot create a folder: " + failure.message());
    }
    return path;
}

std::wstring TempFolder::MakeSubfolderOfLength(const std::size_t length) const
{
    constexpr std::size_t levelLength = 40;
    std::size_t remaining = length - m_path.size() - 1; // after this folder's own separator
    std::wstring relative;
    while (remaining > levelLength + 1) {
        relative += std::wstring(levelLength, L'd') + L"\\";
        remaining -= levelLength + 1;
    }
    return MakeSubfolder(relative + std::wstring(remaining, L'd'));
}

bool CanEnter(const std::wstring& directory)
{
    const std::wstring previous = QueryCurrentDirectory();
    if (SetCurrentDirectoryW(directory.c_str()) == FALSE) {
        return false;
    }
    SetCurrentDirectoryW(previous.c_str());
    return true;
}

ScopedCurrentDirectory::ScopedCurrentDirectory(const std::wstring& directory) : m_previous(QueryCurrentDirectory())
{
    if (SetCurrentDirectoryW(directory.c_str()) == FALSE) {
        throw std::runtime_error("cannot enter a folder, status " + std::to_string(GetLastError()));
    }
}

ScopedCurrentDirectory::~ScopedCurrentDirectory()
{
    SetCurrentDirectoryW(m_previous.c_str());
}
