#pragma once
// RecordSchedule: when a record's schedule next falls due, and whether the
// record is overdue, in the local time the schedule check uses (the engine
// clock's). Also the two time forms of the status document.
//
// Stateless; any thread.

#include <Poco/LocalDateTime.h>
#include <Poco/Timestamp.h>

#include <string>

#include "db/BackupDB.h"

namespace Orvana {
namespace Backup {

namespace RecordSchedule {

// Enabled, daily or weekly, and an hour (and day) that a tick can match.
bool isScheduled(const BackupDB::BACKUP_RECORD& record);
// The first slot at or after the minute of now; false when not scheduled.
bool nextRun(const BackupDB::BACKUP_RECORD& record, const Poco::LocalDateTime& now,
             Poco::LocalDateTime& next);
// Scheduled, and its last success (or, when it never succeeded, since) is
// older than its interval plus one interval of grace. since 0: never ran.
bool isOverdue(const BackupDB::BACKUP_RECORD& record, const Poco::Timestamp& since,
               const Poco::LocalDateTime& now);
// "2026-12-07T22:00:00+01:00"
std::string localIso(const Poco::LocalDateTime& moment);
// "2026-12-07T09:40:00Z"; "" for the value 0 (never).
std::string utcIso(const Poco::Timestamp& moment);

}  // namespace RecordSchedule

}  // namespace Backup
}  // namespace Orvana
