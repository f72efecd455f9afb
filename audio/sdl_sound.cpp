#include <SDL.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "audio/sound_line.h"
#include "common/failure.h"

namespace orlex::audio {
namespace {

using common::IoFailure;
using namespace std::chrono_literals;

// Opening and closing devices is serialised because SDL does not promise that device management is
// thread-safe.
std::mutex& sdlMutex() {
    static std::mutex mutex;
    return mutex;
}

// SDL keeps per-thread storage (its error text) for threads it did not create and never frees it; our
// threads come and go, so each device call frees it when done.
struct ThreadStorageRelease {
    ThreadStorageRelease() = default;
    ThreadStorageRelease(const ThreadStorageRelease&) = delete;
    ThreadStorageRelease& operator=(const ThreadStorageRelease&) = delete;
    ~ThreadStorageRelease() { SDL_TLSCleanup(); }
};

// SDL's audio subsystem, started by the first line opened and kept for the rest of the process: starting
// it looks up and connects the driver (the one named by SDL_AUDIODRIVER, or SDL's choice), far too slow to
// repeat around every interface tone. The process and every open line share it, so it stops only once
// the process ends and the last line is gone.
class AudioSubsystem {
public:
    AudioSubsystem() = default;
    AudioSubsystem(const AudioSubsystem&) = delete;
    AudioSubsystem& operator=(const AudioSubsystem&) = delete;
    ~AudioSubsystem() {
        const ThreadStorageRelease release;
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
    }
};

// Under sdlMutex(). A start that fails leaves nothing running, and the next line tries again.
std::shared_ptr<AudioSubsystem> audioSubsystem(bool capture) {
    static std::shared_ptr<AudioSubsystem> running;
    if (!running) {
        // SDL's audio starts its event part, which would take SIGINT and SIGTERM for an event queue
        // nobody reads: the launcher would no longer end when asked to.
        SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
        if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0)
            throw IoFailure(
                std::string(capture ? "Entrée audio indisponible : " : "Sortie audio indisponible : ") +
                SDL_GetError());
        running = std::make_shared<AudioSubsystem>();
    }
    return running;
}

// The device's period: small whatever the line's buffer, since the queue drains (and the played position
// moves) one period at a time. At most 40 ms and at most half the buffer, so the writer keeps ahead of
// the device; a power of two, as devices prefer.
Uint16 periodFrames(const PcmFormat& format, std::size_t bufferBytes) {
    const auto limit = std::min<std::size_t>(static_cast<std::size_t>(format.rate) * 40 / 1000,
                                             bufferBytes / format.frameBytes() / 2);
    Uint16 frames = 64;
    while (frames * 2u <= limit && frames < 8192)
        frames = static_cast<Uint16>(frames * 2);
    return frames;
}

SDL_AudioSpec deviceFormat(const PcmFormat& format, std::size_t bufferBytes) {
    SDL_AudioSpec wanted{};
    wanted.freq = format.rate;
    wanted.format = AUDIO_S16LSB;
    wanted.channels = static_cast<Uint8>(format.channels);
    wanted.samples = periodFrames(format, bufferBytes);
    return wanted;
}

// An open device, one of its periods (in bytes and in time) and the subsystem it runs in.
struct Device {
    SDL_AudioDeviceID id = 0;
    std::size_t periodBytes = 0;
    std::chrono::microseconds period{0};
    std::shared_ptr<AudioSubsystem> subsystem;
};

Device openDevice(const PcmFormat& format, std::size_t bufferBytes, bool capture) {
    if (format.rate <= 0 || format.channels < 1 || format.channels > 2)
        throw UnplayableFormat();
    std::lock_guard lock(sdlMutex());
    const ThreadStorageRelease release;
    std::shared_ptr<AudioSubsystem> subsystem = audioSubsystem(capture);
    SDL_AudioSpec wanted = deviceFormat(format, bufferBytes);
    SDL_AudioSpec obtained{};
    // The device's own period may differ: SDL then feeds it straight from the queue instead of through a
    // re-buffering stream, so an empty queue means only the period being played is left.
    const SDL_AudioDeviceID device =
        SDL_OpenAudioDevice(nullptr, capture ? 1 : 0, &wanted, &obtained, SDL_AUDIO_ALLOW_SAMPLES_CHANGE);
    if (device == 0) {
        const std::string reason = SDL_GetError();
        throw IoFailure(
            std::string(capture ? "Entrée audio indisponible : " : "Sortie audio indisponible : ") + reason);
    }
    return Device{device, std::size_t{obtained.samples} * format.frameBytes(),
                  std::chrono::microseconds(1'000'000LL * obtained.samples / std::max(1, obtained.freq)),
                  std::move(subsystem)};
}

void closeDevice(SDL_AudioDeviceID device) {
    std::lock_guard lock(sdlMutex());
    const ThreadStorageRelease release;
    SDL_CloseAudioDevice(device);
}

// What both line kinds share: one open device, its running state and the lock and signal around them.
struct LineDevice {
    explicit LineDevice(Device opened) : device(std::move(opened)) {}

    void start() {
        std::lock_guard lock(mutex);
        if (open) {
            SDL_PauseAudioDevice(device.id, 0);
            running = true;
        }
    }

