// BackupPlugin's restore requests: browse what a record's copy holds, and ask
// for items of it to be put back.

#include <Poco/DateTime.h>
#include <Poco/DateTimeFormatter.h>
#include <Poco/NumberParser.h>
#include <Poco/String.h>
#include <Poco/Timezone.h>
#include <sys/stat.h>

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

// Why a request is refused, for the user.
const char* const NO_RECORD = "No such backup record";
const char* const NOT_LOCAL = "The backup of this record is not on this device";
const char* const NOTHING_YET = "Nothing has been backed up yet";
const char* const UNREADABLE = "The backup of this record cannot be read";
const char* const OUTSIDE = "The path is not inside the backup";
const char* const NO_FOLDER = "No such folder in the backup";
const char* const NO_ITEM = "No such file or folder in the backup";
const char* const NO_CHOICE = "Nothing was chosen to restore";
const char* const BAD_OVERWRITE = "Overwrite must be never, changed or always";
const char* const BAD_TARGET = "Restore target must be an existing absolute folder";
const char* const TARGET_IN_COPY = "Restore target must not lie in the backup";

// The record named by "recid", or null when there is none.
BackupDB::BackupRecordPtr readRecord(BackupDB& db, const Poco::Net::HTMLForm& form) {
    int id = 0;
    if (!Poco::NumberParser::tryParse(form.get("recid", ""), id))
        return BackupDB::BackupRecordPtr();
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

std::string parentOf(const std::string& path) {
    std::string folder, name;
    Orvana::Util::splitFolder(PathRules::normalize(path), folder, name);
    return folder.empty() ? "/" : folder;
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
    auto refuse = [&](const char* reason) {
        request.reply = HTTP::getXMLResult(op, false, tr(reason));
    };
    const RecordPtr record = readRecord(*m_pDB, request.form);
    if (!record) return refuse(NO_RECORD);
    if (!isLocalPeer(Orvana::Data::PeerID(record->targetPeerId))) return refuse(NOT_LOCAL);
    std::vector<std::string> names;
    if (!BackupBrowser::split(request.form.get("path", ""), names)) return refuse(OUTSIDE);

    const std::string copy = PathRules::copyFolder(record->localPath, record->remotePath);
    const BackupBrowser::Kind root = BackupBrowser::kindOf(copy, {});
    if (root == BackupBrowser::NOTHING) return refuse(NOTHING_YET);

    std::vector<BackupBrowser::Entry> entries;
    if (record->isFile) {
        if (root != BackupBrowser::FILE) return refuse(UNREADABLE);
        if (!names.empty()) return refuse(NO_FOLDER);
        entries.push_back(fileRecordEntry(*record, copy));
    } else {
        if (root != BackupBrowser::FOLDER) return refuse(UNREADABLE);
        if (BackupBrowser::kindOf(copy, names) != BackupBrowser::FOLDER) return refuse(NO_FOLDER);
        try {
            entries = BackupBrowser::list(copy, names, record->localPath);
        } catch (Poco::Exception& e) {
            request.log.error() << "Orvana::Backup::BackupPlugin::onGetBackupFiles "
                                << e.displayText() << std::endl;
            return refuse(UNREADABLE);
        }
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
    auto refuse = [&](const char* reason) {
        request.reply = HTTP::getXMLResult(op, false, tr(reason));
    };
    const Poco::Net::HTMLForm& form = request.form;
    const RecordPtr record = readRecord(*m_pDB, form);
    if (!record) return refuse(NO_RECORD);
    if (!isLocalPeer(Orvana::Data::PeerID(record->targetPeerId))) return refuse(NOT_LOCAL);

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
        return refuse(BAD_OVERWRITE);
    }

    std::vector<std::vector<std::string>> items;
    for (const auto& field : form) {
        if (Poco::icompare(field.first, "path") != 0) continue;
        std::vector<std::string> names;
        if (!BackupBrowser::split(field.second, names)) return refuse(OUTSIDE);
        items.push_back(names);
    }
    if (items.empty()) return refuse(NO_CHOICE);

    const BackupBrowser::Kind root = BackupBrowser::kindOf(job.copyRoot, {});
    if (root == BackupBrowser::NOTHING) return refuse(NOTHING_YET);
    if (root != (record->isFile ? BackupBrowser::FILE : BackupBrowser::FOLDER))
        return refuse(UNREADABLE);
    for (const auto& names : items) {
        if (record->isFile) {
            // The file record's listing names its one file by its base name.
            if (!names.empty() && !(names.size() == 1 && names[0] == baseNameOf(record->localPath)))
                return refuse(NO_ITEM);
            job.paths.push_back("");
        } else {
            const BackupBrowser::Kind kind = BackupBrowser::kindOf(job.copyRoot, names);
            if (kind != BackupBrowser::FOLDER && kind != BackupBrowser::FILE)
                return refuse(NO_ITEM);
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
            return refuse(BAD_TARGET);
        }
    }
    // Into the copy (or the folder holding it), a restore would overwrite
    // the backup with itself; the pass checks again when it runs.
    const std::string into = !job.target.empty() ? job.target
                             : record->isFile    ? parentOf(record->localPath)
                                                 : record->localPath;
    if (PathRules::overlapsResolved(job.copyRoot, into)) return refuse(TARGET_IN_COPY);

    request.log.trace() << "Orvana::Backup::BackupPlugin::onRestoreFiles"
                        << " Initiating restore of path[" << record->localPath << "] items["
                        << job.paths.size() << "]" << std::endl;
    request.reply = HTTP::getXMLResult(op, true, "");
    replyNow(request);
    startRestore(*this, job);
}

}  // namespace Backup
}  // namespace Orvana
