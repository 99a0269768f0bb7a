#include <Poco/Path.h>
#include <Poco/Zip/Compress.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "hostapi/HostControl.h"
#include "hostapi/PoManager.h"
#include "support/TempDir.h"

using Orvana::HostKit::HostControl;
using TestSupport::TempDir;

namespace {

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

}  // namespace

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
