#include "common/interruption.h"

#include <condition_variable>
#include <mutex>
#include <utility>

namespace orlex::common {
namespace {

thread_local std::stop_token current;

}  // namespace

void setCurrentStopToken(std::stop_token token) {
    current = std::move(token);
}

std::stop_token currentStopToken() {
    return current;
}

ScopedStopToken::ScopedStopToken(std::stop_token token)
    : previous_(std::exchange(current, std::move(token))) {}

ScopedStopToken::~ScopedStopToken() {
    current = std::move(previous_);
}

bool interruptionRequested() {
    return current.stop_requested();
}

void throwIfInterrupted() {
    if (interruptionRequested())
        throw Interrupted();
}

void sleepFor(std::chrono::nanoseconds duration) {
    throwIfInterrupted();
    std::mutex mutex;
    std::condition_variable_any wake;
    std::unique_lock lock(mutex);
    // Nothing notifies the variable: only the stop request (through the token) or the time ends the wait.
    wake.wait_for(lock, current, duration, [] { return false; });
    throwIfInterrupted();
}

}  // namespace orlex::common
