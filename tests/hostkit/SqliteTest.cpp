#include <Poco/Thread.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>

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
    try {
        db.Open(m_dir.join("garbage.db"));
        FAIL() << "opened a file that is not a database";
    } catch (const wxSQLite3Exception& e) {
        EXPECT_EQ(SQLITE_NOTADB, e.GetErrorCode());
    }
    EXPECT_FALSE(db.IsOpen());
    EXPECT_THROW(db.Open(m_dir.join("no/such/folder/x.db")), wxSQLite3Exception);
}

TEST_F(SqliteTest, PreparedStatementsBindAndReset) {
    wxSQLite3Statement insert = m_db.PrepareStatement("INSERT INTO T (NAME, N) VALUES (?, ?);");
    for (int i = 0; i < 3; ++i) {
        insert.Bind(1, "row'" + std::to_string(i));
        insert.Bind(2, Poco::Int64(i) << 33);
        EXPECT_EQ(1, insert.ExecuteUpdate());
    }
    insert.Bind(1, std::string("a\0b", 3));
    insert.BindNull(2);
    insert.ExecuteUpdate();
    EXPECT_THROW(insert.Bind(3, 1), wxSQLite3Exception);
    insert.Finalize();

    wxSQLite3Statement select =
        m_db.PrepareStatement("SELECT NAME, N FROM T WHERE N >= ? ORDER BY ID;");
    select.Bind(1, Poco::Int64(1) << 33);
    wxSQLite3ResultSet rs = select.ExecuteQuery();
    ASSERT_TRUE(rs.NextRow());
    EXPECT_EQ("row'1", rs.GetStdString(0));
    rs.Finalize();
    // The binding stays; a second query starts from the first row again.
    rs = select.ExecuteQuery();
    int rows = 0;
    while (rs.NextRow()) ++rows;
    EXPECT_EQ(2, rows);
    rs.Finalize();
    select.Bind(1, 0);
    wxSQLite3ResultSet stale = select.ExecuteQuery();
    rs = select.ExecuteQuery();
    ASSERT_TRUE(rs.NextRow());
    EXPECT_THROW(stale.NextRow(), wxSQLite3Exception);  // superseded by the newer run
    stale = wxSQLite3ResultSet();                       // must not rewind rs
    rows = 1;
    while (rs.NextRow()) ++rows;
    EXPECT_EQ(3, rows);  // NULL N is not >= 0
    select.Reset();
    wxSQLite3ResultSet nul = m_db.ExecuteQuery("SELECT NAME FROM T WHERE N IS NULL;");
    ASSERT_TRUE(nul.NextRow());
    EXPECT_EQ(std::string("a\0b", 3), nul.GetStdString(0));  // by byte count
}

TEST_F(SqliteTest, BusyTimeoutWaitsForAnotherConnection) {
    // Holds a write transaction on its own connection for a while, then commits.
    struct SlowWriter : Poco::Runnable {
        std::string path;
        std::atomic<bool> locked{false}, ok{false};
        void run() override {
            try {
                wxSQLite3Database db;
                db.Open(path);
                db.ExecuteUpdate("BEGIN IMMEDIATE;");
                db.ExecuteUpdate("INSERT INTO T (N) VALUES (1);");
                locked = true;
                Poco::Thread::sleep(200);
                db.ExecuteUpdate("COMMIT;");
                ok = true;
            } catch (...) {
                locked = true;
            }
        }
    } writer;
    m_db.SetBusyTimeout(60000);
    writer.path = m_dir.join("test.db");
    Poco::Thread thread;
    thread.start(writer);
    while (!writer.locked) Poco::Thread::sleep(5);
    EXPECT_NO_THROW(m_db.ExecuteUpdate("INSERT INTO T (N) VALUES (2);"));
    thread.join();
    EXPECT_TRUE(writer.ok);
    EXPECT_EQ(2, m_db.ExecuteScalar("SELECT count(*) FROM T;"));
}
