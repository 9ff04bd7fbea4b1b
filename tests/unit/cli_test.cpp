// The command line's parsing of options and their values: every mistake is a
// UsageError (exit 1), whatever parser below the command line found it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/glimpack/cli.h"

namespace glimpack {
namespace {

std::vector<std::string> Parse(std::vector<std::string> args, const std::vector<Option>& options) {
    std::vector<char*> argv;
    argv.reserve(args.size());
    for (std::string& a : args)
        argv.push_back(a.data());
    std::vector<std::string> operands;
    ParseOptions(int(argv.size()), argv.data(), options, &operands);
    return operands;
}

TEST(CommandLine, ValuesComeInEveryFormAndAreJudgedAsTheyAreGiven) {
    std::string dir;
    bool quiet = false;
    Limits limits;
    const std::vector<Option> options = {Value({"-d", "--directory"}, "DIR", "", &dir),
                                         Flag({"-q", "--quiet"}, "", &quiet),
                                         MaxSizeOption("", &limits)};
    EXPECT_EQ(Parse({"-dout", "a", "--max-size=64K", "-", "--", "-q"}, options),
              (std::vector<std::string>{"a", "-", "-q"}));
    EXPECT_EQ(dir, "out");
    EXPECT_FALSE(quiet);
    EXPECT_EQ(limits.max_size, 64u * 1024);
    Parse({"--directory", "x", "-q", "--max-size", "1G"}, options);
    EXPECT_EQ(dir, "x");
    EXPECT_TRUE(quiet);
    EXPECT_EQ(limits.max_size, uint64_t(1) << 30);

    // Each mistake on its own, also one a later valid value would hide.
    for (const std::vector<std::string>& bad :
         std::vector<std::vector<std::string>>{{"--directory="},
                                               {"-d", ""},
                                               {"--max-size=", "--max-size", "1G"},
                                               {"--max-size", "1T"},
                                               {"--max-size", "-1"},
                                               {"--max-size", "18446744073709551616"},
                                               {"--max-size", "17179869184G"},
                                               {"--quiet=yes"},
                                               {"-x"},
                                               {"--directory"}}) {
        SCOPED_TRACE(bad.front());
        EXPECT_THROW(Parse(bad, options), UsageError);
    }
}

TEST(CommandLine, SizesAndNumbersStopAtTheirLimits) {
    EXPECT_EQ(ParseSize("--max-size", "0"), 0u);
    EXPECT_EQ(ParseSize("--max-size", "3m"), 3u << 20);
    EXPECT_EQ(ParseSize("--max-size", "17179869183G"), uint64_t(17179869183) << 30);
    EXPECT_THROW(ParseSize("--max-size", "17179869184G"), UsageError);
    EXPECT_THROW(ParseSize("--max-size", "G"), UsageError);
    EXPECT_THROW(ParseSize("--max-size", "1.5M"), UsageError);
    EXPECT_EQ(ParseNumber("--n", "65535", 65535), 65535u);
    EXPECT_THROW(ParseNumber("--n", "65536", 65535), UsageError);
    EXPECT_THROW(ParseNumber("--n", "+1", 65535), UsageError);
}

TEST(CommandLine, WhatAParserBelowRefusesIsAMistakeOnTheCommandLine) {
    EXPECT_THROW(ParseOptionValue([]() -> int { Fail("--first-number", "65536 is over 65535"); }),
                 UsageError);
    EXPECT_EQ(ParseOptionValue([] { return 7; }), 7);
    try {
        ParseOptionValue([]() -> int { Fail("--title", "the title is 40 bytes"); });
    } catch (const UsageError& e) {
        EXPECT_STREQ(e.what(), "--title: the title is 40 bytes");
    }
}

} // namespace
} // namespace glimpack
