#include "audio/tests/fake_sound.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <algorithm>
#include <limits>

#include "common/failure.h"

namespace orlex::audio::test {

struct FakeSoundSystem::Core {
    using Clock = std::chrono::steady_clock;

    // How far an output line's device has played: its queue drains from `since` on at the line's rate.
    struct Playback {
        bool running = false;
        Clock::time_point since;
        std::size_t played = 0;  // bytes played since `since`
    };

    // Moves every running line's queue on to now (under mutex).
    void advance() {
        const Clock::time_point now = Clock::now();
        for (std::size_t i = 0; i < outputs.size(); ++i) {
            Output& line = outputs[i];
            Playback& device = playbacks[i];
            if (device.running && line.queued > 0) {
                const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(now - device.since);
                const auto due =
                    static_cast<std::size_t>(elapsed.count() * line.format.rate / 1'000'000'000) *
                    line.format.frameBytes();
                const std::size_t played = std::min(line.queued, due - std::min(due, device.played));
                line.queued -= played;
                device.played += played;
                if (played > 0)
                    changed.notify_all();
            }
            if (!device.running || line.queued == 0) {  // idle: the next bytes play from when they arrive
                device.since = now;
                device.played = 0;
            }
        }
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Output> outputs;
    std::vector<Playback> playbacks;
    std::vector<Input> inputs;
    bool failOutputs = false;
    bool failInputs = false;
    bool hold = false;
    bool holdDrain = false;
    bool holdStart = false;
    bool failWrite = false;
    std::size_t free = std::numeric_limits<std::size_t>::max();
};

namespace {

class FakeOutput : public OutputLine {
public:
    FakeOutput(std::shared_ptr<FakeSoundSystem::Core> core, std::size_t index)
        : core_(std::move(core)), index_(index) {}

    void start() override {
        std::unique_lock lock(core_->mutex);
        core_->outputs[index_].calls.push_back("start");
        core_->changed.notify_all();
        core_->changed.wait(lock, [&] { return !core_->holdStart || core_->outputs[index_].closed; });
        core_->advance();
        core_->playbacks[index_].running = !core_->outputs[index_].closed;
    }

    std::size_t write(std::span<const std::uint8_t> bytes) override {
        std::unique_lock lock(core_->mutex);
        FakeSoundSystem::Output& line = core_->outputs[index_];
        line.calls.push_back("write");
        char name[32] = {};
        pthread_getname_np(pthread_self(), name, sizeof name);
        line.writerThread = name;
        if (core_->failWrite) {
            core_->failWrite = false;
            throw common::IoFailure("Sortie audio interrompue");
        }
        while (core_->hold && !core_->outputs[index_].closed) {
            core_->outputs[index_].blockedInWrite = true;
            core_->changed.notify_all();
            core_->changed.wait(lock);
        }
        core_->outputs[index_].blockedInWrite = false;
        std::size_t taken = 0;
        while (taken < bytes.size() && !core_->outputs[index_].closed) {
            core_->advance();
            FakeSoundSystem::Output& now = core_->outputs[index_];
            const std::size_t room = roomLocked();
            if (room > 0) {
                const std::size_t chunk = std::min(room, bytes.size() - taken);
                now.bytes.insert(now.bytes.end(), bytes.begin() + static_cast<std::ptrdiff_t>(taken),
                                 bytes.begin() + static_cast<std::ptrdiff_t>(taken + chunk));
                now.queued += chunk;
                taken += chunk;
                core_->changed.notify_all();
                continue;
            }
            if (!core_->playbacks[index_].running)
                break;  // a stopped device makes no room
            core_->changed.wait_for(lock, std::chrono::milliseconds(1));
        }
        return taken;
    }

    std::size_t available() override {
        std::lock_guard lock(core_->mutex);
        core_->advance();
        return core_->outputs[index_].closed ? 0 : std::min(core_->free, roomLocked());
    }

    void drain() override {
        std::unique_lock lock(core_->mutex);
        core_->outputs[index_].calls.push_back("drain");
        core_->changed.notify_all();
        core_->changed.wait(lock, [&] { return !core_->holdDrain || core_->outputs[index_].closed; });
        while (true) {
            core_->advance();
            if (core_->outputs[index_].closed || !core_->playbacks[index_].running ||
                core_->outputs[index_].queued == 0)
                return;
            core_->changed.wait_for(lock, std::chrono::milliseconds(1));
        }
    }

    void flush() override {
        std::lock_guard lock(core_->mutex);
        core_->outputs[index_].queued = 0;
        core_->advance();
        record("flush");
    }

    void stop() override {
        std::lock_guard lock(core_->mutex);
        core_->advance();
        core_->playbacks[index_].running = false;
        record("stop");
    }

    void close() override {
        std::lock_guard lock(core_->mutex);
        core_->advance();
        core_->playbacks[index_].running = false;
        core_->outputs[index_].closed = true;
        record("close");
    }

private:
    // Under the lock: what fits in the queue now, in whole frames.
    std::size_t roomLocked() const {
        const FakeSoundSystem::Output& line = core_->outputs[index_];
        const std::size_t room = line.bufferBytes - std::min(line.bufferBytes, line.queued);
        return room - room % line.format.frameBytes();
    }

    void record(const char* call) {
        core_->outputs[index_].calls.push_back(call);
        core_->changed.notify_all();
    }

    std::shared_ptr<FakeSoundSystem::Core> core_;
    std::size_t index_;
};

class FakeInput : public InputLine {
public:
    FakeInput(std::shared_ptr<FakeSoundSystem::Core> core, std::size_t index)
        : core_(std::move(core)), index_(index) {}

    void start() override {
        std::lock_guard lock(core_->mutex);
        core_->inputs[index_].started = true;
        core_->changed.notify_all();
    }

    std::size_t read(std::span<std::uint8_t> buffer) override {
        std::unique_lock lock(core_->mutex);
        core_->changed.wait(lock, [&] {
            const auto& line = core_->inputs[index_];
            return line.closed || line.failRead || !line.pending.empty();
        });
        auto& line = core_->inputs[index_];
        if (line.failRead)
            throw common::IoFailure("Entrée audio interrompue");
        if (line.closed)
            return 0;
        const std::size_t count = std::min(buffer.size(), line.pending.size());
        std::copy_n(line.pending.begin(), count, buffer.begin());
        line.pending.erase(line.pending.begin(), line.pending.begin() + static_cast<std::ptrdiff_t>(count));
        core_->changed.notify_all();
        return count;
    }

    void stop() override {}
    void close() override {
        std::lock_guard lock(core_->mutex);
        core_->inputs[index_].closed = true;
        core_->changed.notify_all();
    }

private:
    std::shared_ptr<FakeSoundSystem::Core> core_;
    std::size_t index_;
};

}  // namespace

FakeSoundSystem::FakeSoundSystem() : core_(std::make_shared<Core>()) {}

FakeSoundSystem::~FakeSoundSystem() = default;

std::shared_ptr<OutputLine> FakeSoundSystem::openOutput(const PcmFormat& format, std::size_t bufferBytes) {
    std::lock_guard lock(core_->mutex);
    core_->outputs.push_back(
        Output{format, bufferBytes, {}, {}, 0, core_->failOutputs, false, {}, core_->failOutputs});
    core_->playbacks.emplace_back();
    core_->changed.notify_all();
    if (core_->failOutputs)
        throw common::IoFailure("Sortie audio indisponible");
    return std::make_shared<FakeOutput>(core_, core_->outputs.size() - 1);
}

std::shared_ptr<InputLine> FakeSoundSystem::openInput(const PcmFormat& format, std::size_t bufferBytes) {
    std::lock_guard lock(core_->mutex);
    if (core_->failInputs)
        throw common::IoFailure("Entrée audio indisponible");
    core_->inputs.push_back(Input{format, bufferBytes, {}, false, false, false});
    core_->changed.notify_all();
    return std::make_shared<FakeInput>(core_, core_->inputs.size() - 1);
}

void FakeSoundSystem::failOutputs(bool fail) {
    std::lock_guard lock(core_->mutex);
    core_->failOutputs = fail;
}

void FakeSoundSystem::failInputs(bool fail) {
    std::lock_guard lock(core_->mutex);
    core_->failInputs = fail;
}

void FakeSoundSystem::holdWrites(bool hold) {
    std::lock_guard lock(core_->mutex);
    core_->hold = hold;
    core_->changed.notify_all();
}

void FakeSoundSystem::holdStarts(bool hold) {
    std::lock_guard lock(core_->mutex);
    core_->holdStart = hold;
    core_->changed.notify_all();
}

void FakeSoundSystem::holdDrains(bool hold) {
    std::lock_guard lock(core_->mutex);
    core_->holdDrain = hold;
    core_->changed.notify_all();
}

void FakeSoundSystem::freeSpace(std::size_t bytes) {
    std::lock_guard lock(core_->mutex);
    core_->free = bytes;
}

void FakeSoundSystem::failNextWrite() {
    std::lock_guard lock(core_->mutex);
    core_->failWrite = true;
}

void FakeSoundSystem::feed(std::size_t index, const std::vector<std::uint8_t>& bytes) {
    std::lock_guard lock(core_->mutex);
    core_->inputs.at(index).pending.insert(core_->inputs.at(index).pending.end(), bytes.begin(), bytes.end());
    core_->changed.notify_all();
}

void FakeSoundSystem::failRead(std::size_t index) {
    std::lock_guard lock(core_->mutex);
    core_->inputs.at(index).failRead = true;
    core_->changed.notify_all();
}

std::vector<FakeSoundSystem::Output> FakeSoundSystem::outputs() {
    std::lock_guard lock(core_->mutex);
    core_->advance();
    return core_->outputs;
}

std::vector<FakeSoundSystem::Input> FakeSoundSystem::inputs() {
    std::lock_guard lock(core_->mutex);
    return core_->inputs;
}

void FakeSoundSystem::waitFor(
    const std::function<bool(const std::vector<Output>&, const std::vector<Input>&)>& condition) {
    std::unique_lock lock(core_->mutex);
    const auto deadline = Core::Clock::now() + std::chrono::seconds(20);
    while (true) {
        core_->advance();
        if (condition(core_->outputs, core_->inputs))
            return;
        if (Core::Clock::now() >= deadline)
            break;
        core_->changed.wait_for(lock, std::chrono::milliseconds(1));  // queues drain without a signal
    }
    ADD_FAILURE() << "the sound lines never reached the awaited state";
}

}  // namespace orlex::audio::test
