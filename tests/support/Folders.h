#pragma once

#include <cstddef>
#include <string>

// An empty folder of its own inside this run's folder (own::ThisRunFolder),
// removed (with anything left in it) when the object goes. `name` may hold any
// characters a folder name can.
class TempFolder {
public:
    explicit TempFolder(const std::wstring& name = L"LayerCleanup test");
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    TempFolder(TempFolder&&) = delete;
    TempFolder& operator=(TempFolder&&) = delete;

    // Absolute, without a trailing separator.
    [[nodiscard]] const std::wstring& Path() const noexcept { return m_path; }

    // Creates a subfolder (and any folders leading to it) and returns its path.
    // Works beyond the classic 260-character limit.
    [[nodiscard]] std::wstring MakeSubfolder(const std::wstring& relative) const;

    // Creates a subfolder whose absolute path is exactly `length` characters
    // long (more than this folder's own and its separator), in as many levels
    // as it takes, and returns its path.
    [[nodiscard]] std::wstring MakeSubfolderOfLength(std::size_t length) const;

private:
    std::wstring m_path;
};

// Removes a folder and everything in it, beyond the classic length limit too.
void RemoveFolderTree(const std::wstring& path);

// Whether this process can make `directory` its working directory. Windows
// refuses one of 259 characters or more to a program that has not declared
// itself aware of long paths, as this one has not; Wine lets it in.
[[nodiscard]] bool CanEnter(const std::wstring& directory);

// Makes `directory` this process's working directory until the object goes.
class ScopedCurrentDirectory {
public:
    explicit ScopedCurrentDirectory(const std::wstring& directory);
    ~ScopedCurrentDirectory();
    ScopedCurrentDirectory(const ScopedCurrentDirectory&) = delete;
    ScopedCurrentDirectory& operator=(const ScopedCurrentDirectory&) = delete;
    ScopedCurrentDirectory(ScopedCurrentDirectory&&) = delete;
    ScopedCurrentDirectory& operator=(ScopedCurrentDirectory&&) = delete;

private:
    std::wstring m_previous;
};
