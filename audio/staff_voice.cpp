#include "audio/staff_voice.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <stop_token>
#include <utility>
#include <vector>

#include "audio/thread_group.h"
#include "audio/voice_codec.h"
#include "audio/volumes.h"
#include "common/preferences.h"

namespace orlex::audio {
namespace {

constexpr PcmFormat VOICE_FORMAT{8000, 1};
constexpr std::size_t FRAME_BYTES = VoiceCodec::SAMPLES * 2;
constexpr std::size_t LINE_BUFFER = 1280;
constexpr std::size_t MAX_SPEAKERS = 8;
constexpr std::size_t MAX_QUEUED = 3;
constexpr std::int64_t SILENCE = 300'000'000;  // ns
constexpr auto STEP = std::chrono::milliseconds(20);

std::int64_t monotonicNanos() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::atomic<float>& announcements() {
    static std::atomic<float> gain{1.0f};
    static std::once_flag loaded;
    std::call_once(loaded, [] {
        try {
            const common::Preferences store(AUDIO_NODE);
            gain.store(clampVolume(readFloat(store, "announcements").value_or(1.0f)));
        } catch (...) {
            gain.store(1.0f);
        }
    });
    return gain;
}

void closeQuietly(const std::shared_ptr<InputLine>& line) {
    if (!line)
        return;
    try {
        line->stop();
        line->close();
    } catch (...) {
    }
}

}  // namespace

struct StaffVoice::State {
    struct Speaker {
        std::string name;
        std::int64_t last = 0;
        std::deque<std::vector<std::uint8_t>> frames;
    };

    Sender sender;
    std::shared_ptr<SoundSystem> sound;
    Clock clock;

    std::mutex mutex;  // the instance lock: speakers, output, scope transitions
    std::atomic<bool> closed{false};
    std::atomic<std::uint64_t> generation{0};
    mutable std::mutex fields;  // guards the texts and the microphone, read by the capture thread
    std::string scope;
    std::string problem;
    std::shared_ptr<InputLine> microphone;
    std::shared_ptr<OutputLine> output;
    std::map<std::string, Speaker> speakers;
    ThreadGroup threads;  // the playback worker and the capture threads; last: joined before the rest goes

    std::string currentScope() const {
        std::lock_guard lock(fields);
        return scope;
    }
    std::shared_ptr<InputLine> currentMicrophone() const {
        std::lock_guard lock(fields);
        return microphone;
    }

    // Under mutex.
    void switchScope(const std::string& value) {
        std::shared_ptr<InputLine> old;
        std::uint64_t g = 0;
        {
            std::lock_guard lock(fields);
            scope = value;
            g = ++generation;
            old = std::exchange(microphone, nullptr);
            if (!value.empty())
                problem.clear();
        }
        closeQuietly(old);
        if (value.empty())
            return;
        try {
            // Never refused: close() marks the channel closed under mutex before it closes the group.
            threads.start("orlex-voice-microphone", [this, value, g](std::stop_token) { capture(value, g); });
        } catch (...) {
            std::lock_guard lock(fields);
            problem = "Microphone indisponible";
            scope.clear();
        }
    }

    bool stillFor(const std::string& s, std::uint64_t g, const std::shared_ptr<InputLine>& line) const {
        std::lock_guard lock(fields);
        return !closed.load() && microphone == line && scope == s && generation.load() == g;
    }

    void capture(const std::string& s, std::uint64_t g) {
        std::shared_ptr<InputLine> line;
        try {
            line = sound->openInput(VOICE_FORMAT, LINE_BUFFER);
            {
                std::lock_guard instance(mutex);
                std::lock_guard lock(fields);
                if (closed.load() || scope != s || generation.load() != g) {
                    closeQuietly(line);
                    return;
                }
                microphone = line;
            }
            line->start();
            std::array<std::uint8_t, FRAME_BYTES> pcm{};
            std::array<std::uint8_t, VoiceCodec::SAMPLES> frame{};
            while (!closed.load() && currentMicrophone() == line && currentScope() == s) {
                std::size_t filled = 0;
                while (filled < pcm.size() && currentMicrophone() == line) {
                    const std::size_t got = line->read(std::span(pcm).subspan(filled));
                    if (got == 0)
                        break;
                    filled += got;
                }
                if (filled < pcm.size())
                    break;
                for (std::size_t i = 0; i < VoiceCodec::SAMPLES; ++i)
                    frame[i] =
                        VoiceCodec::encode(static_cast<std::int16_t>(pcm[2 * i] | (pcm[2 * i + 1] << 8)));
                if (stillFor(s, g, line))
                    sender(s, frame);
            }
            closeQuietly(line);
        } catch (...) {
            {
                std::lock_guard lock(fields);
                if (scope == s && generation.load() == g) {
                    problem = "Microphone indisponible";
                    scope.clear();
                    if (microphone == line)
                        microphone.reset();
                }
            }
            closeQuietly(line);
        }
    }

    // Under mutex.
    void dropOutput() {
        if (!output)
            return;
        try {
            output->stop();
            output->close();
        } catch (...) {
        }
        output.reset();
    }

