#include "engine/VersionLookup.h"

#include <Poco/DateTimeFormatter.h>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <tuple>

#include "engine/PathRules.h"
#include "engine/VersionName.h"

namespace Orvana {
namespace Backup {

namespace {

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

std::string stampOf(const Poco::Timestamp& when, unsigned attempt) {
    std::string stamp = Poco::DateTimeFormatter::format(when, "%Y%m%d-%H%M%S");
    if (attempt > 1) stamp += '-' + std::to_string(attempt);
    return stamp;
}

}  // namespace

VersionLookup::VersionLookup(const std::string& destination, const std::string& copyName,
                             bool fileRecord)
    : m_destination(destination) {
    if (!fileRecord) m_base.push_back(copyName);
}

const std::map<std::string, VersionLookup::Versions>& VersionLookup::folder(
    const std::vector<std::string>& names) {
    if (m_haveFolder && names == m_folder) return m_versions;
    m_haveFolder = true;
    m_folder = names;
    m_versions.clear();
    m_fd.reset();

    // The store location may be a link the user chose; below it, none is followed.
    Orvana::Util::FileDescriptor fd(
        ::open(m_destination.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::vector<std::string> path(1, VersionName::FOLDER);
    path.insert(path.end(), m_base.begin(), m_base.end());
    path.insert(path.end(), names.begin(), names.end());
    for (const std::string& name : path) {
        if (!fd.valid()) return m_versions;
        fd = PathRules::openFolder(fd.get(), name);
    }
    if (!fd.valid()) return m_versions;

    const int listed = ::dup(fd.get());
    if (listed < 0) return m_versions;
    std::unique_ptr<DIR, DirCloser> dir(::fdopendir(listed));
    if (!dir) {
        ::close(listed);
        return m_versions;
    }
    while (const struct dirent* entry = ::readdir(dir.get())) {
        Version version;
        version.keptName = entry->d_name;
        std::string original;
        if (!VersionName::parse(version.keptName, original, version.when, version.attempt))
            continue;
        // Only files are versions; a folder moved aside whole is not one.
        if (::fstatat(fd.get(), version.keptName.c_str(), &version.st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(version.st.st_mode))
            continue;
        version.stamp = stampOf(version.when, version.attempt);
        m_versions[original].push_back(version);
    }
    for (auto& file : m_versions) {
        std::sort(file.second.begin(), file.second.end(), [](const Version& a, const Version& b) {
            return std::tie(a.when, a.attempt) > std::tie(b.when, b.attempt);
        });
    }
    m_fd = std::move(fd);
    return m_versions;
}

const VersionLookup::Versions& VersionLookup::of(const std::vector<std::string>& folderNames,
                                                 const std::string& name) {
    const std::map<std::string, Versions>& all = folder(folderNames);
    const auto found = all.find(name);
    return found == all.end() ? m_none : found->second;
}

const VersionLookup::Version* VersionLookup::at(const Versions& versions,
                                                const Poco::Timestamp& moment) {
    // Newest first: the last one at or after the moment is the oldest such.
    const Version* answer = nullptr;
    for (const Version& version : versions) {
        if (version.when < moment) break;
        answer = &version;
    }
    return answer;
}

const VersionLookup::Version* VersionLookup::withStamp(const Versions& versions,
                                                       const std::string& stamp) {
    for (const Version& version : versions)
        if (version.stamp == stamp) return &version;
    return nullptr;
}

bool VersionLookup::parseMoment(const std::string& text, Poco::Timestamp& moment) {
    // The stamp of a kept name without its attempt is exactly this form.
    if (text.size() != 15) return false;
    std::string name;
    unsigned attempt = 0;
    return VersionName::parse("x~" + text, name, moment, attempt) && attempt == 1;
}

}  // namespace Backup
}  // namespace Orvana
