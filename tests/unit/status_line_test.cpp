// The progress line redrawn in place, with and without escape sequences.
#include <gtest/gtest.h>

#include <string>

#include "tools/glimpack/status_line.h"

namespace {

using glimpack::StatusLine;

// What a terminal without escape sequences shows after `writes`: the last
// line, with carriage returns moving back to its start.
std::string Screen(const std::string& writes) {
    std::string line;
    size_t column = 0;
    for (char c : writes) {
        if (c == '\r') {
            column = 0;
            continue;
        }
        if (column < line.size())
            line[column] = c;
        else
            line += c;
        ++column;
    }
    return line;
}

TEST(StatusLine, WithoutEscapesAShorterLineBlanksWhatIsLeftOfTheLongerOne) {
    std::string writes =
        StatusLine::Redraw(" 10%  QUILLFEN\\GLIMLOOM\\STARS\\FILE0032.BMP", 0, false);
    writes += StatusLine::Redraw("100%  STARS.SCR", StatusLine::Width(writes) - 1, false);
    EXPECT_EQ(writes.find('\033'), std::string::npos);
    std::string shown = Screen(writes);
    EXPECT_EQ(shown.substr(0, 15), "100%  STARS.SCR");
    EXPECT_EQ(shown.find_first_not_of(' ', 15), std::string::npos) << shown;

    std::string erased = Screen(writes + StatusLine::Erase(StatusLine::Width(shown), false));
    EXPECT_EQ(erased.find_first_not_of(' '), std::string::npos) << erased;
}

TEST(StatusLine, WidthCountsCharactersNotBytes) {
    EXPECT_EQ(StatusLine::Width("caf\xc3\xa9 \xe6\x98\x9f \xf0\x9f\x8c\x9f"), 8u);
    // So a line of non-ASCII names is blanked to its end, not beyond.
    std::string writes = StatusLine::Redraw("50%  \xc3\xa9\xc3\xa9\xc3\xa9", 0, false) +
                         StatusLine::Redraw("60%  ab", 8, false);
    EXPECT_EQ(writes.substr(writes.rfind('\r')), "\r60%  ab ");
}

TEST(StatusLine, WithEscapesTheRestOfTheLineIsClearedByTheTerminal) {
    EXPECT_EQ(StatusLine::Redraw("42%  STARS.SCR", 30, true), "\r\033[K42%  STARS.SCR");
    EXPECT_EQ(StatusLine::Erase(30, true), "\r\033[K");
}

} // namespace
