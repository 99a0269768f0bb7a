// BackupPlugin's status document: per record the last backup run, the pass
// under way with its progress, the next scheduled run, whether the
// record is overdue and, for a record to another device, whether that
// device is reachable; with "recid" and "history=1" also the record's runs.
// Like the listing: no whitespace between elements, every text through the
// one encoder.

#include <boost/lexical_cast.hpp>
#include <sstream>

#include "engine/BackupProgressRegistry.h"
#include "engine/EngineClock.h"
#include "engine/RecordSchedule.h"
#include "hostapi/PeerLink.h"
#include "requests/RequestText.h"
#include "service/BackupMain.h"

namespace Orvana {
namespace Backup {

using RequestText::tr;
using RequestText::xmlEscape;

namespace {

std::string iso(Poco::Int64 utcTime) {
    return utcTime > 0 ? RecordSchedule::utcIso(Poco::Timestamp::fromUtcTime(utcTime)) : "";
}

// The newest backup run stored for the record; false when none.
bool lastStoredBackup(BackupDB& db, int id, BackupDB::RUN_RECORD& run) {
    std::vector<BackupDB::RUN_RECORD> runs;
    if (!db.getRuns(id, BackupDB::MAX_RUNS, runs)) return false;
    for (const BackupDB::RUN_RECORD& r : runs) {
        if (r.kind == "backup") {
            run = r;
            return true;
        }
    }
    return false;
}

void writeRun(std::ostringstream& doc, const BackupDB::RUN_RECORD& run) {
    doc << "<run><id>" << run.id << "</id><kind>" << xmlEscape(run.kind) << "</kind><start>"
        << iso(run.startTime) << "</start><end>" << iso(run.endTime) << "</end><result>"
        << xmlEscape(run.result) << "</result><reason>" << xmlEscape(run.reason)
        << "</reason><fileschecked>" << run.filesChecked << "</fileschecked><filescopied>"
        << run.filesCopied << "</filescopied><bytescopied>" << run.bytesCopied
        << "</bytescopied><filesfailed>" << run.filesFailed << "</filesfailed></run>";
}

// The record's last run; its fields empty when it never ran.
void writeLastResult(std::ostream& doc, const BackupDB::RUN_RECORD* last) {
    if (!last) {
        doc << "<lastresult></lastresult><lastreason></lastreason><laststart></laststart>"
               "<lastend></lastend><lastduration></lastduration><lastfilescopied>"
               "</lastfilescopied><lastbytescopied></lastbytescopied>";
        return;
    }
    const Poco::Int64 seconds =
        last->endTime > last->startTime ? (last->endTime - last->startTime) / 10000000 : 0;
    doc << "<lastresult>" << xmlEscape(last->result) << "</lastresult><lastreason>"
        << xmlEscape(last->reason) << "</lastreason><laststart>" << iso(last->startTime)
        << "</laststart><lastend>" << iso(last->endTime) << "</lastend><lastduration>" << seconds
        << "</lastduration><lastfilescopied>" << last->filesCopied
        << "</lastfilescopied><lastbytescopied>" << last->bytesCopied << "</lastbytescopied>";
}

// A running pass's progress, and the time it has left at its rate.
void writeProgress(std::ostream& doc, const BackupProgressRegistry::Progress& progress,
                   bool running) {
    doc << "<filesdone>" << progress.filesDone << "</filesdone><filestogo>" << progress.filesToGo
        << "</filestogo><bytesdone>" << progress.bytesDone << "</bytesdone><bytestogo>"
        << progress.bytesToGo << "</bytestogo><rate>" << progress.rate << "</rate><timeleft>";
    if (running && progress.rate > 0)
        doc << (progress.bytesToGo + progress.rate - 1) / progress.rate;
    doc << "</timeleft>";
}

}  // namespace

void BackupPlugin::onGetBackupStatus(const void*, MessagePtr& message) {
    handleWebRequest(message, "Orvana::Backup::BackupPlugin::onGetBackupStatus",
                     &BackupPlugin::getBackupStatusBody);
}

void BackupPlugin::getBackupStatusBody(WebRequest& request) {
    const bool one = request.form.has("recid");
    const int wanted = one ? boost::lexical_cast<int>(request.form["recid"]) : 0;
    const bool history = one && request.form.has("history") && request.form["history"] == "1";

    std::vector<RecordPtr> records;
    if (!m_pDB->getAllBackupRecords(records)) return;
    const BackupProgressRegistry& registry = BackupProgressRegistry::instance();
    const std::set<int> queued = queuedRecords();
    const Poco::LocalDateTime now = EngineClock::localNow();

    // Asked once per device: a probe may take a moment.
    std::map<std::string, bool> reachable;

    std::ostringstream doc;
    doc << "<getbackupstatus>";
    for (const RecordPtr& stored : records) {
        if (one && stored->id != wanted) continue;
        BackupDB::BACKUP_RECORD rec = *stored;
        const int id = rec.id;
        // The pass under way before its last run: a pass stores its run,
        // then ends in memory. Read the other way round, a pass ending in
        // between would show neither running nor a last run.
        const std::string kind = registry.getRunKind(id);
        const BackupProgressRegistry::Progress progress = registry.getProgress(id);
        // Memory first: it holds the last run also when the database could
        // not store it.
        registry.applyLastRun(rec);
        BackupDB::RUN_RECORD last;
        const bool ran = registry.getLastRun(id, last) || lastStoredBackup(*m_pDB, id, last);

        doc << "<record><recid>" << id << "</recid><enabled>" << (rec.enabled ? 1 : 0)
            << "</enabled><running>" << (kind.empty() ? 0 : 1) << "</running><runkind>"
            << xmlEscape(kind) << "</runkind><queued>" << (queued.count(id) ? 1 : 0) << "</queued>";
        writeLastResult(doc, ran ? &last : nullptr);
        doc << "<lastsuccess>" << RecordSchedule::utcIso(rec.lastSuccessTime) << "</lastsuccess>";
        writeProgress(doc, progress, !kind.empty());
        doc << "<nextrun>";
        Poco::LocalDateTime next;
        if (RecordSchedule::nextRun(rec, now, next)) doc << RecordSchedule::localIso(next);
        doc << "</nextrun><overdue>"
            << (RecordSchedule::isOverdue(rec, overdueSince(rec), now) ? 1 : 0)
            << "</overdue>";
        const Orvana::Data::PeerID target(rec.targetPeerId);
        if (!isLocalPeer(target)) {
            auto known = reachable.find(target.toString());
            if (known == reachable.end())
                known = reachable
                            .insert(std::make_pair(target.toString(),
                                                   Orvana::API::PeerLink::reachable(target)))
                            .first;
            doc << "<reachable>" << (known->second ? 1 : 0) << "</reachable>";
        }
        doc << "</record>";

        if (history) {
            std::vector<BackupDB::RUN_RECORD> runs;
            if (!m_pDB->getRuns(id, BackupDB::MAX_RUNS, runs)) return;
            doc << "<runs>";
            for (const BackupDB::RUN_RECORD& run : runs) writeRun(doc, run);
            doc << "</runs>";
        }
    }
    doc << "</getbackupstatus>";
    request.reply = doc.str();
}

}  // namespace Backup
}  // namespace Orvana
