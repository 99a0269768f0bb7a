// BackupPlugin's restore requests: browse what a record's copy holds and the
// earlier versions of its files, and ask for items of it to be put back.

#include <Poco/DateTime.h>
#include <Poco/DateTimeFormatter.h>
#include <Poco/NumberParser.h>
#include <Poco/String.h>
#include <Poco/Timezone.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <sstream>

#include "engine/ActivityText.h"
#include "engine/BackupActivity.h"
#include "engine/PathRules.h"
#include "engine/PeerBrowseClient.h"
#include "engine/RestoreJob.h"
#include "engine/RestoreQueueItem.h"
#include "engine/VersionLookup.h"
#include "hostapi/FileUtil.h"
#include "hostapi/HTTP.h"
#include "hostapi/PeerLink.h"
#include "requests/BackupBrowser.h"
#include "requests/RequestText.h"
#include "service/BackupMain.h"

namespace Orvana {
namespace Backup {

using Orvana::Misc::HTTP;
using RequestText::tr;
using RequestText::xmlEscape;

namespace {

const std::size_t MAX_ENTRIES = 10000;

// Why a request is refused, for the user.
const char* const NO_RECORD = "No such backup record";
const char* const NOTHING_YET = "Nothing has been backed up yet";
const char* const UNREADABLE = "The backup of this record cannot be read";
const char* const OUTSIDE = "The path is not inside the backup";
const char* const NO_FOLDER = "No such folder in the backup";
const char* const NO_ITEM = "No such file or folder in the backup";
const char* const NO_CHOICE = "Nothing was chosen to restore";
const char* const BAD_OVERWRITE = "Overwrite must be never, changed or always";
const char* const BAD_TARGET = "Restore target must be an existing absolute folder";
const char* const TARGET_IN_COPY = "Restore target must not lie in the backup";
const char* const ONE_FILE = "A version can be restored for one file only";
const char* const NO_VERSION = "No such version of this file";
const char* const BAD_MOMENT = "The moment must be given as YYYYMMDD-HHMMSS";
const char* const VERSION_AND_MOMENT = "Give either a version or a moment, not both";
// Not a refusal: the record's copy lies on another device, which is asked.
const char* const ON_PEER = "";

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

Poco::Int64 microseconds(const struct timespec& t) {
    return static_cast<Poco::Int64>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

// Where the versions of the record's copy are looked up.
VersionLookup versionsOf(const BackupDB::BACKUP_RECORD& record, const std::string& copy) {
    return VersionLookup(record.remotePath, PathRules::baseName(copy), record.isFile != 0);
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
        << modifiedText(e.modified) << "</modified><state>" << e.state << "</state>";
    if (e.versions > 0) doc << "<versions>" << e.versions << "</versions>";
    doc << "</entry>";
}

// Size, readable size and time of a file of the copy or of a version.
void writeFileFacts(std::ostringstream& doc, const struct stat& st) {
    const Poco::Int64 size = static_cast<Poco::Int64>(st.st_size);
    doc << "<size>" << size << "</size><readablesize>" << Orvana::Util::readableFileSize(size, 2)
        << "</readablesize><modified>" << modifiedText(microseconds(st.st_mtim)) << "</modified>";
}

// Marks the files of a listing that have versions; with a moment, shows each
// file as it was then.
void applyVersions(std::vector<BackupBrowser::Entry>& entries, VersionLookup& lookup,
                   const std::vector<std::string>& names, const Poco::Timestamp* moment,
                   const std::string& sourceRoot, bool fileRecord) {
    // One listing of the versions folder for the whole folder.
    const std::map<std::string, VersionLookup::Versions>& all = lookup.folder(names);
    for (BackupBrowser::Entry& e : entries) {
        if (e.folder) continue;
        const auto found = all.find(e.name);
        if (found == all.end()) continue;
        e.versions = static_cast<int>(found->second.size());
        const VersionLookup::Version* then =
            moment ? VersionLookup::at(found->second, *moment) : nullptr;
        if (!then) continue;
        e.size = static_cast<Poco::Int64>(then->st.st_size);
        e.modified = microseconds(then->st.st_mtim);
        e.state =
            BackupBrowser::compare(then->st, fileRecord ? sourceRoot : sourceRoot + "/" + e.path);
    }
}

// The one entry of a file record's copy: the file itself, named as in the
// source; its path is that name, as the copy lies in the destination.
BackupBrowser::Entry fileRecordEntry(const BackupDB::BACKUP_RECORD& record,
                                     const std::string& copy) {
    struct stat st;
    if (::lstat(copy.c_str(), &st) != 0) throw Poco::FileNotFoundException(copy);
    BackupBrowser::Entry e;
    e.name = PathRules::baseName(record.localPath);
    e.path = e.name;
    e.size = static_cast<Poco::Int64>(st.st_size);
    e.modified = microseconds(st.st_mtim);
    e.state = BackupBrowser::compare(st, record.localPath);
    return e;
}

// The one file a version restore names, and that the version exists. A
// version of a file gone from the copy can be restored while its folder is
// still there. False when refused (through refuse).
template <typename Refuse>
bool versionChosen(const BackupDB::BACKUP_RECORD& record, const RestoreJob& job,
                   const std::vector<std::string>& names, const Refuse& refuse) {
    const std::string copyName = PathRules::baseName(job.copyRoot);
    if (record.isFile) {
        if (!names.empty() &&
            !(names.size() == 1 && names[0] == PathRules::baseName(record.localPath))) {
            refuse(NO_ITEM);
            return false;
        }
    } else {
        if (names.empty() || BackupBrowser::kindOf(job.copyRoot, names) == BackupBrowser::FOLDER) {
            refuse(ONE_FILE);
            return false;
        }
        const std::vector<std::string> folder(names.begin(), names.end() - 1);
        if (BackupBrowser::kindOf(job.copyRoot, folder) != BackupBrowser::FOLDER) {
            refuse(NO_ITEM);
            return false;
        }
    }
    VersionLookup lookup = versionsOf(record, job.copyRoot);
    const VersionLookup::Versions& versions =
        record.isFile
            ? lookup.of({}, copyName)
            : lookup.of(std::vector<std::string>(names.begin(), names.end() - 1), names.back());
    if (!VersionLookup::withStamp(versions, job.version)) {
        refuse(NO_VERSION);
        return false;
    }
    return true;
}

// What both listings start with: a record of this device, a path inside
// its copy and a copy that exists. Null when all hold, else the refusal.
struct AskedCopy {
    BackupDB::BackupRecordPtr record;
    std::vector<std::string> names;  // the path's steps below the copy's root
    std::string copy;
    BackupBrowser::Kind root = BackupBrowser::NOTHING;
};

const char* askCopy(BackupDB& db, const Poco::Net::HTMLForm& form, AskedCopy& asked) {
    asked.record = readRecord(db, form);
    if (!asked.record) return NO_RECORD;
    if (!BackupBrowser::split(form.get("path", ""), asked.names)) return OUTSIDE;
    if (!BackupActivity::isLocalTarget(Orvana::Data::PeerID(asked.record->targetPeerId)))
        return ON_PEER;
    asked.copy = PathRules::copyFolder(asked.record->localPath, asked.record->remotePath);
    asked.root = BackupBrowser::kindOf(asked.copy, {});
    return asked.root == BackupBrowser::NOTHING ? NOTHING_YET : nullptr;
}

// ---- a record whose copy lies on another device: the device is asked ----

BackupBrowser::Entry peerEntry(const PeerBrowseClient::Item& item, const std::string& path,
                               const std::string& source) {
    BackupBrowser::Entry e;
    e.name = item.name;
    e.path = path;
    e.folder = item.kind == PeerBrowseClient::FOLDER;
    e.size = e.folder ? 0 : item.size;
    e.modified = item.mtime / 1000;
    e.state = BackupBrowser::compare(item.asStat(), source);
    e.versions = e.folder ? 0 : item.versions;
    return e;
}

// Runs body, which asks the device; the reply says so when the device
// cannot be reached or answers with a refusal. Its log line is labelled with
// the operation, not the handler: kept as it is logged.
template <typename Request, typename Body>
void askPeer(Request& request, const char* op, const std::string& peer, const Body& body) {
    try {
        body();
    } catch (Orvana::API::PeerUnreachableException&) {
        request.reply =
            HTTP::getXMLResult(op, false, tr("The device [") + peer + tr("] cannot be reached"));
    } catch (Poco::Exception& e) {
        request.log.error() << "Orvana::Backup::BackupPlugin " << op << " rec "
                            << request.form.get("recid", "") << ": " << e.displayText()
                            << std::endl;
        request.reply = HTTP::getXMLResult(op, false, tr(UNREADABLE));
    }
}

// Why a path the device does not know is refused: nothing there at all, or
// nothing by that name.
const char* missingOnPeer(PeerBrowseClient& client, const char* otherwise) {
    return client.list("").self.kind == PeerBrowseClient::NONE ? NOTHING_YET : otherwise;
}

template <typename Request>
void peerBackupFiles(Request& request, const BackupDB::BACKUP_RECORD& record,
                     const std::vector<std::string>& names) {
    static const char* const op = "getbackupfiles";
    askPeer(request, op, record.targetPeerId, [&]() {
        auto refuse = [&](const char* reason) {
            request.reply = HTTP::getXMLResult(op, false, tr(reason));
        };
        Poco::Timestamp moment;
        const bool atMoment = request.form.has("at");
        if (atMoment && !VersionLookup::parseMoment(request.form.get("at"), moment))
            return refuse(BAD_MOMENT);
        PeerBrowseClient client(record);
        const std::string relative = PathRules::joinNames(names);
        const std::string source = PathRules::normalize(record.localPath);
        std::vector<BackupBrowser::Entry> entries;
        Poco::Int64 more = 0;
        if (record.isFile) {
            PeerBrowseClient::Listing listing = client.list("", atMoment ? &moment : nullptr);
            if (listing.self.kind == PeerBrowseClient::NONE) return refuse(NOTHING_YET);
            if (listing.self.kind != PeerBrowseClient::FILE) return refuse(UNREADABLE);
            if (!names.empty()) return refuse(NO_FOLDER);
            listing.self.name = PathRules::baseName(record.localPath);
            entries.push_back(peerEntry(listing.self, listing.self.name, source));
        } else {
            const PeerBrowseClient::Listing listing =
                client.list(relative, atMoment ? &moment : nullptr);
            if (listing.self.kind != PeerBrowseClient::FOLDER) {
                if (names.empty())
                    return refuse(listing.self.kind == PeerBrowseClient::NONE ? NOTHING_YET
                                                                              : UNREADABLE);
                return refuse(missingOnPeer(client, NO_FOLDER));
            }
            for (const PeerBrowseClient::Item& item : listing.entries) {
                const std::string path = PathRules::join(relative, item.name);
                entries.push_back(peerEntry(item, path, PathRules::join(source, path)));
            }
            more = listing.more;
        }
        std::ostringstream doc;
        doc << "<getbackupfiles><recid>" << record.id << "</recid><path>"
            << BackupBrowser::percentEncode(relative) << "</path>";
        if (atMoment) doc << "<at>" << xmlEscape(request.form.get("at")) << "</at>";
        for (std::size_t i = 0; i < entries.size() && i < MAX_ENTRIES; ++i)
            writeEntry(doc, entries[i]);
        if (entries.size() > MAX_ENTRIES) more += entries.size() - MAX_ENTRIES;
        if (more > 0) doc << "<more>" << more << "</more>";
        doc << "</getbackupfiles>";
        request.reply = doc.str();
    });
}

template <typename Request>
void peerFileVersions(Request& request, const BackupDB::BACKUP_RECORD& record,
                      const std::vector<std::string>& names) {
    static const char* const op = "getfileversions";
    askPeer(request, op, record.targetPeerId, [&]() {
        auto refuse = [&](const char* reason) {
            request.reply = HTTP::getXMLResult(op, false, tr(reason));
        };
        PeerBrowseClient client(record);
        // A file record's listing names its one file by its base name.
        if (names.empty() || (record.isFile && (names.size() != 1 ||
                                                names[0] != PathRules::baseName(record.localPath))))
            return refuse(missingOnPeer(client, NO_ITEM));
        const PeerBrowseClient::Listing versions =
            client.versions(record.isFile ? "" : PathRules::joinNames(names));
        if (versions.self.kind == PeerBrowseClient::NONE && versions.entries.empty())
            return refuse(missingOnPeer(client, NO_ITEM));
        std::ostringstream doc;
        doc << "<getfileversions><recid>" << record.id << "</recid><path>"
            << BackupBrowser::percentEncode(PathRules::joinNames(names)) << "</path>";
        if (versions.self.kind == PeerBrowseClient::FILE) {
            doc << "<current>";
            writeFileFacts(doc, versions.self.asStat());
            doc << "</current>";
        }
        for (const PeerBrowseClient::Item& version : versions.entries) {
            doc << "<version><stamp>" << xmlEscape(version.name) << "</stamp>";
            writeFileFacts(doc, version.asStat());
            doc << "</version>";
        }
        doc << "</getfileversions>";
        request.reply = doc.str();
    });
}

template <typename Request>
bool peerRestoreItems(Request& request, RestoreJob& job,
                      const std::vector<std::vector<std::string>>& items) {
    static const char* const op = "restorefiles";
    bool ready = false;
    askPeer(request, op, job.record.targetPeerId, [&]() {
        auto refuse = [&](const char* reason) {
            request.reply = HTTP::getXMLResult(op, false, tr(reason));
        };
        const BackupDB::BACKUP_RECORD& record = job.record;
        PeerBrowseClient client(record);
        const PeerBrowseClient::Kind root = client.list("").self.kind;
        if (root == PeerBrowseClient::NONE) return refuse(NOTHING_YET);
        if (root != (record.isFile ? PeerBrowseClient::FILE : PeerBrowseClient::FOLDER))
            return refuse(UNREADABLE);
        for (const auto& names : items) {
            const std::string path = PathRules::joinNames(names);
            if (record.isFile) {
                if (!names.empty() &&
                    !(names.size() == 1 && names[0] == PathRules::baseName(record.localPath)))
                    return refuse(NO_ITEM);
                job.paths.push_back("");
                continue;
            }
            if (!job.version.empty() && names.empty()) return refuse(ONE_FILE);
            const PeerBrowseClient::Kind kind = client.list(path).self.kind;
            if (!job.version.empty() && kind == PeerBrowseClient::FOLDER) return refuse(ONE_FILE);
            if (job.version.empty() && kind == PeerBrowseClient::NONE) return refuse(NO_ITEM);
            job.paths.push_back(path);
        }
        if (!job.version.empty()) {
            bool found = false;
            for (const PeerBrowseClient::Item& v : client.versions(job.paths.front()).entries)
                found = found || v.name == job.version;
            if (!found) return refuse(NO_VERSION);
        }
        ready = true;
    });
    return ready;
}


// The form's choice of what to restore and how: the overwrite rule, the items
// (each a path split into names), and a version or a moment. The reason of a
// refusal, or null.
const char* readRestoreChoice(const Poco::Net::HTMLForm& form, RestoreJob& job,
                              std::vector<std::vector<std::string>>& items) {
    const std::string overwrite = form.get("overwrite", "never");
    if (overwrite == "never") {
        job.overwrite = RestoreJob::NEVER;
    } else if (overwrite == "changed") {
        job.overwrite = RestoreJob::CHANGED;
    } else if (overwrite == "always") {
        job.overwrite = RestoreJob::ALWAYS;
    } else {
        return BAD_OVERWRITE;
    }
    for (const auto& field : form) {
        if (Poco::icompare(field.first, "path") != 0) continue;
        std::vector<std::string> names;
        if (!BackupBrowser::split(field.second, names)) return OUTSIDE;
        items.push_back(names);
    }
    if (items.empty()) return NO_CHOICE;
    if (form.has("version") && form.has("at")) return VERSION_AND_MOMENT;
    if (form.has("at")) {
        if (!VersionLookup::parseMoment(form.get("at"), job.moment)) return BAD_MOMENT;
        job.atMoment = true;
    }
    if (form.has("version")) {
        job.version = form.get("version");
        if (items.size() != 1) return ONE_FILE;
    }
    return nullptr;
}

// The chosen items of a copy on this device into job.paths, each found in
// the copy. The reason of a refusal, or null.
const char* localRestoreItems(const Poco::Net::HTMLForm& form,
                              const BackupDB::BACKUP_RECORD& record, RestoreJob& job,
                              const std::vector<std::vector<std::string>>& items) {
    const BackupBrowser::Kind root = BackupBrowser::kindOf(job.copyRoot, {});
    if (root == BackupBrowser::NOTHING) return NOTHING_YET;
    if (root != (record.isFile ? BackupBrowser::FILE : BackupBrowser::FOLDER)) return UNREADABLE;
    if (form.has("version")) {
        const char* refused = nullptr;
        auto refuse = [&refused](const char* reason) { refused = reason; };
        if (!versionChosen(record, job, items.front(), refuse)) return refused;
    }
    for (const auto& names : items) {
        if (record.isFile) {
            // The file record's listing names its one file by its base name.
            if (!names.empty() &&
                !(names.size() == 1 && names[0] == PathRules::baseName(record.localPath)))
                return NO_ITEM;
            job.paths.push_back("");
        } else if (form.has("version")) {
            job.paths.push_back(PathRules::joinNames(names));  // checked by versionChosen
        } else {
            const BackupBrowser::Kind kind = BackupBrowser::kindOf(job.copyRoot, names);
            if (kind != BackupBrowser::FOLDER && kind != BackupBrowser::FILE) return NO_ITEM;
            job.paths.push_back(PathRules::joinNames(names));
        }
    }
    return nullptr;
}

// Where the restore writes: the form's target, an existing absolute folder,
// or else the source's own place. The reason of a refusal, or null.
const char* restoreTarget(const Poco::Net::HTMLForm& form, const BackupDB::BACKUP_RECORD& record,
                          bool onPeer, RestoreJob& job) {
    if (form.has("target")) {
        job.target = form["target"];
        struct stat st;
        // A NUL would let the checks see a different folder than the copier.
        if (job.target.empty() || job.target[0] != '/' ||
            job.target.find('\0') != std::string::npos || ::stat(job.target.c_str(), &st) != 0 ||
            !S_ISDIR(st.st_mode)) {
            return BAD_TARGET;
        }
    }
    // Into the copy (or the folder holding it), a restore would overwrite
    // the backup with itself; the pass checks again when it runs.
    const std::string into = !job.target.empty() ? job.target
                             : record.isFile
                                 ? PathRules::folderOf(PathRules::normalize(record.localPath))
                                 : record.localPath;
    if (!onPeer && PathRules::overlapsResolved(job.copyRoot, into)) return TARGET_IN_COPY;
    return nullptr;
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
    AskedCopy asked;
    if (const char* reason = askCopy(*m_pDB, request.form, asked)) {
        if (reason == ON_PEER) return peerBackupFiles(request, *asked.record, asked.names);
        return refuse(reason);
    }
    const RecordPtr& record = asked.record;
    const std::vector<std::string>& names = asked.names;
    const std::string& copy = asked.copy;
    const BackupBrowser::Kind root = asked.root;
    Poco::Timestamp moment;
    const bool atMoment = request.form.has("at");
    if (atMoment && !VersionLookup::parseMoment(request.form.get("at"), moment))
        return refuse(BAD_MOMENT);

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
            request.log.error() << request.label << ' ' << e.displayText() << std::endl;
            return refuse(UNREADABLE);
        }
    }
    VersionLookup lookup = versionsOf(*record, copy);
    applyVersions(entries, lookup, record->isFile ? std::vector<std::string>() : names,
                  atMoment ? &moment : nullptr, PathRules::normalize(record->localPath),
                  record->isFile != 0);

