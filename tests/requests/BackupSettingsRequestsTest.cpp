// getbackupsettings / setbackupsettings / previewexcludes and the default
// store location through the running service.
#include <Poco/String.h>
#include <sqlite3.h>
#include <unistd.h>

#include "RequestsFixture.h"

namespace {

using namespace TestSupport;

const std::string kDefaultVersions =
    "<versions>on</versions><retention>staggered</retention><maxagedays>365</maxagedays>"
    "<keeplast>10</keeplast>";

class BackupSettingsRequestsTest : public RequestsTest {
protected:
    std::string settings(int id) { return ask("getbackupsettings", id); }
    static std::string doc(int id, const std::vector<std::string>& exclude, int ignoreCase,
                           int cacheDirTag, const std::string& versions = kDefaultVersions) {
        std::string d = "<getbackupsettings><recid>" + std::to_string(id) + "</recid>" + versions;
        for (const std::string& p : exclude) d += "<exclude>" + p + "</exclude>";
        return d + "<ignorecase>" + std::to_string(ignoreCase) + "</ignorecase><cachedirtag>" +
               std::to_string(cacheDirTag) + "</cachedirtag></getbackupsettings>";
    }
    static std::string storeDoc(const std::string& path) {
        return "<backup><defaultstorelocation>" + path + "</defaultstorelocation></backup>";
    }
    std::string set(const std::string& path) {
        return request("setdefaultstorelocation", {{"storepath", path}});
    }
    static std::string refused(const std::string& text) {
        return result("setdefaultstorelocation", false, text);
    }
};

TEST_F(BackupSettingsRequestsTest, SetChangesTheFieldsGivenAndRefusesBadOnesWhole) {
    const int id = addLocal("/src", "/store");
    auto set = [&](const Fields& fields) { return ask("setbackupsettings", id, fields); };
    const std::string ok = result("setbackupsettings", true);
    EXPECT_EQ(doc(id, {}, 0, 1), settings(id));
    EXPECT_EQ(ok, set({{"exclude", "*.tmp"},
                       {"exclude", "# a comment"},
                       {"exclude", "!keep.tmp"},
                       {"ignorecase", "1"},
                       {"versions", "off"},
                       {"retention", "last"},
                       {"maxagedays", "36500"},
                       {"keeplast", "1000"}}));
    const std::vector<std::string> patterns = {"*.tmp", "# a comment", "!keep.tmp"};
    const std::string versions =
        "<versions>off</versions><retention>last</retention><maxagedays>0</maxagedays>"
        "<keeplast>1000</keeplast>";
    // Fields left out keep their values.
    EXPECT_EQ(ok, set({{"cachedirtag", "0"}, {"maxagedays", "0"}}));
    EXPECT_EQ(doc(id, patterns, 1, 0, versions), settings(id));

    // A refusal says why and stores nothing of the request, good fields beside it neither.
    const std::string ageWord = "The maximum age must be a whole number of days from 0 to 36500";
    const std::string keepWord = "The number of versions to keep must be from 1 to 1000";
    const std::vector<std::pair<Fields, std::string>> refused = {
        {{{"exclude", "ok"}, {"exclude", "[abc"}, {"ignorecase", "0"}},
         "Exclusion pattern \"[abc\" has a [ without its closing ]"},
        {{{"exclude", "x"}, {"ignorecase", "yes"}}, "Ignore case must be 0 or 1"},
        {{{"cachedirtag", ""}}, "The CACHEDIR.TAG switch must be 0 or 1"},
        {{{"versions", "ON"}}, "Versions must be on or off"},
        {{{"retention", "weekly"}}, "Retention must be staggered or last"},
        {{{"maxagedays", "36501"}}, ageWord},
        {{{"maxagedays", "1.5"}}, ageWord},
        {{{"maxagedays", "+7"}}, ageWord},
        {{{"maxagedays", "99999999999999999999"}}, ageWord},
        {{{"keeplast", "0"}}, keepWord},
        {{{"keeplast", ""}}, keepWord},
        {{{"versions", "on"}, {"exclude", "new"}, {"keeplast", "1001"}}, keepWord},
    };
    for (const auto& row : refused) {
        SCOPED_TRACE(query(row.first));
        EXPECT_EQ(result("setbackupsettings", false, row.second), set(row.first));
    }
    EXPECT_EQ(doc(id, patterns, 1, 0, versions), settings(id));

    // One empty field clears the list.
    EXPECT_EQ(ok, set({{"exclude", ""}}));
    EXPECT_EQ(doc(id, {}, 1, 0, versions), settings(id));

    // No such record: the default failure, nothing stored.
    EXPECT_EQ(result("setbackupsettings", false),
              ask("setbackupsettings", 999, {{"exclude", "x"}}));
    EXPECT_EQ(result("getbackupsettings", false), settings(999));
    EXPECT_EQ(result("setbackupsettings", false), request("setbackupsettings", {{"recid", "x"}}));
}

// The preview's counts against a walk of the tree that the test makes itself.
TEST_F(BackupSettingsRequestsTest, PreviewCountsWhatAWalkLeavesOut) {
    std::string big(70000, 'b');
    writeFile(src + "/a.tmp", "12345");
    writeFile(src + "/keep.tmp", "kept");
    writeFile(src + "/doc/report.txt", "report");
    writeFile(src + "/doc/scratch.tmp", big);
    writeFile(src + "/web/node_modules/lib/index.js", big + big);
    writeFile(src + "/web/node_modules/x.tmp", "x");
    writeFile(src + "/web/app.js", "app");
    writeFile(src + "/cache/CACHEDIR.TAG", "Signature: 8a477f597d28d172789f06886806bc55\n# tag");
    writeFile(src + "/cache/blob", big);
    writeFile(src + "/fake/CACHEDIR.TAG", "Signature: not the one");
    writeFile(src + "/fake/data", "d");
    writeFile(src + "/odd-\xff.tmp", "o");
    ::symlink("a.tmp", (src + "/link.tmp").c_str());
    const int id = addLocal(src, store);

    // Left out: a ".tmp" name other than keep.tmp, anything in a node_modules
    // folder or in a folder with a genuine tag: 7 files, the tag's 49 bytes among them.
    const long long files = 7, bytes = 5 + 70000 + 2 * 70000 + 1 + 49 + 70000 + 1;

    auto preview = [&](Fields more) {
        Fields fields{{"exclude", "*.tmp"}, {"exclude", "node_modules/"}, {"exclude", "!keep.tmp"}};
        fields.insert(fields.end(), more.begin(), more.end());
        return ask("previewexcludes", id, fields);
    };
    const std::string reply = preview({});
    EXPECT_EQ(std::to_string(files), element(reply, "files")) << reply;
    EXPECT_EQ(std::to_string(bytes), element(reply, "bytes")) << reply;
    EXPECT_EQ("1", element(reply, "complete"));
    // The outermost entries left out, in byte order.
    EXPECT_NE(std::string::npos, reply.find("<example>a.tmp</example><example>cache/</example>"
                                            "<example>doc/scratch.tmp</example>"))
        << reply;
    EXPECT_NE(std::string::npos, reply.find("<example>web/node_modules/</example>")) << reply;
    EXPECT_EQ(std::string::npos, reply.find("index.js")) << reply;

    // With the tag switch off, the cache folder and its tag are kept; nothing is stored.
    const std::string off = preview({{"cachedirtag", "0"}});
    EXPECT_EQ(std::to_string(files - 2), element(off, "files")) << off;
    EXPECT_EQ(doc(id, {}, 0, 1), settings(id));
    EXPECT_EQ(
        result("previewexcludes", false, "Exclusion pattern \"a\\\" ends in a lone backslash"),
        ask("previewexcludes", id, {{"exclude", "a\\"}}));
}

// The default store location: what is refused, or cannot be saved while
// another program writes, leaves the stored location as it was; what is
// accepted is kept as given.
TEST_F(BackupSettingsRequestsTest, StoreLocationRefusalsStoreNothingAndAcceptedOnesAreKept) {
    const std::string initial = storeDoc(profile.userDataDir() + "/backup");
    profile.scratch("rel");
    const std::string missing = "Store location does not exist. Request rejected";
    const std::string relative = "Store location must be an absolute path";
    const std::pair<std::string, std::string> cases[] = {
        {"", missing},
        {"/no/such/place", missing},
        {"rel", relative},
        {"./rel", relative},
        {"~/rel", relative},
        // The file system would see the existing folder before the NUL.
        {store + std::string(1, '\0') + "/x", "Path contains an invalid character"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(refused(c.second), set(c.first)) << c.first;
        EXPECT_EQ(initial, request("getdefaultstorelocation")) << c.first;
    }

    // Any existing path will do, a file too; it is kept as given and
    // returned escaped.
    const std::string file = profile.scratch("a&b") + "/target.bin";
    writeFile(file, "x");

    // Another program holds the database's write lock for the whole request.
    sqlite3* other = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(profile.databasePath().c_str(), &other));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(other, "BEGIN IMMEDIATE;", nullptr, nullptr, nullptr));
    const std::string reply = set(file);
    const std::string during = request("getdefaultstorelocation");
    EXPECT_EQ(SQLITE_OK, sqlite3_exec(other, "ROLLBACK;", nullptr, nullptr, nullptr));
    sqlite3_close(other);
    EXPECT_EQ(refused("Store location could not be saved"), reply);
    EXPECT_EQ(initial, during);
    EXPECT_FALSE(db->doesConfigExist("backup", "BACKUP_DEF_STORE_KEY"));
    EXPECT_FALSE(db->doesConfigExist("backup", "CUSTOM_DIR_SET"));

    EXPECT_EQ(result("setdefaultstorelocation", true), set(file));
    EXPECT_EQ(storeDoc(Poco::replace(file, std::string("&"), std::string("&amp;"))),
              request("getdefaultstorelocation"));
    EXPECT_EQ(file, db->getConfigValue("backup", "BACKUP_DEF_STORE_KEY", ""));
    EXPECT_EQ("TRUE", db->getConfigValue("backup", "CUSTOM_DIR_SET", "NONE"));
}

}  // namespace
