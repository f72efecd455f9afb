#include "common/terminal_progress.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace orlex::common {
namespace {

using namespace std::chrono_literals;

int codePoints(const std::string& text) {
    int count = 0;
    for (const char c : text)
        count += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
    return count;
}

const ProgressFigures DOWNLOADING{"Téléchargement…", "assets/file-12.bin", 12'300'000, 400'000'000};

TEST(ProgressLine, ShowsPhaseFileBytesRateAndTimeLeftInFrench) {
    EXPECT_EQ(progressLine(DOWNLOADING, 12'300'000, 1.0, 80),
              "Téléchargement… assets/file-12.bin · 12,3 / 400,0 Mo · 12,3 Mo/s · reste 0:32");
    // The rate is what moved since counting started; the time left rounds up to a whole second.
    EXPECT_EQ(progressLine(DOWNLOADING, 2'000'000, 0.5, 0),
              "Téléchargement… assets/file-12.bin · 12,3 / 400,0 Mo · 4,0 Mo/s · reste 1:37");
    EXPECT_EQ(progressLine({"Publication…", "", 0, 4'000'000'000}, 1'000'000, 1.0, 120),
              "Publication… · 0,0 / 4000,0 Mo · 1,0 Mo/s · reste 1:06:40");
    EXPECT_EQ(progressLine({"Vérification…", "", 0, -1}, 0, 3.0, 80), "Vérification…");
}

TEST(ProgressLine, EdgesOfTimeAndSizeNeitherDivideByZeroNorLie) {
    const std::string tail = " · 12,3 / 400,0 Mo · 0,0 Mo/s · reste --:--";
    EXPECT_EQ(progressLine(DOWNLOADING, 12'300'000, 0.0, 200), "Téléchargement… assets/file-12.bin" + tail)
        << "no time elapsed";
    EXPECT_EQ(progressLine(DOWNLOADING, 0, 5.0, 200), "Téléchargement… assets/file-12.bin" + tail)
        << "nothing moved yet";
    EXPECT_EQ(progressLine(DOWNLOADING, -5, 5.0, 200), "Téléchargement… assets/file-12.bin" + tail);
    EXPECT_TRUE(progressLine(DOWNLOADING, 1, 1e9, 200).ends_with(tail)) << "a time left beyond 99:59:59";
    EXPECT_EQ(progressLine({"Prêt.", "", 0, 0}, 0, 0.0, 80), "Prêt. · 0,0 / 0,0 Mo · 0,0 Mo/s · reste 0:00")
        << "an installation with nothing to fetch";
    EXPECT_EQ(progressLine({"Prêt.", "", 400'000'000, 400'000'000}, 400'000'000, 8.0, 80),
              "Prêt. · 400,0 / 400,0 Mo · 50,0 Mo/s · reste 0:00");
}

TEST(ProgressLine, AFileTooLongKeepsItsEndAndTheLineFitsTheWidth) {
    const ProgressFigures deep{"Téléchargement…", "assets/textures/terrain/north-ridge/élévation-0042.png",
                               12'300'000, 400'000'000};
    const std::string tail = " · 12,3 / 400,0 Mo · 12,3 Mo/s · reste 0:32";
    const std::string shortened = progressLine(deep, 12'300'000, 1.0, 80);
    EXPECT_EQ(codePoints(shortened), 79) << shortened;
    EXPECT_EQ(shortened, "Téléchargement… …/élévation-0042.png" + tail);

    const std::string wide = progressLine(deep, 12'300'000, 1.0, 200);
    EXPECT_EQ(wide, "Téléchargement… " + deep.file + tail) << "the whole file when the terminal is wide";

    // No room even for "…" and three characters: the file is left out, the figures stay.
    const std::string narrow = progressLine(deep, 12'300'000, 1.0, 62);
    EXPECT_EQ(narrow, "Téléchargement…" + tail);

    // Narrower than the figures themselves: the line is cut, counting characters, not bytes.
    const std::string cut = progressLine(deep, 12'300'000, 1.0, 20);
    EXPECT_EQ(cut, "Téléchargement… · 1");
    EXPECT_EQ(codePoints(cut), 19);
    EXPECT_EQ(progressLine(deep, 12'300'000, 1.0, 1), "");
}

// The live line against a clock the test moves.
class LiveLine : public ::testing::Test {
protected:
    TerminalProgress::Clock::time_point now_{};
    std::ostringstream out_;
    TerminalProgress live_{out_, 200, [this] { return now_; }};
};

TEST_F(LiveLine, RedrawsInPlaceAtMostTenTimesASecondAndEndsWithItsLastFigures) {
    live_.show({"Téléchargement…", "a.bin", 0, 4'000'000});
    EXPECT_EQ(out_.str(), "\rTéléchargement… a.bin · 0,0 / 4,0 Mo · 0,0 Mo/s · reste --:--\x1b[K")
        << "the first figures at once";

    out_.str("");
    now_ += 50ms;
    live_.show({"Téléchargement…", "a.bin", 1'000'000, 4'000'000});
    EXPECT_EQ(out_.str(), "") << "50 ms after a draw";
    now_ += 50ms;
    live_.show({"Téléchargement…", "b.bin", 2'000'000, 4'000'000});
    EXPECT_EQ(out_.str(), "\rTéléchargement… b.bin · 2,0 / 4,0 Mo · 20,0 Mo/s · reste 0:01\x1b[K");

    out_.str("");
    now_ += 10ms;
    live_.show({"Prêt.", "", 4'000'000, 4'000'000});
    EXPECT_EQ(out_.str(), "");
    live_.finish();
    EXPECT_EQ(out_.str(), "\rPrêt. · 4,0 / 4,0 Mo · 36,4 Mo/s · reste 0:00\x1b[K\n")
        << "the last figures, never drawn yet, then the line's end";

    out_.str("");
    live_.finish();
    EXPECT_EQ(out_.str(), "") << "nothing shown since";
    now_ += 1s;
    live_.show({"Vérification…", "", 0, -1});
    live_.finish();
    EXPECT_EQ(out_.str(), "\rVérification…\x1b[K\n") << "a new line, already drawn, just ends";
}

TEST_F(LiveLine, TheRateCountsFromTheFirstFiguresShown) {
    live_.show({"Téléchargement…", "a.bin", 3'000'000, 10'000'000});
    now_ += 2s;
    out_.str("");
    live_.show({"Téléchargement…", "a.bin", 5'000'000, 10'000'000});
    EXPECT_EQ(out_.str(), "\rTéléchargement… a.bin · 5,0 / 10,0 Mo · 1,0 Mo/s · reste 0:05\x1b[K");
}

}  // namespace
}  // namespace orlex::common