    std::ostringstream doc;
    doc << "<getbackupfiles><recid>" << record->id << "</recid><path>"
        << BackupBrowser::percentEncode(PathRules::joinNames(names)) << "</path>";
    if (atMoment) doc << "<at>" << xmlEscape(request.form.get("at")) << "</at>";
    for (std::size_t i = 0; i < entries.size() && i < MAX_ENTRIES; ++i) writeEntry(doc, entries[i]);
    if (entries.size() > MAX_ENTRIES) doc << "<more>" << entries.size() - MAX_ENTRIES << "</more>";
    doc << "</getbackupfiles>";
    request.reply = doc.str();
}

void BackupPlugin::onGetFileVersions(const void*, MessagePtr& message) {
    handleWebRequest(message, "Orvana::Backup::BackupPlugin::onGetFileVersions",
                     &BackupPlugin::getFileVersionsBody);
}

void BackupPlugin::getFileVersionsBody(WebRequest& request) {
    static const char* const op = "getfileversions";
    auto refuse = [&](const char* reason) {
        request.reply = HTTP::getXMLResult(op, false, tr(reason));
    };
    AskedCopy asked;
    if (const char* reason = askCopy(*m_pDB, request.form, asked)) {
        if (reason == ON_PEER) return peerFileVersions(request, *asked.record, asked.names);
        return refuse(reason);
    }
    const RecordPtr& record = asked.record;
    const std::vector<std::string>& names = asked.names;
    const std::string& copy = asked.copy;
    const BackupBrowser::Kind root = asked.root;
    if (root != (record->isFile ? BackupBrowser::FILE : BackupBrowser::FOLDER))
        return refuse(UNREADABLE);
    // A file record's listing names its one file by its base name.
    if (names.empty() ||
        (record->isFile && (names.size() != 1 || names[0] != PathRules::baseName(copy))))
        return refuse(NO_ITEM);

    const std::string name = names.back();
    const std::vector<std::string> folder(names.begin(), names.end() - 1);
    struct stat current;
    bool haveCurrent = false;
    if (record->isFile) {
        haveCurrent = ::lstat(copy.c_str(), &current) == 0 && S_ISREG(current.st_mode);
    } else if (BackupBrowser::kindOf(copy, folder) == BackupBrowser::FOLDER) {
        try {
            const Orvana::Util::FileDescriptor fd = BackupBrowser::openFolder(copy, folder);
            haveCurrent = ::fstatat(fd.get(), name.c_str(), &current, AT_SYMLINK_NOFOLLOW) == 0 &&
                          S_ISREG(current.st_mode);
        } catch (Poco::Exception&) {
            // Gone meanwhile: only its versions are left.
        }
    }
    VersionLookup lookup = versionsOf(*record, copy);
    const VersionLookup::Versions& versions = lookup.of(folder, name);
    if (!haveCurrent && versions.empty()) return refuse(NO_ITEM);

    std::ostringstream doc;
    doc << "<getfileversions><recid>" << record->id << "</recid><path>"
        << BackupBrowser::percentEncode(PathRules::joinNames(names)) << "</path>";
    if (haveCurrent) {
        doc << "<current>";
        writeFileFacts(doc, current);
        doc << "</current>";
    }
    for (const VersionLookup::Version& version : versions) {
        doc << "<version><stamp>" << xmlEscape(version.stamp) << "</stamp>";
        writeFileFacts(doc, version.st);
        doc << "</version>";
    }
    doc << "</getfileversions>";
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
    const bool onPeer = !isLocalPeer(Orvana::Data::PeerID(record->targetPeerId));

    RestoreJob job;
    job.record = *record;
    job.copyRoot = PathRules::copyFolder(record->localPath, record->remotePath);
    std::vector<std::vector<std::string>> items;
    if (const char* refused = readRestoreChoice(form, job, items)) return refuse(refused);
    if (onPeer) {
        if (!peerRestoreItems(request, job, items)) return;
    } else if (const char* refused = localRestoreItems(form, *record, job, items)) {
        return refuse(refused);
    }
    if (const char* refused = restoreTarget(form, *record, onPeer, job)) return refuse(refused);

    request.log.trace() << request.label << " Initiating restore of path[" << record->localPath
                        << "] items[" << job.paths.size() << "]" << std::endl;
    request.reply = HTTP::getXMLResult(op, true, "");
    replyNow(request);
    // On the target's worker, behind any backup of the record already
    // queued there (see BackupActivity on how a restore is queued).
    startBackupActivity(Orvana::Data::PeerID(job.record.targetPeerId),
                        std::vector<BackupDB::BackupRecordPtr>(1, RestoreQueueItem::make(job)));
}

}  // namespace Backup
}  // namespace Orvana
