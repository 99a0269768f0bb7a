// getbackupsettings / setbackupsettings / previewexcludes through the
// running service.
#include <dirent.h>
#include <sys/stat.h>

#include <functional>

#include "RequestsFixture.h"
#include "support/TempDir.h"

namespace {

using TestSupport::writeFile;

const std::string kDefaultVersions =
    "<versions>on</versions><retention>staggered</retention><maxagedays>365</maxagedays>"
    "<keeplast>10</keeplast>";

class BackupSettingsRequestsTest : public RequestsTest {
protected:
    std::string settings(int id) {
        return request("getbackupsettings", {{"recid", std::to_string(id)}});
    }
    static std::string doc(int id, const std::vector<std::string>& exclude, int ignoreCase,
                           int cacheDirTag, const std::string& versions = kDefaultVersions) {
        std::string d = "<getbackupsettings><recid>" + std::to_string(id) + "</recid>" + versions;
        for (const std::string& p : exclude) d += "<exclude>" + p + "</exclude>";
        return d + "<ignorecase>" + std::to_string(ignoreCase) + "</ignorecase><cachedirtag>" +
               std::to_string(cacheDirTag) + "</cachedirtag></getbackupsettings>";
    }
};

TEST_F(BackupSettingsRequestsTest, SetChangesTheFieldsGivenAndRefusesBadOnesWhole) {
    const int id = addLocal("/src", "/store");
    const std::string rec = std::to_string(id);
    EXPECT_EQ(doc(id, {}, 0, 1), settings(id));

    EXPECT_EQ(result("setbackupsettings", true),
              request("setbackupsettings", {{"recid", rec},
                                            {"exclude", "*.tmp"},
                                            {"exclude", "# a comment"},
                                            {"exclude", "!keep.tmp"},
                                            {"ignorecase", "1"}}));
    EXPECT_EQ(doc(id, {"*.tmp", "# a comment", "!keep.tmp"}, 1, 1), settings(id));

    // Fields left out keep their values.
    EXPECT_EQ(result("setbackupsettings", true),
              request("setbackupsettings", {{"recid", rec}, {"cachedirtag", "0"}}));
    EXPECT_EQ(doc(id, {"*.tmp", "# a comment", "!keep.tmp"}, 1, 0), settings(id));

    // A refusal names the pattern and stores nothing of the request.
    EXPECT_EQ(
        result("setbackupsettings", false,
               "Exclusion pattern \"[abc\" has a [ without its closing ]"),
        request("setbackupsettings",
                {{"recid", rec}, {"exclude", "ok"}, {"exclude", "[abc"}, {"ignorecase", "0"}}));
    EXPECT_EQ(
        result("setbackupsettings", false, "Ignore case must be 0 or 1"),
        request("setbackupsettings", {{"recid", rec}, {"exclude", "x"}, {"ignorecase", "yes"}}));
    EXPECT_EQ(result("setbackupsettings", false, "The CACHEDIR.TAG switch must be 0 or 1"),
              request("setbackupsettings", {{"recid", rec}, {"cachedirtag", ""}}));
    EXPECT_EQ(doc(id, {"*.tmp", "# a comment", "!keep.tmp"}, 1, 0), settings(id));

    // One empty field clears the list.
    EXPECT_EQ(result("setbackupsettings", true),
              request("setbackupsettings", {{"recid", rec}, {"exclude", ""}}));
    EXPECT_EQ(doc(id, {}, 1, 0), settings(id));

    // No such record: the default failure, nothing stored.
    EXPECT_EQ(result("setbackupsettings", false),
              request("setbackupsettings", {{"recid", "999"}, {"exclude", "x"}}));
    EXPECT_EQ(result("getbackupsettings", false), settings(999));
    EXPECT_EQ(result("setbackupsettings", false), request("setbackupsettings", {{"recid", "x"}}));
}

TEST_F(BackupSettingsRequestsTest, VersionsSettingsRoundTripAndRefusalsStoreNothing) {
    const int id = addLocal("/src", "/store");
    const std::string rec = std::to_string(id);
    auto versionsDoc = [&](const char* on, const char* retention, int maxAge, int keep) {
        return doc(id, {"*.tmp"}, 0, 1,
                   std::string("<versions>") + on + "</versions><retention>" + retention +
                       "</retention><maxagedays>" + std::to_string(maxAge) +
                       "</maxagedays><keeplast>" + std::to_string(keep) + "</keeplast>");
    };
    EXPECT_EQ(result("setbackupsettings", true),
              request("setbackupsettings", {{"recid", rec},
                                            {"exclude", "*.tmp"},
                                            {"versions", "off"},
                                            {"retention", "last"},
                                            {"maxagedays", "0"},
                                            {"keeplast", "1000"}}));
    EXPECT_EQ(versionsDoc("off", "last", 0, 1000), settings(id));
    // One field alone leaves the others, the exclusions included.
    EXPECT_EQ(result("setbackupsettings", true),
              request("setbackupsettings", {{"recid", rec}, {"maxagedays", "36500"}}));
    EXPECT_EQ(versionsDoc("off", "last", 36500, 1000), settings(id));

    const std::string ageWord = "The maximum age must be a whole number of days from 0 to 36500";
    const std::string keepWord = "The number of versions to keep must be from 1 to 1000";
    const std::vector<std::pair<Fields, std::string>> refused = {
        {{{"versions", "ON"}}, "Versions must be on or off"},
        {{{"retention", "weekly"}}, "Retention must be staggered or last"},
        {{{"maxagedays", "36501"}}, ageWord},
        {{{"maxagedays", "1.5"}}, ageWord},
        {{{"maxagedays", "+7"}}, ageWord},
        {{{"maxagedays", "99999999999999999999"}}, ageWord},
        {{{"keeplast", "0"}}, keepWord},
        {{{"keeplast", ""}}, keepWord},
        // A good field beside a bad one is not stored either.
        {{{"versions", "on"}, {"exclude", "new"}, {"keeplast", "1001"}}, keepWord},
    };
    for (const auto& row : refused) {
        Fields fields{{"recid", rec}};
        fields.insert(fields.end(), row.first.begin(), row.first.end());
        EXPECT_EQ(result("setbackupsettings", false, row.second),
                  request("setbackupsettings", fields))
            << query(row.first);
    }
    EXPECT_EQ(versionsDoc("off", "last", 36500, 1000), settings(id));
}

// The preview's counts against a walk of the tree that the test makes itself.
TEST_F(BackupSettingsRequestsTest, PreviewCountsWhatAWalkLeavesOut) {
    TestSupport::TempDir dir;
    const std::string src = dir.join("src");
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
    const int id = addLocal(src, dir.join("store"));

    // Left out: a ".tmp" name other than keep.tmp, anything in a
    // node_modules folder or in a folder with a genuine tag.
    std::function<void(const std::string&, bool, long long&, long long&)> walk =
        [&](const std::string& folder, bool out, long long& files, long long& bytes) {
            DIR* d = ::opendir(folder.c_str());
            ASSERT_NE(nullptr, d);
            while (dirent* e = ::readdir(d)) {
                const std::string name = e->d_name;
                if (name == "." || name == "..") continue;
                const std::string path = folder + "/" + name;
                struct stat st;
                ASSERT_EQ(0, ::lstat(path.c_str(), &st));
                if (S_ISDIR(st.st_mode)) {
                    struct stat tag;
                    const bool tagged =
                        ::lstat((path + "/CACHEDIR.TAG").c_str(), &tag) == 0 &&
                        TestSupport::readFile(path + "/CACHEDIR.TAG")
                                .rfind("Signature: 8a477f597d28d172789f06886806bc55", 0) == 0;
                    walk(path, out || name == "node_modules" || tagged, files, bytes);
                } else if (S_ISREG(st.st_mode) &&
                           (out || (name.size() > 4 && name.substr(name.size() - 4) == ".tmp" &&
                                    name != "keep.tmp"))) {
                    files += 1;
                    bytes += st.st_size;
                }
            }
            ::closedir(d);
        };
    long long files = 0, bytes = 0;
    walk(src, false, files, bytes);
    ASSERT_EQ(7, files);  // the tree is what the test means it to be

    const std::string reply = request("previewexcludes", {{"recid", std::to_string(id)},
                                                          {"exclude", "*.tmp"},
                                                          {"exclude", "node_modules/"},
                                                          {"exclude", "!keep.tmp"}});
    auto field = [&](const std::string& tag) {
        const auto start = reply.find("<" + tag + ">");
        const auto end = reply.find("</" + tag + ">");
        return start == std::string::npos
                   ? "<missing>"
                   : reply.substr(start + tag.size() + 2, end - start - tag.size() - 2);
    };
    EXPECT_EQ(std::to_string(files), field("files")) << reply;
    EXPECT_EQ(std::to_string(bytes), field("bytes")) << reply;
    EXPECT_EQ("1", field("complete"));
    // The outermost entries left out, in byte order.
    EXPECT_NE(std::string::npos, reply.find("<example>a.tmp</example><example>cache/</example>"
                                            "<example>doc/scratch.tmp</example>"))
        << reply;
    EXPECT_NE(std::string::npos, reply.find("<example>web/node_modules/</example>")) << reply;
    EXPECT_EQ(std::string::npos, reply.find("index.js")) << reply;

    // With the tag switch off, the cache folder and its tag are kept; nothing is stored.
    const std::string off = request("previewexcludes", {{"recid", std::to_string(id)},
                                                        {"exclude", "*.tmp"},
                                                        {"exclude", "node_modules/"},
                                                        {"exclude", "!keep.tmp"},
                                                        {"cachedirtag", "0"}});
    EXPECT_NE(std::string::npos, off.find("<files>" + std::to_string(files - 2) + "</files>"))
        << off;
    EXPECT_EQ(doc(id, {}, 0, 1), settings(id));
    EXPECT_EQ(
        result("previewexcludes", false, "Exclusion pattern \"a\\\" ends in a lone backslash"),
        request("previewexcludes", {{"recid", std::to_string(id)}, {"exclude", "a\\"}}));
}

}  // namespace
