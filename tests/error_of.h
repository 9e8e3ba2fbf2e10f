// Which run-time error a statement raises, for GoogleTest cases.
#pragma once

#include <gtest/gtest.h>

#include "runtime_error.h"

namespace vireko::testing {

inline ErrorNumber errorOf(auto&& statement) {
    try {
        statement();
    } catch (const RuntimeError& error) {
        return error.number();
    }
    ADD_FAILURE() << "no run-time error";
    return ErrorNumber{};
}

}  // namespace vireko::testing
