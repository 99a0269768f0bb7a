#include "engine/RenameNoReplace.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>

#include "engine/FileCopier.h"

namespace Orvana {
namespace Backup {
namespace RenameNoReplace {

Result move(int fromFolder, const std::string& from, int toFolder, const std::string& to,
            Method method) {
    if (method == ANY) {
        if (::renameat2(fromFolder, from.c_str(), toFolder, to.c_str(), RENAME_NOREPLACE) == 0)
            return PLACED;
        if (errno == EEXIST) return TAKEN;
        if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
            FileCopier::throwErrno(to, errno);
    }
    // A name that is taken, a dangling link included, makes linkat fail.
    if (::linkat(fromFolder, from.c_str(), toFolder, to.c_str(), 0) != 0) {
        if (errno == EEXIST) return TAKEN;
        FileCopier::throwErrno(to, errno);
    }
    // Should this fail, the second name stays in the staging folder, which
    // goes as a whole when the work ends.
    ::unlinkat(fromFolder, from.c_str(), 0);
    return PLACED;
}

}  // namespace RenameNoReplace
}  // namespace Backup
}  // namespace Orvana
