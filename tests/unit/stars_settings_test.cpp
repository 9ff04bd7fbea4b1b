// The Stars sample saver's platform-free half: data file format, paths,
// command line and the starfield's motion.
#include <gtest/gtest.h>

#include <string>

#include "samples/stars/settings.h"
#include "samples/stars/starfield.h"

namespace {

StarsSettings Parse(const std::string& text, int* status = nullptr) {
    StarsSettings s;
    int result = StarsParseSettings(text.data(), text.size(), &s);
    if (status != nullptr) {
        *status = result;
    }
    return s;
}

void ExpectDefaults(const StarsSettings& s) {
    EXPECT_EQ(s.stars, STARS_COUNT_DEFAULT);
    EXPECT_EQ(s.speed, STARS_SPEED_DEFAULT);
    EXPECT_EQ(s.colour, STARS_COLOUR_WHITE);
    EXPECT_STREQ(s.background, "FILE0032.BMP");
}

TEST(StarsSettingsParse, ReadsEveryKeyWithCrLfOrLf) {
    for (const char* eol : {"\r\n", "\n"}) {
        std::string e = eol;
        int status = -1;
        StarsSettings s = Parse(
            "stars=500" + e + "speed=7" + e + "colour=cyan" + e + "background=SKY.BMP", &status);
        EXPECT_EQ(status, STARS_DATA_LOADED);
        EXPECT_EQ(s.stars, 500);
        EXPECT_EQ(s.speed, 7);
        EXPECT_EQ(s.colour, STARS_COLOUR_CYAN);
        EXPECT_STREQ(s.background, "SKY.BMP");
    }
}

TEST(StarsSettingsParse, ToleratesCaseBlanksCommentsSectionsAndBom) {
    int status = -1;
    StarsSettings s = Parse("\xEF\xBB\xBF; comment\r\n[Stars]\r\n  # another\r\n\r\n"
                            "  STARS = 42 \r\n\tSpeed\t=\t9\r\nColor=Rainbow\r\n",
                            &status);
    EXPECT_EQ(status, STARS_DATA_LOADED);
    EXPECT_EQ(s.stars, 42);
    EXPECT_EQ(s.speed, 9);
    EXPECT_EQ(s.colour, STARS_COLOUR_RAINBOW);
}

TEST(StarsSettingsParse, ClampsOutOfRangeNumbers) {
    StarsSettings s = Parse("stars=3\nspeed=0\n");
    EXPECT_EQ(s.stars, STARS_COUNT_MIN);
    EXPECT_EQ(s.speed, STARS_SPEED_MIN);
    s = Parse("stars=99999999999999999999\nspeed=-5\n");
    EXPECT_EQ(s.stars, STARS_COUNT_MAX);
    EXPECT_EQ(s.speed, STARS_SPEED_MIN);
    s = Parse("stars=-2147483648\nspeed=11\n");
    EXPECT_EQ(s.stars, STARS_COUNT_MIN);
    EXPECT_EQ(s.speed, STARS_SPEED_MAX);
}

TEST(StarsSettingsParse, JunkKeepsDefaultsButKeepsGoodLines) {
    int status = -1;
    StarsSettings s = Parse("garbage line\nstars=12abc\nspeed=\ncolour=purple\n"
                            "unknown=1\nspeed=5\n",
                            &status);
    EXPECT_EQ(status, STARS_DATA_PARTIAL);
    EXPECT_EQ(s.stars, STARS_COUNT_DEFAULT);
    EXPECT_EQ(s.speed, 5);
    EXPECT_EQ(s.colour, STARS_COLOUR_WHITE);

    std::string binary("stars=50\n\0\x01\xff\nspeed=4", 20);
    s = Parse(binary, &status);
    EXPECT_EQ(status, STARS_DATA_PARTIAL);
    EXPECT_EQ(s.stars, 50);
    EXPECT_EQ(s.speed, 4);
}

TEST(StarsSettingsParse, EmptyAndOversizedFilesGiveDefaults) {
    int status = -1;
    ExpectDefaults(Parse("", &status));
    EXPECT_EQ(status, STARS_DATA_LOADED);

    std::string big = "stars=20\n" + std::string(STARS_DAT_MAX_SIZE, ';');
    ExpectDefaults(Parse(big, &status));
    EXPECT_EQ(status, STARS_DATA_TOO_BIG);

    std::string exact = "stars=20\n" + std::string(STARS_DAT_MAX_SIZE - 9, ';');
    EXPECT_EQ(Parse(exact, &status).stars, 20);
    EXPECT_EQ(status, STARS_DATA_LOADED);
}

TEST(StarsSettingsParse, BackgroundMustStayInsideTheDataDirectory) {
    for (const char* bad : {"..\\..\\WIN.INI", "C:\\X.BMP", "sub/x.bmp", "..", "a?.bmp",
                            "\\\\server\\share\\x.bmp"}) {
        int status = -1;
        StarsSettings s = Parse(std::string("background=") + bad + "\n", &status);
        EXPECT_STREQ(s.background, "FILE0032.BMP") << bad;
        EXPECT_EQ(status, STARS_DATA_PARTIAL) << bad;
    }
    EXPECT_STREQ(Parse("background=\n").background, "");
    EXPECT_STREQ(Parse("background=" + std::string(STARS_NAME_MAX, 'a')).background,
                 "FILE0032.BMP");
    std::string longest(STARS_NAME_MAX - 1, 'a');
    EXPECT_EQ(Parse("background=" + longest).background, longest);
}

TEST(StarsSettingsFormat, RoundTripsEveryColour) {
    for (int colour = 0; colour < STARS_COLOUR_COUNT; ++colour) {
        StarsSettings in;
        StarsDefaultSettings(&in);
        in.stars = 10 + colour;
        in.speed = 1 + colour;
        in.colour = colour;
        char text[256];
        size_t n = StarsFormatSettings(&in, text, sizeof text);
        ASSERT_GT(n, 0u);
        int status = -1;
        StarsSettings out;
        status = StarsParseSettings(text, n, &out);
        EXPECT_EQ(status, STARS_DATA_LOADED);
        EXPECT_EQ(out.stars, in.stars);
        EXPECT_EQ(out.speed, in.speed);
        EXPECT_EQ(out.colour, colour);
        EXPECT_STREQ(out.background, in.background);
    }
}

TEST(StarsSettingsFormat, WritesCrLfLinesAndRefusesSmallBuffers) {
    StarsSettings s;
    StarsDefaultSettings(&s);
    char text[256];
    size_t n = StarsFormatSettings(&s, text, sizeof text);
    EXPECT_EQ(std::string(text, n),
              "stars=200\r\nspeed=3\r\ncolour=white\r\nbackground=FILE0032.BMP\r\n");
    EXPECT_EQ(StarsFormatSettings(&s, text, n + 1), n); // room for the terminator only
    EXPECT_EQ(StarsFormatSettings(&s, text, n), 0u);
    EXPECT_STREQ(text, "");
}

TEST(StarsSettingsFormat, DumpNamesWhatWasRead) {
    StarsSettings s;
    StarsDefaultSettings(&s);
    s.stars = 321;
    char text[512];
    ASSERT_GT(StarsFormatDump(&s, STARS_DATA_PARTIAL, true, "C:\\W\\S.DAT", text, sizeof text), 0u);
    std::string dump = text;
    EXPECT_NE(dump.find("stars=321\r\n"), std::string::npos);
    EXPECT_NE(dump.find("background_loaded=yes\r\n"), std::string::npos);
    EXPECT_NE(dump.find("data_file=C:\\W\\S.DAT\r\n"), std::string::npos);
    EXPECT_NE(dump.find("data_status=partial\r\n"), std::string::npos);
}

TEST(StarsPaths, DerivedFromTheSaversOwnPath) {
    StarsPaths p;
    ASSERT_TRUE(StarsPathsFromModule("C:\\WINDOWS\\STARS.SCR", &p));
    EXPECT_STREQ(p.name, "STARS");
    EXPECT_STREQ(p.data_dir, "C:\\WINDOWS\\QUILLFEN\\GLIMLOOM\\STARS");
    EXPECT_STREQ(p.dat_file, "C:\\WINDOWS\\QUILLFEN\\GLIMLOOM\\STARS\\STARS.DAT");

    // The name is the file name less its last extension, case kept.
    ASSERT_TRUE(StarsPathsFromModule("D:\\My.Dir\\Aurora.v2.scr", &p));
    EXPECT_STREQ(p.name, "Aurora.v2");
    EXPECT_STREQ(p.dat_file, "D:\\My.Dir\\QUILLFEN\\GLIMLOOM\\Aurora.v2\\Aurora.v2.DAT");
    ASSERT_TRUE(StarsPathsFromModule("C:\\WINDOWS\\NOEXT", &p));
    EXPECT_STREQ(p.name, "NOEXT");

    char file[STARS_PATH_MAX];
    ASSERT_TRUE(StarsDataFilePath(&p, "FILE0032.BMP", file, sizeof file));
    EXPECT_STREQ(file, "C:\\WINDOWS\\QUILLFEN\\GLIMLOOM\\NOEXT\\FILE0032.BMP");
    EXPECT_FALSE(StarsDataFilePath(&p, "..\\x", file, sizeof file));
}

TEST(StarsPaths, RefusesEmptyNamesAndPathsThatDoNotFit) {
    StarsPaths p;
    EXPECT_FALSE(StarsPathsFromModule("", &p));
    EXPECT_FALSE(StarsPathsFromModule("C:\\WINDOWS\\", &p));
    EXPECT_FALSE(StarsPathsFromModule("C:\\WINDOWS\\.SCR", &p));
    EXPECT_STREQ(p.dat_file, "");

    // Fits: the data file path is exactly 259 characters.
    std::string tail = "\\QUILLFEN\\GLIMLOOM\\S\\S.DAT";
    std::string dir = "C:\\" + std::string(STARS_PATH_MAX - 1 - tail.size() - 3, 'd');
    ASSERT_TRUE(StarsPathsFromModule((dir + "\\S.SCR").c_str(), &p));
    EXPECT_EQ(std::string(p.dat_file), dir + tail);
    EXPECT_FALSE(StarsPathsFromModule((dir + "d\\S.SCR").c_str(), &p));
    EXPECT_STREQ(p.data_dir, "");

    ASSERT_TRUE(StarsPathsFromDirectory("C:\\WINDOWS\\", "STARS", &p));
    EXPECT_STREQ(p.dat_file, "C:\\WINDOWS\\QUILLFEN\\GLIMLOOM\\STARS\\STARS.DAT");
    EXPECT_FALSE(StarsPathsFromDirectory("C:\\WINDOWS", "..\\X", &p));
}

StarsArgs Args(const char* line, bool expect_ok = true) {
    StarsArgs a;
    EXPECT_EQ(StarsParseArgs(line, &a), expect_ok) << line;
    return a;
}

TEST(StarsArgs, UnderstandsTheUsualSpellings) {
    EXPECT_EQ(Args("").mode, STARS_MODE_CONFIGURE);
    EXPECT_EQ(Args("   ").window, 0u);
    for (const char* s : {"/s", "/S", "-s", "  /s  ", "/s:1234"}) {
        EXPECT_EQ(Args(s).mode, STARS_MODE_SCREEN) << s;
    }
    for (const char* p : {"/p 1234", "/p:1234", "/P1234", "-p  1234", "/l 1234"}) {
        StarsArgs a = Args(p);
        EXPECT_EQ(a.mode, STARS_MODE_PREVIEW) << p;
        EXPECT_EQ(a.window, 1234u) << p;
    }
    StarsArgs c = Args("/c:5678");
    EXPECT_EQ(c.mode, STARS_MODE_CONFIGURE);
    EXPECT_EQ(c.window, 5678u);
    EXPECT_EQ(Args("/C 99").window, 99u);
    EXPECT_EQ(Args("/c").window, 0u);
    EXPECT_EQ(Args("/a 123").mode, STARS_MODE_PASSWORD);
    EXPECT_EQ(Args("whatever").mode, STARS_MODE_CONFIGURE);
    EXPECT_EQ(Args("/x").mode, STARS_MODE_CONFIGURE);
}

TEST(StarsArgs, PreviewNeedsAWindowAndDumpAPath) {
    Args("/p", false);
    Args("/p 0", false);
    Args("/p abc", false);
    Args("/p 99999999999", false);
    Args("/dump", false);
    Args("/dump \"\"", false);
    Args(("/dump " + std::string(STARS_PATH_MAX, 'x')).c_str(), false);

    StarsArgs a = Args("/dump \"C:\\temp dir\\out.txt\"  ");
    EXPECT_EQ(a.mode, STARS_MODE_DUMP);
    EXPECT_STREQ(a.dump_path, "C:\\temp dir\\out.txt");
    EXPECT_STREQ(Args("-DUMP:C:\\o.txt").dump_path, "C:\\o.txt");
}

bool SameField(const StarField& a, const StarField& b) {
    if (a.count != b.count || a.seed != b.seed) {
        return false;
    }
    for (int i = 0; i < a.count; ++i) {
        const Star& x = a.stars[i];
        const Star& y = b.stars[i];
        if (x.x != y.x || x.y != y.y || x.z != y.z || x.hue != y.hue) {
            return false;
        }
    }
    return true;
}

TEST(StarField, SameSeedAndStepsGiveTheSameField) {
    static StarField a, b, c;
    StarFieldInit(&a, 300, 42);
    StarFieldInit(&b, 300, 42);
    StarFieldInit(&c, 300, 43);
    EXPECT_FALSE(SameField(a, c));
    for (int i = 0; i < 500; ++i) {
        StarFieldStep(&a, 1 + i % 10, 16 + i % 20);
        StarFieldStep(&b, 1 + i % 10, 16 + i % 20);
    }
    EXPECT_TRUE(SameField(a, b));
}

TEST(StarField, StarsStayInTheViewAndAreReplaced) {
    static StarField f;
    StarFieldInit(&f, STARS_COUNT_MAX + 50, 7);
    EXPECT_EQ(f.count, STARS_COUNT_MAX);
    int first_z = f.stars[0].z;
    bool replaced = false;
    for (int step = 0; step < 2000; ++step) {
        StarFieldStep(&f, STARS_SPEED_MAX, 1000); // limited to STARFIELD_MAX_STEP_MS
        for (int i = 0; i < f.count; ++i) {
            const Star& s = f.stars[i];
            ASSERT_GE(s.z, STARFIELD_NEAR);
            ASSERT_LE(s.z, STARFIELD_FAR);
            ASSERT_LE(s.x < 0 ? -s.x : s.x, s.z);
            ASSERT_LE(s.y < 0 ? -s.y : s.y, s.z);
            ASSERT_GE(s.hue, 0);
            ASSERT_LT(s.hue, STARFIELD_HUES);
        }
        replaced = replaced || f.stars[0].z > first_z;
    }
    EXPECT_TRUE(replaced);
}

TEST(StarField, MotionFollowsSpeedAndTime) {
    static StarField f;
    StarFieldInit(&f, 1, 1);
    f.stars[0] = {0, 0, STARFIELD_FAR, 0};
    StarFieldStep(&f, 5, 0);
    EXPECT_EQ(f.stars[0].z, STARFIELD_FAR); // no time, no motion
    StarFieldStep(&f, 1, 100);
    int slow = STARFIELD_FAR - f.stars[0].z;
    f.stars[0].z = STARFIELD_FAR;
    StarFieldStep(&f, 10, 100);
    int fast = STARFIELD_FAR - f.stars[0].z;
    EXPECT_GT(slow, 0);
    EXPECT_NEAR(fast, 10 * slow, 10);
    // Two half steps go as far as one whole.
    f.stars[0].z = STARFIELD_FAR;
    StarFieldStep(&f, 4, 50);
    StarFieldStep(&f, 4, 50);
    int halves = STARFIELD_FAR - f.stars[0].z;
    f.stars[0].z = STARFIELD_FAR;
    StarFieldStep(&f, 4, 100);
    EXPECT_NEAR(halves, STARFIELD_FAR - f.stars[0].z, 1);
}

TEST(StarField, ProjectionCentresNearStarsBrighter) {
    StarPoint p;
    Star centre = {0, 0, STARFIELD_FAR, 0};
    ASSERT_TRUE(StarFieldProject(&centre, 800, 600, &p));
    EXPECT_EQ(p.x, 400);
    EXPECT_EQ(p.y, 300);
    EXPECT_EQ(p.size, 1);
    int far_brightness = p.brightness;
    Star near = {0, 0, STARFIELD_NEAR, 0};
    ASSERT_TRUE(StarFieldProject(&near, 800, 600, &p));
    EXPECT_GT(p.brightness, far_brightness);
    EXPECT_EQ(p.size, 3);
    ASSERT_TRUE(StarFieldProject(&near, 152, 112, &p));
    EXPECT_EQ(p.size, 1); // the preview window draws single pixels

    Star edge = {STARFIELD_NEAR, STARFIELD_NEAR, STARFIELD_NEAR, 0};
    EXPECT_FALSE(StarFieldProject(&edge, 800, 600, &p)); // beyond the bottom right
    EXPECT_FALSE(StarFieldProject(&centre, 0, 600, &p));
}

} // namespace
