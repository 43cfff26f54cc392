// The file stand-in: create-or-truncate, not shared, reads, lengths and failing writes.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/File.h"
#include "support/TestUtil.h"

namespace {

using platform::CFile;

TEST(FileTest, OpenCreateWriteCreatesANewFile) {
    testutil::TempDir dir;
    CFile f;
    ASSERT_TRUE(f.OpenCreateWrite(dir.File("new.bin")));
    EXPECT_TRUE(f.IsOpen());
    ASSERT_TRUE(f.Write("abc", 3));
    f.Close();
    EXPECT_FALSE(f.IsOpen());
    EXPECT_EQ(testutil::ReadFile(dir.File("new.bin")), "abc");
    struct stat st {};
    ASSERT_EQ(stat(dir.File("new.bin").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
}

TEST(FileTest, OpenCreateWriteTruncatesAnExistingFile) {
    testutil::TempDir dir;
    testutil::WriteFile(dir.File("old.bin"), "a much longer earlier content");
    CFile f;
    ASSERT_TRUE(f.OpenCreateWrite(dir.File("old.bin")));
    EXPECT_EQ(f.GetLength(), 0);
    ASSERT_TRUE(f.Write("new", 3));
    f.Close();
    EXPECT_EQ(testutil::ReadFile(dir.File("old.bin")), "new");
}

// A symbolic link planted under the name, to a file or to a dangling target: the open fails
// with the OS's reason, the link stays a link and its target keeps its content (or stays
// missing).
TEST(FileTest, OpenCreateWriteDoesNotFollowAPlantedSymbolicLink) {
    testutil::TempDir dir;
    testutil::WriteFile(dir.File("precious"), "keep me");
    struct Case {
        const char* target;
        bool targetExists;
    };
    const Case cases[] = {{"precious", true}, {"missing", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        const std::string link = dir.File(std::string("capture_") + c.target);
        ASSERT_EQ(symlink(dir.File(c.target).c_str(), link.c_str()), 0);
        CFile f;
        EXPECT_FALSE(f.OpenCreateWrite(link));
        EXPECT_FALSE(f.IsOpen());
        EXPECT_EQ(f.LastError(), "Too many levels of symbolic links");
        struct stat st {};
        ASSERT_EQ(lstat(link.c_str(), &st), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode));
        EXPECT_EQ(access(dir.File(c.target).c_str(), F_OK) == 0, c.targetExists);
    }
    EXPECT_EQ(testutil::ReadFile(dir.File("precious")), "keep me");
}

TEST(FileTest, OpenCreateWriteIsNotShared) {
    testutil::TempDir dir;
    const std::string path = dir.File("held.bin");
    CFile first;
    ASSERT_TRUE(first.OpenCreateWrite(path));
    ASSERT_TRUE(first.Write("kept", 4));
    CFile second;
    EXPECT_FALSE(second.OpenCreateWrite(path));
    EXPECT_FALSE(second.IsOpen());
    EXPECT_FALSE(second.LastError().empty());
    // The refused opener must not have truncated the holder's content.
    EXPECT_EQ(first.GetLength(), 4);
    CFile reader;
    EXPECT_FALSE(reader.OpenRead(path));
    first.Close();
    EXPECT_EQ(testutil::ReadFile(path), "kept");
    EXPECT_TRUE(second.OpenCreateWrite(path));
}

TEST(FileTest, OpenCreateWriteFailsInAMissingDirectory) {
    testutil::TempDir dir;
    CFile f;
    EXPECT_FALSE(f.OpenCreateWrite(dir.File("missing/x.bin")));
    EXPECT_FALSE(f.IsOpen());
    EXPECT_FALSE(f.LastError().empty());
}

TEST(FileTest, OpenCreateWriteOnAFifoWithoutReaderFailsInsteadOfBlocking) {
    testutil::TempDir dir;
    const std::string path = dir.File("fifo");
    ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
    CFile f;
    EXPECT_FALSE(f.OpenCreateWrite(path));
    EXPECT_FALSE(f.IsOpen());
}

TEST(FileTest, OpenReadFailsOnAMissingFile) {
    testutil::TempDir dir;
    CFile f;
    EXPECT_FALSE(f.OpenRead(dir.File("nothing.bin")));
    EXPECT_FALSE(f.IsOpen());
    EXPECT_FALSE(f.LastError().empty());
}

TEST(FileTest, OpenReadFailsOnADirectory) {
    testutil::TempDir dir;
    CFile f;
    EXPECT_FALSE(f.OpenRead(dir.path));
    EXPECT_FALSE(f.IsOpen());
    EXPECT_FALSE(f.LastError().empty());
}

TEST(FileTest, OpenReadRefusesFifosAndDevicesAtOnce) {
    testutil::TempDir dir;
    const std::string fifo = dir.File("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    platform::CFile f;
    EXPECT_FALSE(f.OpenRead(fifo));  // no writer: would block forever without the check
    EXPECT_EQ(f.LastError(), "not a regular file");
    EXPECT_FALSE(f.OpenRead("/dev/zero"));
}

TEST(FileTest, ReadersShareAndReadToTheEnd) {
    testutil::TempDir dir;
    const std::string path = dir.File("r.bin");
    testutil::WriteFile(path, "0123456789");
    CFile a, b;
    ASSERT_TRUE(a.OpenRead(path));
    ASSERT_TRUE(b.OpenRead(path));
    char buf[8];
    EXPECT_EQ(a.Read(buf, sizeof buf), 8);
    EXPECT_EQ(std::string(buf, 8), "01234567");
    EXPECT_EQ(a.Read(buf, sizeof buf), 2);
    EXPECT_EQ(a.Read(buf, sizeof buf), 0);
    // A writer cannot take a file that readers hold.
    CFile w;
    EXPECT_FALSE(w.OpenCreateWrite(path));
    EXPECT_EQ(testutil::ReadFile(path), "0123456789");
}

TEST(FileTest, GetLength) {
    testutil::TempDir dir;
    const std::string path = dir.File("len.bin");
    testutil::WriteFile(path, std::string(1234, 'x'));
    CFile f;
    EXPECT_EQ(f.GetLength(), -1);  // not open
    ASSERT_TRUE(f.OpenRead(path));
    EXPECT_EQ(f.GetLength(), 1234);
    f.Close();
    EXPECT_EQ(f.GetLength(), -1);
}

TEST(FileTest, ClosedFileRefusesReadAndWrite) {
    CFile f;
    char buf[4];
    EXPECT_EQ(f.Read(buf, sizeof buf), -1);
    EXPECT_FALSE(f.Write("x", 1));
    EXPECT_FALSE(f.LastError().empty());
}

TEST(FileTest, WriteToAFullDeviceFails) {
    CFile f;
    ASSERT_TRUE(f.OpenCreateWrite("/dev/full")) << f.LastError();
    EXPECT_TRUE(f.Write("", 0));
    EXPECT_FALSE(f.Write("x", 1));
    EXPECT_FALSE(f.LastError().empty());
}

TEST(FileTest, DestructorClosesAndReleasesTheLock) {
    testutil::TempDir dir;
    const std::string path = dir.File("d.bin");
    {
        CFile f;
        ASSERT_TRUE(f.OpenCreateWrite(path));
    }
    CFile g;
    EXPECT_TRUE(g.OpenCreateWrite(path));
}

}  // namespace
