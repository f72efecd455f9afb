#pragma once

#include <chrono>
#include <stdexcept>
#include <stop_token>

namespace orlex::common {

// Cooperative interruption of a worker thread. An executor installs the stop token of the task it
// runs as the thread's current token; blocking operations (sleepFor, network exchanges) watch it and
// end early by throwing Interrupted once a stop is requested. A thread without a token installed is
// never interrupted.

// The thread was asked to stop. Neither an IoFailure nor a SecurityFailure: it is never retried,
// never wrapped as a cause, and callers let it propagate unchanged.
class Interrupted : public std::runtime_error {
public:
    Interrupted() : std::runtime_error("Interrompu") {}
};

// Replaces the calling thread's current stop token (a default-constructed token means "none").
void setCurrentStopToken(std::stop_token token);

// The calling thread's current stop token; a token that can never be stopped when none is installed.
std::stop_token currentStopToken();

// Installs a token as the calling thread's current one for the scope, then restores the previous one.
class ScopedStopToken {
public:
    explicit ScopedStopToken(std::stop_token token);
    ScopedStopToken(const ScopedStopToken&) = delete;
    ScopedStopToken& operator=(const ScopedStopToken&) = delete;
    ~ScopedStopToken();

private:
    std::stop_token previous_;
};

// True when a stop has been requested through the calling thread's current token.
bool interruptionRequested();

// Throws Interrupted when interruptionRequested().
void throwIfInterrupted();

// Waits for the duration on the calling thread. Returns early by throwing Interrupted as soon as a
// stop is requested through the current token (also when it was requested before the call).
void sleepFor(std::chrono::nanoseconds duration);

}  // namespace orlex::common
