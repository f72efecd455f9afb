#pragma once

#include <gtest/gtest.h>

#include <exception>
#include <string>
#include <typeinfo>

namespace orlex::test {

// Runs action and returns the message of the Failure it throws. Adds a test failure, and returns
// an empty string, when action succeeds or throws anything else (the kind is part of the contract:
// a security refusal must not arrive as an ordinary failure, nor the other way round).
template <typename Failure, typename Action>
std::string failureMessage(Action&& action) {
    try {
        action();
    } catch (const Failure& failure) {
        return failure.what();
    } catch (const std::exception& other) {
        ADD_FAILURE() << "expected " << typeid(Failure).name() << ", got " << typeid(other).name() << ": "
                      << other.what();
        return {};
    }
    ADD_FAILURE() << "expected " << typeid(Failure).name() << ", but nothing was thrown";
    return {};
}

}  // namespace orlex::test
