#pragma once
// HTTP::getXMLResult: the host's small result document for web operations:
//   <result><name>NAME</name><success>true|false</success><text>TEXT</text></result>
// NAME and TEXT pass through XmlText::encode; no declaration, no whitespace.

#include <string>

namespace Orvana {
namespace Misc {

class HTTP {
public:
    static std::string getXMLResult(const std::string& name, bool success, const std::string& text);
};

}  // namespace Misc
}  // namespace Orvana
