// One record through its whole life against real files: add, back up, watch
// the listing, read the activity, stop and delete.

#include "RequestsFixture.h"

#include <Poco/File.h>
#include <Poco/String.h>

namespace {

typedef RequestsTest RoundTripTest;

TEST_F(RoundTripTest, LocalFolderRecordFromAddToDelete) {
    const std::string src = profile.scratch("photos & notes");
    const std::string store = profile.scratch("vault");
    TestSupport::writeFile(src + "/top.txt", "top level");
    TestSupport::writeFile(src + "/deep/er/inner.bin", std::string(100000, '\x7f'));
    TestSupport::writeFile(src + "/empty.txt", "");

    ASSERT_EQ(result("addbackuprecord", true),
              request("addbackuprecord",
                      {{"remotepath", store}, {"localpath", src}, {"frequency", "0"}}));
    std::string doc = request("getallbackuprecs");
    const std::string id = element(doc, "recid");
    ASSERT_EQ("1", id);
    EXPECT_EQ("N/A", element(doc, "lastattemptdate"));

    // A disabled record is still backed up on request.
    ASSERT_EQ(result("disablerecord", true), request("disablerecord", {{"recid", id}}));
    ASSERT_EQ(result("synconerecord", true), request("synconerecord", {{"recid", id}}));
    Poco::Clock start;
    for (;;) {
        doc = request("getallbackuprecs");
        if (element(doc, "currentaction") == "Idle" && element(doc, "lastsuccessdate") != "N/A")
            break;
        ASSERT_LT(start.elapsed() / 1000, TestSupport::ServiceHarness::kReplyTimeoutMs) << doc;
        Poco::Thread::sleep(20);
    }
    EXPECT_EQ("1", element(doc, "lastsyncsuccess"));
    EXPECT_EQ("0", element(doc, "active"));
    EXPECT_EQ(Poco::replace(src, std::string("&"), std::string("&amp;")),
              element(doc, "localpath"));

    const std::string copy = store + "/photos & notes";
    EXPECT_EQ("top level", TestSupport::readFile(copy + "/top.txt"));
    EXPECT_EQ(std::string(100000, '\x7f'), TestSupport::readFile(copy + "/deep/er/inner.bin"));
    EXPECT_EQ("", TestSupport::readFile(copy + "/empty.txt"));

    const std::string activity = request("getactivity");
    EXPECT_NE(std::string::npos, activity.find("<recid>1</recid>"));
    EXPECT_NE(std::string::npos, activity.find("photos &amp; notes] completed."));

    EXPECT_EQ(result("stopbackup", true), request("stopbackup", {{"recid", id}}));
    EXPECT_EQ(result("deletebackuprecord", true), request("deletebackuprecord", {{"recid", id}}));
    EXPECT_EQ("<getallbackuprecs></getallbackuprecs>", request("getallbackuprecs"));
    // The copies stay where they are.
    EXPECT_TRUE(Poco::File(copy + "/top.txt").exists());
}

}  // namespace
