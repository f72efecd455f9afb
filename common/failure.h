#pragma once

#include <cstddef>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

namespace orlex::common {

// The two failure kinds that cross module boundaries. Their messages are the system's exact French
// texts and are matched by the launcher's failure classification, so they are part of the interface.
// A cause is attached with std::throw_with_nested and walked with std::rethrow_if_nested.

// A refusal by a signature, manifest, path, installation or access check.
class SecurityFailure : public std::runtime_error {
public:
    explicit SecurityFailure(const std::string& message) : std::runtime_error(message) {}
};

// The account service refused the stored session, or none is stored.
class SessionExpired : public SecurityFailure {
public:
    SessionExpired() : SecurityFailure("Session expirée") {}
};

// Network, disk, lock and process failures.
class IoFailure : public std::runtime_error {
public:
    explicit IoFailure(const std::string& message) : std::runtime_error(message) {}
};

// Input that does not have the expected form (malformed JSON, a member of the wrong type, bad base64).
// An ordinary failure: never a security refusal.
class FormatFailure : public std::runtime_error {
public:
    explicit FormatFailure(const std::string& message) : std::runtime_error(message) {}
};

// Throws failure with cause attached as its nested failure.
template <typename Failure>
[[noreturn]] void raiseWithCause(const Failure& failure, std::exception_ptr cause) {
    try {
        std::rethrow_exception(cause);
    } catch (...) {
        std::throw_with_nested(failure);
    }
}

// A failure and its nested causes, outermost first: at most limit links, each failure once (a chain
// that loops ends there). A link that is not a std::exception is kept and ends the chain.
std::vector<std::exception_ptr> failureChain(std::exception_ptr failure, std::size_t limit = 16);

// The messages along failureChain(), outermost first; "Échec inconnu" for a link without one.
std::vector<std::string> failureMessages(std::exception_ptr failure, std::size_t limit = 16);

}  // namespace orlex::common
