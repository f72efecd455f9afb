#pragma once

#include <exception>
#include <string>

namespace orlex::launcher {

// The classification of a failed operation: a code, the French status text the player sees, and the
// failure itself. The status text never includes the failure's own message.
class LauncherFailure {
public:
    // Walks the failure and its nested causes; the first security failure met decides (SessionExpired
    // first, then its message against the fixed texts); without one, "OPERATION_FAILED". Never fails.
    static LauncherFailure of(std::exception_ptr failure);

    const std::string& code() const { return code_; }
    const std::string& message() const { return message_; }
    std::exception_ptr error() const { return error_; }
    bool sessionExpired() const { return code_ == "SESSION_EXPIRED"; }

    // "code=… phase=…" then one "exception=<type>" line per failure of the chain (at most 6).
    // Failure messages are never part of it, so secrets inside them never reach the log.
    std::string report(const std::string& phase) const;

private:
    LauncherFailure(std::string code, std::string message, std::exception_ptr error)
        : code_(std::move(code)), message_(std::move(message)), error_(std::move(error)) {}

    std::string code_;
    std::string message_;
    std::exception_ptr error_;
};

}  // namespace orlex::launcher
