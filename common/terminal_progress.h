#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>

namespace orlex::common {

// Where a long piece of work stands, as a terminal's live line shows it.
struct ProgressFigures {
    std::string phase;  // "Téléchargement…", "Publication…"
    std::string file;   // the file being worked on; may be empty
    std::int64_t completed = 0;
    std::int64_t total = 0;  // negative while nothing is counted: the line shows the phase and file alone
};

// The live line for figures, at most columns − 1 code points (the last column is left free so that
// no terminal wraps the line): "<phase> <file> · <completed> / <total> Mo · <rate> Mo/s · reste <m:ss>",
// megabytes decimal with one decimal and a comma (12,3). moved: the bytes done since the work started
// counting, over seconds: the rate; the time left is what remains of total at that rate ("reste --:--"
// while no rate is known, "reste 0:00" once nothing remains, h:mm:ss past an hour). A file that does not
// fit keeps its end behind "…" (and is left out when not even that fits); a line still too long is cut.
std::string progressLine(const ProgressFigures& figures, std::int64_t moved, double seconds, int columns);

// One line of a terminal rewritten in place ("\r", the line, clear to its end) as work goes on: at most
// every 100 ms, the first figures at once. show() and finish() may be called from any thread.
class TerminalProgress {
public:
    using Clock = std::chrono::steady_clock;

    // columns: the terminal's width, 0 when not known (80 is used).
    TerminalProgress(std::ostream& out, int columns, std::function<Clock::time_point()> now = Clock::now);
    TerminalProgress(const TerminalProgress&) = delete;
    TerminalProgress& operator=(const TerminalProgress&) = delete;
    // finish()
    ~TerminalProgress();

    void show(ProgressFigures figures);
    // Draws the last figures and ends their line; nothing when no figures were shown since the last
    // finish. The rate of the next figures starts again from them.
    void finish();

private:
    void draw();  // with mutex_ held

    std::ostream& out_;
    int columns_;
    std::function<Clock::time_point()> now_;
    std::mutex mutex_;
    std::optional<ProgressFigures> last_;  // shown since the last finish
    bool drawn_ = false;                   // last_ is on the screen as it is
    std::int64_t firstCompleted_ = 0;
    Clock::time_point started_;
    Clock::time_point drawnAt_;
};

}  // namespace orlex::common
