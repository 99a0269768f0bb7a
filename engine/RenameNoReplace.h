#pragma once
// RenameNoReplace: moves a finished temporary to its name in a folder only
// when that name is free at that very moment, so a file a user saves while
// a restore runs is never replaced by it. The kernel decides atomically
// (renameat2 with RENAME_NOREPLACE); a file system without that flag gets
// linkat, which refuses an existing name just as atomically, and then the
// temporary's name is removed.
//
// Stateless; any thread. Failures other than a taken name throw
// Poco::Exception.

#include <string>

namespace Orvana {
namespace Backup {
namespace RenameNoReplace {

enum Result {
    PLACED,  // the temporary now has the name
    TAKEN    // something already had the name; the temporary is untouched
};
enum Method {
    ANY,  // renameat2 where the file system has it, else linkat
    LINK  // linkat straight away (the fallback, chosen by tests)
};

Result move(int fromFolder, const std::string& from, int toFolder, const std::string& to,
            Method method = ANY);

}  // namespace RenameNoReplace
}  // namespace Backup
}  // namespace Orvana
