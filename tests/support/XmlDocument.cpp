#include "support/XmlDocument.h"

#include <Poco/DOM/DOMParser.h>
#include <Poco/DOM/Element.h>
#include <Poco/DOM/NodeList.h>
#include <Poco/Exception.h>

namespace TestSupport {

XmlDocument::XmlDocument(const std::string& text) {
    try {
        Poco::XML::DOMParser parser;
        m_document = parser.parseString(text);
    } catch (const Poco::Exception& e) {
        m_error = e.displayText();
    }
}

std::string XmlDocument::text(const std::string& tag, unsigned long n) const {
    if (!ok()) return "<missing>";
    Poco::AutoPtr<Poco::XML::NodeList> nodes = m_document->getElementsByTagName(tag);
    if (n >= nodes->length()) return "<missing>";
    return nodes->item(n)->innerText();
}

std::string element(const std::string& doc, const std::string& tag, unsigned long n) {
    return XmlDocument(doc).text(tag, n);
}

}  // namespace TestSupport
