// The file helpers: the descriptor holder, checksums of files and ranges,
// the text helpers for names and sizes, and the SQLite wrapper.

#include <Poco/Thread.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <utility>

#include "hostapi/FileDescriptor.h"
#include "hostapi/FileUtil.h"
#include "hostapi/wxSQLite3Database.h"
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

class SqliteTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_db.Open(m_dir.join("test.db"));
        m_db.ExecuteUpdate(
            "CREATE TABLE T (ID INTEGER PRIMARY KEY AUTOINCREMENT, NAME TEXT, N INTEGER);");
    }

    TempDir m_dir;
    wxSQLite3Database m_db;
};

TEST_F(SqliteTest, FormattedTextsRoundTrip) {
    const std::string texts[] = {
        "it's a 'quoted' text", "100% done %d %s", "two\nlines\r\n", "bad \xff\xfe utf8", "",
        "--; DROP TABLE T;",
    };
    wxSQLite3StatementBuffer sql;
    for (const std::string& text : texts) {
        m_db.ExecuteUpdate(sql.Format("INSERT INTO T (NAME, N) VALUES ('%q', %lld);", text.c_str(),
                                      (long long)(Poco::Int64(1) << 40)));
        Poco::Int64 id = m_db.GetLastRowId();
        wxSQLite3ResultSet rs =
            m_db.ExecuteQuery(sql.Format("SELECT * FROM T WHERE NAME='%q';", text.c_str()));
        ASSERT_TRUE(rs.NextRow()) << text;
        EXPECT_EQ(text, rs.GetStdString("name"));  // column names ignore case
        EXPECT_EQ(id, rs.GetInt64("ID"));
        EXPECT_EQ(Poco::Int64(1) << 40, rs.GetInt64("N"));
        EXPECT_FALSE(rs.NextRow());
        EXPECT_FALSE(rs.NextRow());  // stays at the end, does not start over
        rs.Finalize();
    }
    EXPECT_EQ(6, m_db.ExecuteScalar("SELECT count(*) FROM T;"));
    EXPECT_TRUE(m_db.TableExists("t"));
    EXPECT_FALSE(m_db.TableExists("T%"));  // no pattern matching
}

TEST_F(SqliteTest, NullsUnknownColumnsAndBadFiles) {
    m_db.ExecuteUpdate("INSERT INTO T (NAME, N) VALUES (NULL, NULL);");
    wxSQLite3ResultSet rs = m_db.ExecuteQuery("SELECT * FROM T;");
    EXPECT_THROW(rs.GetInt("N"), wxSQLite3Exception);  // before the first row
    ASSERT_TRUE(rs.NextRow());
    EXPECT_TRUE(rs.IsNull("NAME"));
    EXPECT_EQ(0, rs.GetInt("N"));
    EXPECT_EQ(-1, rs.GetInt64("N", -1));
    EXPECT_THROW(rs.GetInt("NOSUCH"), wxSQLite3Exception);
    EXPECT_THROW(rs.GetInt(3), wxSQLite3Exception);
    rs.Finalize();
    EXPECT_THROW(m_db.ExecuteScalar("SELECT N FROM T WHERE ID < 0;"), wxSQLite3Exception);
    // Several statements in one text all run.
    EXPECT_EQ(1, m_db.ExecuteUpdate("INSERT INTO T (N) VALUES (1); INSERT INTO T (N) VALUES (2);"));
    EXPECT_EQ(3, m_db.ExecuteScalar("SELECT count(*) FROM T;"));

    TestSupport::writeFile(m_dir.join("garbage.db"), std::string(8192, 'g'));
    wxSQLite3Database db;
    EXPECT_THROW(db.Open(m_dir.join("garbage.db")), wxSQLite3Exception);  // at once, not later
    EXPECT_FALSE(db.IsOpen());
    EXPECT_THROW(db.Open(m_dir.join("no/such/folder/x.db")), wxSQLite3Exception);
}

TEST_F(SqliteTest, BusyTimeoutWaitsForAnotherConnection) {
    // Another connection holds a write transaction for a while, then commits.
    std::atomic<bool> locked{false}, committed{false};
    std::thread writer([&] {
        try {
            wxSQLite3Database db;
            db.Open(m_dir.join("test.db"));
            db.ExecuteUpdate("BEGIN IMMEDIATE;");
            db.ExecuteUpdate("INSERT INTO T (N) VALUES (1);");
            locked = true;
            Poco::Thread::sleep(200);
            db.ExecuteUpdate("COMMIT;");
            committed = true;
        } catch (...) {
            locked = true;
        }
    });
    m_db.SetBusyTimeout(60000);
    while (!locked) Poco::Thread::sleep(5);
    EXPECT_NO_THROW(m_db.ExecuteUpdate("INSERT INTO T (N) VALUES (2);"));
    writer.join();
    EXPECT_TRUE(committed);
    EXPECT_EQ(2, m_db.ExecuteScalar("SELECT count(*) FROM T;"));
}

}  // namespace
