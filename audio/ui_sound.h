#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "audio/sound_line.h"
#include "audio/thread_group.h"

namespace orlex::audio {

// Short synthesised button tones: a higher, shorter hover tone and a lower, longer press tone, played on
// the system output at master × INTERFACE volume (read from "com/orlex/audio" at every call).
// play() never blocks: synthesis and output run on a pool of at most 4 threads "orlex-ui-tone" (an idle
// one ends after 10 s and is joined at the next play() or by close()) with no queue; a request that finds
// 4 tones playing is dropped. Failures are silent.
class UiSound {
public:
    // Monotonic nanoseconds; tests give their own clock.
    using Clock = std::function<std::int64_t()>;

    explicit UiSound(std::shared_ptr<SoundSystem> sound = systemSound(), Clock clock = {});
    UiSound(const UiSound&) = delete;
    UiSound& operator=(const UiSound&) = delete;
    ~UiSound();  // close()

    // The tone for an enabled button the pointer enters (hover) or that is pressed. A hover less than
    // 100 ms after the last accepted one is ignored; presses are never throttled. Does nothing once
    // closed.
    void play(bool hover);
    // Cuts the tones playing and returns once every pool thread has ended. Idempotent.
    void close();

    // The process-wide instance the launcher's buttons use.
    static UiSound& shared();

    // The tone's samples: 22,050 Hz, signed 16-bit little-endian, mono (900 samples for hover, 2,200 for
    // a press).
    static std::vector<std::uint8_t> tone(bool hover, double volume);
    static constexpr int RATE = 22050;

private:
    struct Pool;

    std::shared_ptr<SoundSystem> sound_;
    Clock clock_;
    std::atomic<std::int64_t> lastHover_;
    std::unique_ptr<Pool> pool_;
    ThreadGroup workers_;  // last: joined before the pool they wait on goes
};

}  // namespace orlex::audio
