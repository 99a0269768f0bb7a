#pragma once
// PathRules: how a record's paths are read, shared by addbackuprecord (which
// refuses bad records) and the worker (which checks again before each pass,
// as stored records may predate the rules or the file system may have changed
// since). Functions on POSIX paths, where only "/" separates components; any
// thread. resolve() and overlapsResolved() look at the file system, the others
// are pure text functions.

#include <string>
#include <vector>

#include "hostapi/FileDescriptor.h"

namespace Orvana {
namespace Backup {
namespace PathRules {

bool isAbsolute(const std::string& path);

// Resolves ".", ".." and repeated or trailing separators of an absolute path.
std::string normalize(const std::string& path);

// The normalised path with symbolic links resolved for the part of it that
// exists; the missing rest is appended unchanged.
std::string resolve(const std::string& path);

// True when the store location equals the source, lies inside it, or is the
// folder that directly holds it (copies go to store + "/" + source name).
bool overlaps(const std::string& source, const std::string& store);

// overlaps() on the paths as given and again after resolving both.
bool overlapsResolved(const std::string& source, const std::string& store);

// Where a record's copies land: the store location + "/" + the last
// component of the normalised source (for a file record, the file's copy).
std::string copyFolder(const std::string& source, const std::string& store);

// True when two records' copy folders are the same after resolving.
bool sameCopyFolder(const std::string& source, const std::string& store,
                    const std::string& otherSource, const std::string& otherStore);

// True when two records would copy into one folder: their copy folders are
// the same after resolving while their sources differ (the same source and
// store twice is a duplicate of one backup, which is fine).
bool sharesCopyFolder(const std::string& source, const std::string& store,
                      const std::string& otherSource, const std::string& otherStore);

// True when a relative name stays below the folder it is joined to: not
// empty, not absolute, no "." or ".." component.
bool staysInside(const std::string& relative);

// The folder `name` inside the open folder `at` (or a path, with AT_FDCWD),
// opened without following a link in its last step; invalid (errno set)
// when it is anything but a folder. Every walk that must not be led out of
// a tree by a swapped-in link opens its folders through this.
Orvana::Util::FileDescriptor openFolder(int at, const std::string& name);

// The folder reached from the open folder `start` through `names`, each step
// by openFolder(). Invalid (errno set, `failed` given the step's name) when a
// step is missing, a link or not a folder.
Orvana::Util::FileDescriptor openFolderBelow(Orvana::Util::FileDescriptor start,
                                             const std::vector<std::string>& names,
                                             std::string* failed = nullptr);

// folder + "/" + name, without doubling a trailing "/"; name alone when the
// folder is empty (a relative path at the top).
std::string join(const std::string& folder, const std::string& name);

// Names joined by "/"; "" for none.
std::string joinNames(const std::vector<std::string>& names);

// The names of a relative path, empty ones (repeated "/") dropped.
std::vector<std::string> splitNames(const std::string& relative);

// A relative path split at its last "/": "a/b/c" -> ("a/b", "c"), "c" ->
// ("", "c").
void splitLast(const std::string& relative, std::string& folder, std::string& name);

// The last component and the folder holding it ("/" at the top), read as
// Orvana::Util::splitFolder reads a path; stored records and the replies
// built from them rely on that reading.
std::string baseName(const std::string& path);
std::string folderOf(const std::string& path);

}  // namespace PathRules
}  // namespace Backup
}  // namespace Orvana
