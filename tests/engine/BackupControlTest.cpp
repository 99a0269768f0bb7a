// The schedule's rules (next run and overdue, across day, week and year ends),
// then the service's side: the schedule, starting and stopping backups, and the
// worker bookkeeping under load.
#include "EngineFixture.h"

#include "engine/EngineClock.h"
#include "engine/RecordSchedule.h"
#include "hostapi/HostControl.h"
#include "hostapi/MessageDispatcher.h"
#include "hostapi/MessageRecorder.h"
#include "hostapi/MessageUtil.h"
#include "service/BackupMain.h"

#include <Poco/LocalDateTime.h>

namespace EngineTest {
namespace {

using namespace Orvana;

// A record on that schedule.
BackupDB::BACKUP_RECORD onSchedule(int frequency, int hour, int day = -1, bool enabled = true) {
    BackupDB::BACKUP_RECORD r;
    r.enabled = enabled;
    r.frequency = frequency;
    r.backupTime = hour;
    r.backupDay = day;
    return r;
}

std::string next(const BackupDB::BACKUP_RECORD& r, const Poco::LocalDateTime& now) {
    Poco::LocalDateTime at;
    return RecordSchedule::nextRun(r, now, at) ? RecordSchedule::localIso(at) : "";
}

// The expected slot in the form the document writes, with its own offset.
std::string local(int y, int m, int d, int h) {
    return RecordSchedule::localIso(Poco::LocalDateTime(y, m, d, h));
}

TEST(RecordScheduleTest, NextRunAcrossDayWeekAndYearEnds) {
    const BackupDB::BACKUP_RECORD daily = onSchedule(BackupDB::SCHEDULE_DAILY, 22);
    // 7 December 2026 is a Monday.
    EXPECT_EQ(local(2026, 12, 7, 22), next(daily, Poco::LocalDateTime(2026, 12, 7, 9, 40)));
    EXPECT_EQ(local(2026, 12, 7, 22), next(daily, Poco::LocalDateTime(2026, 12, 7, 22, 0, 30)));
    EXPECT_EQ(local(2026, 12, 8, 22), next(daily, Poco::LocalDateTime(2026, 12, 7, 22, 1)));
    EXPECT_EQ(local(2027, 1, 1, 22), next(daily, Poco::LocalDateTime(2026, 12, 31, 23, 59)));

    const BackupDB::BACKUP_RECORD sunday = onSchedule(BackupDB::SCHEDULE_WEEKLY, 3, 0);
    EXPECT_EQ(local(2026, 12, 13, 3), next(sunday, Poco::LocalDateTime(2026, 12, 7, 9, 0)));
    EXPECT_EQ(local(2026, 12, 20, 3), next(sunday, Poco::LocalDateTime(2026, 12, 13, 3, 1)));
    EXPECT_EQ(local(2027, 1, 3, 3), next(sunday, Poco::LocalDateTime(2026, 12, 27, 4, 0)));
    const BackupDB::BACKUP_RECORD monday = onSchedule(BackupDB::SCHEDULE_WEEKLY, 9, 1);
    EXPECT_EQ(local(2026, 12, 14, 9), next(monday, Poco::LocalDateTime(2026, 12, 7, 10, 0)));

    const Poco::LocalDateTime now(2026, 12, 7);
    for (const BackupDB::BACKUP_RECORD& never :
         {onSchedule(BackupDB::SCHEDULE_DAILY, 22, -1, false),
          onSchedule(BackupDB::SCHEDULE_NONE, 22), onSchedule(BackupDB::SCHEDULE_DAILY, -1),
          onSchedule(BackupDB::SCHEDULE_WEEKLY, 9, 7)})
        EXPECT_EQ("", next(never, now));
}

TEST(RecordScheduleTest, OverdueAfterTwoIntervalsWithoutSuccess) {
    const Poco::LocalDateTime now(2026, 12, 7, 12, 0);
    const auto ago = [&](int hours) {
        return now.timestamp() - Poco::Timespan(0, hours, 0, 0, 0).totalMicroseconds();
    };
    const BackupDB::BACKUP_RECORD daily = onSchedule(BackupDB::SCHEDULE_DAILY, 22);
    EXPECT_FALSE(RecordSchedule::isOverdue(daily, ago(47), now));
    EXPECT_TRUE(RecordSchedule::isOverdue(daily, ago(49), now));
    const BackupDB::BACKUP_RECORD weekly = onSchedule(BackupDB::SCHEDULE_WEEKLY, 9, 1);
    EXPECT_FALSE(RecordSchedule::isOverdue(weekly, ago(13 * 24), now));
    EXPECT_TRUE(RecordSchedule::isOverdue(weekly, ago(15 * 24), now));
    // Never ran, manual or disabled: never overdue.
    EXPECT_FALSE(RecordSchedule::isOverdue(daily, Poco::Timestamp(0), now));
    EXPECT_FALSE(RecordSchedule::isOverdue(onSchedule(BackupDB::SCHEDULE_NONE, 22), ago(999), now));
    const BackupDB::BACKUP_RECORD off = onSchedule(BackupDB::SCHEDULE_DAILY, 22, -1, false);
    EXPECT_FALSE(RecordSchedule::isOverdue(off, ago(999), now));

    EXPECT_EQ("2026-12-07T09:40:00Z",
              RecordSchedule::utcIso(Poco::DateTime(2026, 12, 7, 9, 40).timestamp()));
    EXPECT_EQ("", RecordSchedule::utcIso(Poco::Timestamp(0)));
}

class BackupControlTest : public EngineTestBase {
protected:
    int add(const std::string& peer, bool enabled, int frequency, int time, int day) {
        int id = 0;
        EXPECT_TRUE(db->addBackupRecord(peer, 0, enabled, src, dst + "/" + std::to_string(++m_n),
                                        "", frequency, time, day, id));
        return id;
    }
    // The records the schedule check queued, in the order it queued them.
    std::vector<std::string> scheduled(BackupPlugin& plugin, const Poco::LocalDateTime& at) {
        EngineClock::pin(at);
        log.clear();
        plugin.initiatePeriodicSync();
        std::vector<std::string> out;
        for (const auto& line : log.find("Orvana::Backup::BackupPlugin::initiatePeriodicSync Rec["))
            out.push_back(line.text.substr(line.text.find("Rec[")));
        return out;
    }
    static std::string markedDaily(int id) {
        return "Rec[" + std::to_string(id) +
               "]  marked for daily sync at time [14] hours. Starting backup.";
    }
    bool idle(int id) { return BackupProgressRegistry::instance().getCurrentAction(id) == "Idle"; }
    // Nothing left in this device's queue.
    static bool drained(BackupPlugin& plugin) {
        std::vector<BackupDB::BackupRecordPtr> queue;
        plugin.workerFor(Data::PeerID("me@myhost"))->getQueuedRecords(queue);
        return queue.empty();
    }
    int passes(int id) {
        int n = 0;
        for (const std::string& a : activities(id)) n += a == "0:Scanning for changes";
        return n;
    }
    int m_n = 0;
    // Outlives every plugin of a test, so no worker logs into a dead capture.
    LogCapture log;
};

// Another device's records join while that device answers.
TEST_F(BackupControlTest, ScheduleQueuesDueRecordsOnlyInMinuteZero) {
    writeFile(src + "/f", "x");
    const int daily = add("me@myhost", true, 1, 14, -1);
    const int weekly = add("ME@MyHost", true, 2, 14, 0);
    add("me@myhost", false, 1, 14, -1);                        // disabled
    const int theirs = add("you@elsewhere", true, 1, 14, -1);  // another peer
    add("me@myhost", true, 0, 14, 0);                          // manual
    add("me@myhost", true, 1, -1, -1);                         // time left out
    BackupPlugin plugin;
    const std::string d = markedDaily(daily);
    const std::string w =
        "Rec[" + std::to_string(weekly) +
        "]  marked for weekly sync on day[ 0] at time [14] hours. Starting backup.";

    // 2 June 2024 is a Sunday.
    EXPECT_EQ((std::vector<std::string>{w, d}),
              scheduled(plugin, Poco::LocalDateTime(2024, 6, 2, 14, 0, 59)));
    // A record is queued once: the next slot finds the first pass done.
    ASSERT_TRUE(waitUntil([&] { return drained(plugin); }));
    EXPECT_EQ((std::vector<std::string>{d}),
              scheduled(plugin, Poco::LocalDateTime(2024, 6, 3, 14, 0, 0)));
    EXPECT_TRUE(scheduled(plugin, Poco::LocalDateTime(2024, 6, 2, 14, 1, 0)).empty());
    EXPECT_TRUE(scheduled(plugin, Poco::LocalDateTime(2024, 6, 2, 13, 0, 0)).empty());
    ASSERT_TRUE(waitUntil([&] { return drained(plugin); }));

    HostKit::HostControl::setPeerProbe(
        [](const Data::PeerID& peer) { return peer == Data::PeerID("you@elsewhere"); });
    EXPECT_EQ((std::vector<std::string>{markedDaily(theirs), d}),
              scheduled(plugin, Poco::LocalDateTime(2024, 6, 4, 14, 0, 0)));
    EXPECT_TRUE(waitUntil(
        [&] { return idle(daily) && idle(weekly) && idle(theirs) && passes(daily) == 3; }));
}

TEST_F(BackupControlTest, TimerMessagesReachTheScheduleOnlyWhenTrustedAndKnown) {
    const int daily = add("me@myhost", true, 1, 9, -1);
    EngineClock::pin(Poco::LocalDateTime(2024, 6, 3, 9, 0, 0));
    System::MessageDispatcher dispatcher;
    BackupPlugin plugin;
    ASSERT_TRUE(plugin.startup(&dispatcher));
    auto tick = [&](int source, int role, const std::string& tag) {
        boost::shared_ptr<Data::Message> m(new Data::Message("backup", "TIMER"));
        m->setAuthKey(Data::AuthKey(source, role, 100));
        (*m)["TimerService"]["Tag"] = tag;
        dispatcher.sendMessage(m);
    };
    tick(99, 100, "BACKUP_PERIODIC_TIMER#1");
    tick(100, 99, "BACKUP_PERIODIC_TIMER#1");
    tick(100, 100, "OTHER#BACKUP_PERIODIC_TIMER");
    tick(100, 100, "BACKUP_PERIODIC_TIMER#7");
    EXPECT_TRUE(waitUntil([&] { return log.contains("marked for daily sync"); }));
    EXPECT_EQ(1u, log.find("marked for daily sync").size());
    EXPECT_TRUE(waitUntil([&] { return idle(daily); }));
    plugin.shutdown();
}

// backupRecord takes any record; a worker whose thread has ended is replaced.
TEST_F(BackupControlTest, DoBackupTakesThisDevicesEnabledRecordsAndDeadWorkersAreReplaced) {
    writeFile(src + "/f", "x");
    const int mine = add("me@myhost", true, 0, -1, -1);
    const int disabled = add("me@myhost", false, 0, -1, -1);
    const int theirs = add("you@elsewhere", true, 0, -1, -1);
    BackupPlugin plugin;
    plugin.doBackup();
    EXPECT_TRUE(waitUntil([&] { return idle(mine) && passes(mine) == 1; }));
    EXPECT_EQ(0, passes(disabled));
    EXPECT_TRUE(activities(theirs).empty());  // not online: not even tried

    BackupDB::BackupRecordPtr rec = record(disabled);
    plugin.backupRecord(rec);
    EXPECT_TRUE(waitUntil([&] { return idle(disabled); }));
    EXPECT_EQ("x", readFile(dst + "/2/src/f"));

    ASSERT_TRUE(waitUntil([&] { return drained(plugin); }));
    BackupActivity* worker = plugin.workerFor(Data::PeerID("me@myhost"));
    ASSERT_TRUE(worker != nullptr);
    worker->stop();
    plugin.backupRecord(record(mine));
    EXPECT_TRUE(waitUntil([&] { return passes(mine) == 2; }, 10000));
    plugin.stopBackupAction(mine);  // the replacement stops and is replaced again
    plugin.backupRecord(record(mine));
    EXPECT_TRUE(waitUntil([&] { return passes(mine) == 3; }, 10000));
}

// The record's pass is held after its scan. A stop of a record that only
// waits takes it out of the queue and leaves that pass untouched; a stop of
// the record under way ends its pass, and every queued copy goes with it.
TEST_F(BackupControlTest, StopTakesOnlyTheStoppedRecordsPassAndCopies) {
    writeFile(src + "/f", "x");
    const int running = add("me@myhost", true, 0, -1, -1);
    const int waiting = add("me@myhost", true, 0, -1, -1);
    std::atomic<bool> release(false), sawStop(false);
    std::atomic<int> held(0);
    EngineHooks::setAfterScan([&](int recId, const std::atomic<bool>& stop) {
        if (recId != running || held.load() == 2) return;
        ++held;
        waitUntil([&] { return stop.load() || release.load(); }, 10000);
        if (stop.load()) sawStop = true;
    });
    BackupPlugin plugin;
    plugin.backupRecord(record(running));
    plugin.backupRecord(record(waiting));
    plugin.backupRecord(record(waiting));
    ASSERT_TRUE(waitUntil([&] { return held.load() == 1; }));
    plugin.stopBackupAction(waiting);
    release = true;
    ASSERT_TRUE(waitUntil([&] { return drained(plugin) && hasActivity(running, completed(src)); }));
    EXPECT_FALSE(sawStop.load());
    EXPECT_EQ(0, passes(waiting));

    release = false;
    plugin.backupRecord(record(running));
    plugin.backupRecord(record(running));
    ASSERT_TRUE(waitUntil([&] { return held.load() == 2; }));
    plugin.stopBackupAction(running);
    EXPECT_EQ("Idle", BackupProgressRegistry::instance().getCurrentAction(running));
    plugin.backupRecord(record(waiting));
    ASSERT_TRUE(waitUntil([&] { return idle(waiting) && passes(waiting) == 1; }));
    EXPECT_TRUE(sawStop.load());
    EXPECT_EQ(2, passes(running));
}

// Queueing, stopping and re-queueing while passes copy, then a shutdown in
// the middle of a pass; run under the thread sanitizer as well.
TEST_F(BackupControlTest, QueueStopAndRequeueWhilePassesRun) {
    for (int i = 0; i < 12; ++i) {
        writeFile(src + "/d" + std::to_string(i % 3) + "/f" + std::to_string(i),
                  std::string(2000, char('a' + i)));
    }
    const int a = add("me@myhost", true, 0, -1, -1);
    const int b = add("me@myhost", true, 0, -1, -1);
    System::MessageDispatcher dispatcher;
    BackupPlugin plugin;
    ASSERT_TRUE(plugin.startup(&dispatcher));
    BackupProgressRegistry& reg = BackupProgressRegistry::instance();
    for (int round = 0; round < 200; ++round) {
        plugin.backupRecord(record(a));
        plugin.backupRecord(record(b));
        (void)reg.getCurrentAction(a);
        plugin.stopBackupAction(round % 2 ? a : b);
        EXPECT_FALSE(reg.isActive(round % 2 ? a : b));
    }
    plugin.backupRecord(record(a));
    EXPECT_TRUE(waitUntil([&] { return passes(a) > 0; }));
    EXPECT_TRUE(plugin.shutdown());
    EXPECT_TRUE(temporaries(dst).empty());
}

TEST_F(BackupControlTest, OverdueRecordsAreNoticedOncePerDay) {
    const Poco::LocalDateTime now(2026, 12, 7, 10, 30);
    const Poco::Timespan day(1, 0, 0, 0, 0);
    auto added = [&](int frequency, int hour, int daysAgo) {
        const int id = add("me@myhost", true, frequency, hour, -1);
        const Poco::Timestamp last = now.timestamp() - daysAgo * day.totalMicroseconds();
        EXPECT_TRUE(db->setLastSuccessTime(id, last.utcTime()));
        return id;
    };
    const int late = added(1, 22, 3);
    added(1, 22, 1);   // recent
    added(0, -1, 30);  // manual
    HostKit::MessageRecorder recorder;
    System::MessageDispatcher dispatcher;
    dispatcher.setSink([&](const boost::shared_ptr<Data::Message>& m) { recorder.record(m); });
    BackupPlugin plugin;
    ASSERT_TRUE(plugin.startup(&dispatcher));
    auto notices = [&](const Poco::LocalDateTime& at) {
        EngineClock::pin(at);
        plugin.initiatePeriodicSync();  // no tick reaches the service thread
        std::vector<std::string> out;
        for (const auto& m : recorder.messages()) {
            if (m->getService() == Misc::MessageUtil::FAILURE_NOTICE_SERVICE)
                out.push_back(std::to_string((*m)["FailureNotice"]["RecordId"].getInt()) + " " +
                              (*m)["FailureNotice"]["Result"].getString());
        }
        return out;
    };
    const std::string once = std::to_string(late) + " overdue";
    EXPECT_EQ((std::vector<std::string>{once}), notices(now));
    EXPECT_EQ((std::vector<std::string>{once}), notices(now + Poco::Timespan(0, 1, 0, 0, 0)));
    EXPECT_EQ((std::vector<std::string>{once, once}), notices(now + day));
    plugin.shutdown();
}

}  // namespace
}  // namespace EngineTest
