#pragma once
// A tree of files read into memory, so that a copy can be compared with its
// source in one assertion: kind, content, permission bits and modification
// time of every entry. Plain functions; no state.

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <map>
#include <string>

#include "support/TempDir.h"

namespace TestSupport {

struct TreeNode {
    char kind;            // 'f' file, 'd' folder, 'l' link, '?' anything else
    std::string content;  // a file's bytes, a link's target
    unsigned mode;        // permission bits
    long long mtimeNs;    // 0 for folders unless their times were asked for
    bool operator==(const TreeNode& o) const {
        return kind == o.kind && content == o.content && mode == o.mode && mtimeNs == o.mtimeNs;
    }
    bool operator!=(const TreeNode& o) const { return !(*this == o); }
};

namespace detail {
inline void walk(const std::string& root, const std::string& rel, bool folderTimes,
                 std::map<std::string, TreeNode>& out) {
    DIR* dir = ::opendir((rel.empty() ? root : root + "/" + rel).c_str());
    if (!dir) return;
    while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        const std::string path = rel.empty() ? name : rel + "/" + name;
        const std::string full = root + "/" + path;
        struct stat st = {};
        ::lstat(full.c_str(), &st);
        TreeNode node{'?', "", unsigned(st.st_mode & 07777),
                      (long long)st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec};
        if (S_ISDIR(st.st_mode)) {
            node.kind = 'd';
            if (!folderTimes) node.mtimeNs = 0;
            walk(root, path, folderTimes, out);
        } else if (S_ISREG(st.st_mode)) {
            node.kind = 'f';
            node.content = readFile(full);
        } else if (S_ISLNK(st.st_mode)) {
            node.kind = 'l';
            char target[4096];
            const ssize_t n = ::readlink(full.c_str(), target, sizeof target);
            if (n > 0) node.content.assign(target, static_cast<size_t>(n));
        }
        out[path] = node;
    }
    ::closedir(dir);
}
}  // namespace detail

// Relative path ("a/b", no leading separator) -> node, for everything below
// root (root itself left out; empty when root is missing). Links are read, not
// followed.
inline std::map<std::string, TreeNode> snapshotTree(const std::string& root,
                                                    bool folderTimes = true) {
    std::map<std::string, TreeNode> out;
    detail::walk(root, "", folderTimes, out);
    return out;
}

// The same without the folders.
inline std::map<std::string, TreeNode> snapshotFiles(const std::string& root) {
    std::map<std::string, TreeNode> out;
    for (const auto& e : snapshotTree(root, false))
        if (e.second.kind != 'd') out.insert(e);
    return out;
}

// The entries below root that are not folders, without reading them: cheap
// enough to poll while a pass changes the tree. 0 when root is missing.
inline std::size_t countFiles(const std::string& root) {
    std::size_t count = 0;
    DIR* dir = ::opendir(root.c_str());
    if (!dir) return 0;  // missing, or removed by the pass meanwhile
    while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        struct stat st = {};
        ::lstat((root + "/" + name).c_str(), &st);
        count += S_ISDIR(st.st_mode) ? countFiles(root + "/" + name) : 1;
    }
    ::closedir(dir);
    return count;
}

}  // namespace TestSupport
