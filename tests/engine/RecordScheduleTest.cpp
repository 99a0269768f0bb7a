// Next run and overdue, daily and weekly, across day, week and year ends.

#include <gtest/gtest.h>

#include "engine/RecordSchedule.h"

namespace {

using Orvana::Backup::BackupDB;
namespace RecordSchedule = Orvana::Backup::RecordSchedule;

BackupDB::BACKUP_RECORD scheduled(int frequency, int hour, int day = -1) {
    BackupDB::BACKUP_RECORD r;
    r.enabled = true;
    r.frequency = frequency;
    r.backupTime = hour;
    r.backupDay = day;
    return r;
}

std::string next(const BackupDB::BACKUP_RECORD& r, const Poco::LocalDateTime& now) {
    Poco::LocalDateTime at;
    if (!RecordSchedule::nextRun(r, now, at)) return "";
    return RecordSchedule::localIso(at);
}

// The expected slot in the form the document writes, with its own offset.
std::string local(int y, int m, int d, int h) {
    return RecordSchedule::localIso(Poco::LocalDateTime(y, m, d, h));
}

TEST(RecordScheduleTest, NextRunAcrossDayWeekAndYearEnds) {
    const BackupDB::BACKUP_RECORD daily = scheduled(BackupDB::SCHEDULE_DAILY, 22);
    // 7 December 2026 is a Monday.
    EXPECT_EQ(local(2026, 12, 7, 22), next(daily, Poco::LocalDateTime(2026, 12, 7, 9, 40)));
    EXPECT_EQ(local(2026, 12, 7, 22), next(daily, Poco::LocalDateTime(2026, 12, 7, 22, 0, 30)));
    EXPECT_EQ(local(2026, 12, 8, 22), next(daily, Poco::LocalDateTime(2026, 12, 7, 22, 1)));
    EXPECT_EQ(local(2027, 1, 1, 22), next(daily, Poco::LocalDateTime(2026, 12, 31, 23, 59)));

    const BackupDB::BACKUP_RECORD sunday = scheduled(BackupDB::SCHEDULE_WEEKLY, 3, 0);
    EXPECT_EQ(local(2026, 12, 13, 3), next(sunday, Poco::LocalDateTime(2026, 12, 7, 9, 0)));
    EXPECT_EQ(local(2026, 12, 20, 3), next(sunday, Poco::LocalDateTime(2026, 12, 13, 3, 1)));
    EXPECT_EQ(local(2027, 1, 3, 3), next(sunday, Poco::LocalDateTime(2026, 12, 27, 4, 0)));
    const BackupDB::BACKUP_RECORD monday = scheduled(BackupDB::SCHEDULE_WEEKLY, 9, 1);
    EXPECT_EQ(local(2026, 12, 14, 9), next(monday, Poco::LocalDateTime(2026, 12, 7, 10, 0)));

    BackupDB::BACKUP_RECORD off = daily;
    off.enabled = false;
    const Poco::LocalDateTime now(2026, 12, 7);
    for (const BackupDB::BACKUP_RECORD& never :
         {off, scheduled(BackupDB::SCHEDULE_NONE, 22), scheduled(BackupDB::SCHEDULE_DAILY, -1),
          scheduled(BackupDB::SCHEDULE_WEEKLY, 9, 7)})
        EXPECT_EQ("", next(never, now));
}

TEST(RecordScheduleTest, OverdueAfterTwoIntervalsWithoutSuccess) {
    const Poco::LocalDateTime now(2026, 12, 7, 12, 0);
    const auto ago = [&](int hours) {
        return now.timestamp() - Poco::Timespan(0, hours, 0, 0, 0).totalMicroseconds();
    };
    const BackupDB::BACKUP_RECORD daily = scheduled(BackupDB::SCHEDULE_DAILY, 22);
    EXPECT_FALSE(RecordSchedule::isOverdue(daily, ago(47), now));
    EXPECT_TRUE(RecordSchedule::isOverdue(daily, ago(49), now));
    const BackupDB::BACKUP_RECORD weekly = scheduled(BackupDB::SCHEDULE_WEEKLY, 9, 1);
    EXPECT_FALSE(RecordSchedule::isOverdue(weekly, ago(13 * 24), now));
    EXPECT_TRUE(RecordSchedule::isOverdue(weekly, ago(15 * 24), now));
    // Never ran, manual or disabled: never overdue.
    EXPECT_FALSE(RecordSchedule::isOverdue(daily, Poco::Timestamp(0), now));
    EXPECT_FALSE(RecordSchedule::isOverdue(scheduled(BackupDB::SCHEDULE_NONE, 22), ago(999), now));
    BackupDB::BACKUP_RECORD off = daily;
    off.enabled = false;
    EXPECT_FALSE(RecordSchedule::isOverdue(off, ago(999), now));

    EXPECT_EQ("2026-12-07T09:40:00Z",
              RecordSchedule::utcIso(Poco::DateTime(2026, 12, 7, 9, 40).timestamp()));
    EXPECT_EQ("", RecordSchedule::utcIso(Poco::Timestamp(0)));
}

}  // namespace
