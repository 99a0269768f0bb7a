// Incoming backup records, as the local copy writes them.

#include "DbFixture.h"

using namespace DbTest;
using Orvana::Backup::BackupDB;

class BackupDBIncoming : public DbTestBase {};

TEST_F(BackupDBIncoming, OneRowPerRecordAndPeer) {
    // What the local copy does on each run.
    for (const char* peer : {"me@myhost", "me@myhost", "other@host"}) {
        if (!db->incomingRecordExists(5, peer)) {
            ASSERT_TRUE(db->addIncomingRecord(5, "", peer, oddText(), "/store/me", 1234));
        }
    }
    EXPECT_EQ(2, db->scalar("select count(*) from BACKUP_INCOMING_RECORDS;"));
    BackupDB::INC_RECORD rec;
    ASSERT_TRUE(db->getIncomingRecord(5, "me@myhost", rec));
    EXPECT_EQ(oddText(), rec.sourceLocation);
    EXPECT_EQ(Poco::Timestamp::fromUtcTime(1234), rec.createTime);
}
