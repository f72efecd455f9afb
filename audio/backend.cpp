#include "audio/backend.h"

#include <cxxabi.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <stop_token>
#include <typeinfo>
#include <vector>

#include "common/failure.h"
#include "common/type_name.h"

namespace orlex::audio {
namespace {

using common::IoFailure;

constexpr std::size_t LINE_BUFFER = 4096;
constexpr std::size_t PCM_BLOCK = 2048;
constexpr std::size_t GAME_BLOCK = 4096;

float clampGain(float value) {
    if (std::isnan(value))
        return 0.0f;
    return std::clamp(value, 0.0f, 1.0f);
}

// The demangled type name of the exception being handled ("orlex::common::IoFailure").
std::string currentFailureKind() {
    const std::type_info* type = abi::__cxa_current_exception_type();
    if (type == nullptr)
        return "unknown";
    return common::typeName(*type);
}

// Fields shared by both stream kinds: the wanted gain, the stop flag and the error text.
class StreamState : public Voice {
public:
    StreamState(std::filesystem::path path, bool loop) : path_(std::move(path)), loop_(loop) {}

    // The voice's thread: plays until the end, a failure or close(); a stop request closes the voice.
    virtual void run(std::stop_token stop) = 0;
    // Lets the output go when the voice's thread never started.
    virtual void abandon() = 0;

    void gain(float value) override { gain_.store(clampGain(value)); }
    bool alive() const override { return !stopped_.load(); }
    std::string error() const override {
        std::lock_guard lock(errorMutex_);
        return error_;
    }

protected:
    // At the end of one pass through the file: a looping voice whose file yields nothing would only reopen
    // it again and again, so that ends the voice as a failure.
    void endPass(std::size_t passBytes) const {
        if (loop_ && passBytes == 0 && !stopped_.load())
            throw IoFailure("Piste sans échantillons : " + path_.filename().string());
    }

    void recordError(const std::string& text) {
        std::lock_guard lock(errorMutex_);
        error_ = text;
    }

    const std::filesystem::path path_;
    const bool loop_;
    std::atomic<float> gain_{0.0f};
    std::atomic<bool> stopped_{false};

private:
    mutable std::mutex errorMutex_;
    std::string error_;
};

class PcmStreamVoice : public StreamState {
public:
    PcmStreamVoice(std::filesystem::path path, bool loop, std::shared_ptr<OutputLine> line)
        : StreamState(std::move(path), loop), line_(std::move(line)) {}

    void close() override {
        stopped_.store(true);
        try {
            line_->stop();
            line_->flush();
            line_->close();
        } catch (...) {
            // closing never fails
        }
    }

    void abandon() override { close(); }

    void run(std::stop_token stop) override {
        const std::stop_callback stopping(stop, [this] { close(); });
        try {
            line_->start();
            float applied = 0.0f;
            std::vector<std::uint8_t> block(PCM_BLOCK);
            do {
                std::unique_ptr<PcmStream> stream = AudioFiles::pcm(path_);
                std::size_t passBytes = 0;
                while (!stopped_.load()) {
                    const std::size_t n = stream->read(block);
                    if (n == 0)
                        break;
                    passBytes += n;
                    const float target = gain_.load();
                    const std::size_t count = n / 2;
                    for (std::size_t i = 0; i < count; ++i) {
                        const auto sample = static_cast<std::int16_t>(block[2 * i] | (block[2 * i + 1] << 8));
                        const float factor = applied + (target - applied) * static_cast<float>(i + 1) /
                                                           static_cast<float>(count);
                        const auto scaled = static_cast<std::int16_t>(static_cast<float>(sample) * factor);
                        const auto bits = static_cast<std::uint16_t>(scaled);
                        block[2 * i] = static_cast<std::uint8_t>(bits & 0xFF);
                        block[2 * i + 1] = static_cast<std::uint8_t>(bits >> 8);
                    }
                    applied = target;
                    std::size_t written = 0;
                    while (written < n && !stopped_.load()) {
                        const std::size_t took = line_->write(std::span(block).subspan(written, n - written));
                        if (took == 0)
                            break;
                        written += took;
                    }
                }
                endPass(passBytes);
            } while (loop_ && !stopped_.load());
            if (!stopped_.load())
                line_->drain();
        } catch (...) {
            if (!stopped_.load())
                recordError("Lecture audio interrompue : " + currentFailureKind());
        }
        close();
    }

private:
    std::shared_ptr<OutputLine> line_;
};

class GameStreamVoice : public StreamState {
public:
    GameStreamVoice(std::filesystem::path path, bool loop, std::unique_ptr<GameAudioDevice> device)
        : StreamState(std::move(path), loop), device_(std::move(device)) {}

