#pragma once

#include <atomic>
#include <functional>
#include <list>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>

namespace orlex::audio {

// The threads one owner starts, each named and joined by that owner. A thread whose body has returned is
// joined at the next start(); close() asks every thread to stop through its stop token and returns once
// all have ended. start() and close() may come from any thread except the group's own: a body never
// calls them, and catches its own failures.
class ThreadGroup {
public:
    using Body = std::function<void(std::stop_token)>;

    ThreadGroup() = default;
    ThreadGroup(const ThreadGroup&) = delete;
    ThreadGroup& operator=(const ThreadGroup&) = delete;
    ~ThreadGroup();  // close()

    // Runs body on a new thread named name, or returns false without starting anything once closed.
    // Fails with std::system_error when the system has no thread to give.
    bool start(const std::string& name, Body body);
    // Stops and joins every thread; later starts are refused. Idempotent.
    void close();

private:
    struct Member {
        std::atomic<bool> ended{false};  // set as the body's thread finishes
        std::jthread thread;
    };

    std::mutex mutex_;  // held while joining: bodies never take it
    bool closed_ = false;
    std::list<Member> members_;  // stable addresses for the threads' `ended` flags
};

}  // namespace orlex::audio
