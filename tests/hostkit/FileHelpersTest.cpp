// The file helpers: the descriptor holder, checksums of files and ranges,
// and the text helpers for names and sizes.

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <utility>

#include "hostapi/FileDescriptor.h"
#include "hostapi/FileUtil.h"
#include "support/TempDir.h"

using namespace Orvana::Util;
using namespace TestSupport;

namespace {

// Closing is seen through a pipe: the reader gets end-of-file only once every
// write end is closed, which does not depend on descriptor numbers being reused.
struct Pipe {
    int read = -1, write = -1;
    Pipe() {
        int fds[2];
        if (::pipe(fds) == 0) read = fds[0], write = fds[1];
    }
    ~Pipe() {
        if (read >= 0) ::close(read);
    }
    // True when no write end is open any more; a write end still open is
    // written to so that the read does not block.
    bool writeEndClosed(int stillOpen = -1) const {
        if (stillOpen >= 0 && ::write(stillOpen, "x", 1) != 1) return false;
        char c;
        return ::read(read, &c, 1) == 0;
    }
};

TEST(FileDescriptorTest, ClosesOnScopeExitAndOnReset) {
    Pipe scoped;
    ASSERT_GE(scoped.write, 0);
    { FileDescriptor fd(scoped.write); }
    EXPECT_TRUE(scoped.writeEndClosed());

    Pipe first, second;
    FileDescriptor fd(first.write);
    fd.reset(second.write);
    EXPECT_TRUE(first.writeEndClosed());
    EXPECT_EQ(second.write, fd.get());
    fd.reset();
    EXPECT_FALSE(fd.valid());
    EXPECT_TRUE(second.writeEndClosed());
}

TEST(FileDescriptorTest, ReleasedOrMovedDescriptorsStayOpen) {
    Pipe released;
    int fd = -1;
    {
        FileDescriptor holder(released.write);
        fd = holder.release();
        EXPECT_FALSE(holder.valid());
    }
    EXPECT_FALSE(released.writeEndClosed(fd));
    ::close(fd);

    Pipe moved, replaced;
    FileDescriptor target(replaced.write);
    {
        FileDescriptor source(moved.write);
        target = std::move(source);
        EXPECT_FALSE(source.valid());
    }
    EXPECT_TRUE(replaced.writeEndClosed());  // what the target held is closed
    EXPECT_FALSE(moved.writeEndClosed(target.get()));
    FileDescriptor constructed(std::move(target));
    EXPECT_FALSE(target.valid());
    EXPECT_EQ(moved.write, constructed.get());
}

TEST(FileUtil, FileCrc) {
    TempDir dir;
    std::string crc;
    writeFile(dir.join("check"), "123456789");
    ASSERT_TRUE(getFileCRC(dir.join("check"), crc, -1, -1, nullptr));
    EXPECT_EQ("cbf43926", crc);

    // Ranges that cross 64 KiB chunk boundaries match the same bytes in a file of their own.
    std::string big(200 * 1024 + 7, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 31 + 7);
    writeFile(dir.join("big"), big);
    for (Poco::Int64 offset : {70000, 60000}) {
        const Poco::Int64 length = offset == 60000 ? 80000 : -1;
        std::string expected, range;
        writeFile(dir.join("part"),
                  big.substr(offset, length < 0 ? std::string::npos : size_t(length)));
        ASSERT_TRUE(getFileCRC(dir.join("part"), expected, -1, -1, nullptr));
        ASSERT_TRUE(getFileCRC(dir.join("big"), range, offset, length, nullptr));
        EXPECT_EQ(expected, range) << offset;
    }

    std::atomic<bool> stop(true);
    std::string untouched = "unchanged";
    EXPECT_FALSE(getFileCRC(dir.join("big"), untouched, -1, -1, &stop));
    EXPECT_EQ("unchanged", untouched);
    EXPECT_FALSE(getFileCRC(dir.join("missing"), crc, -1, -1, nullptr));
    EXPECT_FALSE(getFileCRC(dir.path(), crc, -1, -1, nullptr));  // a folder
}

TEST(FileUtil, TextHelpers) {
    struct {
        const char *path, *folder, *file;
    } splits[] = {{"/a/b", "/a", "b"},
                  {"/b", "/", "b"},
                  {"b", "", "b"},
                  {"/a//b/", "/a", "b"},
                  {"/a/my\\docs", "/a", "my\\docs"},
                  {"/x\\", "/", "x\\"}};
    for (const auto& c : splits) {
        std::string folder = "junk", file = "junk";
        splitFolder(c.path, folder, file);
        EXPECT_EQ(std::string(c.folder) + "|" + c.file, folder + "|" + file) << c.path;
    }
    EXPECT_EQ("512 B", readableFileSize(512, 2));
    EXPECT_EQ("1.50 KB", readableFileSize(1536, 2));
    EXPECT_EQ("1024 TB", readableFileSize(Poco::Int64(1) << 50, 0));
    EXPECT_EQ("0 B", readableFileSize(-5, 2));
    EXPECT_EQ("abcd", sanitizeString("a\tb\nc\x7f"
                                     "d\x01",
                                     false));
    EXPECT_EQ("a href=x/a", sanitizeString("<a href=\"x\">&'</a>", true));
    EXPECT_EQ("caf\xc3\xa9", sanitizeString("caf\xc3\xa9", true));
}

}  // namespace