    // The thread notices at its next block and disposes the device.
    void close() override { stopped_.store(true); }

    void abandon() override {
        close();
        disposeQuietly();
    }

    void run(std::stop_token stop) override {
        const std::stop_callback stopping(stop, [this] { close(); });
        try {
            float applied = 0.0f;
            std::vector<std::uint8_t> block(GAME_BLOCK);
            std::vector<float> samples(GAME_BLOCK / 2);
            do {
                std::unique_ptr<PcmStream> stream = AudioFiles::pcm(path_);
                std::size_t passBytes = 0;
                while (!stopped_.load()) {
                    const std::size_t n = stream->read(block);
                    if (n == 0)
                        break;
                    passBytes += n;
                    const std::size_t count = n / 2;
                    const float target = gain_.load();
                    const float divisor = static_cast<float>(std::max<std::size_t>(1, count));
                    for (std::size_t i = 0; i < count; ++i) {
                        const auto sample = static_cast<std::int16_t>(block[2 * i] | (block[2 * i + 1] << 8));
                        samples[i] = static_cast<float>(sample) / 32768.0f *
                                     (applied + (target - applied) * static_cast<float>(i + 1) / divisor);
                    }
                    applied = target;
                    if (!stopped_.load() && count > 0)
                        device_->writeSamples(std::span(samples).first(count));
                }
                endPass(passBytes);
            } while (loop_ && !stopped_.load());
        } catch (...) {
            recordError("Lecture audio interrompue : " + currentFailureKind());
        }
        stopped_.store(true);
        disposeQuietly();
    }

private:
    void disposeQuietly() {
        try {
            device_->dispose();
        } catch (...) {
            // a failed disposal changes nothing for the caller
        }
    }

    std::unique_ptr<GameAudioDevice> device_;
};

// Plays voice on a thread of threads, named name; a voice that cannot have its thread lets its output go.
std::shared_ptr<Voice> play(ThreadGroup& threads, const std::string& name,
                            const std::shared_ptr<StreamState>& voice) {
    bool started = false;
    try {
        started = threads.start(name, [voice](std::stop_token stop) { voice->run(std::move(stop)); });
    } catch (...) {
        voice->abandon();
        throw;
    }
    if (!started) {
        voice->abandon();
        throw IoFailure("Sortie audio fermée");
    }
    return voice;
}

}  // namespace

PcmBackend::PcmBackend(std::shared_ptr<SoundSystem> sound) : sound_(std::move(sound)) {}

std::shared_ptr<Voice> PcmBackend::open(const std::filesystem::path& path, bool loop) {
    std::unique_ptr<PcmStream> probe = AudioFiles::pcm(path);
    return play(
        voices_, "orlex-audio-stream",
        std::make_shared<PcmStreamVoice>(path, loop, sound_->openOutput(probe->format(), LINE_BUFFER)));
}

void PcmBackend::close() {
    voices_.close();
}

GameAudioBackend::GameAudioBackend() : fallback_(true), pcm_(systemSound()) {}

GameAudioBackend::GameAudioBackend(std::shared_ptr<DeviceFactory> running, std::shared_ptr<SoundSystem> sound)
    : factory_(std::move(running)), fallback_(true), pcm_(std::move(sound)) {}

GameAudioBackend::GameAudioBackend(std::shared_ptr<DeviceFactory> factory)
    : factory_(std::move(factory)), fallback_(false), pcm_(systemSound()) {}

std::shared_ptr<Voice> GameAudioBackend::open(const std::filesystem::path& path, bool loop) {
    if (!factory_ && fallback_)
        return pcm_.open(path, loop);
    std::unique_ptr<GameAudioDevice> device;
    {
        std::unique_ptr<PcmStream> probe = AudioFiles::pcm(path);
        const PcmFormat format = probe->format();
        try {
            if (factory_)
                device = factory_->open(format.rate, format.channels == 1);
        } catch (...) {
            if (!fallback_)
                throw;
            probe.reset();
            return pcm_.open(path, loop);
        }
    }
    if (fallback_ && device && device->latency() <= 0) {
        device->dispose();
        return pcm_.open(path, loop);
    }
    if (!device)
        throw IoFailure("Périphérique audio du jeu indisponible");
    return play(voices_, "orlex-game-audio",
                std::make_shared<GameStreamVoice>(path, loop, std::move(device)));
}

void GameAudioBackend::close() {
    voices_.close();
    pcm_.close();
}

}  // namespace orlex::audio
