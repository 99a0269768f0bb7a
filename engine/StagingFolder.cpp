#include "engine/StagingFolder.h"

#include <Poco/Exception.h>
#include <Poco/File.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "engine/FileCopier.h"

namespace Orvana {
namespace Backup {

const char* const StagingFolder::NAME = ".backup-partial";

StagingFolder::StagingFolder(const std::string& root, const std::string& key) {
    m_parent = root;
    if (m_parent.empty() || m_parent.back() != '/') m_parent += '/';
    m_parent += NAME;
    m_path = m_parent + "/" + key;
}

void StagingFolder::sweep() noexcept {
    try {
        Poco::File folder(m_path);
        if (folder.exists()) folder.remove(true);
    } catch (Poco::Exception&) {
    }
    ::rmdir(m_parent.c_str());  // fails harmlessly while another key uses it
}

void StagingFolder::prepare() {
    sweep();
    // Another key's remove() may take the common parent away in between.
    for (int attempt = 0;; ++attempt) {
        if (::mkdir(m_parent.c_str(), 0700) != 0 && errno != EEXIST) {
            FileCopier::throwErrno(m_parent, errno);
        }
        if (::mkdir(m_path.c_str(), 0700) == 0) return;
        if (errno != ENOENT || attempt > 10) FileCopier::throwErrno(m_path, errno);
    }
}

void StagingFolder::remove() noexcept { sweep(); }

}  // namespace Backup
}  // namespace Orvana
