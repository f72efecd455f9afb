#include "update/downloads_ahead.h"

#include <algorithm>

#include "common/interruption.h"
#include "common/thread_name.h"

namespace orlex::update {

TransportPool::TransportPool(std::string base, TransportTiming timing)
    : base_(std::move(base)), timing_(std::move(timing)), transports_(CONNECTIONS) {}

Transport& TransportPool::at(unsigned i) {
    const std::lock_guard lock(mutex_);
    if (!transports_.at(i))
        transports_[i] = std::make_unique<Transport>(base_, timing_);
    return *transports_[i];
}

DownloadsAhead::DownloadsAhead(std::vector<std::size_t> entries, std::size_t count, TransportPool& pool,
                               Fetch fetch, ProgressListener progress)
    : entries_(std::move(entries)),
      fetch_(std::move(fetch)),
      progress_(std::move(progress)),
      outcomes_(count),
      installerStopped_(common::currentStopToken(), [this] { stop_.request_stop(); }) {
    const auto threads =
        static_cast<unsigned>(std::min<std::size_t>(TransportPool::CONNECTIONS, entries_.size()));
    for (unsigned t = 0; t < threads; ++t) {
        threads_.emplace_back([this, t, &pool] {
            common::nameCurrentThread("orlex-fetch");
            const common::ScopedStopToken stopped(stop_.get_token());
            for (;;) {
                std::size_t entry = 0;
                {
                    const std::lock_guard lock(mutex_);
                    if (next_ == entries_.size() || stop_.stop_requested())
                        return;
                    entry = entries_[next_++];
                }
                std::exception_ptr failure;
                try {
                    fetch_(entry, pool.at(t),
                           [this, entry](const Progress& report) { this->report(entry, report); });
                } catch (...) {
                    failure = std::current_exception();
                }
                const std::lock_guard lock(mutex_);
                outcomes_[entry].done = true;
                outcomes_[entry].failure = failure;
                changed_.notify_all();
            }
        });
    }
}

DownloadsAhead::~DownloadsAhead() {
    stop_.request_stop();
    threads_.clear();  // joins
}

void DownloadsAhead::await(std::size_t entry) {
    std::unique_lock lock(mutex_);
    Outcome& outcome = outcomes_[entry];
    turn_ = entry;
    if (outcome.held) {
        progress_(*outcome.held);
        outcome.held.reset();
    }
    const bool done = changed_.wait(lock, common::currentStopToken(), [&] { return outcome.done; });
    turn_.reset();
    if (!done)
        throw common::Interrupted();
    if (outcome.failure)
        std::rethrow_exception(outcome.failure);
}

void DownloadsAhead::report(std::size_t entry, const Progress& progress) {
    const std::lock_guard lock(mutex_);
    if (turn_ == entry)
        progress_(progress);
    else
        outcomes_[entry].held = progress;
}

}  // namespace orlex::update
