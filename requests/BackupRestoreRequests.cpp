// BackupPlugin's restore requests: browse what a record's copy holds, and ask
// for items of it to be put back.

#include <Poco/DateTime.h>
#include <Poco/DateTimeFormatter.h>
#include <Poco/String.h>
#include <Poco/Timezone.h>
#include <sys/stat.h>

#include <boost/lexical_cast.hpp>
#include <sstream>

#include "engine/ActivityText.h"
#include "engine/PathRules.h"
#include "engine/RestoreJob.h"
#include "hostapi/FileUtil.h"
#include "hostapi/HTTP.h"
#include "requests/BackupBrowser.h"
#include "requests/RequestText.h"
#include "requests/RestoreStart.h"
#include "service/BackupMain.h"

namespace Orvana {
namespace Backup {

using Orvana::Misc::HTTP;
using RequestText::tr;
using RequestText::xmlEscape;

namespace {

const std::size_t kMaxEntries = 10000;

// The record named by "recid", or null when there is none.
BackupDB::BackupRecordPtr readRecord(BackupDB& db, const Poco::Net::HTMLForm& form) {
    const int id = boost::lexical_cast<int>(form["recid"]);
    BackupDB::BackupRecordPtr record(new BackupDB::BACKUP_RECORD);
    // A read that matches no row leaves the record as it is.
    record->id = id == 0 ? -1 : 0;
    if (!db.getBackupRecord(id, *record) || record->id != id) return BackupDB::BackupRecordPtr();
    return record;
}

std::string baseNameOf(const std::string& path) {
    std::string folder, name;
    Orvana::Util::splitFolder(path, folder, name);
    return name;
}

std::string modifiedText(Poco::Int64 microseconds) {
    Poco::DateTime dt{Poco::Timestamp(microseconds)};
    dt.makeLocal(Poco::Timezone::tzd());
    return Poco::DateTimeFormatter::format(dt, ActivityText::TIME_FORMAT);
}

void writeEntry(std::ostringstream& doc, const BackupBrowser::Entry& e) {
    doc << "<entry><name>" << xmlEscape(e.name) << "</name><path>"
        << BackupBrowser::percentEncode(e.path) << "</path><type>" << (e.folder ? "folder" : "file")
        << "</type><size>" << e.size << "</size><readablesize>"
        << Orvana::Util::readableFileSize(e.size, 2) << "</readablesize><modified>"
        << modifiedText(e.modified) << "</modified><state>" << e.state << "</state></entry>";
}

// The one entry of a file record's copy: the file itself, named as in the
// source; its path is that name, as the copy lies in the destination.
BackupBrowser::Entry fileRecordEntry(const BackupDB::BACKUP_RECORD& record,
                                     const std::string& copy) {
    struct stat st;
    if (::lstat(copy.c_str(), &st) != 0) throw Poco::FileNotFoundException(copy);
    BackupBrowser::Entry e;
    e.name = baseNameOf(record.localPath);
    e.path = e.name;
    e.size = static_cast<Poco::Int64>(st.st_size);
    e.modified = static_cast<Poco::Int64>(st.st_mtim.tv_sec) * 1000000 + st.st_mtim.tv_nsec / 1000;
    e.state = BackupBrowser::compare(st, record.localPath);
    return e;
}

}  // namespace

void BackupPlugin::onGetBackupFiles(const void*, MessagePtr& message) {
    handleWebRequest(message, "Orvana::Backup::BackupPlugin::onGetBackupFiles",
                     &BackupPlugin::getBackupFilesBody);
}

void BackupPlugin::getBackupFilesBody(WebRequest& request) {
    static const char* const op = "getbackupfiles";
    const RecordPtr record = readRecord(*m_pDB, request.form);
    if (!record) return;
    if (!isLocalPeer(Orvana::Data::PeerID(record->targetPeerId))) {
        request.reply =
            HTTP::getXMLResult(op, false, tr("The backup of this record is not on this device"));
        return;
    }
    std::vector<std::string> names;
    if (!BackupBrowser::split(request.form.get("path", ""), names)) return;

    const std::string copy = PathRules::copyFolder(record->localPath, record->remotePath);
    const BackupBrowser::Kind root = BackupBrowser::kindOf(copy, {});
    if (root == BackupBrowser::NOTHING) {
        request.reply = HTTP::getXMLResult(op, false, tr("Nothing has been backed up yet"));
        return;
    }

    std::vector<BackupBrowser::Entry> entries;
    if (record->isFile) {
        if (root != BackupBrowser::FILE || !names.empty()) return;
        entries.push_back(fileRecordEntry(*record, copy));
    } else {
        if (root != BackupBrowser::FOLDER) return;
        if (BackupBrowser::kindOf(copy, names) != BackupBrowser::FOLDER) return;
        entries = BackupBrowser::list(copy, names, record->localPath);
    }

    std::ostringstream doc;
    doc << "<getbackupfiles><recid>" << record->id << "</recid><path>"
        << BackupBrowser::percentEncode(BackupBrowser::join(names)) << "</path>";
    for (std::size_t i = 0; i < entries.size() && i < kMaxEntries; ++i) writeEntry(doc, entries[i]);
    if (entries.size() > kMaxEntries) doc << "<more>" << entries.size() - kMaxEntries << "</more>";
    doc << "</getbackupfiles>";
    request.reply = doc.str();
}

void BackupPlugin::onRestoreFiles(const void*, MessagePtr& message) {
    handleWebRequest(message, "Orvana::Backup::BackupPlugin::onRestoreFiles",
                     &BackupPlugin::restoreFilesBody);
}

void BackupPlugin::restoreFilesBody(WebRequest& request) {
    static const char* const op = "restorefiles";
    const Poco::Net::HTMLForm& form = request.form;
    const RecordPtr record = readRecord(*m_pDB, form);
    if (!record) return;
    if (!isLocalPeer(Orvana::Data::PeerID(record->targetPeerId))) {
        request.reply =
            HTTP::getXMLResult(op, false, tr("The backup of this record is not on this device"));
        return;
    }

    RestoreJob job;
    job.record = *record;
    job.copyRoot = PathRules::copyFolder(record->localPath, record->remotePath);

    const std::string overwrite = form.get("overwrite", "never");
    if (overwrite == "never") {
        job.overwrite = RestoreJob::NEVER;
    } else if (overwrite == "changed") {
        job.overwrite = RestoreJob::CHANGED;
    } else if (overwrite == "always") {
        job.overwrite = RestoreJob::ALWAYS;
    } else {
        return;
    }

    std::vector<std::vector<std::string>> items;
    for (const auto& field : form) {
        if (Poco::icompare(field.first, "path") != 0) continue;
        std::vector<std::string> names;
        if (!BackupBrowser::split(field.second, names)) return;
        items.push_back(names);
    }
    if (items.empty()) return;

    const BackupBrowser::Kind root = BackupBrowser::kindOf(job.copyRoot, {});
    if (root == BackupBrowser::NOTHING) {
        request.reply = HTTP::getXMLResult(op, false, tr("Nothing has been backed up yet"));
        return;
    }
    for (const auto& names : items) {
        if (record->isFile) {
            // The file record's listing names its one file by its base name.
            if (root != BackupBrowser::FILE) return;
            if (!names.empty() && !(names.size() == 1 && names[0] == baseNameOf(record->localPath)))
                return;
            job.paths.push_back("");
        } else {
            const BackupBrowser::Kind kind = BackupBrowser::kindOf(job.copyRoot, names);
            if (root != BackupBrowser::FOLDER ||
                (kind != BackupBrowser::FOLDER && kind != BackupBrowser::FILE))
                return;
            job.paths.push_back(BackupBrowser::join(names));
        }
    }

    if (form.has("target")) {
        job.target = form["target"];
        struct stat st;
        // A NUL would let the checks see a different folder than the copier.
        if (job.target.empty() || job.target[0] != '/' ||
            job.target.find('\0') != std::string::npos || ::stat(job.target.c_str(), &st) != 0 ||
            !S_ISDIR(st.st_mode)) {
            request.reply = HTTP::getXMLResult(
                op, false, tr("Restore target must be an existing absolute folder"));
            return;
        }
    }

    request.log.trace() << "Orvana::Backup::BackupPlugin::onRestoreFiles"
                        << " Initiating restore of path[" << record->localPath << "] items["
                        << job.paths.size() << "]" << std::endl;
    request.reply = HTTP::getXMLResult(op, true, "");
    replyNow(request);
    startRestore(*this, job);
}

}  // namespace Backup
}  // namespace Orvana
