#include <Poco/Thread.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>

#include "hostapi/SqliteDB.h"
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
        "it's a 'quoted' text",
        "100% done %d %s",
        "two\nlines\r\n",
        "caf\xc3\xa9",
        std::string("bad \xff\xfe utf8"),
        "",
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
    EXPECT_EQ(7, m_db.ExecuteScalar("SELECT count(*) FROM T;"));
    EXPECT_STREQ("SELECT 1, 'x''y', 7;", sql.Format("SELECT %d, '%q', %s;", 1, "x'y", "7"));
}

TEST_F(SqliteTest, NullsUnknownColumnsAndMisuse) {
    m_db.ExecuteUpdate("INSERT INTO T (NAME, N) VALUES (NULL, NULL);");
    wxSQLite3ResultSet rs = m_db.ExecuteQuery("SELECT * FROM T;");
    EXPECT_THROW(rs.GetInt("N"), wxSQLite3Exception);  // before the first row
    ASSERT_TRUE(rs.NextRow());
    EXPECT_TRUE(rs.IsNull("NAME"));
    EXPECT_EQ(0, rs.GetInt("N"));
    EXPECT_EQ(-1, rs.GetInt64("N", -1));
    EXPECT_EQ("none", rs.GetStdString("NAME", "none"));
    EXPECT_THROW(rs.GetInt("NOSUCH"), wxSQLite3Exception);
    EXPECT_THROW(rs.GetInt(3), wxSQLite3Exception);
    wxSQLite3ResultSet copy = rs;
    rs.Finalize();
    EXPECT_THROW(copy.NextRow(), wxSQLite3Exception);  // copies share the statement

    EXPECT_THROW(m_db.ExecuteScalar("SELECT N FROM T WHERE ID < 0;"), wxSQLite3Exception);
    try {
        m_db.ExecuteUpdate("INSERT INTO NOTABLE VALUES (1);");
        FAIL() << "no exception";
    } catch (const wxSQLite3Exception& e) {
        EXPECT_EQ(SQLITE_ERROR, e.GetErrorCode());
        EXPECT_NE(std::string::npos, e.GetMessage().find("NOTABLE"));
    }
    wxSQLite3Database closed;
    EXPECT_FALSE(closed.IsOpen());
    EXPECT_THROW(closed.ExecuteUpdate("SELECT 1;"), wxSQLite3Exception);
    EXPECT_THROW(closed.Open(m_dir.join("x.db"), "secret"), wxSQLite3Exception);
}

TEST_F(SqliteTest, UpdatesTablesAndTransactions) {
    EXPECT_TRUE(m_db.TableExists("T"));
    EXPECT_TRUE(m_db.TableExists("t", "main"));
    EXPECT_FALSE(m_db.TableExists("U"));
    EXPECT_FALSE(m_db.TableExists("T%"));  // no pattern matching
    EXPECT_THROW(m_db.TableExists("T", "nosuchdb"), wxSQLite3Exception);

    // Several statements in one text all run.
    EXPECT_EQ(1, m_db.ExecuteUpdate("INSERT INTO T (N) VALUES (1); INSERT INTO T (N) VALUES (2);"));
    EXPECT_EQ(2, m_db.ExecuteUpdate("UPDATE T SET N = N + 10;"));
    EXPECT_TRUE(m_db.GetAutoCommit());
    m_db.ExecuteUpdate("BEGIN;");
    EXPECT_FALSE(m_db.GetAutoCommit());
    m_db.ExecuteUpdate("DELETE FROM T;");
    m_db.ExecuteUpdate("ROLLBACK;");
    EXPECT_EQ(23, m_db.ExecuteScalar("SELECT sum(N) FROM T;"));
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
    EXPECT_THROW(insert.ExecuteUpdate(), wxSQLite3Exception);

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
    std::string last;
    while (rs.NextRow()) {
        ++rows;
        last = rs.GetStdString("NAME");
    }
    EXPECT_EQ(3, rows);  // NULL N is not >= 0
    select.Reset();
    EXPECT_EQ("row'2", last);
    wxSQLite3ResultSet nul = m_db.ExecuteQuery("SELECT NAME FROM T WHERE N IS NULL;");
    ASSERT_TRUE(nul.NextRow());
    EXPECT_EQ(std::string("a\0b", 3), nul.GetStdString(0));  // by byte count
}

TEST_F(SqliteTest, GarbageFileFailsAtOpen) {
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

namespace {

// Holds a write transaction on its own connection for a while, then commits.
struct SlowWriter : Poco::Runnable {
    std::string path;
    std::atomic<bool> locked{false};
    std::atomic<bool> ok{false};
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
};

}  // namespace

TEST_F(SqliteTest, BusyTimeoutWaitsForAnotherConnection) {
    m_db.SetBusyTimeout(60000);
    SlowWriter writer;
    writer.path = m_dir.join("test.db");
    Poco::Thread thread;
    thread.start(writer);
    while (!writer.locked) Poco::Thread::sleep(5);
    EXPECT_NO_THROW(m_db.ExecuteUpdate("INSERT INTO T (N) VALUES (2);"));
    thread.join();
    EXPECT_TRUE(writer.ok);
    EXPECT_EQ(2, m_db.ExecuteScalar("SELECT count(*) FROM T;"));
}

namespace {
class TestDB : public Orvana::Data::SqliteDB {
public:
    explicit TestDB(const std::string& path) {
        m_db.reset(new wxSQLite3Database);
        m_db->Open(path);
        m_db->ExecuteUpdate("CREATE TABLE IF NOT EXISTS X (A);");
        m_db->ExecuteUpdate("INSERT INTO X VALUES (1);");
    }
};
}  // namespace

TEST_F(SqliteTest, SqliteDBClosesItsConnection) {
    { TestDB db(m_dir.join("base.db")); }
    // The file is not left locked or half written by the object above.
    wxSQLite3Database db;
    db.Open(m_dir.join("base.db"));
    db.SetBusyTimeout(0);
    db.ExecuteUpdate("BEGIN EXCLUSIVE; COMMIT;");
    EXPECT_EQ(1, db.ExecuteScalar("SELECT count(*) FROM X;"));
}
