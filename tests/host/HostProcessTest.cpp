// End-to-end: the real backup-host program with the real plug-in, driven over
// HTTP the way the page drives it. The page's texts come back from the host
// in its language, from the same catalogue the plug-in uses, without a token.

#include <Poco/File.h>
#include <Poco/JSON/Object.h>
#include <Poco/JSON/Parser.h>
#include <Poco/Path.h>
#include <gtest/gtest.h>

#include <string>

#include "support/HostProcess.h"
#include "support/TempDir.h"
#include "support/TreeSnapshot.h"
#include "support/WaitUntil.h"

using TestSupport::HostProcess;
using TestSupport::TempDir;
using TestSupport::writeFile;

namespace {

using Reply = HostProcess::Reply;
const auto element = HostProcess::element;

// The host's texts for some of the page's, after checking the language it names.
Poco::JSON::Object::Ptr pageTexts(const HostProcess& host, const std::string& lang) {
    const Reply answer =
        host.post("/texts", R"(["Back up now","not in any catalogue","Stopped by you {when}"])",
                  "application/json", "POST", false);
    EXPECT_EQ(200, answer.status) << answer.body;
    Poco::JSON::Object::Ptr json =
        Poco::JSON::Parser().parse(answer.body).extract<Poco::JSON::Object::Ptr>();
    EXPECT_EQ(lang, json->getValue<std::string>("lang"));
    Poco::JSON::Object::Ptr texts = json->getObject("texts");
    EXPECT_EQ("not in any catalogue", texts->getValue<std::string>("not in any catalogue"));
    return texts;
}

TEST(HostProcess, GuardsTheApiAndServesThePage) {
    TempDir dir;
    HostProcess host(dir.join("profile"), {"--lang", "en"});
    ASSERT_GT(host.port(), 0) << host.banner();
    EXPECT_NE(host.banner().find("/ui/backup/index.html?token=" + std::string(HostProcess::TOKEN)),
              std::string::npos);

    EXPECT_EQ(host.get("/api/backup/getallbackuprecs", false).status, 403);
    EXPECT_EQ(host.get("/api/host/plugin", false).status, 403);
    // A page from a foreign name that resolves here (DNS rebinding) is refused,
    // token or not.
    EXPECT_EQ(host.get("/api/backup/getallbackuprecs", true, "attacker.example:8480").status, 403);
    EXPECT_EQ(host.get("/ui/backup/index.html", false, "attacker.example").status, 403);
    EXPECT_EQ(host.get("/api/backup/getallbackuprecs", true, "localhost:1").status, 200);

    const Reply page = host.get("/ui/backup/index.html", false);
    EXPECT_EQ(page.status, 200);
    EXPECT_EQ(page.contentType, "text/html; charset=utf-8");
    EXPECT_EQ(host.get("/ui/backup/../../CMakeLists.txt", false).status, 404);
    EXPECT_EQ(host.get("/ui/backup/%2e%2e/%2e%2e/CMakeLists.txt", false).status, 404);

    EXPECT_EQ("Back up now", pageTexts(host, "en")->getValue<std::string>("Back up now"));
    auto texts = [&](const std::string& body, const std::string& method = "POST") {
        return host.post("/texts", body, "application/json", method, false).status;
    };
    EXPECT_EQ(400, texts(R"({"not":"a list"})"));
    EXPECT_EQ(400, texts("[1, 2]"));
    EXPECT_EQ(400, texts("not json"));
    EXPECT_EQ(405, texts("", "GET"));
    EXPECT_EQ(413, texts("[\"" + std::string(300 * 1024, 'x') + "\"]"));

    EXPECT_EQ(host.terminate(), 0);
}

TEST(HostProcess, BacksUpAFolderByteForByteInGerman) {
    TempDir dir;
    const std::string source = dir.join("Meine Daten & Co");
    writeFile(source + "/a.txt", "alpha\n");
    writeFile(source + "/nested/deeper/b.bin", std::string("\0\x01\xff binary", 10));
    writeFile(source + "/nested/empty.txt", "");
    std::string big(300 * 1024, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 31 % 251);
    writeFile(source + "/big.dat", big);
    const std::string target = dir.join("target");
    Poco::File(target).createDirectories();

    HostProcess host(dir.join("profile"), {"--lang", "de"});
    ASSERT_GT(host.port(), 0) << host.banner();
    const auto texts = pageTexts(host, "de");
    EXPECT_EQ("Jetzt sichern", texts->getValue<std::string>("Back up now"));
    EXPECT_EQ("Von Ihnen angehalten {when}", texts->getValue<std::string>("Stopped by you {when}"));
    const Reply added = host.api(
        "addbackuprecord",
        {{"localpath", source}, {"remotepath", target}, {"frequency", "1"}, {"timeoffset", "3"}});
    ASSERT_EQ(element(added.body, "success"), "true") << added.body;
    const std::string recid = element(host.api("getallbackuprecs").body, "recid");
    ASSERT_FALSE(recid.empty());

    const Reply started = host.api("synconerecord", {{"recid", recid}});
    ASSERT_EQ(element(started.body, "success"), "true") << started.body;
    // "Bereit" is the German idle word: the catalogue was packed and loaded.
    const std::string listing = host.waitForListing([](const std::string& l) {
        return element(l, "currentaction") == "Bereit" && element(l, "active") == "0";
    });
    EXPECT_EQ(element(listing, "groupname"), "Lokal");
    EXPECT_EQ(element(listing, "localpath"), source.substr(0, source.find('&')) + "&amp; Co");

    // Content, modes and times; nothing else in the destination.
    const auto expected = TestSupport::snapshotTree(source);
    const std::string name = Poco::Path(source).getFileName();
    EXPECT_EQ(TestSupport::snapshotTree(target + "/" + name), expected);
    EXPECT_EQ(TestSupport::snapshotTree(target).size(), expected.size() + 1);

    const std::string activity = host.api("getactivity").body;
    EXPECT_NE(activity.find("] abgeschlossen.</text>"), std::string::npos) << activity;
    // Deleting the record leaves its copies where they are.
    EXPECT_EQ(element(host.api("deletebackuprecord", {{"recid", recid}}).body, "success"), "true");
    EXPECT_EQ(TestSupport::snapshotTree(target + "/" + name), expected);
    EXPECT_EQ(host.terminate(), 0);
}

// The plug-in's notice of a failed pass reaches the host's handler: the
// command given with --on-failure runs with the record's details.
TEST(HostProcess, AFailedBackupRunsTheFailureCommand) {
    TempDir dir;
    const std::string source = dir.join("gone");
    const std::string target = dir.join("target");
    Poco::File(source).createDirectories();
    Poco::File(target).createDirectories();
    const std::string seen = dir.join("seen.txt");
    HostProcess host(dir.join("profile"),
                     {"--lang", "en", "--on-failure",
                      "printf '%s|%s|%s' \"$BACKUP_RECORD_ID\" \"$BACKUP_RESULT\" "
                      "\"$BACKUP_SOURCE\" > '" +
                          seen + "'"});
    ASSERT_GT(host.port(), 0) << host.banner();
    const std::string recid = host.addRecord(source, target);
    Poco::File(source).remove(true);

    ASSERT_EQ(element(host.api("synconerecord", {{"recid", recid}}).body, "success"), "true");
    EXPECT_TRUE(TestSupport::waitUntil([&] {
        return Poco::File(seen).exists() &&
               TestSupport::readFile(seen) == recid + "|failed|" + source;
    })) << "no failure command ran, or not with the record's details";
    EXPECT_EQ(host.terminate(), 0);
}

}  // namespace
