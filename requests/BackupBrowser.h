#pragma once
// BackupBrowser: reads what a record's copy holds for the browse and restore
// requests. It never follows a link inside the copy: a request path is taken
// apart and each step is checked with lstat, so a link planted in the copy
// cannot lead a browse or a restore out of it. Read-only; stateless; any
// thread. Failures of the file system throw Poco::Exception.

#include <Poco/Types.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "hostapi/FileDescriptor.h"

namespace Orvana {
namespace Backup {

namespace BackupBrowser {

// One item of a copy's folder, compared with the source.
struct Entry {
    std::string name;  // raw bytes of the name
    std::string path;  // relative to the copy's root, "/"-separated
    bool folder = false;
    Poco::Int64 size = 0;      // 0 for folders
    Poco::Int64 modified = 0;  // microseconds since the epoch
    std::string state;         // "same", "changed" or "missing"
    int versions = 0;          // earlier versions kept of a file
};

// What a path inside the copy names.
enum Kind { NOTHING, FOLDER, FILE, OTHER };

// Splits a relative path into its names, dropping empty and "." ones.
// False for an absolute path, a ".." step or a NUL byte.
bool split(const std::string& path, std::vector<std::string>& names);

// What root + names is, stepping through real folders only: a link or a
// missing step anywhere gives OTHER or NOTHING for the whole path.
Kind kindOf(const std::string& root, const std::vector<std::string>& names);

// The folder root/names, reached without following any link. Throws
// when there is none.
Orvana::Util::FileDescriptor openFolder(const std::string& root,
                                        const std::vector<std::string>& names);

// The folders and files of root/names (links and special files left
// out), folders first, then files, each in byte order of the name. Each
// is compared with the same relative path under sourceRoot.
std::vector<Entry> list(const std::string& root, const std::vector<std::string>& names,
                        const std::string& sourceRoot);

// "same", "changed" or "missing" for a copy entry against a source path.
std::string compare(const struct stat& copy, const std::string& source);

// The bytes with every byte outside RFC 3986's unreserved set as %XX.
std::string percentEncode(const std::string& bytes);

}  // namespace BackupBrowser

}  // namespace Backup
}  // namespace Orvana
