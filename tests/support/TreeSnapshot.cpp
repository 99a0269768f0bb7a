#include "support/TreeSnapshot.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/TempDir.h"

namespace TestSupport {

namespace {
void walk(const std::string& root, const std::string& rel, bool folderTimes,
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
}  // namespace

std::map<std::string, TreeNode> snapshotTree(const std::string& root, bool folderTimes) {
    std::map<std::string, TreeNode> out;
    walk(root, "", folderTimes, out);
    return out;
}

std::map<std::string, TreeNode> snapshotFiles(const std::string& root) {
    std::map<std::string, TreeNode> out;
    for (const auto& e : snapshotTree(root, false))
        if (e.second.kind != 'd') out.insert(e);
    return out;
}

std::size_t countFiles(const std::string& root) {
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
