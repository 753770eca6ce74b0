// The platform layer: text conversion, 64-bit file reading, library loading.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>

#include "platform/file.h"
#include "platform/library.h"
#include "platform/text.h"
#include "support/files.h"

TEST(Text, RoundTripsUtf8AndUtf16) {
    const std::u16string wide = u"Pano 全景 é \U0001F30D";
    const std::string narrow = platform::WideToNarrow(wide);
    EXPECT_EQ(narrow, "Pano \xE5\x85\xA8\xE6\x99\xAF \xC3\xA9 \xF0\x9F\x8C\x8D");
    EXPECT_EQ(platform::NarrowToWide(narrow), wide);
}

TEST(Text, MalformedInputBecomesReplacementCharacters) {
    EXPECT_EQ(platform::NarrowToWide("a\xFF"
                                     "b"),
              u"a\uFFFDb");
    EXPECT_EQ(platform::NarrowToWide("\xC0\xAF"), u"\uFFFD");          // overlong
    EXPECT_EQ(platform::NarrowToWide("\xED\xA0\x80"), u"\uFFFD");      // surrogate
    EXPECT_EQ(platform::NarrowToWide("\xE5\x85"), u"\uFFFD");          // truncated
    EXPECT_EQ(platform::NarrowToWide("\xF4\x90\x80\x80"), u"\uFFFD");  // above U+10FFFF
    EXPECT_EQ(platform::WideToNarrow(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
}

TEST(FileReader, SeeksAndReadsPastFourGigabytes) {
    testutil::TempDir dir;
    const std::string path = dir.File("sparse.bin");
    const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    const off_t big = (off_t{5} << 30) + 3;
    ASSERT_EQ(::pwrite(fd, "xyz", 3, big), 3);  // a sparse 5 GiB file
    ::close(fd);
    platform::FileReader f;
    ASSERT_EQ(f.Open(path.c_str()), 0);
    EXPECT_EQ(f.Size(), big + 3);
    ASSERT_TRUE(f.Seek(-3, platform::kSeekEnd));
    EXPECT_EQ(f.Tell(), big);
    char buf[8] = {};
    EXPECT_EQ(f.Read(buf, 8), 3u);
    EXPECT_STREQ(buf, "xyz");
    EXPECT_EQ(f.Read(buf, 8), 0u);
    EXPECT_TRUE(f.Seek(-2, platform::kSeekCur));
    EXPECT_EQ(f.Read(buf, 1), 1u);
    EXPECT_EQ(buf[0], 'y');
    EXPECT_FALSE(f.Seek(-1, platform::kSeekSet));
    EXPECT_EQ(f.Tell(), big + 2);
    EXPECT_FALSE(f.Seek(INT64_MAX, platform::kSeekCur));
}

TEST(FileReader, RefusesMissingPathsAndFolders) {
    platform::FileReader f;
    EXPECT_EQ(f.Open(nullptr), -1);
    EXPECT_EQ(f.Open(""), -1);
    EXPECT_EQ(f.Open("/nonexistent/file"), -2);
    EXPECT_EQ(f.Open("/tmp"), -2);
    EXPECT_FALSE(f.IsOpen());
    char c;
    EXPECT_EQ(f.Read(&c, 1), 0u);
}

TEST(MemorySource, ReadsWithinItsBuffer) {
    const char data[] = "0123456789";
    platform::MemorySource m(data, 10);
    char buf[16];
    EXPECT_TRUE(m.Seek(8, platform::kSeekSet));
    EXPECT_EQ(m.Read(buf, 16), 2u);
    EXPECT_TRUE(m.Seek(100, platform::kSeekSet));  // past the end reads nothing
    EXPECT_EQ(m.Read(buf, 1), 0u);
    EXPECT_FALSE(m.Seek(-11, platform::kSeekEnd));
}

TEST(SharedLibrary, BindsATableAndCountsMissingSymbols) {
    platform::SharedLibrary lib;
    ASSERT_EQ(lib.Load("libm.so.6"), 0);
    double (*cosFn)(double) = nullptr;
    void* missing = reinterpret_cast<void*>(1);
    const platform::SymbolSlot table[] = {
        {"cos", reinterpret_cast<void**>(&cosFn)},
        {"no_such_symbol_here", &missing},
    };
    EXPECT_EQ(lib.Bind(table, 2), 1);
    ASSERT_NE(cosFn, nullptr);
    EXPECT_DOUBLE_EQ(cosFn(0.0), 1.0);
    EXPECT_EQ(missing, nullptr);
    platform::SharedLibrary none;
    EXPECT_EQ(none.Load("libnot-there.so.1"), -1);
    EXPECT_EQ(none.Find("cos"), nullptr);
}

TEST(Text, ValidatorAgreesWithTheConversion) {
    auto valid = [](const std::string& s) {
        return platform::IsWellFormedUtf8(reinterpret_cast<const unsigned char*>(s.data()),
                                          s.size());
    };
    EXPECT_TRUE(valid(""));
    EXPECT_TRUE(valid("Pano \xE5\x85\xA8\xE6\x99\xAF \xF0\x9F\x8C\x8D"));
    EXPECT_TRUE(valid(std::string("a\0b", 3)));  // a zero byte is a character like any other
    for (const char* bad : {"\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xE5\x85",
                            "\xF4\x90\x80\x80", "\x80", "ok\xFF"}) {
        EXPECT_FALSE(valid(bad)) << bad;
        EXPECT_NE(platform::NarrowToWide(bad).find(u'\uFFFD'), std::u16string::npos);
    }
}

TEST(PendingFile, ReplacesThePathOnlyWhenCommitted) {
    testutil::TempDir dir;
    const std::string path = dir.File("out.bin");
    ASSERT_TRUE(testutil::WriteBytes(path, {1, 2, 3}));
    auto leftovers = [&] {
        int n = 0;
        for (const std::string& name : testutil::ListFolder(dir.path())) n += name != "out.bin";
        return n;
    };
    {
        // Abandoned half-way: the old file stays, the temporary one goes.
        platform::PendingFile target;
        ASSERT_TRUE(target.Begin(path.c_str()));
        platform::FileWriter w;
        ASSERT_EQ(w.Open(target.TempPath().c_str()), 0);
        ASSERT_TRUE(w.Write("partial", 7));
        ASSERT_TRUE(w.Close());
        EXPECT_EQ(testutil::ReadFile(path), (testutil::Bytes{1, 2, 3}));
    }
    EXPECT_EQ(leftovers(), 0);
    platform::PendingFile target;
    ASSERT_TRUE(target.Begin(path.c_str()));
    ASSERT_TRUE(testutil::WriteBytes(target.TempPath(), {9}));
    EXPECT_TRUE(target.Commit());
    EXPECT_TRUE(target.TempPath().empty());
    EXPECT_EQ(testutil::ReadFile(path), (testutil::Bytes{9}));
    EXPECT_EQ(leftovers(), 0);
    // No temporary file can be made in a missing folder.
    platform::PendingFile nowhere;
    EXPECT_FALSE(nowhere.Begin(dir.File("missing/out.bin").c_str()));
    EXPECT_FALSE(nowhere.Commit());
}

TEST(File, TransfersAtOffsetsAndReportsErrors) {
    testutil::TempDir dir;
    const std::string path = dir.File("f.bin");
    platform::File f;
    ASSERT_EQ(f.OpenWrite(path.c_str(), true), 0);
    ASSERT_TRUE(f.WriteAt("world", 5, 6));
    ASSERT_TRUE(f.WriteAt("hello ", 6, 0));
    char buf[16] = {};
    EXPECT_EQ(f.ReadAt(buf, sizeof buf, 0), 11);
    EXPECT_EQ(std::string(buf, 11), "hello world");
    EXPECT_EQ(f.ReadAt(buf, 4, 100), 0);  // past the end
    EXPECT_TRUE(f.Close());
    EXPECT_EQ(f.ReadAt(buf, 4, 0), -1);  // closed
    EXPECT_FALSE(f.WriteAt("x", 1, 0));
    EXPECT_EQ(f.OpenRead(dir.path().c_str()), -2);  // a folder is no file
    EXPECT_EQ(f.OpenRead(""), -1);
    ASSERT_EQ(f.OpenRead(path.c_str()), 0);
    EXPECT_EQ(f.OpenedSize(), 11);
}

TEST(IsSameFile, SeesThroughLinksAndNames) {
    testutil::TempDir dir;
    const std::string a = dir.File("a.mp4"), b = dir.File("b.mp4");
    ASSERT_TRUE(testutil::WriteBytes(a, {1}));
    ASSERT_TRUE(testutil::WriteBytes(b, {1}));
    ASSERT_EQ(::symlink(a.c_str(), dir.File("soft.mp4").c_str()), 0);
    ASSERT_EQ(::link(a.c_str(), dir.File("hard.mp4").c_str()), 0);
    EXPECT_TRUE(platform::IsSameFile(a.c_str(), a.c_str()));
    EXPECT_TRUE(platform::IsSameFile(a.c_str(), (dir.path() + "/./a.mp4").c_str()));
    EXPECT_TRUE(platform::IsSameFile(a.c_str(), dir.File("soft.mp4").c_str()));
    EXPECT_TRUE(platform::IsSameFile(dir.File("hard.mp4").c_str(), a.c_str()));
    EXPECT_FALSE(platform::IsSameFile(a.c_str(), b.c_str()));  // equal bytes, other file
    EXPECT_FALSE(platform::IsSameFile(a.c_str(), dir.File("new.mp4").c_str()));
    EXPECT_FALSE(platform::IsSameFile(nullptr, a.c_str()));
}

TEST(PendingFile, OutputsGetTheModeOfTheUmask) {
    testutil::TempDir dir;
    const std::string path = dir.File("out.jpg");
    const mode_t old = ::umask(027);
    platform::PendingFile target;
    ASSERT_TRUE(target.Begin(path.c_str()));
    ASSERT_TRUE(testutil::WriteBytes(target.TempPath(), {1}));
    EXPECT_TRUE(target.Commit());
    ::umask(old);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);  // not the temporary file's 0600
}
