#include "hostapi/HTTP.h"

namespace Orvana {
namespace Misc {

namespace {

std::string escapeXml(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

}  // namespace

std::string HTTP::getXMLResult(const std::string& name, bool success, const std::string& text) {
    return "<result><name>" + escapeXml(name) + "</name><success>" + (success ? "true" : "false") +
           "</success><text>" + escapeXml(text) + "</text></result>";
}

}  // namespace Misc
}  // namespace Orvana
