#pragma once
// ExcludePreview: what a record's exclusions would leave out of its source,
// found by a walk of the source made the way a pass walks it (links not
// followed, only regular files counted, staging debris ignored), except that
// excluded folders are entered to count what they hold. Used by the page
// while a person edits the patterns.
//
// Stateless; any thread. Reads the file system only.

#include <Poco/Types.h>

#include <string>
#include <vector>

#include "engine/ExcludeRules.h"

namespace Orvana {
namespace Backup {

namespace ExcludePreview {

constexpr size_t MAX_EXAMPLES = 100;
// A walk stops after this many entries, so that a huge tree cannot hold
// up the requests behind it for long.
constexpr size_t MAX_ENTRIES = 1000000;

struct Result {
    Poco::Int64 files = 0;  // regular files left out
    Poco::Int64 bytes = 0;
    // Paths relative to the source of the outermost entries left out, in
    // byte order; a folder's ends in "/".
    std::vector<std::string> examples;
    bool complete = true;  // false when the walk hit MAX_ENTRIES
};

// A source that cannot be opened gives an empty, complete result.
Result run(const std::string& source, bool isFile, const ExcludeRules& rules, bool cacheDirTag,
           size_t maxEntries = MAX_ENTRIES);

}  // namespace ExcludePreview

}  // namespace Backup
}  // namespace Orvana
