#include "launcher/launcher_log.h"

#include <cstdio>
#include <mutex>

#include "common/file_system.h"
#include "common/host.h"

namespace orlex::launcher {

namespace fs = std::filesystem;

std::string isoInstant(std::chrono::system_clock::time_point instant) {
    using namespace std::chrono;
    const auto nanos = duration_cast<nanoseconds>(instant.time_since_epoch()).count();
    std::int64_t seconds = nanos / 1'000'000'000;
    std::int64_t fraction = nanos % 1'000'000'000;
    if (fraction < 0) {
        fraction += 1'000'000'000;
        --seconds;
    }
    const year_month_day date{floor<days>(sys_seconds{std::chrono::seconds{seconds}})};
    const auto sinceMidnight =
        seconds - duration_cast<std::chrono::seconds>(sys_days{date}.time_since_epoch()).count();
    char text[64];
    int length = std::snprintf(
        text, sizeof text, "%04d-%02u-%02uT%02lld:%02lld:%02lld", static_cast<int>(date.year()),
        static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
        static_cast<long long>(sinceMidnight / 3600), static_cast<long long>(sinceMidnight / 60 % 60),
        static_cast<long long>(sinceMidnight % 60));
    if (fraction % 1'000'000 == 0 && fraction != 0) {
        length += std::snprintf(text + length, sizeof text - length, ".%03lld",
                                static_cast<long long>(fraction / 1'000'000));
    } else if (fraction % 1'000 == 0 && fraction != 0) {
        length += std::snprintf(text + length, sizeof text - length, ".%06lld",
                                static_cast<long long>(fraction / 1'000));
    } else if (fraction != 0) {
        length +=
            std::snprintf(text + length, sizeof text - length, ".%09lld", static_cast<long long>(fraction));
    }
    return std::string(text, static_cast<std::size_t>(length)) + "Z";
}

void appendLauncherLog(const fs::path& root, const std::string& message) {
    // The runner, the update probe and the presence's worker write from their own threads: the size
    // check, the rotation and the entry go together, or two rotations in a row would move a fresh log
    // over the full one.
    static std::mutex writing;
    try {
        const std::lock_guard lock(writing);
        const fs::path dir = root / "userdata";
        const fs::path log = dir / "launcher.log";
        std::error_code error;
        fs::create_directories(dir, error);
        if (fs::is_regular_file(log, error) && fs::file_size(log, error) >= LOG_ROTATION_BYTES) {
            fs::rename(log, dir / "launcher.log.1", error);
            if (error)
                return;  // the entry is lost rather than the log left to grow without end
        }
        const std::string entry =
            isoInstant(std::chrono::system_clock::now()) + " " + message + common::lineSeparator();
        common::appendToFile(log,
                             std::span(reinterpret_cast<const std::uint8_t*>(entry.data()), entry.size()));
    } catch (...) {
        // the log never turns a failure into a second one
    }
}

}  // namespace orlex::launcher
