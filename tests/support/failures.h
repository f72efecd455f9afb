#pragma once

#include <gtest/gtest.h>

#include <exception>
#include <string>
#include <typeinfo>
#include <utility>
#include <vector>

namespace orlex::test {

// The messages of a failure and of its causes, outermost first.
inline std::vector<std::string> messages(const std::exception& failure) {
    std::vector<std::string> chain{failure.what()};
    try {
        std::rethrow_if_nested(failure);
    } catch (const std::exception& cause) {
        const std::vector<std::string> rest = messages(cause);
        chain.insert(chain.end(), rest.begin(), rest.end());
    }
    return chain;
}

// Runs action and returns the message chain of the Failure it throws. Adds a test failure, and returns
// an empty chain, when action succeeds or throws anything else (the kind is part of the contract: a
// security refusal must not arrive as an ordinary failure, nor the other way round).
template <typename Failure, typename Action>
std::vector<std::string> failureChain(Action&& action) {
    try {
        action();
    } catch (const Failure& failure) {
        return messages(failure);
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
