#include "requests/RequestText.h"

#include <Poco/DateTime.h>
#include <Poco/DateTimeFormatter.h>
#include <Poco/Timezone.h>

#include "engine/ActivityText.h"
#include "hostapi/XmlText.h"

namespace Orvana {
namespace Backup {
namespace RequestText {

std::string xmlEscape(const std::string& text) { return Orvana::Misc::XmlText::encode(text); }

bool hasNulByte(const std::string& text) { return text.find('\0') != std::string::npos; }

std::string activityText(const std::string& text) {
    Poco::DateTime now;
    now.makeLocal(Poco::Timezone::tzd());
    return Poco::DateTimeFormatter::format(now, ActivityText::TIME_FORMAT) + " : " + tr(text);
}

}  // namespace RequestText
}  // namespace Backup
}  // namespace Orvana
