#include "common/process.h"

#include <algorithm>

#include "common/interruption.h"

namespace orlex::common {

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : program_(std::move(other.program_)),
      pid_(std::exchange(other.pid_, 0)),
      handle_(std::exchange(other.handle_, 0)),
      exitCode_(other.exitCode_) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        release();
        program_ = std::move(other.program_);
        pid_ = std::exchange(other.pid_, 0);
        handle_ = std::exchange(other.handle_, 0);
        exitCode_ = other.exitCode_;
    }
    return *this;
}

ChildProcess::~ChildProcess() {
    release();
}

std::optional<int> ChildProcess::waitFor(std::chrono::milliseconds timeout) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + timeout;
    // Short first steps catch a quick child early; later steps stay at 50 ms.
    std::chrono::milliseconds step{1};
    for (;;) {
        if (const std::optional<int> code = poll())
            return code;
        const Clock::time_point now = Clock::now();
        if (now >= deadline)
            return std::nullopt;
        sleepFor(std::min<Clock::duration>(step, deadline - now));
        step = std::min(step * 2, std::chrono::milliseconds(50));
    }
}

}  // namespace orlex::common
