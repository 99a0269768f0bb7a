#pragma once
// A tree of files read into memory, so that a copy can be compared with its
// source in one assertion: kind, content, permission bits and modification
// time of every entry. Plain functions; no state.

#include <cstddef>
#include <map>
#include <string>

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

// Relative path ("a/b", no leading separator) -> node, for everything below
// root (root itself left out; empty when root is missing). Links are read, not
// followed.
std::map<std::string, TreeNode> snapshotTree(const std::string& root, bool folderTimes = true);
// The same without the folders.
std::map<std::string, TreeNode> snapshotFiles(const std::string& root);

// The entries below root that are not folders, without reading them: cheap
// enough to poll while a pass changes the tree. 0 when root is missing.
std::size_t countFiles(const std::string& root);

}  // namespace TestSupport
