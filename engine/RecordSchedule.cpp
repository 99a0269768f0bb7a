#include "engine/RecordSchedule.h"

#include <Poco/DateTime.h>
#include <Poco/DateTimeFormatter.h>
#include <Poco/Timespan.h>

#include <cstdio>
#include <cstdlib>

namespace Orvana {
namespace Backup {
namespace RecordSchedule {

bool isScheduled(const BackupDB::BACKUP_RECORD& record) {
    if (!record.enabled || record.backupTime < 0 || record.backupTime > 23) return false;
    if (record.frequency == BackupDB::SCHEDULE_DAILY) return true;
    return record.frequency == BackupDB::SCHEDULE_WEEKLY && record.backupDay >= 0 &&
           record.backupDay <= 6;
}

bool nextRun(const BackupDB::BACKUP_RECORD& record, const Poco::LocalDateTime& now,
             Poco::LocalDateTime& next) {
    if (!isScheduled(record)) return false;
    // A slot in the current minute is still to come: its tick may not have
    // come yet.
    const Poco::LocalDateTime minute =
        now - Poco::Timespan(0, 0, 0, now.second(), now.millisecond() * 1000 + now.microsecond());
    // Day by day on the calendar, so that a change of the clock's offset
    // (summer time) moves no slot away from its hour.
    const Poco::DateTime today(now.year(), now.month(), now.day());
    for (int days = 0; days <= 8; ++days) {
        const Poco::DateTime day = today + Poco::Timespan(days, 0, 0, 0, 0);
        if (record.frequency == BackupDB::SCHEDULE_WEEKLY && day.dayOfWeek() != record.backupDay)
            continue;
        const Poco::LocalDateTime slot(day.year(), day.month(), day.day(), record.backupTime);
        if (slot >= minute) {
            next = slot;
            return true;
        }
    }
    return false;
}

bool isOverdue(const BackupDB::BACKUP_RECORD& record, const Poco::Timestamp& since,
               const Poco::LocalDateTime& now) {
    if (!isScheduled(record) || since.epochMicroseconds() == 0) return false;
    const int days = record.frequency == BackupDB::SCHEDULE_DAILY ? 1 : 7;
    const Poco::Timespan interval(days, 0, 0, 0, 0);
    return now.timestamp() - since > 2 * interval.totalMicroseconds();
}

std::string localIso(const Poco::LocalDateTime& moment) {
    const int tzd = moment.tzd();
    char offset[8];
    std::snprintf(offset, sizeof offset, "%c%02d:%02d", tzd < 0 ? '-' : '+',
                  std::abs(tzd) / 3600 % 100, std::abs(tzd) / 60 % 60);
    return Poco::DateTimeFormatter::format(moment, "%Y-%m-%dT%H:%M:%S") + offset;
}

std::string utcIso(const Poco::Timestamp& moment) {
    if (moment.epochMicroseconds() == 0) return std::string();
    return Poco::DateTimeFormatter::format(moment, "%Y-%m-%dT%H:%M:%SZ");
}

}  // namespace RecordSchedule
}  // namespace Backup
}  // namespace Orvana
