// The default store location requests: what is refused leaves the stored
// location as it was; what is accepted is kept as given.

#include <Poco/String.h>
#include <sqlite3.h>

#include "RequestsFixture.h"

namespace {

class StoreLocationRequestsTest : public RequestsTest {
protected:
    static std::string storeDoc(const std::string& path) {
        return "<backup><defaultstorelocation>" + path + "</defaultstorelocation></backup>";
    }
    std::string set(const std::string& path) {
        return request("setdefaultstorelocation", {{"storepath", path}});
    }
    static std::string refused(const std::string& text) {
        return result("setdefaultstorelocation", false, text);
    }
};

TEST_F(StoreLocationRequestsTest, RefusalsStoreNothing) {
    const std::string initial = storeDoc(profile.userDataDir() + "/backup");
    const std::string store = profile.scratch("store");
    profile.scratch("rel");
    const std::string missing = "Store location does not exist. Request rejected";
    const std::string relative = "Store location must be an absolute path";
    const std::pair<std::string, std::string> cases[] = {
        {"", missing},
        {"/no/such/place", missing},
        {"rel", relative},
        {"./rel", relative},
        {"~/rel", relative},
        // The file system would see the existing folder before the NUL.
        {store + std::string(1, '\0') + "/x", "Path contains an invalid character"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(refused(c.second), set(c.first)) << c.first;
        EXPECT_EQ(initial, request("getdefaultstorelocation")) << c.first;
    }
    EXPECT_FALSE(db->doesConfigExist("backup", "BACKUP_DEF_STORE_KEY"));
    EXPECT_FALSE(db->doesConfigExist("backup", "CUSTOM_DIR_SET"));
}

TEST_F(StoreLocationRequestsTest, UnderAnotherWriterItIsReportedUnsavedThenStored) {
    const std::string initial = request("getdefaultstorelocation");
    // Any existing path will do, a file too; it is kept as given and
    // returned escaped.
    const std::string file = profile.scratch("a&b") + "/target.bin";
    TestSupport::writeFile(file, "x");

    // Another program holds the database's write lock for the whole request.
    sqlite3* other = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(profile.databasePath().c_str(), &other));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(other, "BEGIN IMMEDIATE;", nullptr, nullptr, nullptr));
    const std::string reply = set(file);
    const std::string during = request("getdefaultstorelocation");
    EXPECT_EQ(SQLITE_OK, sqlite3_exec(other, "ROLLBACK;", nullptr, nullptr, nullptr));
    sqlite3_close(other);
    EXPECT_EQ(refused("Store location could not be saved"), reply);
    EXPECT_EQ(initial, during);
    EXPECT_FALSE(db->doesConfigExist("backup", "BACKUP_DEF_STORE_KEY"));
    EXPECT_FALSE(db->doesConfigExist("backup", "CUSTOM_DIR_SET"));

    EXPECT_EQ(result("setdefaultstorelocation", true), set(file));
    EXPECT_EQ(storeDoc(Poco::replace(file, std::string("&"), std::string("&amp;"))),
              request("getdefaultstorelocation"));
    EXPECT_EQ(file, db->getConfigValue("backup", "BACKUP_DEF_STORE_KEY", ""));
    EXPECT_EQ("TRUE", db->getConfigValue("backup", "CUSTOM_DIR_SET", "NONE"));
}

}  // namespace
