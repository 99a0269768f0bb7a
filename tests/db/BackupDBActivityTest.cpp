// The activity log cap (one and two writers) and the disabled groups.

#include <atomic>
#include <thread>

#include "DbFixture.h"

using namespace DbTest;
using Orvana::Backup::BackupDB;

class BackupDBActivity : public DbTestBase {
protected:
    void addMany(int from, int to) {
        for (int i = from; i <= to; ++i) ASSERT_TRUE(db->addActivity(i, i % 3, std::to_string(i)));
    }
    int count() { return db->scalar("select count(*) from BACKUP_ACTIVITY;"); }
};

TEST_F(BackupDBActivity, CapKeepsNewestHundred) {
    addMany(1, 100);
    EXPECT_EQ(100, count());
    addMany(101, 150);
    std::vector<BackupDB::ActivityRecordPtr> list;
    ASSERT_TRUE(db->getActivities(list));
    ASSERT_EQ(100u, list.size());
    EXPECT_EQ("150", list.front()->activityText);
    EXPECT_EQ("51", list.back()->activityText);

    // An overfull table (left by an older version) is trimmed on the next add.
    for (int i = 0; i < 20; ++i)
        db->conn().ExecuteUpdate(
            "insert into BACKUP_ACTIVITY (RECID, SEVERITY, ACTIVITYTEXT) values (1, 0, 'old');");
    ASSERT_TRUE(db->addActivity(2, 1, oddText()));
    EXPECT_EQ(100, count());
    ASSERT_TRUE(db->getActivities(list));
    EXPECT_EQ(oddText(), list.front()->activityText);
    EXPECT_EQ(171 - 99, db->scalar("select min(ID) from BACKUP_ACTIVITY;"));
}

TEST_F(BackupDBActivity, TwoConnectionsWritingAtOnceKeepExactlyHundred) {
    const int perWriter = 150;
    std::atomic<int> failures(0);
    auto writer = [&](int tag) {
        BackupDB own("backup");
        for (int i = 0; i < perWriter; ++i)
            if (!own.addActivity(tag, 0, std::to_string(tag) + ":" + std::to_string(i))) ++failures;
    };
    std::thread a(writer, 1), b(writer, 2);
    a.join();
    b.join();
    EXPECT_EQ(0, failures.load());
    EXPECT_EQ(100, count());
    // The newest hundred by ID survive.
    EXPECT_EQ(2 * perWriter, db->scalar("select max(ID) from BACKUP_ACTIVITY;"));
    EXPECT_EQ(2 * perWriter - 99, db->scalar("select min(ID) from BACKUP_ACTIVITY;"));
}

TEST_F(BackupDBActivity, DisabledGroups) {
    EXPECT_TRUE(db->isGroupEnabled("g1"));
    ASSERT_TRUE(db->disableGroup("g1"));
    ASSERT_TRUE(db->disableGroup("g1"));  // twice: still one row to enable away
    ASSERT_TRUE(db->disableGroup("g2"));
    ASSERT_TRUE(db->enableGroup("g1"));
    EXPECT_TRUE(db->isGroupEnabled("g1"));
    EXPECT_FALSE(db->isGroupEnabled("g2"));
}
