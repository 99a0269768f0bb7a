#include <gtest/gtest.h>

#include <atomic>

#include "hostapi/FileUtil.h"
#include "support/TempDir.h"

using namespace Orvana::Util;
using TestSupport::TempDir;
using TestSupport::writeFile;

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
