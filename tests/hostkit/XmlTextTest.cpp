// The host's XML text encoder: markup, control characters and byte
// sequences a strict parser refuses.

#include <gtest/gtest.h>

#include "hostapi/HTTP.h"
#include "hostapi/XmlText.h"
#include "support/XmlDocument.h"

using Orvana::Misc::XmlText;

namespace {

const std::string kFFFD = "\xEF\xBF\xBD";

TEST(XmlTextTest, EncodesIntoTextAStrictParserReadsBack) {
    struct Case {
        std::string raw, encoded;
    };
    const Case cases[] = {
        {"plain /path/Gr\xC3\xBC\xC3\x9F"
         "e \xF0\x9F\x98\x80 \x7F",
         ""},  // unchanged
        {"a&b<c>d\"e'f", "a&amp;b&lt;c&gt;d&quot;e&apos;f"},
        {"&#x41; &#xZZ; &amp;", "&amp;#x41; &amp;#xZZ; &amp;amp;"},
        {"\t\n\r", "&#x09;&#x0A;&#x0D;"},
        {std::string("\x01\x1F\0x", 4), kFFFD + kFFFD + kFFFD + "x"},
        {"caf\xE9!", "caf" + kFFFD + "!"},                    // Latin-1
        {"\xC3", kFFFD},                                      // cut short
        {"\xC3\xA9\xA9", "\xC3\xA9" + kFFFD},                 // stray continuation
        {"\xC0\xAF", kFFFD + kFFFD},                          // overlong "/"
        {"\xE0\x80\xAF", kFFFD + kFFFD + kFFFD},              // overlong, 3 bytes
        {"\xED\xA0\x80", kFFFD + kFFFD + kFFFD},              // surrogate
        {"\xF4\x90\x80\x80", kFFFD + kFFFD + kFFFD + kFFFD},  // above U+10FFFF
        {"\xEF\xBF\xBE\xEF\xBF\xBF", kFFFD + kFFFD},          // U+FFFE, U+FFFF
        {"\xF5\xFF", kFFFD + kFFFD},
    };
    for (const Case& c : cases) {
        const std::string expected = c.encoded.empty() ? c.raw : c.encoded;
        const std::string encoded = XmlText::encode(c.raw);
        EXPECT_EQ(expected, encoded) << c.raw;
        TestSupport::XmlDocument doc("<t a=\"" + encoded + "\">" + encoded + "</t>");
        EXPECT_TRUE(doc.ok()) << doc.error() << " for " << encoded;
    }
    // The checker itself is strict: it refuses what passing the bytes
    // through used to give.
    for (const char* loose : {"<t>caf\xE9</t>", "<t>&#x01;</t>", "<t>&#xZZ;</t>", "<t>\x01</t>"})
        EXPECT_FALSE(TestSupport::XmlDocument(loose).ok()) << loose;
    // Valid text that needs escaping comes back as it was.
    const std::string kept = "a&#x41;<\n\t\"'>\xC3\xA9";
    EXPECT_EQ(kept, TestSupport::XmlDocument("<t>" + XmlText::encode(kept) + "</t>").text("t"));

    // The result document uses the encoder.
    const std::string doc = Orvana::Misc::HTTP::getXMLResult("n\x01", false, "caf\xE9 &#x41;");
    EXPECT_EQ("<result><name>n" + kFFFD + "</name><success>false</success><text>caf" + kFFFD +
                  " &amp;#x41;</text></result>",
              doc);
}

}  // namespace
