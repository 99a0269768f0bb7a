#pragma once
// VersionName: where an entry of a copy is kept once something else takes
// its place. Everything kept lives in FOLDER at the destination's root, under
// the path of the entry's folder relative to that root, as
// <stem>~<YYYYMMDD-HHMMSS>[.<extension>] (UTC time of the replacement; the
// extension is what follows the last dot of a name that has one not at its
// start). A second entry kept in the same second gets "-2", "-3", ... after
// the stamp, so that nothing kept is ever replaced.
//
// Stateless; any thread.

#include <Poco/Timestamp.h>

#include <string>

namespace Orvana {
namespace Backup {

class VersionName {
public:
    static const char* const FOLDER;  // ".backup-versions"

    // The kept name of `name` replaced at `when`; attempt > 1 for the
    // attempt-th name of one second.
    static std::string of(const std::string& name, const Poco::Timestamp& when,
                          unsigned attempt = 1);
};

}  // namespace Backup
}  // namespace Orvana
