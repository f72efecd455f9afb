#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>

namespace orlex::common {

// One named worker thread running tasks one at a time: submitted tasks in submission order, and
// scheduled tasks when their time comes. The thread starts on first use. Shutting down (or destroying)
// asks the running task to stop through its stop token (common/interruption.h), drops what has not
// started, and waits for the thread; a process never waits for queued work it is ending without.
class Executor {
public:
    using Task = std::function<void()>;
    using Clock = std::chrono::steady_clock;

    explicit Executor(std::string name);
    Executor(const Executor&) = delete;
    Executor& operator=(const Executor&) = delete;
    ~Executor();

    const std::string& name() const { return name_; }

    // Runs task on the worker thread after everything submitted before it. A task that throws is
    // dropped after the throw; catching and reporting is the task's own job.
    void submit(Task task);
    // Runs task on the worker thread once delay has passed (ordered by due time, then submission).
    void schedule(std::chrono::nanoseconds delay, Task task);
    // True when called from this executor's own thread.
    bool onWorkerThread() const;
    // Asks the running task to stop, drops pending tasks, waits for the thread (unless called by a task
    // of this executor, which cannot wait for itself). Idempotent. The executor must be destroyed on
    // another thread than its own.
    void shutdown();

private:
    struct Pending {
        Clock::time_point due;
        std::uint64_t order;
        Task task;
    };
    void loop(std::stop_token stop);

    std::string name_;
    std::mutex mutex_;
    std::condition_variable_any wake_;
    std::deque<Pending> pending_;  // sorted by (due, order)
    std::uint64_t nextOrder_ = 0;
    std::uint64_t generation_ = 0;  // bumped on every change of pending_
    std::atomic<std::thread::id> workerId_{};
    bool closed_ = false;
    std::jthread thread_;
};

}  // namespace orlex::common
