#pragma once

#include <optional>
#include <utility>

// The exception of type Error that `call` throws, or nothing when it returns.
// An exception of any other type goes on, and fails the test.
template <typename Error, typename Call> [[nodiscard]] std::optional<Error> Thrown(Call&& call)
{
    try {
        std::forward<Call>(call)();
    } catch (const Error& error) {
        return error;
    }
    return std::nullopt;
}
