#include "audio/audio_director.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <utility>

#include "common/failure.h"
#include "common/thread_name.h"

namespace orlex::audio {
namespace {

using common::IoFailure;
namespace fs = std::filesystem;

constexpr std::size_t MAX_EFFECTS = 12;
constexpr auto CLOCK_PERIOD = std::chrono::milliseconds(20);
constexpr float CLOCK_STEP = 0.02f;

fs::path absoluteNormal(const fs::path& path) {
    fs::path result = fs::absolute(path).lexically_normal();
    if (!result.has_filename() && result != result.root_path())
        result = result.parent_path();
    return result;
}

bool isWithin(const fs::path& path, const fs::path& base) {
    auto p = path.begin();
    for (auto b = base.begin(); b != base.end(); ++b, ++p) {
        if (b->empty())
            continue;  // the empty element a trailing separator leaves
        if (p == path.end() || *p != *b)
            return false;
    }
    return true;
}

bool blank(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isspace(c) != 0; });
}

std::size_t index(Bus bus) {
    return static_cast<std::size_t>(bus);
}

}  // namespace

void RealTimeClock::start(Tick tick) {
    std::lock_guard lock(mutex_);
    thread_ = std::jthread([tick = std::move(tick)](std::stop_token stop) {
        common::nameCurrentThread("orlex-audio-fades");
        std::mutex wait;
        std::condition_variable_any wake;
        auto due = std::chrono::steady_clock::now();
        while (!stop.stop_requested()) {
            tick(CLOCK_STEP);
            due += CLOCK_PERIOD;  // fixed rate
            std::unique_lock waiting(wait);
            wake.wait_until(waiting, stop, due, [] { return false; });
        }
    });
}

void RealTimeClock::stop() {
    std::lock_guard lock(mutex_);
    if (thread_.joinable()) {
        thread_.request_stop();
        thread_.join();
    }
}

AudioDirector::AudioDirector(const fs::path& root)
    : AudioDirector(root, std::make_shared<GameAudioBackend>(), std::make_shared<PreferenceVolumes>(),
                    std::make_unique<RealTimeClock>()) {}

AudioDirector::AudioDirector(const fs::path& root, std::shared_ptr<Backend> backend,
                             std::shared_ptr<VolumeStore> volumes, std::unique_ptr<FadeClock> clock)
    : backend_(std::move(backend)),
      store_(std::move(volumes)),
      root_(absoluteNormal(root)),
      clock_(std::move(clock)) {
    master_ = clampVolume(store_->read("master").value_or(MASTER_DEFAULT));
    for (Bus bus : BUSES)
        volumes_[index(bus)] = clampVolume(store_->read(busName(bus)).value_or(busDefault(bus)));
    clock_->start([this](float seconds) { tick(seconds); });
}

AudioDirector::~AudioDirector() {
    close();
}

float AudioDirector::master() {
    std::lock_guard lock(mutex_);
    return master_;
}

float AudioDirector::volume(Bus bus) {
    std::lock_guard lock(mutex_);
    return volumes_[index(bus)];
}

void AudioDirector::master(float value) {
    std::lock_guard lock(mutex_);
    master_ = clampVolume(value);
    store_->write("master", master_);
    refreshLocked();
}

void AudioDirector::volume(Bus bus, float value) {
    std::lock_guard lock(mutex_);
    volumes_[index(bus)] = clampVolume(value);
    store_->write(busName(bus), volumes_[index(bus)]);
    refreshLocked();
}

void AudioDirector::projectRoot(const fs::path& path) {
    std::lock_guard lock(mutex_);
    root_ = absoluteNormal(path);
}

void AudioDirector::fallbackRoot(const fs::path& path) {
    std::lock_guard lock(mutex_);
    const fs::path normal = absoluteNormal(path);
    if (normal != root_ &&
        std::find(fallbackRoots_.begin(), fallbackRoots_.end(), normal) == fallbackRoots_.end())
        fallbackRoots_.push_back(normal);
}

