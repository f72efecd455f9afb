// orlex-audio-demo OUT.wav
// Plays an interface hover tone, a press tone and a music cross-fade through the real SDL output and
// keeps what was played as a WAV file. With SDL's disk driver (chosen here unless SDL_AUDIODRIVER is set)
// every output line writes its own raw file in real time from the moment it opens; the demo gives each
// line a file of its own and mixes them, aligned by their opening times, into OUT.wav.
#include <sndfile.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <numbers>
#include <thread>
#include <vector>

#include "audio/audio_director.h"
#include "audio/backend.h"
#include "audio/ui_sound.h"
#include "common/preferences.h"

namespace fs = std::filesystem;
using namespace orlex::audio;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int RATE = UiSound::RATE;

// Gives every output line its own disk-driver file and remembers when it opened.
class RecordedSound : public SoundSystem {
public:
    struct Line {
        fs::path file;
        double openedAt;
    };

    RecordedSound(fs::path dir, Clock::time_point start) : dir_(std::move(dir)), start_(start) {}

    std::shared_ptr<OutputLine> openOutput(const PcmFormat& format, std::size_t bufferBytes) override {
        std::lock_guard lock(mutex_);
        const fs::path file = dir_ / ("line-" + std::to_string(lines_.size()) + ".raw");
        ::setenv("SDL_DISKAUDIOFILE", file.c_str(), 1);
        const double openedAt = std::chrono::duration<double>(Clock::now() - start_).count();
        std::shared_ptr<OutputLine> line = systemSound()->openOutput(format, bufferBytes);
        lines_.push_back(Line{file, openedAt});
        return line;
    }
    std::shared_ptr<InputLine> openInput(const PcmFormat& format, std::size_t bufferBytes) override {
        return systemSound()->openInput(format, bufferBytes);
    }
    std::vector<Line> lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }

private:
    std::mutex mutex_;
    fs::path dir_;
    Clock::time_point start_;
    std::vector<Line> lines_;
};

// A music loop: a few seconds of a soft chord with a slow tremolo.
void writeTune(const fs::path& path, std::initializer_list<double> frequencies, double seconds) {
    SF_INFO info{};
    info.samplerate = RATE;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr)
        throw std::runtime_error(sf_strerror(nullptr));
    const auto count = static_cast<std::size_t>(seconds * RATE);
    std::vector<float> samples(count);
    for (std::size_t i = 0; i < count; ++i) {
        const double t = static_cast<double>(i) / RATE;
        double value = 0;
        for (double f : frequencies)
            value += std::sin(2 * std::numbers::pi * f * t);
        samples[i] = static_cast<float>(0.25 * value / static_cast<double>(frequencies.size()) *
                                        (0.8 + 0.2 * std::sin(2 * std::numbers::pi * 2 * t)));
    }
    sf_write_float(file, samples.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(file);
}

void run(AudioDirector& director, double seconds) {
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    auto next = Clock::now();
    while (Clock::now() < end) {
        director.tick(0.02f);
        next += std::chrono::milliseconds(20);
        std::this_thread::sleep_until(next);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: orlex-audio-demo OUT.wav\n";
        return 2;
    }
    try {
        const fs::path out = fs::absolute(argv[1]);
        const fs::path work = fs::temp_directory_path() / ("orlex-audio-demo-" + std::to_string(::getpid()));
        fs::create_directories(work / "music");
        ::setenv("SDL_AUDIODRIVER", std::getenv("SDL_AUDIODRIVER") ? std::getenv("SDL_AUDIODRIVER") : "disk",
                 1);
        orlex::common::usePreferenceDirectory((work / "preferences").string());  // default volumes

        writeTune(work / "music/dawn.wav", {220.0, 277.2, 329.6}, 3.0);
        writeTune(work / "music/dusk.wav", {196.0, 246.9, 293.7}, 3.0);

        const Clock::time_point start = Clock::now();
        auto sound = std::make_shared<RecordedSound>(work, start);
        {
            UiSound ui(sound);
            ui.play(true);
            std::this_thread::sleep_for(std::chrono::milliseconds(400));
            ui.play(false);
            std::this_thread::sleep_for(std::chrono::milliseconds(600));
        }
        {
            AudioDirector director(work, std::make_shared<PcmBackend>(sound),
                                   std::make_shared<MemoryVolumes>(), std::make_unique<ManualClock>());
            director.music("music/dawn.wav", 1.0f, 1.0f);
            run(director, 2.5);
            director.music("music/dusk.wav", 1.0f, 2.0f);  // the cross-fade
            run(director, 3.5);
            director.music("", 1.0f, 1.0f);
            run(director, 1.2);
            if (!director.lastError().empty())
                throw std::runtime_error(director.lastError());
            director.close();
        }

        std::vector<int> mix;
        for (const RecordedSound::Line& line : sound->lines()) {
            std::ifstream in(line.file, std::ios::binary);
            const std::vector<char> raw((std::istreambuf_iterator<char>(in)),
                                        std::istreambuf_iterator<char>());
            const auto offset = static_cast<std::size_t>(line.openedAt * RATE);
            const std::size_t count = raw.size() / 2;
            if (mix.size() < offset + count)
                mix.resize(offset + count, 0);
            for (std::size_t i = 0; i < count; ++i)
                mix[offset + i] += static_cast<std::int16_t>(
                    static_cast<std::uint8_t>(raw[2 * i]) | (static_cast<std::uint8_t>(raw[2 * i + 1]) << 8));
        }
        std::vector<short> samples(mix.size());
        std::transform(mix.begin(), mix.end(), samples.begin(),
                       [](int v) { return static_cast<short>(std::clamp(v, -32768, 32767)); });

        SF_INFO info{};
        info.samplerate = RATE;
        info.channels = 1;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        SNDFILE* file = sf_open(out.c_str(), SFM_WRITE, &info);
        if (file == nullptr)
            throw std::runtime_error(sf_strerror(nullptr));
        sf_write_short(file, samples.data(), static_cast<sf_count_t>(samples.size()));
        sf_close(file);
        fs::remove_all(work);
        std::cout << "PLAYED " << sound->lines().size() << " lines, " << samples.size() << " samples at "
                  << RATE << " Hz into " << out.string() << "\n";
        return 0;
    } catch (const std::exception& failure) {
        std::cerr << "orlex-audio-demo: " << failure.what() << "\n";
        return 1;
    }
}