    void step() {
        std::lock_guard lock(mutex);
        if (closed.load())
            return;
        const std::int64_t now = clock();
        std::array<int, VoiceCodec::SAMPLES> mix{};
        bool taken = false;
        for (auto it = speakers.begin(); it != speakers.end();) {
            Speaker& speaker = it->second;
            if (now - speaker.last > SILENCE) {
                it = speakers.erase(it);
                continue;
            }
            if (!speaker.frames.empty()) {
                const std::vector<std::uint8_t> frame = std::move(speaker.frames.front());
                speaker.frames.pop_front();
                for (std::size_t i = 0; i < VoiceCodec::SAMPLES; ++i)
                    mix[i] += VoiceCodec::decode(frame[i]);
                taken = true;
            }
            ++it;
        }
        if (!taken)
            return;
        try {
            if (!output) {
                output = sound->openOutput(VOICE_FORMAT, LINE_BUFFER);
                output->start();
            }
            if (output->available() < FRAME_BYTES)
                return;
            const double gain = announcements().load();
            std::array<std::uint8_t, FRAME_BYTES> bytes{};
            for (std::size_t i = 0; i < VoiceCodec::SAMPLES; ++i) {
                const double rounded = std::floor(mix[i] * gain + 0.5);
                const auto value = static_cast<std::int16_t>(std::clamp(rounded, -32768.0, 32767.0));
                const auto bits = static_cast<std::uint16_t>(value);
                bytes[2 * i] = static_cast<std::uint8_t>(bits & 0xFF);
                bytes[2 * i + 1] = static_cast<std::uint8_t>(bits >> 8);
            }
            output->write(bytes);
        } catch (...) {
            dropOutput();
            speakers.clear();
            std::lock_guard text(fields);
            problem = "Sortie vocale indisponible";
        }
    }

    void flushOutput() {
        if (!output)
            return;
        try {
            output->flush();
        } catch (...) {
        }
    }
};

StaffVoice::StaffVoice(Sender sender) : StaffVoice(std::move(sender), Options{}) {}

StaffVoice::StaffVoice(Sender sender, Options options) : state_(std::make_unique<State>()) {
    state_->sender = std::move(sender);
    state_->sound = std::move(options.sound);
    state_->clock = options.clock ? std::move(options.clock) : Clock(monotonicNanos);
    if (options.playbackWorker) {
        state_->threads.start("orlex-voice-playback", [state = state_.get()](std::stop_token stop) {
            std::mutex wait;
            std::condition_variable_any wake;
            auto due = std::chrono::steady_clock::now();
            while (!stop.stop_requested()) {
                state->step();
                due += STEP;
                std::unique_lock lock(wait);
                wake.wait_until(lock, stop, due, [] { return false; });
            }
        });
    }
}

StaffVoice::~StaffVoice() {
    close();
}

float StaffVoice::volume() {
    return announcements().load();
}

void StaffVoice::volume(float value) {
    const float clamped = clampVolume(value);
    announcements().store(clamped);
    try {
        common::Preferences store(AUDIO_NODE);
        writeFloat(store, "announcements", clamped);
    } catch (...) {
        // the volume applies even when it cannot be kept
    }
}

void StaffVoice::scope(const std::string& value) {
    std::lock_guard lock(state_->mutex);
    if (state_->closed.load() || state_->currentScope() == value)
        return;
    state_->switchScope(value);
}

void StaffVoice::receive(const std::string& id, const std::string& name,
                         std::span<const std::uint8_t> frame) {
    std::lock_guard lock(state_->mutex);
    if (state_->closed.load() || frame.size() != VoiceCodec::SAMPLES)
        return;
    auto found = state_->speakers.find(id);
    if (found == state_->speakers.end()) {
        if (state_->speakers.size() >= MAX_SPEAKERS)
            return;
        found = state_->speakers.emplace(id, State::Speaker{}).first;
    }
    State::Speaker& speaker = found->second;
    speaker.name = name;
    speaker.last = state_->clock();
    if (speaker.frames.size() >= MAX_QUEUED)
        speaker.frames.pop_front();
    speaker.frames.emplace_back(frame.begin(), frame.end());
}

void StaffVoice::stop(const std::string& id) {
    std::lock_guard lock(state_->mutex);
    state_->speakers.erase(id);
    if (state_->speakers.empty())
        state_->flushOutput();
}

void StaffVoice::clear() {
    std::lock_guard lock(state_->mutex);
    state_->speakers.clear();
    state_->flushOutput();
}

std::string StaffVoice::status() {
    std::lock_guard lock(state_->mutex);
    {
        std::lock_guard text(state_->fields);
        if (!state_->problem.empty())
            return state_->problem;
        if (!state_->scope.empty())
            return std::string("Micro ouvert — ") + (state_->scope == "server" ? "Serveur" : "Carte");
    }
    const std::int64_t now = state_->clock();
    std::string names;
    for (const auto& [id, speaker] : state_->speakers) {
        if (now - speaker.last >= SILENCE)
            continue;
        names += (names.empty() ? "" : ", ") + speaker.name;
    }
    return names.empty() ? std::string() : "Annonce vocale — " + names;
}

void StaffVoice::playbackStep() {
    state_->step();
}

void StaffVoice::close() {
    {
        std::lock_guard lock(state_->mutex);
        if (!state_->closed.load()) {
            if (!state_->currentScope().empty())
                state_->switchScope("");
            state_->closed.store(true);
            state_->speakers.clear();
            state_->dropOutput();
        }
    }
    // Outside the lock, which a playback step or a capture thread may be waiting for: with the channel
    // closed and the microphone off, each ends at once. Waits also when another caller is closing.
    state_->threads.close();
}

}  // namespace orlex::audio
