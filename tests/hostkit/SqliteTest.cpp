#include <Poco/Thread.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "hostapi/wxSQLite3Database.h"
#include "support/TempDir.h"

using TestSupport::TempDir;

namespace {

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

}  // namespace

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
