#pragma once

#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <thread>
#include <vector>

#include "update/release.h"
#include "update/transport.h"

namespace orlex::update {

// Connections to one channel kept for the engine's lifetime, each usable by one thread at a time: a
// channel far away is latency-bound, so several files travel at once over separate connections.
class TransportPool {
public:
    static constexpr unsigned CONNECTIONS = 4;

    TransportPool(std::string base, TransportTiming timing);
    // The i-th connection (i < CONNECTIONS), made on first use.
    Transport& at(unsigned i);

private:
    std::string base_;
    TransportTiming timing_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<Transport>> transports_;
};

// Fetches the files an installation lacks on up to TransportPool::CONNECTIONS "orlex-fetch" threads,
// ahead of the installing thread, which takes each outcome in manifest order. Progress reports and the
// first failure stay in that order: the reports of the file the installing thread waits for go out as
// they come (from the fetching thread); a file fetched ahead keeps its latest report, which goes out
// when its turn comes. A stop of the installing thread's current token, a failure taken, or the
// destruction stop every fetch under way.
class DownloadsAhead {
public:
    using ProgressListener = Transport::ProgressListener;
    // Brings one entry's file into the stage through transport, reporting through progress; throws on
    // failure.
    using Fetch =
        std::function<void(std::size_t entry, Transport& transport, const ProgressListener& progress)>;

    // entries: the indices to fetch, in manifest order; count: the release's number of entries.
    DownloadsAhead(std::vector<std::size_t> entries, std::size_t count, TransportPool& pool, Fetch fetch,
                   ProgressListener progress);
    DownloadsAhead(const DownloadsAhead&) = delete;
    DownloadsAhead& operator=(const DownloadsAhead&) = delete;
    ~DownloadsAhead();

    // Waits for the entry's file, passing its reports on meanwhile; rethrows its failure. Throws
    // common::Interrupted when the calling thread's current token is stopped.
    void await(std::size_t entry);

private:
    struct Outcome {
        bool done = false;
        std::exception_ptr failure;
        std::optional<Progress> held;  // the latest report of a file fetched ahead of its turn
    };
    void report(std::size_t entry, const Progress& progress);

    std::vector<std::size_t> entries_;
    Fetch fetch_;
    ProgressListener progress_;
    std::mutex mutex_;  // guards outcomes_ and turn_, and orders the reports
    std::condition_variable_any changed_;
    std::vector<Outcome> outcomes_;  // by entry index
    std::optional<std::size_t> turn_;
    std::size_t next_ = 0;  // the next position in entries_ to hand out
    std::stop_source stop_;
    std::stop_callback<std::function<void()>> installerStopped_;
    std::vector<std::jthread> threads_;  // last: joined before the state above goes
};

}  // namespace orlex::update
