// Names with bytes that are awkward for XML, through every document a web
// operation answers: each must parse with a strict parser and show the name
// (with U+FFFD for what cannot be shown), while the stored value is kept.

#include <Poco/File.h>

#include "RequestsFixture.h"
#include "support/XmlDocument.h"

namespace {

using TestSupport::XmlDocument;

const std::string kFFFD = "\xEF\xBF\xBD";

struct HostileName {
    std::string raw;
    std::string shown;  // what a parser reads back; "" for the raw name
};

// The encoder's cases are its own test's; here one name carrying every kind
// of hazard, and one valid non-ASCII name that must come through unchanged.
const HostileName kNames[] = {
    {"caf\xE9 c\x01tl\x1F\x7F <b>a&b&#x41;&#xZZ; \"q\" 'q' new\nline",
     "caf" + kFFFD + " c" + kFFFD + "tl" + kFFFD + "\x7F <b>a&b&#x41;&#xZZ; \"q\" 'q' new\nline"},
    {"Gr\xC3\xBC\xC3\x9F"
     "e",
     ""},
};

class HostileNamesTest : public RequestsTest {};

TEST_F(HostileNamesTest, EveryDocumentParsesAndShowsTheName) {
    for (const HostileName& name : kNames) {
        SCOPED_TRACE(name.raw);
        const std::string shown = name.shown.empty() ? name.raw : name.shown;

        // The listing, with the name in every path and the current file.
        const int id = addLocal("/src/" + name.raw, "/store/" + name.raw);
        Orvana::Backup::BackupProgressRegistry::instance().setCurrentFile(id, "/src/" + name.raw);
        XmlDocument listing(request("getallbackuprecs"));
        ASSERT_TRUE(listing.ok()) << listing.error();
        EXPECT_EQ("getallbackuprecs", listing.rootName());
        EXPECT_EQ("/src/" + shown, listing.text("localpath"));
        EXPECT_EQ("/src/" + shown, listing.text("launchpath"));
        EXPECT_EQ("/store/" + shown, listing.text("remotepath"));
        EXPECT_EQ("/src/" + shown, listing.text("currentfile"));
        Orvana::Backup::BackupDB::BACKUP_RECORD stored;
        ASSERT_TRUE(db->getBackupRecord(id, stored));
        EXPECT_EQ("/src/" + name.raw, stored.localPath);
        ASSERT_TRUE(db->deleteBackupRecord(id));

        // A peer's record with the name in its group id and in its peer id
        // (which the database stores without markup and control bytes).
        int remote = 0;
        ASSERT_TRUE(db->addBackupRecord("pal" + name.raw + "@far", 0, 1, "/s", "", name.raw, 1, 2,
                                        3, remote));
        XmlDocument peers(request("getallbackuprecs"));
        ASSERT_TRUE(peers.ok()) << peers.error();
        EXPECT_EQ(shown, peers.text("groupid"));
        EXPECT_EQ("Non existent group", peers.text("groupname"));
        ASSERT_TRUE(db->deleteBackupRecord(remote));

        // The activity document.
        ASSERT_TRUE(db->addActivity(id, 1, "done " + name.raw));
        XmlDocument activity(request("getactivity"));
        ASSERT_TRUE(activity.ok()) << activity.error();
        EXPECT_EQ("done " + shown, activity.text("text"));

        // A result reply that quotes the request's path.
        XmlDocument refused(request(
            "addbackuprecord",
            {{"localpath", "/none/" + name.raw}, {"remotepath", "/store"}, {"frequency", "3"}}));
        ASSERT_TRUE(refused.ok()) << refused.error();
        EXPECT_EQ("false", refused.text("success"));
        EXPECT_EQ("[/none/" + shown + "] does not exist!", refused.text("text"));

        // The store location document; the configuration keeps the raw path.
        const std::string store = profile.scratch(name.raw);
        ASSERT_EQ(result("setdefaultstorelocation", true),
                  request("setdefaultstorelocation", {{"storepath", store}}));
        XmlDocument location(request("getdefaultstorelocation"));
        ASSERT_TRUE(location.ok()) << location.error();
        EXPECT_EQ(store.substr(0, store.size() - name.raw.size()) + shown,
                  location.text("defaultstorelocation"));
        EXPECT_EQ(store, db->getConfigValue("backup", "BACKUP_DEF_STORE_KEY", ""));
    }
    EXPECT_TRUE(records().empty());
}

}  // namespace