std::optional<fs::path> AudioDirector::resolve(const std::string& reference) {
    std::lock_guard lock(mutex_);
    return resolveLocked(reference);
}

std::optional<fs::path> AudioDirector::resolveLocked(const std::string& reference) {
    if (blank(reference))
        return std::nullopt;
    const fs::path relative(reference);
    if (relative.is_absolute() || relative.has_root_path() || reference.find('\\') != std::string::npos)
        throw IoFailure("Audio hors projet");
    const fs::path normal = relative.lexically_normal();
    if (!normal.empty() && *normal.begin() == "..")
        throw IoFailure("Audio hors projet");
    if (!AudioFiles::supported(relative))
        throw IoFailure("Piste OGG, MP3 ou WAV requise");
    std::vector<fs::path> bases{root_};
    bases.insert(bases.end(), fallbackRoots_.begin(), fallbackRoots_.end());
    for (const fs::path& base : bases) {
        const fs::path joined = (base / relative).lexically_normal();
        if (!isWithin(joined, base))
            throw IoFailure("Audio hors projet");
        std::error_code error;
        if (!fs::is_regular_file(joined, error))
            continue;
        const fs::path real = fs::canonical(joined, error);
        const fs::path realBase = fs::canonical(base, error);
        if (error || !isWithin(real, realBase))
            throw IoFailure("Audio hors projet");
        return real;
    }
    throw IoFailure("Fichier audio absent : " + normal.filename().string());
}

void AudioDirector::music(const std::string& reference, float volume, float seconds) {
    std::lock_guard lock(mutex_);
    musicLocked(reference, volume, seconds);
}

void AudioDirector::musicLocked(const std::string& reference, float volume, float seconds) {
    if (closed_)
        return;
    std::optional<fs::path> path;
    try {
        path = resolveLocked(reference);
    } catch (const std::exception& failure) {
        lastError_ = failure.what();
        return;
    }
    const std::string id = path ? path->string() : std::string();
    fade_ = std::isnan(seconds) ? 2.0f : std::clamp(seconds, 0.15f, 10.0f);
    if (current_ && current_->id == id && current_->voice->alive()) {
        lastError_.clear();
        current_->volume = clampVolume(volume);
        current_->target = 1.0f;
        refreshLocked();
        return;
    }
    std::optional<Track> next;
    if (outgoing_ && outgoing_->id == id && outgoing_->voice->alive()) {
        next = std::exchange(outgoing_, std::nullopt);
        next->volume = clampVolume(volume);
    } else if (path) {
        try {
            std::shared_ptr<Voice> voice = backend_->open(*path, true);
            voice->gain(0.0f);
            next = Track{id, std::move(voice), Bus::MUSIC, clampVolume(volume), 0.0f, 0.0f};
        } catch (const std::exception& failure) {
            lastError_ = failure.what();
            return;
        }
    }
    if (outgoing_) {
        outgoing_->voice->close();
        outgoing_.reset();
    }
    lastError_.clear();
    outgoing_ = std::exchange(current_, std::move(next));
    if (outgoing_)
        outgoing_->target = 0.0f;
    if (current_)
        current_->target = 1.0f;
}

void AudioDirector::zone(const std::string& reference, float volume, float seconds) {
    std::lock_guard lock(mutex_);
    zone_ = reference;
    zoneVolume_ = volume;
    zoneFade_ = seconds;
    if (!combat_)
        musicLocked(zone_, zoneVolume_, zoneFade_);
}

void AudioDirector::enterCombat(const std::string& reference) {
    std::lock_guard lock(mutex_);
    combat_ = true;
    musicLocked(reference, 0.8f, 1.2f);
}

void AudioDirector::leaveCombat() {
    std::lock_guard lock(mutex_);
    combat_ = false;
    musicLocked(zone_, zoneVolume_, zoneFade_);
}

