// The system layer's promises, the same on every system: names in any
// script, paths longer than the old 260-character limit, sizes and positions
// past 4 GiB, atomic replacement that never replaces what it must not, and
// errors that can be told apart. Built natively and, with MinGW, for
// Windows, where it runs under Wine (tests/windows).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "hostos/atomic_file.h"
#include "hostos/cleanup.h"
#include "hostos/os.h"
#include "hostos/threads.h"

namespace {

class HostOs : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(hostos::MakeTempDirectory(hostos::TempDirectory() + "/glim-hostos.", &dir_))
            << hostos::ErrorText(hostos::LastError());
        ASSERT_TRUE(hostos::RealPath(dir_, &real_dir_));
    }
    void TearDown() override { EXPECT_TRUE(hostos::RemoveTree(dir_)); }

    std::string Path(const std::string& name) const { return dir_ + "/" + name; }

    static void Put(const std::string& path, const std::string& text) {
        int fd = hostos::CreateNew(path);
        ASSERT_GE(fd, 0) << path << ": " << hostos::ErrorText(hostos::LastError());
        EXPECT_TRUE(hostos::Write(fd, text.data(), text.size()));
        EXPECT_TRUE(hostos::Close(fd));
    }
    static std::string Get(const std::string& path) {
        std::vector<uint8_t> data;
        EXPECT_TRUE(hostos::ReadFile(path, &data)) << path;
        return std::string(data.begin(), data.end());
    }
    std::vector<std::string> Names(const std::string& path) const {
        std::vector<std::string> names;
        EXPECT_TRUE(hostos::ListDirectory(path, &names)) << path;
        std::sort(names.begin(), names.end());
        return names;
    }

    std::string dir_;
    std::string real_dir_;
};

// UTF-8 in, the same UTF-8 back from the folder: accents, Cyrillic, CJK and
// a character outside the 16-bit plane (two UTF-16 units on Windows).
TEST_F(HostOs, NamesInAnyScriptComeBackAsTheyWentIn) {
    const std::vector<std::string> names = {"caf\xc3\xa9.txt", "\xd0\x96\xd1\x83\xd0\xba",
                                            "\xe6\x98\x9f\xe7\xa9\xba.dat",
                                            "star-\xf0\x9f\x8c\x9f.bin"};
    for (const std::string& name : names)
        Put(Path(name), "contents of " + name);
    std::vector<std::string> sorted = names;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(Names(dir_), sorted);
    for (const std::string& name : names) {
        hostos::Status st = hostos::GetStatus(Path(name), false);
        EXPECT_EQ(st.kind, hostos::Kind::Regular) << name;
        EXPECT_EQ(st.size, ("contents of " + name).size());
        EXPECT_EQ(Get(Path(name)), "contents of " + name);
    }
    // A folder of such a name, and a rename to another.
    std::string folder = Path("\xce\xbb\xcf\x8d\xcf\x87\xce\xbd\xce\xbf\xcf\x82");
    ASSERT_TRUE(hostos::MakeDirectory(folder));
    ASSERT_TRUE(hostos::RenameNoReplace(Path(names[0]), folder + "/" + names[3]));
    EXPECT_EQ(Names(folder), std::vector<std::string>{names[3]});
    EXPECT_EQ(hostos::FileNamePart(folder + "/" + names[3]), names[3]);
}

TEST_F(HostOs, PathsLongerThanTheOld260CharacterLimitWork) {
    std::string path = dir_;
    std::string top;
    for (int i = 0; i < 8; ++i) {
        path += "/" + std::string(40, char('a' + i));
        ASSERT_TRUE(hostos::MakeDirectory(path)) << path.size();
        if (top.empty())
            top = path;
    }
    ASSERT_GT(path.size(), 330u);
    std::string file = path + "/deep.bin";
    Put(file, "deep");
    EXPECT_EQ(hostos::GetStatus(file, true).kind, hostos::Kind::Regular);
    EXPECT_EQ(Get(file), "deep");
    std::string real;
    ASSERT_TRUE(hostos::RealPath(file, &real));
    EXPECT_TRUE(hostos::IsWithin(real, real_dir_));

    hostos::AtomicFile out;
    ASSERT_TRUE(out.Begin(path + "/atomic.bin", false));
    ASSERT_TRUE(out.Write("whole", 5));
    ASSERT_TRUE(out.Commit());
    EXPECT_EQ(Get(path + "/atomic.bin"), "whole");

    EXPECT_TRUE(hostos::RemoveTree(top));
    EXPECT_EQ(hostos::GetStatus(top, false).kind, hostos::Kind::Missing);
}

