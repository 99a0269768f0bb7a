// BackupPlugin's record management requests: add, delete, enable, disable
// and reschedule backup records.

#include "service/BackupMain.h"

#include "engine/BackupProgressRegistry.h"
#include "engine/PathRules.h"
#include "hostapi/GroupManager.h"
#include "hostapi/HTTP.h"
#include "hostapi/PeerID.h"
#include "hostapi/ProfileManager.h"
#include "requests/RequestText.h"

#include <Poco/File.h>
#include <boost/lexical_cast.hpp>
#include <sys/stat.h>

#include <cerrno>

namespace Orvana {
namespace Backup {

using Orvana::Misc::HTTP;
using RequestText::tr;

namespace {
int intField(const Poco::Net::HTMLForm& form, const std::string& name) {
    return boost::lexical_cast<int>(form[name]);
}
int optionalIntField(const Poco::Net::HTMLForm& form, const std::string& name) {
    return form.has(name) ? intField(form, name) : -1;
}

// False when the path, links followed, is something other than a folder, or
// when something on its way is not a folder (it could never be made).
bool storeCanBeAFolder(const std::string& path) {
    struct stat info;
    if (::stat(path.c_str(), &info) == 0) return S_ISDIR(info.st_mode);
    return errno != ENOTDIR;
}

// The same target, source and store as an existing record, with the paths
// compared as the file system reads them ("/a/b/", "/a//b" and a link to
// "/a/b" are all "/a/b").
bool sameBackup(const std::string& targetPeer, const std::string& localPath,
                const std::string& remotePath, const BackupDB::BACKUP_RECORD& other) {
    const Orvana::Data::PeerID peer(targetPeer), otherPeer(other.targetPeerId);
    const bool samePeer = peer.isValid() && otherPeer.isValid() ? peer == otherPeer
                                                                : targetPeer == other.targetPeerId;
    auto sameStore = [](const std::string& a, const std::string& b) {
        // A remote record has no store path.
        return a.empty() || b.empty() ? a == b : PathRules::resolve(a) == PathRules::resolve(b);
    };
    return samePeer && PathRules::resolve(localPath) == PathRules::resolve(other.localPath) &&
           sameStore(remotePath, other.remotePath);
}

// Where a new record backs up to: this device and a store location, or a
// peer and the group shared with it.
struct NewTarget {
    bool local = true;
    std::string peer;
    std::string groupId;     // a peer's only
    std::string remotePath;  // this device's only
};

// Reads the target from the form; the refusal, or "" when it will do.
std::string readTarget(const Poco::Net::HTMLForm& form, Orvana::Util::BackupLog& log,
                       const char* label, NewTarget& target) {
    target.local = !form.has("remotepeer");
    if (target.local) {
        target.peer = Orvana::API::ProfileManager::getPeerID().toString();
        if (!form.has("remotepath")) return tr("Local store location is required for localbackup");
        target.remotePath = form["remotepath"];
        return "";
    }
    target.peer = form["remotepeer"];
    std::vector<Orvana::API::GroupManager::GroupPtr> groups;
    Orvana::API::GroupManager::groupCollectionGet(Orvana::Data::PeerID(target.peer), groups);
    if (groups.empty()) {
        return tr("Peer ") + target.peer +
               tr(" is not a member of any group. Invite the peer to a group first and try "
                  "again");
    }
    target.groupId = groups[0]->getGroupID().toString();
    log.trace() << label << " : Using group [" << groups[0]->getGroupName()
                << "] to backup with peer " << target.peer << std::endl;
    return "";
}

// A store location on or around the source would copy the backup into
// itself; the refusal, or "" when the store will do.
std::string storeRefusal(const std::string& localPath, const std::string& remotePath,
                         const std::vector<BackupPlugin::RecordPtr>& records) {
    if (!PathRules::isAbsolute(remotePath)) return tr("Store location must be an absolute path");
    // Also as the file system resolves them: a link can lead the store into
    // the source.
    if (PathRules::overlapsResolved(localPath, remotePath)) {
        return tr("Store location must not overlap the backup source");
    }
    // Two sources of one name with one store would overwrite each other's
    // copies.
    for (const BackupPlugin::RecordPtr& other : records) {
        if (PathRules::sharesCopyFolder(localPath, remotePath, other->localPath,
                                        other->remotePath)) {
            return tr("Another backup already uses this store location for a folder of that "
                      "name");
        }
    }
    return "";
}
}  // namespace

void BackupPlugin::onAddBackupRecord(const void*, MessagePtr& message) {
    handleWebRequest(message, "Orvana::Backup::BackupPlugin::onAddBackupRecord",
                     &BackupPlugin::addBackupRecordBody);
}

void BackupPlugin::addBackupRecordBody(WebRequest& request) {
    static const char* const op = "addbackuprecord";
    const Poco::Net::HTMLForm& form = request.form;
    auto fail = [&](const std::string& text) {
        request.reply = HTTP::getXMLResult(op, false, text);
    };

    // Refused before anything looks at them: a NUL byte would cut the path
    // short for the file system but not for the checks or the database.
    for (const char* field : {"localpath", "remotepath", "remotepeer"}) {
        if (form.has(field) && RequestText::hasNulByte(form.get(field))) {
            fail(tr("Path contains an invalid character"));
            return;
        }
    }
    NewTarget target;
    const std::string targetRefused = readTarget(form, request.log, request.label, target);
    if (!targetRefused.empty()) {
        fail(targetRefused);
        return;
    }

    const std::string localPath = form["localpath"];
    const int frequency = intField(form, "frequency");
    const int backupTime = optionalIntField(form, "timeoffset");
    const int backupDay = optionalIntField(form, "dayoffset");

    // A relative path means nothing to the worker.
    if (!PathRules::isAbsolute(localPath)) {
        fail(tr("Backup source must be an absolute path"));
        return;
    }
    std::vector<RecordPtr> records;
    if (!m_pDB->getAllBackupRecords(records)) return;
    const std::string storeRefused =
        target.local ? storeRefusal(localPath, target.remotePath, records) : "";
    if (!storeRefused.empty()) {
        fail(storeRefused);
        return;
    }

    Poco::File source(localPath);
    if (!source.exists()) {
        fail(tr("[" + localPath + "] does not exist!"));
        return;
    }
    if (source.isLink()) {
        request.log.trace() << request.label << "File " << localPath << " is a link! ignoring"
                            << std::endl;
        return;
    }
    const int isFile = source.isFile() ? 1 : 0;

    // A file where the store belongs would only fail at the first pass; a
    // store that does not exist yet is made by the pass.
    if (target.local && !storeCanBeAFolder(target.remotePath)) {
        fail(tr("Store location exists and is not a folder"));
        return;
    }
    for (const RecordPtr& other : records) {
        if (sameBackup(target.peer, localPath, target.remotePath, *other)) {
            fail(tr("A backup of this source to this destination already exists"));
            return;
        }
    }

    request.log.trace() << request.label << " Adding record peer[" << target.peer << "] isfile["
                        << isFile << "] path[" << localPath << "] targetpath ["
                        << target.remotePath << "]grp[" << target.groupId << "] Freq["
                        << frequency << "] Time[" << backupTime << "]" << std::endl;
    int newId = 0;
    if (m_pDB->addBackupRecord(target.peer, isFile, 1, localPath, target.remotePath,
                               target.groupId, frequency, backupTime, backupDay, newId))
        request.reply = HTTP::getXMLResult(op, true, "");
}

void BackupPlugin::onDeleteBackupRecord(const void*, MessagePtr& message) {
    handleWebRequest(message, "Orvana::Backup::BackupPlugin::onDeleteBackupRecord",
                     &BackupPlugin::deleteBackupRecordBody);
}

void BackupPlugin::deleteBackupRecordBody(WebRequest& request) {
    const int id = intField(request.form, "recid");
    // Ends its pass and drops every queued copy, so a deleted record is never
    // backed up later and its pass writes nothing after the delete.
    stopBackupAction(id);
    if (m_pDB->deleteBackupRecord(id)) {
        request.log.trace() << request.label << " Rec[" << id << "] deleted" << std::endl;
        request.reply = HTTP::getXMLResult("deletebackuprecord", true, "");
    }
    m_pDB->deleteSourceFiles(id);
    m_pDB->deleteRuns(id);
    BackupProgressRegistry::instance().forgetRun(id);
}

void BackupPlugin::onEnableRecord(const void*, MessagePtr& message) {
    handleWebRequest(message, "Orvana::Backup::BackupPlugin::onEnableRecord",
                     &BackupPlugin::enableRecordBody);
}

void BackupPlugin::enableRecordBody(WebRequest& request) {
    const int id = intField(request.form, "recid");
    if (m_pDB->enableBackupRecord(id)) {
        request.log.trace() << request.label << " Rec ID[" << id << "]enabled" << std::endl;
        request.reply = HTTP::getXMLResult("enablerecord", true, "");
    }
}

void BackupPlugin::onDisableRecord(const void*, MessagePtr& message) {
    handleWebRequest(message, "Orvana::Backup::BackupPlugin::onDisableRecord",
                     &BackupPlugin::disableRecordBody);
}

void BackupPlugin::disableRecordBody(WebRequest& request) {
    const int id = intField(request.form, "recid");
    if (m_pDB->disableBackupRecord(id)) {
        request.log.trace() << request.label << " Rec ID[" << id << "]disabled" << std::endl;
        request.reply = HTTP::getXMLResult("disablerecord", true, "");
    }
}

void BackupPlugin::onSetModeValue(const void*, MessagePtr& message) {
    handleWebRequest(message, "Orvana::Backup::BackupPlugin::onSetModeValue",
                     &BackupPlugin::setModeValueBody);
}

void BackupPlugin::setModeValueBody(WebRequest& request) {
    const int id = intField(request.form, "recid");
    const int frequency = intField(request.form, "frequency");
    const int backupTime = optionalIntField(request.form, "timeoffset");
    const int backupDay = optionalIntField(request.form, "dayoffset");
    if (m_pDB->setSchedule(id, frequency, backupTime, backupDay)) {
        request.log.trace() << request.label << " Rec ID[" << id << "] modified with mode[" << id
                            << "]freq[" << frequency << "][" << backupTime << "][" << backupDay
                            << std::endl;
        request.reply = HTTP::getXMLResult("setmodevalue", true, "");
    }
}

}  // namespace Backup
}  // namespace Orvana
