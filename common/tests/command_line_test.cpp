#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/command_line.h"

namespace orlex::common {
namespace {

TEST(WindowsCommandLine, QuotesWhatTheRuntimeWouldSplitAndEscapesQuotesWithTheirBackslashes) {
    const struct {
        std::vector<std::string> words;
        std::string line;
    } cases[] = {
        {{"plain", R"(C:\dir\file.txt)", R"(a\\b)"}, R"(plain C:\dir\file.txt a\\b)"},
        {{""}, R"("")"},
        {{"two words", "tab\there", "line\nfeed"}, "\"two words\" \"tab\there\" \"line\nfeed\""},
        {{R"(say "hi")"}, R"("say \"hi\"")"},
        {{R"(a\"b)"}, R"("a\\\"b")"},                     // the backslash before a quote doubled
        {{R"(C:\with space\)"}, R"("C:\with space\\")"},  // and before the closing quote
        {{R"(mid\\ dle)"}, R"("mid\\ dle")"},             // kept as they are elsewhere
        {{R"(C:\Program Files\powershell.exe)", "-File", "été"},
         R"("C:\Program Files\powershell.exe" -File été)"},
    };
    for (const auto& [words, line] : cases)
        EXPECT_EQ(windowsCommandLine(words), line);
}

}  // namespace
}  // namespace orlex::common
