#pragma once
// Small text helpers shared by the web request handlers: translation, XML
// escaping of user texts and the time stamp of activity entries. Stateless;
// any thread.

#include <string>

namespace Orvana {
namespace Backup {
namespace RequestText {

// The host's translation of a user-facing text.
std::string tr(const std::string& text);

// The text as well-formed XML element content (the host's XmlText::encode).
std::string xmlEscape(const std::string& text);

// "<local date> <local time> : <translated text>", the form of activity entries.
std::string activityText(const std::string& text);

}  // namespace RequestText
}  // namespace Backup
}  // namespace Orvana
