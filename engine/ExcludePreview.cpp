#include "engine/ExcludePreview.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "engine/CacheDirTag.h"
#include "engine/StagingFolder.h"

namespace Orvana {
namespace Backup {

namespace {

struct Walk {
    const ExcludeRules& rules;
    bool cacheDirTag;
    size_t budget;
    ExcludePreview::Result result;

    void note(const std::string& example) {
        if (result.examples.size() < ExcludePreview::MAX_EXAMPLES)
            result.examples.push_back(example);
    }

    // Walks the folder open as `fd` (taken over); `relative` is its path
    // from the source ("" for the source, else ending in '/'); `leftOut`
    // when an enclosing folder is excluded.
    void folder(int fd, const std::string& path, const std::string& relative, bool leftOut) {
        DIR* dir = ::fdopendir(fd);
        if (!dir) {
            ::close(fd);
            return;
        }
        std::vector<std::string> names;
        while (struct dirent* e = ::readdir(dir)) {
            const char* n = e->d_name;
            if (n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0))) continue;
            names.emplace_back(n);
        }
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) {
            if (budget == 0) {
                result.complete = false;
                break;
            }
            --budget;
            struct stat st;
            if (::fstatat(::dirfd(dir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
            const std::string rel = relative + name;
            if (S_ISREG(st.st_mode)) {
                if (leftOut || rules.excludes(rel, false)) {
                    if (!leftOut) note(rel);
                    result.files += 1;
                    result.bytes += st.st_size;
                }
            } else if (S_ISDIR(st.st_mode)) {
                const std::string sub = path + '/' + name;
                if (name == StagingFolder::NAME && StagingFolder::holdsOnlyStaging(sub)) continue;
                const int subFd = ::openat(::dirfd(dir), name.c_str(),
                                           O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                if (subFd < 0) continue;
                bool out = leftOut;
                if (!out &&
                    (rules.excludes(rel, true) || (cacheDirTag && CacheDirTag::marks(subFd)))) {
                    note(rel + '/');
                    out = true;
                }
                folder(subFd, sub, rel + '/', out);
            }
        }
        ::closedir(dir);
    }
};

}  // namespace

ExcludePreview::Result ExcludePreview::run(const std::string& source, bool isFile,
                                           const ExcludeRules& rules, bool cacheDirTag,
                                           size_t maxEntries) {
    Walk walk{rules, cacheDirTag, maxEntries, Result()};
    if (isFile) {
        // A file record's one file is judged by its name.
        struct stat st;
        const std::string::size_type slash = source.rfind('/');
        const std::string name = slash == std::string::npos ? source : source.substr(slash + 1);
        if (::lstat(source.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            rules.excludes(name, false)) {
            walk.note(name);
            walk.result.files = 1;
            walk.result.bytes = st.st_size;
        }
        return walk.result;
    }
    const int fd = ::open(source.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return walk.result;
    // The source itself is what the person chose: neither the patterns nor a
    // tag inside it leave it out as a whole.
    walk.folder(fd, source, "", false);
    return walk.result;
}

}  // namespace Backup
}  // namespace Orvana
