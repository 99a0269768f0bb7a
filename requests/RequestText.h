#pragma once
// Small text helpers shared by the web request handlers: translation, XML
// escaping of user texts and the time stamp of activity entries. Stateless;
// any thread.

#include <string>

#include "engine/Translation.h"

namespace Orvana {
namespace Backup {
namespace RequestText {

// The host's translation of a user-facing text.
using Backup::tr;

// The text as well-formed XML element content (the host's XmlText::encode).
std::string xmlEscape(const std::string& text);

// True when a request field holds a NUL byte: the file system would see the
// text only up to it, SQL and the path checks the whole text.
bool hasNulByte(const std::string& text);

// "<local date> <local time> : <translated text>", the form of activity entries.
std::string activityText(const std::string& text);

}  // namespace RequestText
}  // namespace Backup
}  // namespace Orvana
