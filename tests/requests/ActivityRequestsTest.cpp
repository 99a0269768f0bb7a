// The activity document and the default store location requests.

#include <Poco/String.h>

#include "RequestsFixture.h"

namespace {

class ActivityRequestsTest : public RequestsTest {
protected:
    static std::string storeDoc(const std::string& path) {
        return "<backup><defaultstorelocation>" + path + "</defaultstorelocation></backup>";
    }
};

TEST_F(ActivityRequestsTest, ActivityDocumentEscapesTextsAndListsNewestFirst) {
    EXPECT_EQ("<getactivity></getactivity>", request("getactivity"));
    ASSERT_TRUE(db->addActivity(5, 1, "copied a & b"));
    ASSERT_TRUE(db->addActivity(-3, 2, "<stopped>\n"));
    EXPECT_EQ(
        "<getactivity>"
        "<activity><recid>-3</recid><severity>2</severity><text>&lt;stopped&gt;&#x0A;</text></"
        "activity>"
        "<activity><recid>5</recid><severity>1</severity><text>copied a &amp; b</text></activity>"
        "</getactivity>",
        request("getactivity"));
}

TEST_F(ActivityRequestsTest, StoreLocationIsCheckedAndStored) {
    const std::string initial = storeDoc(profile.userDataDir() + "/backup");
    EXPECT_EQ(initial, request("getdefaultstorelocation"));

    const std::string rejected =
        result("setdefaultstorelocation", false, "Store location does not exist. Request rejected");
    EXPECT_EQ(rejected, request("setdefaultstorelocation", {{"storepath", ""}}));
    EXPECT_EQ(rejected, request("setdefaultstorelocation", {{"storepath", "/no/such/place"}}));
    EXPECT_EQ(initial, request("getdefaultstorelocation"));
    EXPECT_FALSE(db->doesConfigExist("backup", "BACKUP_DEF_STORE_KEY"));

    // Any existing path will do, a file too; it is kept as given and
    // returned escaped.
    const std::string file = profile.scratch("a&b") + "/target.bin";
    TestSupport::writeFile(file, "x");
    EXPECT_EQ(result("setdefaultstorelocation", true),
              request("setdefaultstorelocation", {{"storepath", file}}));
    EXPECT_EQ(storeDoc(Poco::replace(file, std::string("&"), std::string("&amp;"))),
              request("getdefaultstorelocation"));
    EXPECT_EQ("TRUE", db->getConfigValue("backup", "CUSTOM_DIR_SET", "NONE"));
}

}  // namespace