    void stop() {
        std::lock_guard lock(mutex);
        if (open)
            SDL_PauseAudioDevice(device.id, 1);
        running = false;
        changed.notify_all();
    }

    void close() {
        std::lock_guard lock(mutex);
        if (!open)
            return;
        open = false;
        running = false;
        closeDevice(device.id);
        changed.notify_all();
    }

    std::mutex mutex;
    std::condition_variable changed;
    Device device;
    bool open = true;
    bool running = false;
};

// Output over SDL's queue: write() keeps at most bufferBytes queued and waits for room by polling the
// queue size (SDL signals nothing when the device takes data).
class SdlOutputLine : public OutputLine {
public:
    SdlOutputLine(const PcmFormat& format, std::size_t bufferBytes)
        : line_(openDevice(format, bufferBytes, false)),
          buffer_(bufferBytes),
          frameBytes_(format.frameBytes()) {}
    SdlOutputLine(const SdlOutputLine&) = delete;
    SdlOutputLine& operator=(const SdlOutputLine&) = delete;
    ~SdlOutputLine() override { close(); }

    void start() override { line_.start(); }

    std::size_t write(std::span<const std::uint8_t> bytes) override {
        std::unique_lock lock(line_.mutex);
        std::size_t taken = 0;
        while (taken < bytes.size()) {
            if (!line_.open)
                return taken;
            const std::size_t room = roomLocked();
            if (room > 0) {
                const std::size_t chunk = std::min(room, bytes.size() - taken);
                if (SDL_QueueAudio(line_.device.id, bytes.data() + taken, static_cast<Uint32>(chunk)) != 0)
                    throw IoFailure(std::string("Sortie audio interrompue : ") + SDL_GetError());
                taken += chunk;
                continue;
            }
            if (!line_.running)
                return taken;
            line_.changed.wait_for(lock, 2ms);
        }
        return taken;
    }

    std::size_t available() override {
        std::lock_guard lock(line_.mutex);
        return line_.open ? roomLocked() : 0;
    }

    void drain() override {
        std::unique_lock lock(line_.mutex);
        while (line_.open && line_.running && SDL_GetQueuedAudioSize(line_.device.id) > 0)
            line_.changed.wait_for(lock, 2ms);
        if (!line_.open || !line_.running)
            return;
        // The device has taken the last bytes and hands them on before it comes back for more, however
        // late its thread runs: a period of silence queued behind them shows when it has.
        const std::vector<std::uint8_t> silence(line_.device.periodBytes, 0);
        if (SDL_QueueAudio(line_.device.id, silence.data(), static_cast<Uint32>(silence.size())) != 0)
            throw IoFailure(std::string("Sortie audio interrompue : ") + SDL_GetError());
        while (line_.open && line_.running && SDL_GetQueuedAudioSize(line_.device.id) >= silence.size())
            line_.changed.wait_for(lock, 2ms);
        // Handed on, they sound within the device's next periods (two, to be safe).
        const auto played = std::chrono::steady_clock::now() + 2 * line_.device.period;
        while (line_.open && line_.running && std::chrono::steady_clock::now() < played)
            line_.changed.wait_until(lock, played);
    }

    void flush() override {
        std::lock_guard lock(line_.mutex);
        if (line_.open)
            SDL_ClearQueuedAudio(line_.device.id);
        line_.changed.notify_all();
    }

    void stop() override { line_.stop(); }

    void close() override { line_.close(); }

private:
    std::size_t roomLocked() const {
        const std::size_t queued = SDL_GetQueuedAudioSize(line_.device.id);
        const std::size_t room = queued >= buffer_ ? 0 : buffer_ - queued;
        return room - room % frameBytes_;
    }

    LineDevice line_;
    std::size_t buffer_;
    std::size_t frameBytes_;
};

class SdlInputLine : public InputLine {
public:
    SdlInputLine(const PcmFormat& format, std::size_t bufferBytes)
        : line_(openDevice(format, bufferBytes, true)) {}
    SdlInputLine(const SdlInputLine&) = delete;
    SdlInputLine& operator=(const SdlInputLine&) = delete;
    ~SdlInputLine() override { close(); }

    void start() override { line_.start(); }

    std::size_t read(std::span<std::uint8_t> buffer) override {
        std::unique_lock lock(line_.mutex);
        while (line_.open && line_.running) {
            const Uint32 got =
                SDL_DequeueAudio(line_.device.id, buffer.data(), static_cast<Uint32>(buffer.size()));
            if (got > 0)
                return got;
            line_.changed.wait_for(lock, 2ms);
        }
        return 0;
    }

    void stop() override { line_.stop(); }

    void close() override { line_.close(); }

private:
    LineDevice line_;
};

class SdlSoundSystem : public SoundSystem {
public:
    std::shared_ptr<OutputLine> openOutput(const PcmFormat& format, std::size_t bufferBytes) override {
        return std::make_shared<SdlOutputLine>(format, bufferBytes);
    }
    std::shared_ptr<InputLine> openInput(const PcmFormat& format, std::size_t bufferBytes) override {
        return std::make_shared<SdlInputLine>(format, bufferBytes);
    }
};

}  // namespace

std::shared_ptr<SoundSystem> systemSound() {
    static const std::shared_ptr<SoundSystem> system = std::make_shared<SdlSoundSystem>();
    return system;
}

}  // namespace orlex::audio
