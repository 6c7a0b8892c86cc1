#pragma once

#include <gtest/gtest.h>

#include <string>

#include "core/common/Error.h"

// Checks that `statement` throws lumifold::Error with the given domain, code and message.
#define EXPECT_LUMIFOLD_ERROR(statement, expectedDomain, expectedCode, expectedMessage) \
    do {                                                                                \
        try {                                                                           \
            statement;                                                                  \
            ADD_FAILURE() << "Expected lumifold::Error from: " #statement;              \
        } catch (const ::lumifold::Error& lumifoldError) {                              \
            EXPECT_EQ(lumifoldError.domain(), std::string(expectedDomain));             \
            EXPECT_EQ(lumifoldError.code(), (expectedCode));                            \
            EXPECT_EQ(lumifoldError.message(), std::string(expectedMessage));           \
        }                                                                               \
    } while (false)

// The same, for errors whose message depends on the machine (paths, errno texts).
#define EXPECT_LUMIFOLD_ERROR_CODE(statement, expectedDomain, expectedCode) \
    do {                                                                    \
        try {                                                               \
            statement;                                                      \
            ADD_FAILURE() << "Expected lumifold::Error from: " #statement;  \
        } catch (const ::lumifold::Error& lumifoldError) {                  \
            EXPECT_EQ(lumifoldError.domain(), std::string(expectedDomain)); \
            EXPECT_EQ(lumifoldError.code(), (expectedCode));                \
        }                                                                   \
    } while (false)
