// End-to-end: the real backup-host program with the real plug-in, driven over
// HTTP the way the page drives it: the guards, the page and its texts (in the
// host's language, from the catalogue the plug-in loaded, without a token),
// and a failed pass's notice reaching the --on-failure command.

#include <Poco/File.h>
#include <Poco/JSON/Object.h>
#include <Poco/JSON/Parser.h>
#include <gtest/gtest.h>

#include <string>

#include "support/HostProcess.h"
#include "support/TempDir.h"
#include "support/WaitUntil.h"

using TestSupport::HostProcess;
using TestSupport::TempDir;

namespace {

using Reply = HostProcess::Reply;
const auto element = HostProcess::element;

TEST(HostProcess, GuardsTheApiAndServesThePage) {
    TempDir dir;
    HostProcess host(dir.join("profile"), {"--lang", "de"});
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

    const Reply answer =
        host.post("/texts", R"(["Back up now","not in any catalogue","Stopped by you {when}"])",
                  "application/json", "POST", false);
    ASSERT_EQ(200, answer.status) << answer.body;
    const auto json = Poco::JSON::Parser().parse(answer.body).extract<Poco::JSON::Object::Ptr>();
    EXPECT_EQ("de", json->getValue<std::string>("lang"));
    const auto german = json->getObject("texts");
    EXPECT_EQ("Jetzt sichern", german->getValue<std::string>("Back up now"));
    EXPECT_EQ("Von Ihnen angehalten {when}", german->getValue<std::string>("Stopped by you {when}"));
    EXPECT_EQ("not in any catalogue", german->getValue<std::string>("not in any catalogue"));
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
