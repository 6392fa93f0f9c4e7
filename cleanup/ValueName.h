#pragma once

#include <string>

// The process's working directory exactly as the system reports it, of any
// length. Throws std::filesystem::filesystem_error ("current_path()") on failure.
[[nodiscard]] std::wstring QueryCurrentDirectory();

// The full path that `fileName` has inside `directory`, joined by exactly one
// separator; this is the name of the executable's compatibility entry.
[[nodiscard]] std::wstring ComposeValueName(const std::wstring& directory, const std::wstring& fileName);
