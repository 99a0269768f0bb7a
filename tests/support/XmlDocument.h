#pragma once
// XmlDocument: a reply parsed with a strict XML 1.0 parser (Poco's expat),
// so a test sees what a browser's parser sees: a document that is not
// well-formed, or holds a character XML forbids, fails to parse. Single
// thread; owns its parsed tree.

#include <Poco/AutoPtr.h>
#include <Poco/DOM/DOMParser.h>
#include <Poco/DOM/Document.h>
#include <Poco/DOM/Element.h>
#include <Poco/DOM/NodeList.h>
#include <Poco/Exception.h>

#include <string>

namespace TestSupport {

class XmlDocument {
public:
    explicit XmlDocument(const std::string& text) {
        try {
            m_document = Poco::XML::DOMParser().parseString(text);
        } catch (const Poco::Exception& e) {
            m_error = e.displayText();
        }
    }

    bool ok() const { return !m_document.isNull(); }
    const std::string& error() const { return m_error; }  // the parser's message
    // The decoded text of the n-th element named tag (0-based); "<missing>"
    // when there is none.
    std::string text(const std::string& tag, unsigned long n = 0) const {
        if (!ok()) return "<missing>";
        Poco::AutoPtr<Poco::XML::NodeList> nodes = m_document->getElementsByTagName(tag);
        return n < nodes->length() ? nodes->item(n)->innerText() : "<missing>";
    }

private:
    Poco::AutoPtr<Poco::XML::Document> m_document;
    std::string m_error;
};

// XmlDocument(doc).text(tag, n): "<missing>" also when doc does not parse.
inline std::string element(const std::string& doc, const std::string& tag, unsigned long n = 0) {
    return XmlDocument(doc).text(tag, n);
}

}  // namespace TestSupport
