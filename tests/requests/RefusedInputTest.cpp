// Request fields that must be refused before anything is stored: NUL bytes,
// a relative store location, and a store location the database cannot take.

#include <sqlite3.h>

#include "RequestsFixture.h"

namespace {

typedef RequestsTest RefusedInputTest;

const std::string kInvalid = "Path contains an invalid character";

std::string withNul(const std::string& head, const std::string& tail) {
    return head + std::string(1, '\0') + tail;
}

TEST_F(RefusedInputTest, NulBytesInPathsAndPeersStoreNothing) {
    const std::string src = profile.scratch("src");
    const std::string store = profile.scratch("store");
    // The file system would see src for the first case, so its store inside
    // the source would pass a check that reads the whole text.
    const Fields adds[] = {
        {{"localpath", withNul(src, "x")}, {"remotepath", src + "/sub"}, {"frequency", "3"}},
        {{"localpath", src}, {"remotepath", withNul(store, "/x")}, {"frequency", "3"}},
        {{"remotepeer", withNul("pal", "@far")}, {"localpath", src}, {"frequency", "3"}},
    };
    for (const Fields& fields : adds) {
        SCOPED_TRACE(query(fields));
        EXPECT_EQ(result("addbackuprecord", false, kInvalid), request("addbackuprecord", fields));
    }
    EXPECT_TRUE(records().empty());

    const std::string before = request("getdefaultstorelocation");
    EXPECT_EQ(result("setdefaultstorelocation", false, kInvalid),
              request("setdefaultstorelocation", {{"storepath", withNul(store, "/x")}}));
    EXPECT_EQ(before, request("getdefaultstorelocation"));
    EXPECT_FALSE(db->doesConfigExist("backup", "BACKUP_DEF_STORE_KEY"));

    // The same fields without the NUL byte are accepted.
    EXPECT_EQ(result("addbackuprecord", true),
              request("addbackuprecord",
                      {{"localpath", src}, {"remotepath", store}, {"frequency", "3"}}));
}

TEST_F(RefusedInputTest, StoreLocationMustBeAbsolute) {
    profile.scratch("rel");
    const std::string before = request("getdefaultstorelocation");
    for (const std::string path : {"rel", "./rel", "~/rel"}) {
        EXPECT_EQ(
            result("setdefaultstorelocation", false, "Store location must be an absolute path"),
            request("setdefaultstorelocation", {{"storepath", path}}))
            << path;
    }
    EXPECT_EQ(before, request("getdefaultstorelocation"));
    EXPECT_FALSE(db->doesConfigExist("backup", "CUSTOM_DIR_SET"));
}

TEST_F(RefusedInputTest, StoreLocationUnderAnotherWriterIsReportedUnsaved) {
    const std::string store = profile.scratch("store");
    const std::string before = request("getdefaultstorelocation");

    // Another program holds the database's write lock for the whole request.
    sqlite3* other = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(profile.databasePath().c_str(), &other));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(other, "BEGIN IMMEDIATE;", nullptr, nullptr, nullptr));
    const std::string reply = request("setdefaultstorelocation", {{"storepath", store}});
    const std::string during = request("getdefaultstorelocation");
    EXPECT_EQ(SQLITE_OK, sqlite3_exec(other, "ROLLBACK;", nullptr, nullptr, nullptr));
    sqlite3_close(other);

    EXPECT_EQ(result("setdefaultstorelocation", false, "Store location could not be saved"), reply);
    EXPECT_EQ(before, during);
    EXPECT_FALSE(db->doesConfigExist("backup", "BACKUP_DEF_STORE_KEY"));
    EXPECT_FALSE(db->doesConfigExist("backup", "CUSTOM_DIR_SET"));

    // Once the lock is gone the same request is stored.
    EXPECT_EQ(result("setdefaultstorelocation", true),
              request("setdefaultstorelocation", {{"storepath", store}}));
    EXPECT_EQ(store, db->getConfigValue("backup", "BACKUP_DEF_STORE_KEY", ""));
}

}  // namespace
