#pragma once

#include <gtest/gtest.h>

#include <exception>
#include <string>
#include <typeinfo>
#include <utility>
#include <vector>

#include "common/failure.h"

namespace orlex::test {

// Runs action and returns the message chain of the Failure it throws. Adds a test failure, and returns
// an empty chain, when action succeeds or throws anything else (the kind is part of the contract: a
// security refusal must not arrive as an ordinary failure, nor the other way round).
template <typename Failure, typename Action>
std::vector<std::string> failureChain(Action&& action) {
    try {
        action();
    } catch (const Failure&) {
        return common::failureMessages(std::current_exception());
    } catch (const std::exception& other) {
        ADD_FAILURE() << "expected " << typeid(Failure).name() << ", got " << typeid(other).name() << ": "
                      << other.what();
        return {};
    }
    ADD_FAILURE() << "expected " << typeid(Failure).name() << ", but nothing was thrown";
    return {};
}

// The message alone of the Failure that action throws (see failureChain).
template <typename Failure, typename Action>
std::string failureMessage(Action&& action) {
    const std::vector<std::string> chain = failureChain<Failure>(std::forward<Action>(action));
    return chain.empty() ? std::string() : chain.front();
}

}  // namespace orlex::test