// 32-bit sizes and positions (and Windows' 32-bit long) stop at 2 or 4 GiB.
// The file is sparse where the file system allows it.
TEST_F(HostOs, SizesAndPositionsPast4GiB) {
    const int64_t far = (int64_t(1) << 32) + 10;
    std::string path = Path("big.bin");
    int fd = hostos::CreateNew(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(hostos::Seek(fd, far, SEEK_SET), far);
    ASSERT_TRUE(hostos::Write(fd, "end", 3));
    EXPECT_EQ(hostos::GetStatus(fd).size, uint64_t(far) + 3);
    EXPECT_EQ(hostos::Seek(fd, 0, SEEK_END), far + 3);
    EXPECT_EQ(hostos::Seek(fd, -3, SEEK_CUR), far);
    ASSERT_TRUE(hostos::Close(fd));
    EXPECT_EQ(hostos::GetStatus(path, true).size, uint64_t(far) + 3);

    std::FILE* f = hostos::OpenStream(path, "rb");
    ASSERT_NE(f, nullptr);
    ASSERT_TRUE(hostos::SeekStream(f, far));
    char got[4] = {};
    EXPECT_EQ(std::fread(got, 1, 3, f), 3u);
    EXPECT_EQ(std::string(got), "end");
    std::fclose(f);
}

TEST_F(HostOs, ReplacingKeepsTheOldFileWholeUntilTheNewOneIsInPlace) {
    std::string target = Path("target.txt");
    Put(target, "old contents");
    hostos::Status old_file = hostos::GetStatus(target, false);

    hostos::AtomicFile out;
    ASSERT_TRUE(out.Begin(target, true));
    ASSERT_TRUE(out.Write("new", 3));
    ASSERT_TRUE(out.Finish());
    // Written in full, and still not where anyone reading the target looks.
    EXPECT_EQ(Get(target), "old contents");
    EXPECT_EQ(Names(dir_).size(), 2u); // the target and the scratch file beside it
    EXPECT_EQ(Get(out.scratch_path()), "new");
    ASSERT_TRUE(out.Publish()) << hostos::ErrorText(out.error());
    EXPECT_EQ(Get(target), "new");
    EXPECT_EQ(Names(dir_), std::vector<std::string>{"target.txt"});
    // Replaced by another file, not rewritten in place.
    EXPECT_FALSE(hostos::SameFile(old_file, hostos::GetStatus(target, false)));
}

TEST_F(HostOs, WithoutReplaceNothingThatAppearedMeanwhileIsReplaced) {
    std::string target = Path("target.txt");
    hostos::AtomicFile out;
    ASSERT_TRUE(out.Begin(target, false));
    ASSERT_TRUE(out.Write("ours", 4));
    Put(target, "theirs");
    EXPECT_FALSE(out.Commit());
    EXPECT_TRUE(hostos::IsAlreadyExists(out.error())) << hostos::ErrorText(out.error());
    EXPECT_EQ(Get(target), "theirs");
    EXPECT_EQ(Names(dir_), std::vector<std::string>{"target.txt"});

    // Folders too: a rename that would land on an existing one fails.
    ASSERT_TRUE(hostos::MakeDirectory(Path("a")));
    ASSERT_TRUE(hostos::MakeDirectory(Path("b")));
    Put(Path("a/inside"), "x");
    EXPECT_FALSE(hostos::RenameNoReplace(Path("a"), Path("b")));
    EXPECT_TRUE(hostos::IsAlreadyExists(hostos::LastError()));
    EXPECT_TRUE(hostos::RenameNoReplace(Path("a"), Path("c")));
    EXPECT_EQ(Get(Path("c/inside")), "x");
}

TEST_F(HostOs, FailuresSayWhatWentWrong) {
    EXPECT_LT(hostos::OpenRead(Path("missing")), 0);
    int missing = hostos::LastError();
    EXPECT_TRUE(hostos::IsNotFound(missing));
    EXPECT_FALSE(hostos::IsAlreadyExists(missing));
    EXPECT_EQ(hostos::GetStatus(Path("missing/below"), true).kind, hostos::Kind::Missing);

    EXPECT_FALSE(hostos::MakeDirectory(dir_));
    int exists = hostos::LastError();
    EXPECT_TRUE(hostos::IsAlreadyExists(exists));
    EXPECT_FALSE(hostos::IsNotFound(exists));
    Put(Path("taken"), "x");
    EXPECT_LT(hostos::CreateNew(Path("taken")), 0);
    EXPECT_TRUE(hostos::IsAlreadyExists(hostos::LastError()));

    // Texts are quoted after a colon: one line each, and not the same.
    for (int code : {missing, exists}) {
        std::string text = hostos::ErrorText(code);
        EXPECT_FALSE(text.empty());
        EXPECT_EQ(text.find('\n'), std::string::npos) << text;
    }
    EXPECT_NE(hostos::ErrorText(missing), hostos::ErrorText(exists));
}

TEST_F(HostOs, ScratchNamesAreNewEachTime) {
    std::vector<std::string> made;
    for (int i = 0; i < 20; ++i) {
        std::string path;
        int fd = hostos::MakeTempFile(Path("out.part"), &path);
        ASSERT_GE(fd, 0);
        EXPECT_TRUE(hostos::Close(fd));
        EXPECT_EQ(path.compare(0, Path("out.part").size(), Path("out.part")), 0) << path;
        made.push_back(path);
        ASSERT_TRUE(hostos::MakeTempDirectory(Path(".work."), &path));
        made.push_back(path);
    }
    std::sort(made.begin(), made.end());
    EXPECT_EQ(std::unique(made.begin(), made.end()), made.end());
    EXPECT_EQ(Names(dir_).size(), made.size());
}

// The scan's workers make, publish and drop scratch files side by side: the
// registry hands out distinct handles, forgets exactly what it is told, and
// holds nest across threads; files are made and given their permissions
// meanwhile (run under ThreadSanitizer too, which sees any race here).
TEST_F(HostOs, ScratchRegistryAndNewFilesFromSeveralThreads) {
    constexpr int kThreads = 4, kEach = 300;
    std::vector<std::vector<int>> handles(kThreads);
    {
        std::vector<std::unique_ptr<hostos::Thread>> threads;
        threads.reserve(kThreads);
        for (int t = 0; t < kThreads; ++t)
            threads.push_back(std::make_unique<hostos::Thread>([&, t] {
                for (int i = 0; i < kEach; ++i) {
                    std::string name = Path("t" + std::to_string(t) + "-" + std::to_string(i));
                    int h = hostos::RegisterScratch(name, false);
                    handles[t].push_back(h);
                    if (i % 10 == 0) {
                        int fd = hostos::CreateNew(name);
                        if (fd >= 0) {
                            hostos::SetDefaultPermissions(name, false);
                            hostos::Close(fd);
                        }
                    }
                    hostos::HoldInterrupts hold;
                    hostos::HoldInterrupts nested;
                    if (i % 3 != 0)
                        hostos::ForgetScratch(h);
                }
            }));
    }
    std::set<int> all;
    for (const auto& each : handles)
        all.insert(each.begin(), each.end());
    EXPECT_EQ(all.size(), size_t(kThreads) * kEach);
    for (int h : all)
        hostos::ForgetScratch(h);
    hostos::Status made = hostos::GetStatus(Path("t0-0"), false);
    EXPECT_EQ(made.kind, hostos::Kind::Regular);
    EXPECT_EQ(Names(dir_).size(), size_t(kThreads) * (kEach / 10));
    EXPECT_GE(hostos::ProcessorCount(), 1u);
}

TEST_F(HostOs, WithinComparesWholeNames) {
    ASSERT_TRUE(hostos::MakeDirectory(Path("a")));
    ASSERT_TRUE(hostos::MakeDirectory(Path("ab")));
    ASSERT_TRUE(hostos::MakeDirectory(Path("a/b")));
    std::string a, ab, a_b;
    ASSERT_TRUE(hostos::RealPath(Path("a"), &a));
    ASSERT_TRUE(hostos::RealPath(Path("ab"), &ab));
    ASSERT_TRUE(hostos::RealPath(Path("a/b"), &a_b));
    EXPECT_TRUE(hostos::IsWithin(a, a));
    EXPECT_TRUE(hostos::IsWithin(a_b, a));
    EXPECT_TRUE(hostos::IsWithin(a_b, real_dir_));
    EXPECT_FALSE(hostos::IsWithin(ab, a));
    EXPECT_FALSE(hostos::IsWithin(a, a_b));
}

TEST_F(HostOs, RelativePathsFollowTheCurrentFolder) {
    std::string before = hostos::CurrentDirectory();
    ASSERT_TRUE(hostos::ChangeDirectory(dir_));
    Put("relative.txt", "here");
    EXPECT_TRUE(hostos::ChangeDirectory(before));
    EXPECT_EQ(Get(Path("relative.txt")), "here");
    uint64_t free_bytes = 0;
    EXPECT_TRUE(hostos::FreeSpace(dir_, &free_bytes));
    EXPECT_GT(free_bytes, 0u);
}

// What a wide-character entry point hands over becomes UTF-8, whatever the
// width of wchar_t (UTF-16 on Windows, with surrogate pairs).
TEST(HostOsArguments, WideArgumentsBecomeUtf8) {
    wchar_t plain[] = L"extract";
    wchar_t accents[] = L"caf\u00e9-\u0416";
    wchar_t astral[] = L"star-\U0001F31F.EXE";
    wchar_t* argv[] = {plain, accents, astral};
    EXPECT_EQ(
        hostos::ArgumentsFromWide(3, argv),
        (std::vector<std::string>{"extract", "caf\xc3\xa9-\xd0\x96", "star-\xf0\x9f\x8c\x9f.EXE"}));
}

// A path taken apart where this system separates components: the folder
// part keeps its separator, so that the two parts give the path back.
TEST(HostOsPaths, FolderAndFileNamePartsMakeThePathAgain) {
    for (std::string path : {"dir/file.txt", "file.txt", "/file", "a/b/", "a//b", ".", ""})
        EXPECT_EQ(hostos::DirectoryPart(path) + hostos::FileNamePart(path), path) << path;
    EXPECT_EQ(hostos::DirectoryPart("dir/sub/file"), "dir/sub/");
    EXPECT_EQ(hostos::FileNamePart("dir/sub/file"), "file");
    EXPECT_EQ(hostos::DirectoryPart("file"), "");
}

// The one UTF-8 decoder of the tool: the shortest form of every code point
// and nothing else, lone surrogates included (AppendUtf8 writes them for
// Windows names that are not valid UTF-16), so that each encoding round-trips.
TEST(HostOsUtf8, DecodesWhatAppendUtf8WritesAndNothingElse) {
    for (uint32_t cp : {0x0u, 0x41u, 0x7Fu, 0x80u, 0x7FFu, 0x800u, 0xD800u, 0xDFFFu, 0xFFFDu,
                        0x10000u, 0x10FFFFu}) {
        std::string text;
        hostos::AppendUtf8(text, cp);
        uint32_t decoded = 0xFFFFFFFF;
        EXPECT_EQ(hostos::DecodeUtf8(text + "x", 0, &decoded), text.size()) << cp;
        EXPECT_EQ(decoded, cp);
    }
    EXPECT_TRUE(hostos::IsSurrogate(0xD800) && hostos::IsSurrogate(0xDFFF));
    EXPECT_FALSE(hostos::IsSurrogate(0xD7FF) || hostos::IsSurrogate(0xE000));
    for (std::string bad : {"\x80", "\xC0\xAF", "\xE0\x80\xAF", "\xF0\x80\x80\xAF",
                            "\xF4\x90\x80\x80", "\xC3", "\xE6\x98", "\xC3\x28",
                            "\xF8\x88\x80"
                            "\x80\x80",
                            "\xFF"}) {
        uint32_t decoded = 0;
        EXPECT_EQ(hostos::DecodeUtf8(bad, 0, &decoded), 0u) << bad;
    }
    // Decoding starts where it is asked to, and stops at the text's end.
    uint32_t decoded = 0;
    EXPECT_EQ(hostos::DecodeUtf8("a\xC3\xA9", 1, &decoded), 2u);
    EXPECT_EQ(decoded, 0xE9u);
}

} // namespace
