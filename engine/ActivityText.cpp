#include "engine/ActivityText.h"

#include <Poco/DateTimeFormatter.h>
#include <Poco/Exception.h>

#include "engine/EngineClock.h"

namespace Orvana {
namespace Backup {

std::string ActivityText::at(const Poco::LocalDateTime& moment, const std::string& text) {
    return Poco::DateTimeFormatter::format(moment, TIME_FORMAT) + " : " + text;
}

std::string ActivityText::now(const std::string& text) { return at(EngineClock::localNow(), text); }

std::string ActivityText::describe(const std::exception& e) {
    const Poco::Exception* poco = dynamic_cast<const Poco::Exception*>(&e);
    if (poco && !poco->message().empty()) return poco->message();
    return e.what();
}

}  // namespace Backup
}  // namespace Orvana
