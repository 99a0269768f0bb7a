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

    std::string targetPeer, groupId, remotePath;
    const bool local = !form.has("remotepeer");
    if (!local) {
        targetPeer = form["remotepeer"];
        std::vector<Orvana::API::GroupManager::GroupPtr> groups;
        Orvana::API::GroupManager::groupCollectionGet(Orvana::Data::PeerID(targetPeer), groups);
        if (groups.empty()) {
            fail(tr("Peer ") + targetPeer +
                 tr(" is not a member of any group. Invite the peer to a group first and try "
                    "again"));
            return;
        }
        groupId = groups[0]->getGroupID().toString();
        request.log.trace() << request.label << " : Using group [" << groups[0]->getGroupName()
                            << "] to backup with peer " << targetPeer << std::endl;
    } else {
        targetPeer = Orvana::API::ProfileManager::getPeerID().toString();
        if (!form.has("remotepath")) {
            fail(tr("Local store location is required for localbackup"));
            return;
        }
        remotePath = form["remotepath"];
    }

    const std::string localPath = form["localpath"];
    const int frequency = intField(form, "frequency");
    const int backupTime = optionalIntField(form, "timeoffset");
    const int backupDay = optionalIntField(form, "dayoffset");

    // A relative path means nothing to the worker, and a store location on
    // or around the source would copy the backup into itself.
    if (!PathRules::isAbsolute(localPath)) {
        fail(tr("Backup source must be an absolute path"));
        return;
    }
    std::vector<RecordPtr> records;
    if (!m_pDB->getAllBackupRecords(records)) return;
    if (local) {
        if (!PathRules::isAbsolute(remotePath)) {
            fail(tr("Store location must be an absolute path"));
            return;
        }
        // Also as the file system resolves them: a link can lead the store
        // into the source.
        if (PathRules::overlapsResolved(localPath, remotePath)) {
            fail(tr("Store location must not overlap the backup source"));
            return;
        }
        // Two sources of one name with one store would overwrite each
        // other's copies.
        for (const RecordPtr& other : records) {
            if (PathRules::sharesCopyFolder(localPath, remotePath, other->localPath,
                                            other->remotePath)) {
                fail(tr("Another backup already uses this store location for a folder of that "
                        "name"));
                return;
            }
        }
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
    if (local && !storeCanBeAFolder(remotePath)) {
        fail(tr("Store location exists and is not a folder"));
        return;
    }
    for (const RecordPtr& other : records) {
        if (sameBackup(targetPeer, localPath, remotePath, *other)) {
            fail(tr("A backup of this source to this destination already exists"));
            return;
        }
    }

    request.log.trace() << request.label << " Adding record peer[" << targetPeer << "] isfile["
                        << isFile << "] path[" << localPath << "] targetpath [" << remotePath
                        << "]grp[" << groupId << "] Freq[" << frequency << "] Time[" << backupTime
                        << "]" << std::endl;
    int newId = 0;
    if (m_pDB->addBackupRecord(targetPeer, isFile, 1, localPath, remotePath, groupId, frequency,
                               backupTime, backupDay, newId))
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
