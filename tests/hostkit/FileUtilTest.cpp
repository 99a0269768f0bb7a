#include <gtest/gtest.h>
#include <tinyxml.h>

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
    ASSERT_TRUE(getFileCRC(dir.join("check"), crc, 3, 3, nullptr));  // "456"
    std::string part;
    writeFile(dir.join("part"), "456");
    ASSERT_TRUE(getFileCRC(dir.join("part"), part, -1, -1, nullptr));
    EXPECT_EQ(part, crc);
    ASSERT_TRUE(getFileCRC(dir.join("check"), crc, 6, -1, nullptr));  // to the end: "789"
    writeFile(dir.join("part"), "789");
    ASSERT_TRUE(getFileCRC(dir.join("part"), part, -1, -1, nullptr));
    EXPECT_EQ(part, crc);

    writeFile(dir.join("empty"), "");
    ASSERT_TRUE(getFileCRC(dir.join("empty"), crc, -1, -1, nullptr));
    EXPECT_EQ("00000000", crc);

    // Larger than one chunk: the chunks must chain into the whole file's value.
    std::string big(200 * 1024 + 7, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 31 + 7);
    writeFile(dir.join("big"), big);
    std::string whole, range, expected;
    ASSERT_TRUE(getFileCRC(dir.join("big"), whole, -1, -1, nullptr));
    // Ranges that cross chunk boundaries match the same bytes in a file of their own.
    writeFile(dir.join("tail"), big.substr(70000));
    ASSERT_TRUE(getFileCRC(dir.join("tail"), expected, -1, -1, nullptr));
    ASSERT_TRUE(getFileCRC(dir.join("big"), range, 70000, -1, nullptr));
    EXPECT_EQ(expected, range);
    writeFile(dir.join("middle"), big.substr(60000, 80000));
    ASSERT_TRUE(getFileCRC(dir.join("middle"), expected, -1, -1, nullptr));
    ASSERT_TRUE(getFileCRC(dir.join("big"), range, 60000, 80000, nullptr));
    EXPECT_EQ(expected, range);

    std::atomic<bool> stop(true);
    std::string untouched = "unchanged";
    EXPECT_FALSE(getFileCRC(dir.join("big"), untouched, -1, -1, &stop));
    EXPECT_EQ("unchanged", untouched);
    stop = false;
    EXPECT_TRUE(getFileCRC(dir.join("big"), crc, -1, -1, &stop));
    EXPECT_EQ(whole, crc);

    EXPECT_FALSE(getFileCRC(dir.join("missing"), crc, -1, -1, nullptr));
    EXPECT_FALSE(getFileCRC(dir.path(), crc, -1, -1, nullptr));  // a folder
}

TEST(FileUtil, SplitFolder) {
    struct {
        const char* path;
        const char* folder;
        const char* file;
    } cases[] = {
        {"/a/b", "/a", "b"},
        {"/b", "/", "b"},
        {"b", "", "b"},
        {"/a/b/", "/a", "b"},
        {"/a//b", "/a", "b"},
        {"C:\\x\\y.txt", "C:\\x", "y.txt"},
        {"/a/b c/d.txt", "/a/b c", "d.txt"},
        {"", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        std::string folder = "junk", file = "junk";
        splitFolder(c.path, folder, file);
        EXPECT_EQ(c.folder, folder);
        EXPECT_EQ(c.file, file);
    }
    EXPECT_EQ("/a/b", convertPathToNative("\\a\\b"));
}

TEST(FileUtil, ReadableFileSize) {
    struct {
        Poco::Int64 size;
        int precision;
        const char* text;
    } cases[] = {
        {0, 2, "0 B"},
        {512, 2, "512 B"},
        {1023, 2, "1023 B"},
        {1024, 2, "1.00 KB"},
        {1536, 2, "1.50 KB"},
        {1048576, 2, "1.00 MB"},
        {1073741824, 1, "1.0 GB"},
        {Poco::Int64(1) << 40, 0, "1 TB"},
        {Poco::Int64(1) << 50, 0, "1024 TB"},
        {-5, 2, "0 B"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.text, readableFileSize(c.size, c.precision)) << c.size;
}

TEST(FileUtil, SanitizeString) {
    struct {
        const char* in;
        bool strip;
        const char* out;
    } cases[] = {
        {"plain text 123", true, "plain text 123"},
        {"a\tb\nc\x7f"
         "d\x01",
         false, "abcd"},
        {"<a href=\"x\">&'</a>", true, "a href=x/a"},
        {"<a>&'\"", false, "<a>&'\""},
        {"caf\xc3\xa9 \xe2\x82\xac", true, "caf\xc3\xa9 \xe2\x82\xac"},
        {"", true, ""},
    };
    for (const auto& c : cases) EXPECT_EQ(c.out, sanitizeString(c.in, c.strip)) << c.in;
}

// The listing relies on this escaping from the host library's TinyXML.
TEST(FileUtil, TinyXmlEncodeString) {
    std::string out;
    TiXmlBase::EncodeString("a&b<c>d\"e'f\ng caf\xc3\xa9", &out);
    EXPECT_EQ("a&amp;b&lt;c&gt;d&quot;e&apos;f&#x0A;g caf\xc3\xa9", out);
}
