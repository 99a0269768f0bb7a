#include "requests/RequestText.h"

#include "hostapi/PoManager.h"
#include "hostapi/XmlText.h"

#include <Poco/DateTime.h>
#include <Poco/DateTimeFormatter.h>
#include <Poco/Timezone.h>

namespace Orvana {
namespace Backup {
namespace RequestText {

std::string tr(const std::string& text) { return Orvana::PoManager().getTranslation(text); }

std::string xmlEscape(const std::string& text) { return Orvana::Misc::XmlText::encode(text); }

std::string activityText(const std::string& text) {
    Poco::DateTime now;
    now.makeLocal(Poco::Timezone::tzd());
    return Poco::DateTimeFormatter::format(now, "%e-%b-%y") + " " +
           Poco::DateTimeFormatter::format(now, "%h:%M:%S %A") + " : " + tr(text);
}

}  // namespace RequestText
}  // namespace Backup
}  // namespace Orvana
