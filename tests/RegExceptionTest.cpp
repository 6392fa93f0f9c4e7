#include "registry/RegException.h"

#include <gtest/gtest.h>

#include <exception>
#include <stdexcept>
#include <string>
#include <system_error>

namespace {

// The system's own text for a status, as the message table holds it.
std::string SystemMessage(const DWORD status)
{
    char* buffer = nullptr;
    const DWORD length =
        FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, status, 0, reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
    std::string text(buffer != nullptr ? buffer : "", length);
    LocalFree(buffer);
    return text;
}

TEST(RegException, CarriesTheStatusAsASystemCategoryCode)
{
    const winreg::RegException error(ERROR_ACCESS_DENIED, "RegDeleteValueW failed.");
    EXPECT_EQ(error.code().value(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(error.code().category(), std::system_category());
}

TEST(RegException, DescribesItselfAsMessageThenTheSystemText)
{
    const winreg::RegException error(ERROR_ACCESS_DENIED, "RegDeleteValueW failed.");
    const std::string description = error.what();
    const std::string prefix = "RegDeleteValueW failed.: ";
    ASSERT_EQ(description.rfind(prefix, 0), 0U) << description;

    const std::string systemText = description.substr(prefix.size());
    EXPECT_EQ(systemText, std::system_category().message(ERROR_ACCESS_DENIED));
    // The text comes from the system's message table, not from a table of our own.
    ASSERT_FALSE(systemText.empty());
    EXPECT_EQ(SystemMessage(ERROR_ACCESS_DENIED).rfind(systemText, 0), 0U) << SystemMessage(ERROR_ACCESS_DENIED);
}

TEST(RegException, KeepsEachStatusItCarries)
{
    for (const LONG status : {ERROR_FILE_NOT_FOUND, ERROR_INVALID_HANDLE, ERROR_INVALID_PARAMETER}) {
        const winreg::RegException error(status, "RegCreateKeyExW failed.");
        EXPECT_EQ(error.code().value(), status);
        EXPECT_EQ(std::string(error.what()), "RegCreateKeyExW failed.: " + std::system_category().message(status));
    }
}

template <typename Handler> bool CaughtAs()
{
    try {
        throw winreg::RegException(ERROR_ACCESS_DENIED, "RegCreateKeyExW failed.");
    } catch (const Handler& caught) {
        return std::string(caught.what()).rfind("RegCreateKeyExW failed.: ", 0) == 0;
    } catch (...) {
        return false;
    }
}

TEST(RegException, CanBeCaughtAsEachOfItsBases)
{
    EXPECT_TRUE(CaughtAs<winreg::RegException>());
    EXPECT_TRUE(CaughtAs<std::system_error>());
    EXPECT_TRUE(CaughtAs<std::runtime_error>());
    EXPECT_TRUE(CaughtAs<std::exception>());
}

} // namespace
