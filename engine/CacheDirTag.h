#pragma once
// CacheDirTag: the convention by which programs mark a folder of cached data
// that a backup need not keep: a file CACHEDIR.TAG inside it whose content
// starts with a fixed signature. A file of that name with other content
// marks nothing, so that a user's own file cannot hide a folder by accident.
// Stateless; any thread.

#include <string>

namespace Orvana {
namespace Backup {
namespace CacheDirTag {

extern const char* const FILE_NAME;  // "CACHEDIR.TAG"

// True when the open folder `folderFd` holds a regular CACHEDIR.TAG that
// starts with the signature. Never follows a link, never blocks on a fifo.
bool marks(int folderFd);
// The same for the folder `name` inside the open folder parentFd.
bool marks(int parentFd, const std::string& name);

}  // namespace CacheDirTag
}  // namespace Backup
}  // namespace Orvana
