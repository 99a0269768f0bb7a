#include "requests/RequestText.h"

#include "engine/ActivityText.h"
#include "hostapi/XmlText.h"

namespace Orvana {
namespace Backup {
namespace RequestText {

std::string xmlEscape(const std::string& text) { return Orvana::Misc::XmlText::encode(text); }

bool hasNulByte(const std::string& text) { return text.find('\0') != std::string::npos; }

std::string activityText(const std::string& text) { return ActivityText::now(tr(text)); }

}  // namespace RequestText
}  // namespace Backup
}  // namespace Orvana