void AudioDirector::ambient(const std::string& key, const std::string& reference, Bus bus, float volume) {
    if (bus != Bus::AMBIENCE && bus != Bus::WEATHER)
        throw IoFailure("Canal ambiance/météo requis");
    std::lock_guard lock(mutex_);
    if (closed_)
        return;
    try {
        const std::optional<fs::path> path = resolveLocked(reference);
        const std::string id = path ? path->string() : std::string();
        const auto existing = beds_.find(key);
        if (existing != beds_.end() && existing->second.id == id && existing->second.voice->alive()) {
            existing->second.volume = clampVolume(volume);
            existing->second.bus = bus;
            return;
        }
        std::optional<Track> next;
        if (path)
            next = Track{id, backend_->open(*path, true), bus, clampVolume(volume), 1.0f, 1.0f};
        if (existing != beds_.end()) {
            existing->second.voice->close();
            beds_.erase(existing);
        }
        if (next)
            beds_.emplace(key, std::move(*next));
        refreshLocked();
    } catch (const std::exception& failure) {
        lastError_ = failure.what();
    }
}

void AudioDirector::effect(const std::string& reference, Bus bus, float volume) {
    std::lock_guard lock(mutex_);
    if (closed_ || blank(reference))
        return;
    try {
        const std::optional<fs::path> path = resolveLocked(reference);
        while (effects_.size() >= MAX_EFFECTS) {
            effects_.front().voice->close();
            effects_.pop_front();
        }
        Track track{path->string(), backend_->open(*path, false), bus, clampVolume(volume), 1.0f, 1.0f};
        applyGainLocked(track);
        effects_.push_back(std::move(track));
    } catch (const std::exception& failure) {
        lastError_ = failure.what();
    }
}

void AudioDirector::tick(float seconds) {
    std::lock_guard lock(mutex_);
    if (closed_)
        return;
    if (current_ && !current_->voice->alive()) {
        const std::string error = current_->voice->error();
        lastError_ = error.empty() ? "Lecture audio interrompue" : error;
    }
    const float step = std::max(0.0f, seconds) / fade_;
    for (std::optional<Track>* music : {&current_, &outgoing_}) {
        if (!*music)
            continue;
        Track& track = **music;
        if (track.level < track.target)
            track.level = std::min(track.target, track.level + step);
        else if (track.level > track.target)
            track.level = std::max(track.target, track.level - step);
    }
    if (outgoing_ && outgoing_->level <= 0.0f) {
        outgoing_->voice->close();
        outgoing_.reset();
    }
    std::erase_if(effects_, [](const Track& effect) { return !effect.voice->alive(); });
    refreshLocked();
}

void AudioDirector::applyGainLocked(const Track& track) {
    track.voice->gain(master_ * volumes_[index(track.bus)] * track.volume * track.level);
}

void AudioDirector::refreshLocked() {
    for (const Track& effect : effects_)
        applyGainLocked(effect);
    for (const std::optional<Track>* music : {&current_, &outgoing_})
        if (*music)
            applyGainLocked(**music);
    for (const auto& [key, bed] : beds_)
        applyGainLocked(bed);
}

bool AudioDirector::musicAlive() {
    std::lock_guard lock(mutex_);
    return current_ && current_->voice->alive();
}

std::string AudioDirector::musicId() {
    std::lock_guard lock(mutex_);
    return current_ ? current_->id : std::string();
}

std::string AudioDirector::lastError() {
    std::lock_guard lock(mutex_);
    return lastError_;
}

void AudioDirector::close() {
    {
        std::lock_guard lock(mutex_);
        if (!closed_) {
            closed_ = true;
            for (const std::optional<Track>* music : {&current_, &outgoing_})
                if (*music)
                    (*music)->voice->close();
            for (const auto& [key, bed] : beds_)
                bed.voice->close();
            for (const Track& effect : effects_)
                effect.voice->close();
            beds_.clear();
            effects_.clear();
        }
    }
    // Outside the lock: a tick waiting for it finds the director closed and returns. Both calls wait for
    // their threads, also when another caller is already closing.
    clock_->stop();
    backend_->close();
}

}  // namespace orlex::audio
