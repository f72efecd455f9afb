#include "audio/thread_group.h"

#include "common/thread_name.h"

namespace orlex::audio {

ThreadGroup::~ThreadGroup() {
    close();
}

bool ThreadGroup::start(const std::string& name, Body body) {
    std::lock_guard lock(mutex_);
    if (closed_)
        return false;
    // A thread that has ended only waits to be joined, which takes no time.
    members_.remove_if([](const Member& member) { return member.ended.load(); });
    Member& member = members_.emplace_back();
    try {
        member.thread =
            std::jthread([&ended = member.ended, name, body = std::move(body)](std::stop_token stop) {
                common::nameCurrentThread(name);
                body(std::move(stop));
                ended.store(true);
            });
    } catch (...) {
        members_.pop_back();
        throw;
    }
    return true;
}

void ThreadGroup::close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    for (Member& member : members_)
        member.thread.request_stop();  // every thread winds down at once, not one after the other
    members_.clear();                  // joins
}

}  // namespace orlex::audio
