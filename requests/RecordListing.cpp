// BackupPlugin's record listing: every record with its schedule, last run and
// the live progress of a pass under way, as one XML document. Every text goes
// through the encoder, the ids and translated words too: one record with odd
// bytes in any of them must not make the whole listing unreadable.

#include "service/BackupMain.h"

#include "engine/BackupProgressRegistry.h"
#include "hostapi/FileUtil.h"
#include "hostapi/GroupManager.h"
#include "requests/RequestText.h"

#include <Poco/DateTime.h>
#include <Poco/DateTimeFormatter.h>
#include <Poco/Timezone.h>
#include <Poco/UUID.h>

#include <sstream>

namespace Orvana {
namespace Backup {

using RequestText::tr;
using RequestText::xmlEscape;

namespace {

// Date and time texts of a stored moment, or ("N/A", "") for never.
void localDateAndTime(const Poco::Timestamp& when, int tzd, std::string& date, std::string& time) {
    date = tr("N/A");
    time.clear();
    if (when.epochMicroseconds() == 0) return;
    Poco::DateTime dt(when);
    dt.makeLocal(tzd);
    date = Poco::DateTimeFormatter::format(dt, "%e-%b");
    time = Poco::DateTimeFormatter::format(dt, "%h:%M %A");
}

// Percentage of the pass done, truncated; 0 while nothing is to send.
Poco::Int64 progressOf(const BackupProgressRegistry::Snapshot& progress) {
    const Poco::Int64 total = progress.totalSendSize;
    if (total <= 0) return 0;
    return static_cast<Poco::Int64>(static_cast<double>(total - progress.remainingSendSize) /
                                    total * 100.0);
}

void writeGroup(std::ostream& doc, const BackupDB::BACKUP_RECORD& rec, bool local) {
    if (local) {
        doc << "<groupid></groupid><groupname>" << xmlEscape(tr("Local")) << "</groupname>";
        return;
    }
    // A group id that does not parse (the empty one of a local record after
    // this device's peer id changed, say) names no group; the constructor
    // would throw and fail the whole listing.
    Poco::UUID groupId;
    Orvana::API::GroupManager::GroupPtr group;
    if (groupId.tryParse(rec.groupId)) group = Orvana::API::GroupManager::groupGet(groupId);
    doc << "<groupid>" << xmlEscape(rec.groupId) << "</groupid><groupname>"
        << xmlEscape(group ? group->getGroupName() : tr("Non existent group")) << "</groupname>";
}

void writeLastRun(std::ostream& doc, const BackupDB::BACKUP_RECORD& rec,
                  const BackupProgressRegistry& registry) {
    // A pass whose times the database could not store still shows.
    BackupDB::BACKUP_RECORD times = rec;
    registry.applyLastRun(times);
    const int tzd = Poco::Timezone::tzd();
    std::string date, time;
    localDateAndTime(times.lastAttemptTime, tzd, date, time);
    doc << "<lastattemptdate>" << xmlEscape(date) << "</lastattemptdate>"
        << "<lastattempttime>" << xmlEscape(time) << "</lastattempttime>";
    localDateAndTime(times.lastSuccessTime, tzd, date, time);
    doc << "<lastsuccessdate>" << xmlEscape(date) << "</lastsuccessdate>"
        << "<lastsuccesstime>" << xmlEscape(time) << "</lastsuccesstime>"
        << "<lastsyncsuccess>" << (times.lastSuccessTime >= times.lastAttemptTime ? 1 : 0)
        << "</lastsyncsuccess>";
}

}  // namespace

void BackupPlugin::onGetAllBackupRecords(const void*, MessagePtr& message) {
    handleWebRequest(message, "Orvana::Backup::BackupPlugin::onGetAllBackupRecords",
                     &BackupPlugin::getAllBackupRecordsBody);
}

void BackupPlugin::getAllBackupRecordsBody(WebRequest& request) {
    std::vector<RecordPtr> records;
    if (!m_pDB->getAllBackupRecords(records)) return;

    const BackupProgressRegistry& registry = BackupProgressRegistry::instance();
    const int remoteUi = request.message->getAuthKey().authLocation() == Orvana::Data::AuthKey::LOCAL_LOCATION ? 0 : 1;
    std::ostringstream doc;
    doc << "<getallbackuprecs>";
    for (const RecordPtr& rec : records) {
        const int id = rec->id;
        const Orvana::Data::PeerID peer(rec->targetPeerId);
        const bool local = isLocalPeer(peer);

        const BackupProgressRegistry::Snapshot progress = registry.snapshot(id);

        doc << "<backuprec>"
            << "<recid>" << id << "</recid>"
            << "<active>" << (progress.active ? 1 : 0) << "</active>"
            << "<foldersize>" << Orvana::Util::readableFileSize(rec->size, 2) << "</foldersize>"
            << "<tosendcount>" << progress.toSendCount << "</tosendcount>"
            << "<remainingsendsize>"
            << Orvana::Util::readableFileSize(progress.remainingSendSize, 2)
            << "</remainingsendsize>"
            << "<totalsendsize>" << Orvana::Util::readableFileSize(progress.totalSendSize, 2)
            << "</totalsendsize>"
            << "<checkedfilecount>" << progress.checkedFileCount << "</checkedfilecount>"
            << "<progress>" << progressOf(progress) << "</progress>"
            << "<fileprogress>0</fileprogress>"
            << "<currentaction>" << xmlEscape(progress.currentAction) << "</currentaction>"
            << "<currentfile>" << xmlEscape(progress.currentFile) << "</currentfile>"
            << "<targetpeerid>" << xmlEscape(rec->targetPeerId) << "</targetpeerid>";
        if (local) doc << "<localbackup>1</localbackup><targetpeeronline>1</targetpeeronline>";
        doc << "<targetpeername>" << xmlEscape(peer.getName()) << "</targetpeername>"
            << "<isfile>" << (rec->isFile ? 1 : 0) << "</isfile>"
            << "<localpath>" << xmlEscape(rec->localPath) << "</localpath>";

        std::string launchPath = rec->localPath;
        if (rec->isFile) {
            std::string fileName;
            Orvana::Util::splitFolder(rec->localPath, launchPath, fileName);
        }
        doc << "<launchpath>" << xmlEscape(launchPath) << "</launchpath>"
            << "<remotepath>" << xmlEscape(rec->remotePath) << "</remotepath>"
            << "<enabled>" << (rec->enabled ? 1 : 0) << "</enabled>"
            << "<backupmode>" << rec->frequency << "</backupmode>"
            << "<timeoffset>" << rec->backupTime << "</timeoffset>"
            << "<dayoffset>" << rec->backupDay << "</dayoffset>";

        writeGroup(doc, *rec, local);
        writeLastRun(doc, *rec, registry);
        doc << "<remoteui>" << remoteUi << "</remoteui>"
            << "</backuprec>";
    }
    doc << "</getallbackuprecs>";
    request.reply = doc.str();
}

}  // namespace Backup
}  // namespace Orvana
