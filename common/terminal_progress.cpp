#include "common/terminal_progress.h"

#include <algorithm>
#include <cmath>

#include "common/french_number.h"

namespace orlex::common {
namespace {

constexpr int DEFAULT_COLUMNS = 80;
constexpr auto REDRAW_EVERY = std::chrono::milliseconds(100);
// The longest time left shown (99:59:59); a longer one reads as unknown.
constexpr double MAX_SECONDS_LEFT = 359'999;
const std::string ELLIPSIS = "…";
const std::string SEPARATOR = " · ";

bool leadingByte(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
}

// Columns taken by UTF-8 text: one per code point.
int width(const std::string& text) {
    return static_cast<int>(std::count_if(text.begin(), text.end(), leadingByte));
}

// The first n code points of text.
std::string firstCodePoints(const std::string& text, int n) {
    int seen = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (leadingByte(text[i]) && seen++ == n)
            return text.substr(0, i);
    }
    return text;
}

// The last n code points of text.
std::string lastCodePoints(const std::string& text, int n) {
    int seen = 0;
    for (std::size_t i = text.size(); i > 0; --i) {
        if (leadingByte(text[i - 1]) && ++seen == n)
            return text.substr(i - 1);
    }
    return text;
}

std::string megabytes(double bytes) {
    return frenchOneDecimal(bytes / 1'000'000.0);
}

std::string twoDigits(long long value) {
    std::string digits = std::to_string(value);
    if (digits.size() < 2)
        digits.insert(digits.begin(), '0');
    return digits;
}

std::string timeLeft(std::int64_t remaining, double bytesPerSecond) {
    if (remaining <= 0)
        return "0:00";
    const double seconds =
        bytesPerSecond > 0 ? std::ceil(static_cast<double>(remaining) / bytesPerSecond) : -1;
    if (seconds < 0 || seconds > MAX_SECONDS_LEFT)
        return "--:--";
    const auto whole = static_cast<long long>(seconds);
    if (whole < 3600)
        return std::to_string(whole / 60) + ":" + twoDigits(whole % 60);
    return std::to_string(whole / 3600) + ":" + twoDigits(whole / 60 % 60) + ":" + twoDigits(whole % 60);
}

}  // namespace

std::string progressLine(const ProgressFigures& figures, std::int64_t moved, double seconds, int columns) {
    const int room = (columns > 0 ? columns : DEFAULT_COLUMNS) - 1;
    const double bytesPerSecond = moved > 0 && seconds > 0 ? static_cast<double>(moved) / seconds : 0.0;
    const std::string tail = figures.total < 0
                                 ? ""
                                 : SEPARATOR + megabytes(static_cast<double>(figures.completed)) + " / " +
                                       megabytes(static_cast<double>(figures.total)) + " Mo" + SEPARATOR +
                                       megabytes(bytesPerSecond) + " Mo/s" + SEPARATOR + "reste " +
                                       timeLeft(figures.total - figures.completed, bytesPerSecond);
    std::string line = figures.phase;
    if (!figures.file.empty()) {
        const int fileRoom = room - width(line) - 1 - width(tail);
        if (width(figures.file) <= fileRoom)
            line += " " + figures.file;
        else if (fileRoom >= 4)  // "…" and at least three characters of the file's end
            line += " " + ELLIPSIS + lastCodePoints(figures.file, fileRoom - 1);
    }
    line += tail;
    return width(line) <= room ? line : firstCodePoints(line, std::max(0, room));
}

TerminalProgress::TerminalProgress(std::ostream& out, int columns, std::function<Clock::time_point()> now)
    : out_(out), columns_(columns), now_(std::move(now)) {}

TerminalProgress::~TerminalProgress() {
    try {
        finish();
    } catch (...) {
    }
}

void TerminalProgress::show(ProgressFigures figures) {
    const std::lock_guard lock(mutex_);
    const Clock::time_point now = now_();
    if (!last_) {
        started_ = now;
        firstCompleted_ = figures.completed;
        drawn_ = false;
        last_ = std::move(figures);
        draw();
        return;
    }
    last_ = std::move(figures);
    drawn_ = false;
    if (now - drawnAt_ >= REDRAW_EVERY)
        draw();
}

void TerminalProgress::finish() {
    const std::lock_guard lock(mutex_);
    if (!last_)
        return;
    if (!drawn_)
        draw();
    out_ << '\n';
    out_.flush();
    last_.reset();
}

void TerminalProgress::draw() {
    const Clock::time_point now = now_();
    const std::chrono::duration<double> elapsed = now - started_;
    out_ << '\r' << progressLine(*last_, last_->completed - firstCompleted_, elapsed.count(), columns_)
         << "\x1b[K";
    out_.flush();
    drawnAt_ = now;
    drawn_ = true;
}

}  // namespace orlex::common
