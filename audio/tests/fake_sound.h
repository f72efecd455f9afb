#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "audio/sound_line.h"

namespace orlex::audio::test {

// A sound system that records every line it opens and everything done to them. Like a device, each
// output line queues at most the buffer it was opened with; once started (and until stopped) the queue
// drains in real time at the line's rate, write() waits for room while the line runs and returns what it
// took when it does not, and drain() waits until the queue is empty. All state sits behind one lock;
// waitFor() blocks (without a time limit of its own beyond a generous guard) until a condition on the
// recording holds, so tests wait on events, never on time.
class FakeSoundSystem : public SoundSystem {
public:
    FakeSoundSystem();
    ~FakeSoundSystem() override;

    struct Output {
        PcmFormat format;
        std::size_t bufferBytes = 0;
        std::vector<std::string> calls;   // "start", "write", "drain", "flush", "stop", "close"
        std::vector<std::uint8_t> bytes;  // everything taken by write
        std::size_t queued = 0;           // taken and not yet played
        bool closed = false;
        bool blockedInWrite = false;
        std::string writerThread;  // the name of the thread that wrote last
        bool refused = false;      // opening failed (failOutputs); the entry only records the attempt
    };
    struct Input {
        PcmFormat format;
        std::size_t bufferBytes = 0;
        std::deque<std::uint8_t> pending;  // what read() hands out
        bool started = false;
        bool closed = false;
        bool failRead = false;
    };

    std::shared_ptr<OutputLine> openOutput(const PcmFormat& format, std::size_t bufferBytes) override;
    std::shared_ptr<InputLine> openInput(const PcmFormat& format, std::size_t bufferBytes) override;

    // Opening fails (recorded as a refused, closed entry) with IoFailure("Sortie audio indisponible" /
    // "Entrée audio indisponible").
    void failOutputs(bool fail);
    void failInputs(bool fail);
    // While held, write() takes nothing and waits (until released or the line is closed).
    void holdWrites(bool hold);
    // While held, start() waits (until released or the line is closed).
    void holdStarts(bool hold);
    // While held, drain() waits (until released or the line is closed).
    void holdDrains(bool hold);
    // Caps what available() reports below the room left in a line's queue (as when the device is busy
    // with others); no cap by default.
    void freeSpace(std::size_t bytes);
    // The next write on any line throws IoFailure.
    void failNextWrite();

    // Appends bytes to what input line index hands out.
    void feed(std::size_t index, const std::vector<std::uint8_t>& bytes);
    void failRead(std::size_t index);

    // Copies of the recording.
    std::vector<Output> outputs();
    std::vector<Input> inputs();
    // Blocks until condition(outputs, inputs) holds; fails the test after 20 s.
    void waitFor(const std::function<bool(const std::vector<Output>&, const std::vector<Input>&)>& condition);

    struct Core;

private:
    std::shared_ptr<Core> core_;
};

}  // namespace orlex::audio::test
