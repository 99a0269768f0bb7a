// End-to-end: the real backup-host program with the real plug-in, driven over
// HTTP the way the page drives it.

#include <Poco/DirectoryIterator.h>
#include <Poco/File.h>
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Path.h>
#include <Poco/Pipe.h>
#include <Poco/PipeStream.h>
#include <Poco/Process.h>
#include <Poco/StreamCopier.h>
#include <Poco/Thread.h>
#include <Poco/URI.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "HostProcess.h"
#include "support/TempDir.h"

using TestSupport::readFile;
using TestSupport::TempDir;
using TestSupport::writeFile;

namespace {

using namespace HostTest;

// Relative path -> content of every regular file below root.
void collectFiles(const std::string& root, const std::string& relative,
                  std::map<std::string, std::string>& files) {
    for (Poco::DirectoryIterator it(root + relative), end; it != end; ++it) {
        const std::string path = relative + "/" + it.name();
        if (it->isDirectory()) {
            collectFiles(root, path, files);
        } else {
            files[path] = readFile(it->path());
        }
    }
}

// Polls the listing until record `recid` reports the idle word and is inactive.
std::string waitUntilIdle(Host& host, const std::string& idleWord) {
    std::string listing;
    for (int i = 0; i < 600; ++i) {
        listing = host.api("getallbackuprecs").body;
        if (element(listing, "currentaction") == idleWord && element(listing, "active") == "0") {
            return listing;
        }
        Poco::Thread::sleep(50);
    }
    ADD_FAILURE() << "the pass never went idle; last listing: " << listing;
    return listing;
}

TEST(HostProcess, GuardsTheApiAndServesThePage) {
    TempDir dir;
    Host host(dir.join("profile"), {"--lang", "en"});
    ASSERT_GT(host.port(), 0) << host.banner();
    EXPECT_NE(host.banner().find("/ui/backup/index.html?token=" + TOKEN), std::string::npos);

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

    Host host(dir.join("profile"), {"--lang", "de"});
    ASSERT_GT(host.port(), 0) << host.banner();
    const Reply added = host.api(
        "addbackuprecord",
        {{"localpath", source}, {"remotepath", target}, {"frequency", "1"}, {"timeoffset", "3"}});
    ASSERT_EQ(element(added.body, "success"), "true") << added.body;
    const std::string recid = element(host.api("getallbackuprecs").body, "recid");
    ASSERT_FALSE(recid.empty());

    const Reply started = host.api("synconerecord", {{"recid", recid}});
    ASSERT_EQ(element(started.body, "success"), "true") << started.body;
    // "Bereit" is the German idle word: the catalogue was packed and loaded.
    const std::string listing = waitUntilIdle(host, "Bereit");
    EXPECT_EQ(element(listing, "groupname"), "Lokal");
    EXPECT_EQ(element(listing, "localpath"), source.substr(0, source.find('&')) + "&amp; Co");

    std::map<std::string, std::string> expected, copied;
    collectFiles(source, "", expected);
    collectFiles(target + "/" + Poco::Path(source).getFileName(), "", copied);
    EXPECT_EQ(copied, expected);
    std::map<std::string, std::string> everything;
    collectFiles(target, "", everything);
    EXPECT_EQ(everything.size(), expected.size()) << "stray files in the destination";

    const std::string activity = host.api("getactivity").body;
    EXPECT_NE(activity.find("] abgeschlossen.</text>"), std::string::npos) << activity;
    EXPECT_EQ(host.terminate(), 0);
}

}  // namespace
