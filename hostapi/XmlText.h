#pragma once
// XmlText::encode: the host library's one text encoder for XML element
// content and attribute values. Every document a web operation answers
// passes its texts through it, so a stored path or name, whatever its bytes,
// can never make a document unreadable. Stateless; any thread.

#include <string>

namespace Orvana {
namespace Misc {

class XmlText {
public:
    // The text as well-formed XML 1.0 character data in UTF-8:
    // - "&", "<", ">", '"' and "'" become "&amp;", "&lt;", "&gt;", "&quot;"
    //   and "&apos;" ("&" always, also in front of "#x..."),
    // - tab, line feed and carriage return become "&#x09;", "&#x0A;" and
    //   "&#x0D;" (so a parser does not normalise them away),
    // - bytes that are not valid UTF-8, other control characters and the
    //   characters XML 1.0 forbids (U+FFFE, U+FFFF) become U+FFFD,
    // - everything else is copied unchanged.
    // Only the display changes: callers keep the stored value as it was.
    static std::string encode(const std::string& text);
};

}  // namespace Misc
}  // namespace Orvana
