#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "common/file_system.h"

namespace orlex::update {

// How many worker threads a job of count items gets: one per core up to four, never none (a host that
// cannot tell its number of cores reports 0).
unsigned workerCount(unsigned cores, std::size_t count);

// Named worker threads that take items 0..count-1 in order, each item once.
class Workers {
public:
    Workers(const char* name, unsigned threads, std::size_t count, std::function<void(std::size_t)> work);
    // Stops handing out items and waits for the ones under way.
    ~Workers();
    // Waits until every item has been worked.
    void join();

private:
    std::size_t count_;
    std::function<void(std::size_t)> work_;
    std::atomic<std::size_t> next_{0};
    std::vector<std::jthread> threads_;  // last: joined before the state above goes
};

// Places unchanged files of the active release in the stage on "orlex-copy" threads, ahead of the
// installing thread, which takes each outcome in manifest order: reports and the first failure stay in
// that order.
class CopiesAhead {
public:
    // Places, checks and stamps one entry; throws on failure.
    using Copy = std::function<common::FileStamp(std::size_t)>;

    // entries: the indices to place, in manifest order; count: the release's number of entries.
    CopiesAhead(std::vector<std::size_t> entries, std::size_t count, unsigned cores, Copy copy);

    // Waits for the entry's placement and returns its stamp; rethrows its failure.
    common::FileStamp await(std::size_t entry);

private:
    struct Outcome {
        bool done = false;
        common::FileStamp stamp;
        std::exception_ptr failure;
    };
    void work(std::size_t entry);

    std::vector<std::size_t> entries_;
    std::vector<Outcome> outcomes_;  // by entry index; guarded by mutex_
    Copy copy_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::optional<Workers> workers_;  // last: joined before the state above goes
};

// Forces placed files to the storage device on "orlex-flush" threads while the installation goes on, so
// that the wait before the commit point is short. Several flushes are in flight at once: the file
// system shares its journal commits between them.
class Flushes {
public:
    Flushes();

    void add(std::filesystem::path file);
    // Waits until every file added so far is on the device; rethrows the first failure.
    void finish();

private:
    static constexpr unsigned FLUSH_THREADS = 8;

    void run(const std::stop_token& stop);

    std::mutex mutex_;
    std::condition_variable_any wake_;
    std::condition_variable idle_;
    std::deque<std::filesystem::path> queue_;
    unsigned busy_ = 0;
    std::exception_ptr failure_;
    std::vector<std::jthread> threads_;  // last: joined before the state above goes
};

}  // namespace orlex::update
