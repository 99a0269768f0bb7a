// The record listing document, byte for byte.

#include <Poco/LocalDateTime.h>
#include <Poco/Timezone.h>
#include <Poco/UUIDGenerator.h>

#include "RequestsFixture.h"
#include "hostapi/Group.h"
#include "hostapi/HostControl.h"
#include "support/XmlDocument.h"

namespace {

using Orvana::Backup::BackupProgressRegistry;

typedef RequestsTest RecordListingTest;

Poco::Int64 localMoment(int month, int day, int hour, int minute) {
    // Built with today's offset, as the listing shifts by today's offset.
    Poco::LocalDateTime t(Poco::Timezone::tzd(), 2026, month, day, hour, minute, 0, 0, 0);
    return t.timestamp().utcTime();
}

TEST_F(RecordListingTest, LocalNeverRunRecordIsWrittenExactly) {
    const int id = addLocal("/data/a&b", "/store/<x>");
    ASSERT_TRUE(db->setRecordSize(id, 1536));
    const std::string expected =
        "<getallbackuprecs><backuprec><recid>1</recid><active>0</active>"
        "<foldersize>1.50 KB</foldersize><tosendcount>0</tosendcount>"
        "<remainingsendsize>0 B</remainingsendsize><totalsendsize>0 B</totalsendsize>"
        "<checkedfilecount>0</checkedfilecount><progress>0</progress>"
        "<fileprogress>0</fileprogress><currentaction></currentaction><currentfile></currentfile>"
        "<targetpeerid>me@myhost</targetpeerid><localbackup>1</localbackup>"
        "<targetpeeronline>1</targetpeeronline><targetpeername>me</targetpeername>"
        "<isfile>0</isfile><localpath>/data/a&amp;b</localpath>"
        "<launchpath>/data/a&amp;b</launchpath><remotepath>/store/&lt;x&gt;</remotepath>"
        "<enabled>1</enabled><backupmode>3</backupmode><timeoffset>-1</timeoffset>"
        "<dayoffset>-1</dayoffset><groupid></groupid><groupname>Local</groupname>"
        "<lastattemptdate>N/A</lastattemptdate><lastattempttime></lastattempttime>"
        "<lastsuccessdate>N/A</lastsuccessdate><lastsuccesstime></lastsuccesstime>"
        "<lastsyncsuccess>1</lastsyncsuccess><remoteui>1</remoteui></backuprec>"
        "</getallbackuprecs>";
    EXPECT_EQ(1, id);
    EXPECT_EQ(expected, request("getallbackuprecs"));
}

TEST_F(RecordListingTest, RecordsShowTheirGroupOrItsAbsence) {
    const Poco::UUID kept = Poco::UUIDGenerator::defaultGenerator().createRandom();
    const Poco::UUID gone = Poco::UUIDGenerator::defaultGenerator().createRandom();
    Orvana::HostKit::HostControl::setGroups({boost::shared_ptr<Orvana::Data::Group>(
        new Orvana::Data::Group(kept, "Tom & <Jerry>", {}))});
    int id = 0;
    ASSERT_TRUE(
        db->addBackupRecord("pal~laptop@far:999", 0, 1, "/s", "", kept.toString(), 1, 2, 3, id));
    ASSERT_TRUE(db->addBackupRecord("ME@MYHOST", 1, 0, "/dir/file.txt", "/t", "", 1, 2, 3, id));
    ASSERT_TRUE(db->addBackupRecord("pal@far", 0, 1, "/s", "", gone.toString(), 1, 2, 3, id));
    // A local record of an earlier peer id of this device: empty group id.
    ASSERT_TRUE(db->addBackupRecord("me@oldname", 0, 1, "/a", "/t", "", 1, 2, 3, id));
    ASSERT_TRUE(db->addBackupRecord("pal@far", 0, 1, "/s", "", "not-a-uuid <&>", 1, 2, 3, id));
    const std::string doc = request("getallbackuprecs", {}, 100);
    ASSERT_TRUE(TestSupport::XmlDocument(doc).ok()) << doc;

    // Newest first.
    EXPECT_EQ("not-a-uuid &lt;&amp;&gt;", element(doc, "groupid", 0));
    EXPECT_EQ("", element(doc, "groupid", 1));
    EXPECT_EQ("/a", element(doc, "localpath", 1));
    EXPECT_EQ(gone.toString(), element(doc, "groupid", 2));
    for (int i = 0; i < 3; ++i) EXPECT_EQ("Non existent group", element(doc, "groupname", i));
    EXPECT_EQ("<missing>", element(doc.substr(0, doc.find("</backuprec>")), "localbackup", 0));

    EXPECT_EQ("1", element(doc, "localbackup", 3));  // the peer matches ignoring case
    EXPECT_EQ("Local", element(doc, "groupname", 3));
    EXPECT_EQ("/dir/file.txt", element(doc, "localpath", 3));
    EXPECT_EQ("/dir", element(doc, "launchpath", 3));
    EXPECT_EQ("0", element(doc, "enabled", 3));

    EXPECT_EQ("pal~laptop@far:999", element(doc, "targetpeerid", 4));  // as stored
    EXPECT_EQ("pal", element(doc, "targetpeername", 4));
    EXPECT_EQ(kept.toString(), element(doc, "groupid", 4));
    EXPECT_EQ("Tom &amp; &lt;Jerry&gt;", element(doc, "groupname", 4));

    for (int i = 0; i < 5; ++i) EXPECT_EQ("0", element(doc, "remoteui", i));
    EXPECT_EQ("1", element(request("getallbackuprecs", {}, 99), "remoteui", 4));
}

TEST_F(RecordListingTest, FailedLastAttemptShowsLocalDatesAndNoSuccess) {
    const int id = addLocal("/a", "/s");
    ASSERT_TRUE(db->setLastSuccessTime(id, localMoment(3, 6, 23, 59)));
    ASSERT_TRUE(db->setLastAttemptTime(id, localMoment(3, 7, 14, 5)));
    const std::string doc = request("getallbackuprecs");
    EXPECT_NE(std::string::npos,
              doc.find("<lastattemptdate>7-Mar</lastattemptdate><lastattempttime>02:05 PM"
                       "</lastattempttime><lastsuccessdate>6-Mar</lastsuccessdate>"
                       "<lastsuccesstime>11:59 PM</lastsuccesstime><lastsyncsuccess>0"))
        << doc;
}

TEST_F(RecordListingTest, LiveProgressComesFromTheRegistry) {
    const int a = addLocal("/a", "/s");
    const int b = addLocal("/b", "/s");
    const int c = addLocal("/c", "/s");
    auto& registry = BackupProgressRegistry::instance();
    registry.setTotalSendSize(a, 4);
    registry.setRemainingSendSize(a, 1);
    registry.setToSendCount(a, 12);
    registry.setCheckedFileCount(a, 34);
    registry.setCurrentAction(a, "Backing up");
    registry.setCurrentFile(a, "/a/x&y.txt");
    registry.markActive(a);
    registry.setTotalSendSize(b, 3);
    registry.setRemainingSendSize(b, 1);
    registry.setTotalSendSize(c, 0);
    registry.setRemainingSendSize(c, 5);
    const std::string doc = request("getallbackuprecs");  // c, b, a

    EXPECT_EQ("0", element(doc, "progress", 0));
    EXPECT_EQ("66", element(doc, "progress", 1));
    EXPECT_EQ(
        "<active>1</active><foldersize>0 B</foldersize><tosendcount>12</tosendcount>"
        "<remainingsendsize>1 B</remainingsendsize><totalsendsize>4 B</totalsendsize>"
        "<checkedfilecount>34</checkedfilecount><progress>75</progress>"
        "<fileprogress>0</fileprogress><currentaction>Backing up</currentaction>"
        "<currentfile>/a/x&amp;y.txt</currentfile>",
        doc.substr(doc.rfind("<active>"), doc.rfind("<targetpeerid>") - doc.rfind("<active>")));
}

}  // namespace
