// Texts: the XML encoder (markup, control characters and byte sequences a
// strict parser refuses), the translation catalogues, and peer ids read from
// text.

#include <Poco/Path.h>
#include <Poco/Zip/Compress.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "hostapi/HTTP.h"
#include "hostapi/HostControl.h"
#include "hostapi/PeerID.h"
#include "hostapi/PoManager.h"
#include "hostapi/XmlText.h"
#include "support/TempDir.h"
#include "support/XmlDocument.h"

using Orvana::Data::PeerID;
using Orvana::HostKit::HostControl;
using Orvana::Misc::XmlText;
using TestSupport::TempDir;

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

const char* const kGermanPo =
    "# German translations\n"
    "msgid \"\"\n"
    "msgstr \"\"\n"
    "\"Content-Type: text/plain; charset=UTF-8\\n\"\n"
    "\n"
    "msgid \"Idle\"\n"
    "msgstr \"Bereit\"\n"
    "\n"
    "#: somewhere.cpp:12\n"
    "msgid \"\"\n"
    "\"Backing \"\n"
    "\"up\"\n"
    "msgstr \"Sicherung \"\n"
    "\"l\\u00e4uft \\\"jetzt\\\"\\tA\\\\B\\n\"\n"
    "\n"
    "msgid \"Untranslated\"\n"
    "msgstr \"\"\n"
    "\n"
    "#, fuzzy\n"
    "msgid \"Queued\"\n"
    "msgstr \"Wartend\"\n";

class PoManagerTest : public ::testing::Test {
protected:
    void SetUp() override { HostControl::reset(); }
    void TearDown() override {
        Orvana::PoManager().removePoVfs(m_archive);
        HostControl::reset();
    }

    // A zip with entries name -> content, written with Poco's own compressor.
    std::string makeZip(const std::vector<std::pair<std::string, std::string>>& entries) {
        std::string path = m_dir.join("translations.zip");
        std::ofstream out(path.c_str(), std::ios::binary);
        Poco::Zip::Compress zip(out, true);
        for (const auto& entry : entries) {
            std::istringstream in(entry.second);
            zip.addFile(in, Poco::DateTime(), Poco::Path(entry.first, Poco::Path::PATH_UNIX));
        }
        zip.close();
        m_archive = path;
        return path;
    }

    TempDir m_dir;
    std::string m_archive;
};

TEST_F(PoManagerTest, LoadsTheCatalogueOfTheCurrentLanguage) {
    std::string zip = makeZip({{"de/backup.po", kGermanPo}});
    Orvana::Util::PoManager& po = Orvana::PoManager();
    HostControl::setLanguage("de");
    ASSERT_TRUE(po.addPoVfs(zip, "backup"));
    EXPECT_EQ("Bereit", po.getTranslation("Idle"));
    EXPECT_EQ("Sicherung l\\u00e4uft \"jetzt\"\tA\\B\n", po.getTranslation("Backing up"));
    EXPECT_EQ("Untranslated", po.getTranslation("Untranslated"));
    EXPECT_EQ("Queued", po.getTranslation("Queued"));  // fuzzy entries are not used
    EXPECT_EQ("", po.getTranslation(""));              // the header is not an entry
    EXPECT_EQ("Unknown", po.getTranslation("Unknown"));

    EXPECT_TRUE(po.removePoVfs(zip));
    EXPECT_FALSE(po.removePoVfs(zip));
    HostControl::setLanguage("de");
    EXPECT_EQ("Idle", po.getTranslation("Idle"));

    // Archives without the language's catalogue load; broken ones fail.
    std::string french = makeZip({{"fr/backup.po", "msgid \"Idle\"\nmsgstr \"Inactif\"\n"}});
    EXPECT_TRUE(po.addPoVfs(french, "backup"));
    EXPECT_EQ("Idle", po.getTranslation("Idle"));
    EXPECT_FALSE(po.addPoVfs(m_dir.join("absent.zip"), "backup"));
    TestSupport::writeFile(m_dir.join("garbage.zip"), std::string(4096, 'x'));
    EXPECT_FALSE(po.addPoVfs(m_dir.join("garbage.zip"), "backup"));
    EXPECT_FALSE(po.addPoVfs(m_dir.path(), "backup"));  // a folder
}

struct Parse {
    const char* text;
    const char* user;
    const char* name;
    const char* hostName;
    const char* hostWithPort;
    const char* form;
};

const Parse kParses[] = {
    {"me@myhost", "me", "me", "myhost", "myhost:24465", "me@myhost"},
    {"  me @ myhost  ", "me", "me", "myhost", "myhost:24465", "me@myhost"},
    {"me~laptop@myhost:9000", "me~laptop", "me", "myhost", "myhost:9000", "me~laptop@myhost"},
    {"Me@MyHost", "Me", "Me", "MyHost", "MyHost:24465", "Me@MyHost"},
    // Blanks before the port are not part of the host name: the text form
    // must parse back to the same id.
    {"me@myhost :9000", "me", "me", "myhost", "myhost :9000", "me@myhost"},
};

TEST(PeerID, ParsesOnlyWellFormedTexts) {
    for (const Parse& p : kParses) {
        SCOPED_TRACE(p.text);
        PeerID id(p.text);
        EXPECT_TRUE(id.isValid());
        EXPECT_EQ(p.form, id.toString());
        EXPECT_EQ(p.user, id.getUser());
        EXPECT_EQ(p.name, id.getName());
        EXPECT_EQ(p.hostName, id.getHostName());
        EXPECT_EQ(p.hostWithPort, id.getHostWithPort());
    }
    for (const char* text : {"me", "", "@myhost", "me@", "a@b@c", "me~a~b@myhost", "me@host:1:2",
                             "me@:9000", "me@ :9000"}) {
        EXPECT_FALSE(PeerID(text).isValid()) << text;
        EXPECT_EQ("", PeerID(text).toString()) << text;
    }
    EXPECT_FALSE(PeerID().isValid());
}

TEST(PeerID, EqualityAndOrderingIgnoreCaseAndAgree) {
    // The port is not part of the text form, so it does not tell peers apart.
    EXPECT_EQ(PeerID("Me@MyHost"), PeerID("me@myhost:1234"));
    EXPECT_NE(PeerID("me@myhost"), PeerID("me~x@myhost"));
    EXPECT_NE(PeerID("me@myhost"), PeerID("you@myhost"));

    const char* texts[] = {"b@h", "A@h", "a@H", "B@h", "c@x", "a~1@h", "Z@h", "_@h", "me@"};
    for (const char* a : texts) {
        for (const char* b : texts) {
            PeerID x(a), y(b);
            SCOPED_TRACE(std::string(a) + " vs " + b);
            // Exactly one of <, >, == holds.
            EXPECT_EQ(1, int(x < y) + int(y < x) + int(x == y));
        }
    }
}

}  // namespace
