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
    writeFile(dir.join("empty"), "");
    ASSERT_TRUE(getFileCRC(dir.join("empty"), crc, -1, -1, nullptr));
    EXPECT_EQ("00000000", crc);

    // Ranges that cross 64 KiB chunk boundaries match the same bytes in a file of their own.
    std::string big(200 * 1024 + 7, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 31 + 7);
    writeFile(dir.join("big"), big);
    struct {
        Poco::Int64 offset, length;
    } ranges[] = {{-1, -1}, {70000, -1}, {60000, 80000}};
    for (const auto& r : ranges) {
        std::string expected, range;
        writeFile(dir.join("part"), big.substr(r.offset < 0 ? 0 : r.offset,
                                               r.length < 0 ? std::string::npos : r.length));
        ASSERT_TRUE(getFileCRC(dir.join("part"), expected, -1, -1, nullptr));
        ASSERT_TRUE(getFileCRC(dir.join("big"), range, r.offset, r.length, nullptr));
        EXPECT_EQ(expected, range) << r.offset;
    }

    std::atomic<bool> stop(true);
    std::string untouched = "unchanged";
    EXPECT_FALSE(getFileCRC(dir.join("big"), untouched, -1, -1, &stop));
    EXPECT_EQ("unchanged", untouched);
    EXPECT_FALSE(getFileCRC(dir.join("missing"), crc, -1, -1, nullptr));
    EXPECT_FALSE(getFileCRC(dir.path(), crc, -1, -1, nullptr));  // a folder
}

TEST(FileUtil, SplitFolder) {
    struct {
        const char* path;
        const char* folder;
        const char* file;
    } cases[] = {
        {"/a/b", "/a", "b"},  {"/b", "/", "b"},     {"b", "", "b"},
        {"/a/b/", "/a", "b"}, {"/a//b", "/a", "b"}, {"C:\\x\\y.txt", "C:\\x", "y.txt"},
        {"", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        std::string folder = "junk", file = "junk";
        splitFolder(c.path, folder, file);
        EXPECT_EQ(c.folder, folder);
        EXPECT_EQ(c.file, file);
    }
}

TEST(FileUtil, ReadableFileSize) {
    struct {
        Poco::Int64 size;
        int precision;
        const char* text;
    } cases[] = {
        {0, 2, "0 B"},
        {512, 2, "512 B"},
        {1024, 2, "1.00 KB"},
        {1536, 2, "1.50 KB"},
        {1048576, 2, "1.00 MB"},
        {1073741824, 1, "1.0 GB"},
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
        {"a\tb\nc\x7f"
         "d\x01",
         false, "abcd"},
        {"<a href=\"x\">&'</a>", true, "a href=x/a"},
        {"<a>&'\"", false, "<a>&'\""},
        {"caf\xc3\xa9 \xe2\x82\xac", true, "caf\xc3\xa9 \xe2\x82\xac"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.out, sanitizeString(c.in, c.strip)) << c.in;
}

// The listing relies on this escaping from the host library's TinyXML.
TEST(FileUtil, TinyXmlEncodeString) {
    std::string out;
    TiXmlBase::EncodeString("a&b<c>d\"e'f\ng caf\xc3\xa9", &out);
    EXPECT_EQ("a&amp;b&lt;c&gt;d&quot;e&apos;f&#x0A;g caf\xc3\xa9", out);
}
