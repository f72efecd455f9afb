#include "update/install_workers.h"

#include <algorithm>

#include "common/thread_name.h"

namespace orlex::update {
namespace {

constexpr unsigned MAX_WORKERS = 4;

}  // namespace

unsigned workerCount(unsigned cores, std::size_t count) {
    return static_cast<unsigned>(
        std::clamp<std::size_t>(std::min<std::size_t>(cores, count), 1, MAX_WORKERS));
}

Workers::Workers(const char* name, unsigned threads, std::size_t count, std::function<void(std::size_t)> work)
    : count_(count), work_(std::move(work)) {
    for (unsigned t = 0; t < threads; ++t) {
        threads_.emplace_back([this, name](std::stop_token stop) {
            common::nameCurrentThread(name);
            for (std::size_t k = next_++; k < count_ && !stop.stop_requested(); k = next_++)
                work_(k);
        });
    }
}

Workers::~Workers() {
    for (std::jthread& thread : threads_)
        thread.request_stop();
}

void Workers::join() {
    for (std::jthread& thread : threads_)
        thread.join();
}

CopiesAhead::CopiesAhead(std::vector<std::size_t> entries, std::size_t count, unsigned cores, Copy copy)
    : entries_(std::move(entries)), outcomes_(count), copy_(std::move(copy)) {
    if (!entries_.empty()) {
        workers_.emplace("orlex-copy", workerCount(cores, entries_.size()), entries_.size(),
                         [this](std::size_t k) { work(entries_[k]); });
    }
}

common::FileStamp CopiesAhead::await(std::size_t entry) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return outcomes_[entry].done; });
    if (outcomes_[entry].failure)
        std::rethrow_exception(outcomes_[entry].failure);
    return outcomes_[entry].stamp;
}

void CopiesAhead::work(std::size_t entry) {
    Outcome outcome;
    outcome.done = true;
    try {
        outcome.stamp = copy_(entry);
    } catch (...) {
        outcome.failure = std::current_exception();
    }
    std::lock_guard lock(mutex_);
    outcomes_[entry] = std::move(outcome);
    changed_.notify_all();
}

Flushes::Flushes() {
    for (unsigned t = 0; t < FLUSH_THREADS; ++t) {
        threads_.emplace_back([this](std::stop_token stop) {
            common::nameCurrentThread("orlex-flush");
            run(stop);
        });
    }
}

void Flushes::add(std::filesystem::path file) {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(file));
    wake_.notify_one();
}

void Flushes::finish() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [&] { return (queue_.empty() && busy_ == 0) || failure_; });
    if (failure_)
        std::rethrow_exception(failure_);
}

void Flushes::run(const std::stop_token& stop) {
    std::unique_lock lock(mutex_);
    for (;;) {
        if (!wake_.wait(lock, stop, [&] { return !queue_.empty(); }))
            return;
        const std::filesystem::path file = std::move(queue_.front());
        queue_.pop_front();
        ++busy_;
        lock.unlock();
        std::exception_ptr failure;
        try {
            common::syncFile(file);
        } catch (...) {
            failure = std::current_exception();
        }
        lock.lock();
        --busy_;
        if (failure && !failure_)
            failure_ = failure;
        idle_.notify_all();
    }
}

}  // namespace orlex::update
