// Names with bytes that are awkward for XML, through every document a web
// operation answers: each must parse with a strict parser and show the name
// (with U+FFFD for what cannot be shown), while the stored value is kept.

#include "RequestsFixture.h"

namespace {

// The encoder's cases are its own test's; here one name carrying every kind
// of hazard after valid non-ASCII text that must come through unchanged.
const std::string kFFFD = "\xEF\xBF\xBD";
const std::string kName =
    "Gr\xC3\xBC\xC3\x9F"
    "e caf\xE9 c\x01tl\x1F\x7F <b>a&b&#x41;&#xZZ; \"q\" 'q' new\nline";
const std::string kShown =
    "Gr\xC3\xBC\xC3\x9F"
    "e caf" +
    kFFFD + " c" + kFFFD + "tl" + kFFFD + "\x7F <b>a&b&#x41;&#xZZ; \"q\" 'q' new\nline";

typedef RequestsTest HostileNamesTest;

TEST_F(HostileNamesTest, EveryDocumentParsesAndShowsTheName) {
    // The listing, with the name in every path and the current file.
    const int id = addLocal("/src/" + kName, "/store/" + kName);
    Orvana::Backup::BackupProgressRegistry::instance().setCurrentFile(id, "/src/" + kName);
    const std::string listing = request("getallbackuprecs");
    for (const char* tag : {"localpath", "launchpath", "currentfile"})
        EXPECT_EQ("/src/" + kShown, element(listing, tag)) << tag;
    EXPECT_EQ("/store/" + kShown, element(listing, "remotepath"));
    Orvana::Backup::BackupDB::BACKUP_RECORD stored;
    ASSERT_TRUE(db->getBackupRecord(id, stored));
    EXPECT_EQ("/src/" + kName, stored.localPath);
    ASSERT_TRUE(db->deleteBackupRecord(id));

    // A peer's record with the name in its group id and in its peer id
    // (which the database stores without markup and control bytes).
    int remote = 0;
    ASSERT_TRUE(
        db->addBackupRecord("pal" + kName + "@far", 0, 1, "/s", "", kName, 1, 2, 3, remote));
    const std::string peers = request("getallbackuprecs");
    EXPECT_EQ(kShown, element(peers, "groupid"));
    EXPECT_EQ("Non existent group", element(peers, "groupname"));

    ASSERT_TRUE(db->addActivity(id, 1, "done " + kName));
    EXPECT_EQ("done " + kShown, element(request("getactivity"), "text"));

    // A result reply that quotes the request's path.
    const std::string refused =
        request("addbackuprecord",
                {{"localpath", "/none/" + kName}, {"remotepath", "/store"}, {"frequency", "3"}});
    EXPECT_EQ("false", element(refused, "success"));
    EXPECT_EQ("[/none/" + kShown + "] does not exist!", element(refused, "text"));

    // The store location document; the configuration keeps the raw path.
    const std::string store = profile.scratch(kName);
    ASSERT_EQ(result("setdefaultstorelocation", true),
              request("setdefaultstorelocation", {{"storepath", store}}));
    EXPECT_EQ(store.substr(0, store.size() - kName.size()) + kShown,
              element(request("getdefaultstorelocation"), "defaultstorelocation"));
    EXPECT_EQ(store, db->getConfigValue("backup", "BACKUP_DEF_STORE_KEY", ""));
}

}  // namespace
