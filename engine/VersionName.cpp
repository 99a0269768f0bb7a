#include "engine/VersionName.h"

#include <Poco/DateTimeFormatter.h>

namespace Orvana {
namespace Backup {

const char* const VersionName::FOLDER = ".backup-versions";

std::string VersionName::of(const std::string& name, const Poco::Timestamp& when,
                            unsigned attempt) {
    // A leading dot marks a hidden name, not an extension: ".profile" has none.
    const std::string::size_type dot = name.rfind('.');
    const bool hasExtension = dot != std::string::npos && dot != 0;
    std::string out = hasExtension ? name.substr(0, dot) : name;
    out += '~';
    out += Poco::DateTimeFormatter::format(when, "%Y%m%d-%H%M%S");
    if (attempt > 1) out += '-' + std::to_string(attempt);
    if (hasExtension) out += name.substr(dot);
    return out;
}

}  // namespace Backup
}  // namespace Orvana
