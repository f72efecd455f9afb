#include "common/executor.h"

#include <algorithm>

#include "common/interruption.h"
#include "common/thread_name.h"

namespace orlex::common {

Executor::Executor(std::string name) : name_(std::move(name)) {}

Executor::~Executor() {
    shutdown();
}

void Executor::submit(Task task) {
    schedule(std::chrono::nanoseconds::zero(), std::move(task));
}

void Executor::schedule(std::chrono::nanoseconds delay, Task task) {
    std::lock_guard lock(mutex_);
    if (closed_)
        return;
    Pending item{Clock::now() + delay, nextOrder_++, std::move(task)};
    const auto at =
        std::upper_bound(pending_.begin(), pending_.end(), item, [](const Pending& a, const Pending& b) {
            return a.due < b.due || (a.due == b.due && a.order < b.order);
        });
    pending_.insert(at, std::move(item));
    ++generation_;
    if (!thread_.joinable()) {
        thread_ = std::jthread([this](std::stop_token stop) { loop(stop); });
    }
    wake_.notify_all();
}

bool Executor::onWorkerThread() const {
    return workerId_.load() == std::this_thread::get_id();
}

void Executor::shutdown() {
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        pending_.clear();
    }
    if (thread_.joinable()) {
        thread_.request_stop();
        // A task shutting down its own executor cannot wait for itself: the loop ends once the task
        // returns, and the destructor, which must run on another thread, joins it.
        if (!onWorkerThread())
            thread_.join();
    }
}

void Executor::loop(std::stop_token stop) {
    workerId_ = std::this_thread::get_id();
    nameCurrentThread(name_);
    const ScopedStopToken current(stop);
    for (;;) {
        Task task;
        {
            std::unique_lock lock(mutex_);
            for (;;) {
                if (stop.stop_requested())
                    return;
                if (!pending_.empty() && pending_.front().due <= Clock::now())
                    break;
                // Any change to the queue (an earlier task, a new first one) ends the wait.
                const std::uint64_t seen = generation_;
                const auto changed = [&] { return generation_ != seen; };
                if (pending_.empty()) {
                    wake_.wait(lock, stop, changed);
                } else {
                    wake_.wait_until(lock, stop, pending_.front().due, changed);
                }
            }
            task = std::move(pending_.front().task);
            pending_.pop_front();
        }
        try {
            task();
        } catch (...) {
            // the task reports its own failures; one that escapes must not end the worker
        }
    }
}

}  // namespace orlex::common
