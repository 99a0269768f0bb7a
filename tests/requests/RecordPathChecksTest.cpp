// addbackuprecord's path checks that look at the file system: the overlap
// rule through links and the one copy folder per record; and a delete that
// ends the record's running pass.

#include <unistd.h>

#include "RequestsFixture.h"
#include "engine/EngineHooks.h"

namespace {

typedef RequestsTest RecordPathChecksTest;

TEST_F(RecordPathChecksTest, OverlapThroughALinkAndASharedCopyFolderAreRefused) {
    const std::string data = profile.scratch("data");
    const std::string store = profile.scratch("store");
    TestSupport::writeFile(data + "/one/Documents/f", "1");
    TestSupport::writeFile(data + "/two/Documents/f", "2");
    const std::string intoSource = profile.scratch("links") + "/into";
    ASSERT_EQ(0, ::symlink((data + "/one").c_str(), intoSource.c_str()));
    const std::string storeLink = profile.scratch("links") + "/store";
    ASSERT_EQ(0, ::symlink(store.c_str(), storeLink.c_str()));

    const std::string ok = result("addbackuprecord", true);
    const std::string overlap =
        result("addbackuprecord", false, "Store location must not overlap the backup source");
    const std::string shared =
        result("addbackuprecord", false,
               "Another backup already uses this store location for a folder of that name");
    auto add = [&](const std::string& source, const std::string& where) {
        return request("addbackuprecord",
                       {{"remotepath", where}, {"localpath", source}, {"frequency", "0"}});
    };
    EXPECT_EQ(overlap, add(data + "/one", intoSource + "/backups"));
    EXPECT_EQ(overlap, add(data + "/one", intoSource));
    EXPECT_EQ(ok, add(data + "/one/Documents", store));
    EXPECT_EQ(ok, add(data + "/one/Documents", store));  // the same backup twice
    EXPECT_EQ(shared, add(data + "/two/Documents", store));
    EXPECT_EQ(shared, add(data + "/two/Documents", storeLink + "/."));
    EXPECT_EQ(ok, add(data + "/two/Documents", store + "/two"));
    EXPECT_EQ(3u, records().size());
}

TEST_F(RecordPathChecksTest, DeleteEndsTheRunningPassWhichWritesNothingAfterwards) {
    const std::string src = profile.scratch("src");
    TestSupport::writeFile(src + "/Work/a", "a");
    const int id = addLocal(src + "/Work", profile.scratch("store"));
    std::atomic<bool> held(false);
    Orvana::Backup::EngineHooks::setAfterScan([&](int, const std::atomic<bool>& stop) {
        held = true;
        TestSupport::waitUntil([&] { return stop.load(); }, 10000);
    });
    request("synconerecord", {{"recid", std::to_string(id)}});
    ASSERT_TRUE(waitFor(held));
    EXPECT_EQ(result("deletebackuprecord", true),
              request("deletebackuprecord", {{"recid", std::to_string(id)}}));
    Poco::Thread::sleep(200);
    Orvana::Backup::EngineHooks::clear();
    EXPECT_TRUE(activityTexts("Backup of").empty());
    Orvana::Backup::BackupDB::SourceRecordMap index;
    EXPECT_TRUE(db->getSourceRecords(id, index));
    EXPECT_TRUE(index.empty());
}

}  // namespace
