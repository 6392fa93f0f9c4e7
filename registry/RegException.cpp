#include "registry/RegException.h"

namespace winreg {

RegException::RegException(const LONG status, const std::string& message)
    : std::system_error(static_cast<int>(status), std::system_category(), message)
{
}

} // namespace winreg
