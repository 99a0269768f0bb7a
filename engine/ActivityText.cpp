#include "engine/ActivityText.h"

#include "engine/EngineClock.h"

#include <Poco/DateTimeFormatter.h>

namespace Orvana {
namespace Backup {

std::string ActivityText::at(const Poco::LocalDateTime& moment, const std::string& text) {
    return Poco::DateTimeFormatter::format(moment, "%e-%b-%y") + " " +
           Poco::DateTimeFormatter::format(moment, "%h:%M:%S %A") + " : " + text;
}

std::string ActivityText::now(const std::string& text) { return at(EngineClock::localNow(), text); }

}  // namespace Backup
}  // namespace Orvana
