#pragma once
// PathRules: the checks addbackuprecord makes on a record's paths before it
// stores them, so that a backup never writes onto its own source. Pure text
// functions on POSIX paths; any thread.

#include <string>

namespace Orvana {
namespace Backup {
namespace PathRules {

bool isAbsolute(const std::string& path);

// Resolves ".", ".." and repeated or trailing separators of an absolute path.
std::string normalize(const std::string& path);

// True when the store location equals the source, lies inside it, or is the
// folder that directly holds it (copies go to store + "/" + source name).
bool overlaps(const std::string& source, const std::string& store);

}  // namespace PathRules
}  // namespace Backup
}  // namespace Orvana
