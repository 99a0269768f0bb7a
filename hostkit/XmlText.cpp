#include "hostapi/XmlText.h"

namespace Orvana {
namespace Misc {

namespace {

const char REPLACEMENT[] = "\xEF\xBF\xBD";  // U+FFFD

// Length of the valid UTF-8 sequence at text[i], or 0 when the bytes there
// are not one (overlong forms, surrogates and values above U+10FFFF count as
// invalid, as a strict decoder sees them). cp receives the code point.
size_t utf8Sequence(const std::string& text, size_t i, unsigned& cp) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned lead = byte(i);
    size_t len;
    unsigned min;
    if (lead < 0x80) {
        cp = lead;
        return 1;
    } else if ((lead & 0xE0) == 0xC0) {
        len = 2, min = 0x80, cp = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        len = 3, min = 0x800, cp = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        len = 4, min = 0x10000, cp = lead & 0x07;
    } else {
        return 0;
    }
    if (text.size() - i < len) return 0;
    for (size_t k = 1; k < len; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return len;
}

}  // namespace

std::string XmlText::encode(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        unsigned cp = 0;
        const size_t len = utf8Sequence(text, i, cp);
        if (len == 0) {
            // One replacement per undecodable byte; the next byte may start
            // a valid sequence again.
            out += REPLACEMENT;
            ++i;
            continue;
        }
        switch (cp) {
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
            case '\t':
                out += "&#x09;";
                break;
            case '\n':
                out += "&#x0A;";
                break;
            case '\r':
                out += "&#x0D;";
                break;
            default:
                if (cp < 0x20 || cp == 0xFFFE || cp == 0xFFFF)
                    out += REPLACEMENT;
                else
                    out.append(text, i, len);
        }
        i += len;
    }
    return out;
}

}  // namespace Misc
}  // namespace Orvana
