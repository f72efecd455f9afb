#include "audio/audio_director.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>

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

AudioDirector::AudioDirector(const fs::path& root)
    : AudioDirector(root, std::make_shared<GameAudioBackend>(), true) {}

AudioDirector::AudioDirector(const fs::path& root, std::shared_ptr<Backend> backend, bool realtime)
    : backend_(std::move(backend)), root_(absoluteNormal(root)) {
    volumes_.fill(1.0f);
    if (realtime) {
        prefs_.emplace(AUDIO_NODE);
        master_ = clampVolume(readFloat(*prefs_, "master").value_or(MASTER_DEFAULT));
        for (Bus bus : BUSES)
            volumes_[index(bus)] = clampVolume(readFloat(*prefs_, busName(bus)).value_or(busDefault(bus)));
        clock_ = std::jthread([this](std::stop_token stop) { clockLoop(std::move(stop)); });
    }
}

AudioDirector::~AudioDirector() {
    close();
}

void AudioDirector::clockLoop(std::stop_token stop) {
    common::nameCurrentThread("orlex-audio-fades");
    std::mutex wait;
    auto due = std::chrono::steady_clock::now();
    while (!stop.stop_requested()) {
        tick(CLOCK_STEP);
        due += CLOCK_PERIOD;  // fixed rate
        std::unique_lock lock(wait);
        clockWake_.wait_until(lock, stop, due, [] { return false; });
    }
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
    if (prefs_)
        writeFloat(*prefs_, "master", master_);
    refreshLocked();
}

void AudioDirector::volume(Bus bus, float value) {
    std::lock_guard lock(mutex_);
    volumes_[index(bus)] = clampVolume(value);
    if (prefs_)
        writeFloat(*prefs_, busName(bus), volumes_[index(bus)]);
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
    std::shared_ptr<Track> next;
    if (outgoing_ && outgoing_->id == id && outgoing_->voice->alive()) {
        next = std::move(outgoing_);
        outgoing_.reset();
        next->volume = clampVolume(volume);
    } else if (path) {
        try {
            std::shared_ptr<Voice> voice = backend_->open(*path, true);
            voice->gain(0.0f);
            next = std::make_shared<Track>(Track{id, std::move(voice), 0.0f, 0.0f, clampVolume(volume)});
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
    outgoing_ = std::move(current_);
    if (outgoing_)
        outgoing_->target = 0.0f;
    current_ = std::move(next);
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
        if (existing != beds_.end() && existing->second->id == id && existing->second->voice->alive()) {
            existing->second->volume = clampVolume(volume);
            bedBuses_[key] = bus;
            return;
        }
        std::shared_ptr<Track> next;
        if (path) {
            std::shared_ptr<Voice> voice = backend_->open(*path, true);
            next = std::make_shared<Track>(Track{id, std::move(voice), 1.0f, 1.0f, clampVolume(volume)});
        }
        if (existing != beds_.end()) {
            existing->second->voice->close();
            beds_.erase(existing);
        }
        bedBuses_.erase(key);
        if (next) {
            beds_[key] = std::move(next);
            bedBuses_[key] = bus;
        }
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
            effects_.front()->voice->close();
            effectBuses_.erase(effects_.front());
            effects_.pop_front();
        }
        std::shared_ptr<Voice> voice = backend_->open(*path, false);
        auto track =
            std::make_shared<Track>(Track{path->string(), std::move(voice), 1.0f, 1.0f, clampVolume(volume)});
        track->voice->gain(master_ * volumes_[index(bus)] * track->volume);
        effects_.push_back(track);
        effectBuses_[track] = bus;
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
    for (Track* track : {current_.get(), outgoing_.get()}) {
        if (track == nullptr)
            continue;
        if (track->level < track->target)
            track->level = std::min(track->target, track->level + step);
        else if (track->level > track->target)
            track->level = std::max(track->target, track->level - step);
    }
    if (outgoing_ && outgoing_->level <= 0.0f) {
        outgoing_->voice->close();
        outgoing_.reset();
    }
    for (auto it = effects_.begin(); it != effects_.end();) {
        if ((*it)->voice->alive()) {
            ++it;
            continue;
        }
        effectBuses_.erase(*it);
        it = effects_.erase(it);
    }
    refreshLocked();
}

void AudioDirector::refreshLocked() {
    for (const auto& track : effects_)
        track->voice->gain(master_ * volumes_[index(effectBuses_[track])] * track->volume);
    const float music = master_ * volumes_[index(Bus::MUSIC)];
    for (Track* track : {current_.get(), outgoing_.get()})
        if (track != nullptr)
            track->voice->gain(music * track->volume * track->level);
    for (const auto& [key, track] : beds_)
        track->voice->gain(master_ * volumes_[index(bedBuses_[key])] * track->volume);
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
        if (closed_)
            return;
        closed_ = true;
        clock_.request_stop();
        for (Track* track : {current_.get(), outgoing_.get()})
            if (track != nullptr)
                track->voice->close();
        for (const auto& [key, track] : beds_)
            track->voice->close();
        for (const auto& track : effects_)
            track->voice->close();
        beds_.clear();
        bedBuses_.clear();
        effects_.clear();
        effectBuses_.clear();
    }
    if (clock_.joinable())
        clock_.join();
    backend_->close();
}

}  // namespace orlex::audio
