#pragma once
// XmlDocument: a reply parsed with a strict XML 1.0 parser (Poco's expat),
// so a test sees what a browser's parser sees: a document that is not
// well-formed, or holds a character XML forbids, fails to parse. Single
// thread; owns its parsed tree.

#include <Poco/AutoPtr.h>
#include <Poco/DOM/Document.h>

#include <string>

namespace TestSupport {

class XmlDocument {
public:
    explicit XmlDocument(const std::string& text);

    bool ok() const { return !m_document.isNull(); }
    const std::string& error() const { return m_error; }  // the parser's message
    // The decoded text of the n-th element named tag (0-based); "<missing>"
    // when there is none.
    std::string text(const std::string& tag, unsigned long n = 0) const;

private:
    Poco::AutoPtr<Poco::XML::Document> m_document;
    std::string m_error;
};

// XmlDocument(doc).text(tag, n): "<missing>" also when doc does not parse.
std::string element(const std::string& doc, const std::string& tag, unsigned long n = 0);

}  // namespace TestSupport
