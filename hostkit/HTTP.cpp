#include "hostapi/HTTP.h"

#include "hostapi/XmlText.h"

namespace Orvana {
namespace Misc {

std::string HTTP::getXMLResult(const std::string& name, bool success, const std::string& text) {
    return "<result><name>" + XmlText::encode(name) + "</name><success>" +
           (success ? "true" : "false") + "</success><text>" + XmlText::encode(text) +
           "</text></result>";
}

}  // namespace Misc
}  // namespace Orvana
