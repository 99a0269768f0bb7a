// BackupPlugin's per-record settings requests: read and change a record's
// settings, and preview what its exclusions would leave out.

#include <Poco/String.h>

#include <boost/lexical_cast.hpp>
#include <sstream>

#include "engine/ExcludePreview.h"
#include "engine/ExcludeRules.h"
#include "engine/PathRules.h"
#include "hostapi/FileUtil.h"
#include "hostapi/HTTP.h"
#include "requests/RequestText.h"
#include "service/BackupMain.h"

namespace Orvana {
namespace Backup {

using Orvana::Misc::HTTP;
using RequestText::tr;
using RequestText::xmlEscape;

namespace {

// True when the record named by "recid" exists; fills `record`.
bool readRecord(BackupDB& db, const Poco::Net::HTMLForm& form, BackupDB::BACKUP_RECORD& record) {
    const BackupDB::BackupRecordPtr found =
        db.findBackupRecord(boost::lexical_cast<int>(form["recid"]));
    if (!found) return false;
    record = *found;
    return true;
}

// A 0|1 field over its current value; false when it holds anything else.
bool readSwitch(const Poco::Net::HTMLForm& form, const std::string& name, bool& value) {
    if (!form.has(name)) return true;
    const std::string text = form.get(name);
    if (text != "0" && text != "1") return false;
    value = text == "1";
    return true;
}

// A whole number from low to high in a field, over its current value; false
// when it holds anything else (signs, blanks and fractions included).
bool readCount(const Poco::Net::HTMLForm& form, const std::string& name, int low, int high,
               int& value) {
    if (!form.has(name)) return true;
    const std::string text = form.get(name);
    if (text.empty() || text.size() > 9 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const int number = std::stoi(text);
    if (number < low || number > high) return false;
    value = number;
    return true;
}

// The versions fields given, over the settings as they are.
bool readVersionsFields(const Poco::Net::HTMLForm& form, BackupDB::RECORD_SETTINGS& settings,
                        std::string& refusal) {
    if (form.has("versions")) {
        const std::string text = form.get("versions");
        if (text != "on" && text != "off") {
            refusal = tr("Versions must be on or off");
            return false;
        }
        settings.versions = text == "on";
    }
    if (form.has("retention")) {
        const std::string text = form.get("retention");
        if (text != "staggered" && text != "last") {
            refusal = tr("Retention must be staggered or last");
            return false;
        }
        settings.keepLastOnly = text == "last";
    }
    if (!readCount(form, "maxagedays", 0, 36500, settings.maxAgeDays)) {
        refusal = tr("The maximum age must be a whole number of days from 0 to 36500");
        return false;
    }
    if (!readCount(form, "keeplast", 1, 1000, settings.keepLast)) {
        refusal = tr("The number of versions to keep must be from 1 to 1000");
        return false;
    }
    return true;
}

// The fields given, over the settings as they are; the exclusion list given
// replaces the old one as a whole (a lone empty one clears it). False with
// `refusal` set when a field is refused; `rules` are the compiled patterns.
bool readSettingsFields(const Poco::Net::HTMLForm& form, BackupDB::RECORD_SETTINGS& settings,
                        ExcludeRules& rules, std::string& refusal) {
    if (!readVersionsFields(form, settings, refusal)) return false;
    bool given = false;
    std::vector<std::string> patterns;
    for (const auto& field : form) {
        if (Poco::icompare(field.first, "exclude") != 0) continue;
        given = true;
        if (!field.second.empty()) patterns.push_back(field.second);
    }
    if (given) settings.exclude = patterns;
    if (!readSwitch(form, "ignorecase", settings.ignoreCase)) {
        refusal = tr("Ignore case must be 0 or 1");
        return false;
    }
    if (!readSwitch(form, "cachedirtag", settings.cacheDirTag)) {
        refusal = tr("The CACHEDIR.TAG switch must be 0 or 1");
        return false;
    }
    ExcludeRules::Refusal bad;
    if (!ExcludeRules::compile(settings.exclude, settings.ignoreCase, rules, bad)) {
        std::string shown = bad.pattern;
        // The reply is text: a NUL would cut it short.
        for (std::string::size_type at; (at = shown.find('\0')) != std::string::npos;)
            shown.replace(at, 1, "\\0");
        if (shown.size() > 200) shown = shown.substr(0, 200) + "...";
        refusal = tr("Exclusion pattern") + " \"" + shown + "\" " + tr(bad.reason);
        return false;
    }
    return true;
}

// The record named by "recid", its stored settings with the request's fields
// laid over them, and their compiled rules. False when the request ends here:
// `reply` then holds the refusal, or stays as it is for the frame's default.
bool settingsAsked(BackupDB& db, const Poco::Net::HTMLForm& form, const char* op,
                   std::string& reply, BackupDB::BACKUP_RECORD& record,
                   BackupDB::RECORD_SETTINGS& settings, ExcludeRules& rules) {
    if (!readRecord(db, form, record)) return false;
    if (!db.getRecordSettings(record.id, settings)) return false;
    std::string refusal;
    if (!readSettingsFields(form, settings, rules, refusal)) {
        reply = HTTP::getXMLResult(op, false, refusal);
        return false;
    }
    return true;
}

}  // namespace

void BackupPlugin::onGetBackupSettings(const void*, MessagePtr& message) {
    handleWebRequest(message, "Orvana::Backup::BackupPlugin::onGetBackupSettings",
                     &BackupPlugin::getBackupSettingsBody);
}

void BackupPlugin::getBackupSettingsBody(WebRequest& request) {
    BackupDB::BACKUP_RECORD record;
    if (!readRecord(*m_pDB, request.form, record)) return;
    BackupDB::RECORD_SETTINGS settings;
    if (!m_pDB->getRecordSettings(record.id, settings)) return;
    std::ostringstream doc;
    doc << "<getbackupsettings><recid>" << record.id << "</recid><versions>"
        << (settings.versions ? "on" : "off") << "</versions><retention>"
        << (settings.keepLastOnly ? "last" : "staggered") << "</retention><maxagedays>"
        << settings.maxAgeDays << "</maxagedays><keeplast>" << settings.keepLast << "</keeplast>";
    for (const std::string& pattern : settings.exclude)
        doc << "<exclude>" << xmlEscape(pattern) << "</exclude>";
    doc << "<ignorecase>" << (settings.ignoreCase ? 1 : 0) << "</ignorecase><cachedirtag>"
        << (settings.cacheDirTag ? 1 : 0) << "</cachedirtag></getbackupsettings>";
    request.reply = doc.str();
}

void BackupPlugin::onSetBackupSettings(const void*, MessagePtr& message) {
    handleWebRequest(message, "Orvana::Backup::BackupPlugin::onSetBackupSettings",
                     &BackupPlugin::setBackupSettingsBody);
}

void BackupPlugin::setBackupSettingsBody(WebRequest& request) {
    static const char* const op = "setbackupsettings";
    BackupDB::BACKUP_RECORD record;
    BackupDB::RECORD_SETTINGS settings;
    ExcludeRules rules;
    if (!settingsAsked(*m_pDB, request.form, op, request.reply, record, settings, rules)) return;
    if (m_pDB->setRecordSettings(record.id, settings))
        request.reply = HTTP::getXMLResult(op, true, "");
}

void BackupPlugin::onPreviewExcludes(const void*, MessagePtr& message) {
    handleWebRequest(message, "Orvana::Backup::BackupPlugin::onPreviewExcludes",
                     &BackupPlugin::previewExcludesBody);
}

void BackupPlugin::previewExcludesBody(WebRequest& request) {
    // Fields left out are the record's own settings.
    BackupDB::BACKUP_RECORD record;
    BackupDB::RECORD_SETTINGS settings;
    ExcludeRules rules;
    if (!settingsAsked(*m_pDB, request.form, "previewexcludes", request.reply, record, settings,
                       rules))
        return;
    const ExcludePreview::Result result = ExcludePreview::run(
        PathRules::normalize(record.localPath), record.isFile, rules, settings.cacheDirTag);
    std::ostringstream doc;
    doc << "<previewexcludes><recid>" << record.id << "</recid><files>" << result.files
        << "</files><bytes>" << result.bytes << "</bytes><readablesize>"
        << Orvana::Util::readableFileSize(result.bytes, 1) << "</readablesize><complete>"
        << (result.complete ? 1 : 0) << "</complete>";
    for (const std::string& example : result.examples)
        doc << "<example>" << xmlEscape(example) << "</example>";
    doc << "</previewexcludes>";
    request.reply = doc.str();
}

}  // namespace Backup
}  // namespace Orvana
