#pragma once

#include <mutex>
#include <utility>

namespace orlex::common {

// A value shared between threads as one unit: load() returns a copy of the whole value some store()
// left, never a mix of two. For values std::atomic cannot hold (strings, sets, optionals). Each value
// stands alone: no lock guards a combination of them.
template <typename T>
class SharedValue {
public:
    explicit SharedValue(T initial = T{}) : value_(std::move(initial)) {}
    SharedValue(const SharedValue&) = delete;
    SharedValue& operator=(const SharedValue&) = delete;

    T load() const {
        std::lock_guard lock(mutex_);
        return value_;
    }
    void store(T value) {
        std::lock_guard lock(mutex_);
        value_ = std::move(value);
    }

private:
    mutable std::mutex mutex_;
    T value_;
};

}  // namespace orlex::common
