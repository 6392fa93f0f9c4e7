#pragma once

#include <windows.h>

#include <string>
#include <system_error>

namespace winreg {

// A failed registry call: the Win32 status as a system-category error code,
// described as "<message>: <system text of the status>".
class RegException : public std::system_error {
public:
    RegException(LONG status, const std::string& message);
};

} // namespace winreg
