#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "audio/audio_files.h"

namespace orlex::audio {

// A system sound output line for one PcmFormat. Every operation may be called from any thread; close()
// may come from another thread while write() blocks, which then returns what it had taken. Operations
// after close() do nothing (write takes nothing). Failures are IoFailures.
class OutputLine {
public:
    virtual ~OutputLine() = default;
    virtual void start() = 0;
    // Blocks until every byte is queued or the line is stopped or closed; returns the bytes taken.
    virtual std::size_t write(std::span<const std::uint8_t> bytes) = 0;
    // Bytes that write() would take now without blocking.
    virtual std::size_t available() = 0;
    // Waits until every byte written so far has played (returns at once when stopped or closed).
    virtual void drain() = 0;
    // Drops the bytes queued and not yet played.
    virtual void flush() = 0;
    virtual void stop() = 0;
    virtual void close() = 0;
};

// A system sound input (capture) line for one PcmFormat; threads as for OutputLine.
class InputLine {
public:
    virtual ~InputLine() = default;
    virtual void start() = 0;
    // Blocks until bytes are available; returns how many were copied into the front of buffer, or 0 once
    // stopped or closed.
    virtual std::size_t read(std::span<std::uint8_t> buffer) = 0;
    virtual void stop() = 0;
    virtual void close() = 0;
};

// Where lines come from: the system's devices, or a recording fake in tests.
class SoundSystem {
public:
    virtual ~SoundSystem() = default;
    // An open, not yet started line holding at most bufferBytes queued bytes.
    virtual std::shared_ptr<OutputLine> openOutput(const PcmFormat& format, std::size_t bufferBytes) = 0;
    virtual std::shared_ptr<InputLine> openInput(const PcmFormat& format, std::size_t bufferBytes) = 0;
};

// The system's sound devices through SDL2 (queued output, capture), each device playing in periods of at
// most 40 ms whatever the line's buffer. The driver is SDL's choice, or the one named by SDL_AUDIODRIVER,
// picked once by the first line opened in the process; without any device, opening fails with an
// IoFailure naming SDL's reason.
std::shared_ptr<SoundSystem> systemSound();

}  // namespace orlex::audio
