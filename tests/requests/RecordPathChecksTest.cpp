// addbackuprecord's path checks that look at the file system: the overlap
// rule through links and the one copy folder per record.

#include <unistd.h>

#include "RequestsFixture.h"

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
    EXPECT_EQ(result("addbackuprecord", false,
                     "A backup of this source to this destination already exists"),
              add(data + "/one/Documents", store));  // the same backup twice
    EXPECT_EQ(shared, add(data + "/two/Documents", store));
    EXPECT_EQ(shared, add(data + "/two/Documents", storeLink + "/."));
    EXPECT_EQ(ok, add(data + "/two/Documents", store + "/two"));
    EXPECT_EQ(2u, records().size());
}

}  // namespace
