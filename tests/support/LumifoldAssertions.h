#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

#include "core/common/Error.h"

namespace lumifold::testing {

// Runs `statement` and checks that it throws lumifold::Error with the given domain and code,
// and, when given, message.
inline ::testing::AssertionResult throwsLumifoldError(const std::function<void()>& statement,
                                                      const std::string& domain, int code,
                                                      const std::optional<std::string>& message) {
    try {
        statement();
    } catch (const Error& error) {
        if (error.domain() == domain && error.code() == code &&
            (!message || error.message() == *message)) {
            return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure()
               << "threw (" << error.domain() << ", " << error.code() << ", \"" << error.message()
               << "\"), expected (" << domain << ", " << code
               << (message ? ", \"" + *message + "\"" : std::string()) << ")";
    }
    return ::testing::AssertionFailure() << "threw no lumifold::Error";
}

}  // namespace lumifold::testing

// Checks that `statement` throws lumifold::Error with the given domain, code and message.
#define EXPECT_LUMIFOLD_ERROR(statement, expectedDomain, expectedCode, expectedMessage)      \
    EXPECT_TRUE(::lumifold::testing::throwsLumifoldError(                                    \
        [&] { statement; }, (expectedDomain), (expectedCode), std::string(expectedMessage))) \
        << #statement

// The same, for errors whose message depends on the machine (paths, errno texts).
#define EXPECT_LUMIFOLD_ERROR_CODE(statement, expectedDomain, expectedCode)                    \
    EXPECT_TRUE(::lumifold::testing::throwsLumifoldError([&] { statement; }, (expectedDomain), \
                                                         (expectedCode), std::nullopt))        \
        << #statement
