#include "engine/StagingFolder.h"

#include <Poco/Exception.h>
#include <Poco/File.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include "engine/FileCopier.h"
#include "engine/PathRules.h"

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

void StagingFolder::removeAt(int rootFd, const std::string& key) noexcept {
    Orvana::Util::FileDescriptor parent = PathRules::openFolder(rootFd, NAME);
    if (!parent.valid()) return;
    Orvana::Util::FileDescriptor folder = PathRules::openFolder(parent.get(), key);
    if (folder.valid()) {
        // Temporaries only: a staging folder holds no folders of its own.
        if (DIR* dir = ::fdopendir(::dup(folder.get()))) {
            while (struct dirent* e = ::readdir(dir)) {
                if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
                ::unlinkat(folder.get(), e->d_name, 0);
            }
            ::closedir(dir);
        }
        ::unlinkat(parent.get(), key.c_str(), AT_REMOVEDIR);
    }
    ::unlinkat(rootFd, NAME, AT_REMOVEDIR);  // fails harmlessly while another key uses it
}

Orvana::Util::FileDescriptor StagingFolder::prepareAt(int rootFd, const std::string& key) {
    removeAt(rootFd, key);
    for (int attempt = 0;; ++attempt) {
        if (::mkdirat(rootFd, NAME, 0700) != 0 && errno != EEXIST)
            FileCopier::throwErrno(NAME, errno);
        Orvana::Util::FileDescriptor parent = PathRules::openFolder(rootFd, NAME);
        // Another key's removeAt may take the common parent away in between.
        if (!parent.valid() && errno == ENOENT && attempt < 10) continue;
        if (!parent.valid()) FileCopier::throwErrno(NAME, errno);
        if (::mkdirat(parent.get(), key.c_str(), 0700) != 0) {
            if (errno == ENOENT && attempt < 10) continue;
            FileCopier::throwErrno(std::string(NAME) + "/" + key, errno);
        }
        Orvana::Util::FileDescriptor folder = PathRules::openFolder(parent.get(), key);
        if (!folder.valid()) FileCopier::throwErrno(std::string(NAME) + "/" + key, errno);
        return folder;
    }
}

namespace {

bool isKey(const char* name) {
    static const char RESTORE[] = "restore-";
    if (std::strncmp(name, RESTORE, sizeof RESTORE - 1) == 0) name += sizeof RESTORE - 1;
    if (!*name) return false;
    for (; *name; ++name) {
        if (!std::isdigit(static_cast<unsigned char>(*name))) return false;
    }
    return true;
}

}  // namespace

bool StagingFolder::holdsOnlyStaging(const std::string& folder) {
    const std::string::size_type slash = folder.rfind('/');
    if (folder.compare(slash == std::string::npos ? 0 : slash + 1, std::string::npos, NAME) != 0)
        return false;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return false;
    bool staging = true;
    while (struct dirent* e = ::readdir(dir)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        struct stat st;
        if (!isKey(e->d_name) ||
            ::fstatat(::dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISDIR(st.st_mode)) {
            staging = false;
            break;
        }
    }
    ::closedir(dir);
    return staging;
}

}  // namespace Backup
}  // namespace Orvana
