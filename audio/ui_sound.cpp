#include "audio/ui_sound.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <numbers>
#include <optional>
#include <stop_token>
#include <utility>

#include "audio/volumes.h"
#include "common/preferences.h"

namespace orlex::audio {
namespace {

constexpr std::int64_t HOVER_GAP = 100'000'000;  // ns
constexpr std::size_t MAX_THREADS = 4;
constexpr auto IDLE_END = std::chrono::seconds(10);
constexpr std::size_t LINE_BUFFER = 4096;

std::int64_t monotonicNanos() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct Job {
    bool hover;
    double volume;
};

void closeQuietly(OutputLine& line) {
    try {
        line.stop();
        line.close();
    } catch (...) {
        // a line that cannot even close is gone all the same
    }
}

// Plays one tone to its end, or until stop is requested.
void sound(SoundSystem& system, const Job& job, const std::stop_token& stop) {
    std::shared_ptr<OutputLine> line;
    try {
        const std::vector<std::uint8_t> samples = UiSound::tone(job.hover, job.volume);
        line = system.openOutput(PcmFormat{UiSound::RATE, 1}, LINE_BUFFER);
        const std::stop_callback cut(stop, [&line] { closeQuietly(*line); });
        line->start();
        std::size_t written = 0;
        while (written < samples.size()) {
            const std::size_t took = line->write(std::span(samples).subspan(written));
            if (took == 0)
                break;
            written += took;
        }
        line->drain();
    } catch (...) {
        // a tone that cannot sound is lost without notice
    }
    if (line)
        closeQuietly(*line);
}

}  // namespace

// Threads waiting for a tone take it directly (no queue); a request finding every thread busy and the
// pool full is dropped.
struct UiSound::Pool {
    std::mutex mutex;
    std::condition_variable_any handed;
    std::size_t threads = 0;  // started and not yet leaving
    std::size_t idle = 0;
    std::optional<Job> offered;
    bool closed = false;

    // A pool thread: plays first, then every tone handed to it, until idle for 10 s or stopped.
    void work(SoundSystem& system, Job first, const std::stop_token& stop) {
        Job next = first;
        while (true) {
            sound(system, next, stop);
            std::unique_lock wait(mutex);
            ++idle;
            const bool got = handed.wait_for(wait, stop, IDLE_END, [&] { return offered.has_value(); });
            --idle;
            if (!got || stop.stop_requested()) {
                --threads;
                return;
            }
            next = *std::exchange(offered, std::nullopt);
        }
    }
};

UiSound::UiSound(std::shared_ptr<SoundSystem> sound, Clock clock)
    : sound_(std::move(sound)),
      clock_(clock ? std::move(clock) : Clock(monotonicNanos)),
      lastHover_(std::numeric_limits<std::int64_t>::min()),
      pool_(std::make_unique<Pool>()) {}

UiSound::~UiSound() {
    close();
}

UiSound& UiSound::shared() {
    static UiSound instance;
    return instance;
}

void UiSound::play(bool hover) {
    const std::int64_t now = clock_();
    if (hover) {
        std::int64_t last = lastHover_.load();
        do {
            if (last != std::numeric_limits<std::int64_t>::min() && now - last < HOVER_GAP)
                return;
        } while (!lastHover_.compare_exchange_weak(last, now));
    }
    const common::Preferences store(AUDIO_NODE);
    const double volume = static_cast<double>(readFloat(store, "master").value_or(MASTER_DEFAULT)) *
                          static_cast<double>(readFloat(store, busName(Bus::INTERFACE)).value_or(0.6f));
    if (!(volume > 0.0))
        return;
    const Job job{hover, volume};
    std::lock_guard lock(pool_->mutex);
    if (pool_->closed)
        return;
    if (pool_->idle > 0 && !pool_->offered) {
        pool_->offered = job;
        pool_->handed.notify_one();
        return;
    }
    if (pool_->threads >= MAX_THREADS)
        return;
    ++pool_->threads;
    try {
        workers_.start("orlex-ui-tone", [pool = pool_.get(), system = sound_, job](std::stop_token stop) {
            pool->work(*system, job, stop);
        });
    } catch (...) {
        --pool_->threads;  // no thread to be had: the tone is lost
    }
}

void UiSound::close() {
    {
        std::lock_guard lock(pool_->mutex);
        pool_->closed = true;
    }
    workers_.close();  // the stop wakes idle threads and cuts the tones playing
}

std::vector<std::uint8_t> UiSound::tone(bool hover, double volume) {
    const int n = hover ? 900 : 2200;
    const double f = hover ? 1100.0 : 740.0;
    const double r = RATE;
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(n) * 2);
    for (int i = 0; i < n; ++i) {
        const double t = i / r;
        const double envelope = std::sin(std::numbers::pi * i / n) * std::exp(-35.0 * t);
        const double wave =
            std::sin(2 * std::numbers::pi * f * t) + 0.24 * std::sin(2 * std::numbers::pi * 1480.0 * t);
        // Truncated towards zero; only the low 16 bits are kept, as the format does. An infinite volume
        // times a zero of the wave is NaN: silence.
        const double sample = wave * envelope * 1800.0 * volume;
        const auto value =
            std::isnan(sample) ? 0 : static_cast<std::int64_t>(std::clamp(sample, -9.0e18, 9.0e18));
        const auto bits = static_cast<std::uint16_t>(value & 0xFFFF);
        bytes[2 * static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(bits & 0xFF);
        bytes[2 * static_cast<std::size_t>(i) + 1] = static_cast<std::uint8_t>(bits >> 8);
    }
    return bytes;
}

}  // namespace orlex::audio
