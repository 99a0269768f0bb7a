// The exclusions of a pass: which entries of the source it leaves out.

#include "engine/ActivityText.h"
#include "engine/BackupActivity.h"
#include "engine/CacheDirTag.h"
#include "engine/Translation.h"
#include "hostapi/BackupLog.h"

namespace Orvana {
namespace Backup {

void BackupActivity::loadExclusions(const RecordPtr& rec, const std::string& source) {
    BackupDB::RECORD_SETTINGS settings;
    m_db->getRecordSettings(rec->id, settings);  // a failed read leaves the defaults
    m_skipCacheDirs = settings.cacheDirTag;
    // A file record's file is judged by its name.
    const std::string::size_type slash = rec->isFile ? source.rfind('/') : std::string::npos;
    m_excludeRoot =
        rec->isFile ? source.substr(0, slash + 1) : (source.back() == '/' ? source : source + '/');
    ExcludeRules::Refusal refusal;
    if (!ExcludeRules::compile(settings.exclude, settings.ignoreCase, m_exclude, refusal)) {
        // Stored patterns were checked when set; one refused now (a file
        // edited by hand) must not leave the whole source out, so none apply.
        Orvana::Util::BackupLog ls;
        ls.error() << m_name << " : exclusion pattern [" << refusal.pattern << "] "
                   << refusal.reason << ". No exclusions apply" << std::endl;
        m_db->addActivity(rec->id, BackupDB::SEVERITY_PROBLEM,
                          ActivityText::now(tr("Exclusion pattern") + " \"" + refusal.pattern +
                                            "\" " + tr(refusal.reason)));
    }
}

bool BackupActivity::isExcluded(const std::string& relative, const std::string& name, bool isFolder,
                                int parentFd) {
    if (m_exclude.excludes(relative, isFolder)) return true;
    if (isFolder && m_skipCacheDirs && parentFd >= 0 && CacheDirTag::marks(parentFd, name)) {
        Orvana::Util::BackupLog ls;
        ls.trace() << m_name << " : " << m_excludeRoot << relative
                   << " holds a CACHEDIR.TAG. Skipping. " << std::endl;
        return true;
    }
    return false;
}

}  // namespace Backup
}  // namespace Orvana
