// End-to-end: the real backup-host with the real plug-in, driven over HTTP as
// the page drives it; what makes a host this device's one host; many clients;
// a host killed in a backup or a restore; two hosts backing up to each other.

#include <Poco/File.h>
#include <Poco/JSON/Object.h>
#include <Poco/JSON/Parser.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/String.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/HostProcess.h"
#include "support/TempDir.h"
#include "support/TreeSnapshot.h"
#include "support/WaitUntil.h"

using namespace TestSupport;
using Exit = HostProcess::Exit;
using Reply = HostProcess::Reply;

namespace {

TEST(HostProcess, GuardsTheApiAndServesThePage) {
    TempDir dir;
    HostProcess host(dir.join("profile"), {"--lang", "de"});
    EXPECT_NE(host.banner().find("/ui/backup/index.html?token=" + std::string(HostProcess::TOKEN)),
              std::string::npos);

    EXPECT_EQ(host.get("/api/backup/getallbackuprecs", false).status, 403);
    // A page from a foreign name that resolves here (DNS rebinding) is refused,
    // token or not.
    EXPECT_EQ(host.get("/api/backup/getallbackuprecs", true, "attacker.example:8480").status, 403);
    EXPECT_EQ(host.get("/api/backup/getallbackuprecs", true, "localhost:1").status, 200);

    const Reply page = host.get("/ui/backup/index.html", false);
    EXPECT_EQ(page.status, 200);
    EXPECT_EQ(page.contentType, "text/html; charset=utf-8");
    EXPECT_EQ(host.get("/ui/backup/%2e%2e/%2e%2e/CMakeLists.txt", false).status, 404);

    const Reply answer =
        host.post("/texts", R"(["Back up now","not in any catalogue","Stopped by you {when}"])",
                  "application/json", "POST", false);
    ASSERT_EQ(200, answer.status) << answer.body;
    const auto json = Poco::JSON::Parser().parse(answer.body).extract<Poco::JSON::Object::Ptr>();
    EXPECT_EQ("de", json->getValue<std::string>("lang"));
    const auto german = json->getObject("texts");
    EXPECT_EQ("Jetzt sichern", german->getValue<std::string>("Back up now"));
    EXPECT_EQ("Von Ihnen angehalten {when}",
              german->getValue<std::string>("Stopped by you {when}"));
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
    const std::string recid = host.addRecord(source, target);
    Poco::File(source).remove(true);

    ASSERT_EQ(element(host.api("synconerecord", {{"recid", recid}}).body, "success"), "true");
    EXPECT_TRUE(waitUntil([&] {
        return Poco::File(seen).exists() && readFile(seen) == recid + "|failed|" + source;
    })) << "no failure command ran, or not with the record's details";
    EXPECT_EQ(host.terminate(), 0);
}

// groupname of the only record in the listing; "" when the listing failed.
std::string groupOfTheRecord(const HostProcess& host) {
    const Reply listing = host.api("getallbackuprecs");
    EXPECT_EQ(listing.status, 200);
    EXPECT_NE(element(listing.body, "recid"), "<missing>") << listing.body;
    return element(listing.body, "groupname");
}

TEST(HostIdentity, KeepsThePeerIdAndTokenOverRestartsUnlessOthersAreAskedFor) {
    TempDir dir;
    const std::string profile = dir.join("profile");
    const std::string source = dir.join("source");
    const std::string target = dir.join("target");
    Poco::File(source).createDirectories();
    Poco::File(target).createDirectories();
    std::string firstToken;
    {
        HostProcess host(profile, {"--lang", "en"}, {{"USER", "first"}}, "");
        ASSERT_NE("<missing>", host.addRecord(source, target));
        EXPECT_EQ(groupOfTheRecord(host), "Local");
        EXPECT_EQ(host.terminate(), 0);
        firstToken = host.token();
    }
    const std::string firstPeer = readFile(profile + "/peer-id");
    EXPECT_EQ(firstPeer.rfind("first@", 0), 0u) << firstPeer;

    // Another login name (as after renaming the machine) derives another
    // default; the stored id wins and the record stays this device's own.
    // The page's token is replaced only when asked to.
    std::string token;
    {
        HostProcess host(profile, {"--lang", "en", "--new-token"}, {{"USER", "second"}}, "");
        EXPECT_EQ(groupOfTheRecord(host), "Local");
        EXPECT_EQ(host.terminate(), 0);
        token = host.token();
    }
    EXPECT_EQ(readFile(profile + "/peer-id"), firstPeer);
    EXPECT_NE(firstToken, token);

    // --peer overrides and is kept for the next start without it; the record
    // stored for the old id is then no longer local, and is still listed.
    for (const bool givenPeer : {true, false}) {
        std::vector<std::string> args = {"--lang", "en"};
        if (givenPeer) args.insert(args.end(), {"--peer", "other@elsewhere"});
        HostProcess host(profile, args, {}, "");
        EXPECT_EQ(groupOfTheRecord(host), "Non existent group") << "given: " << givenPeer;
        EXPECT_EQ(host.terminate(), 0);
        EXPECT_EQ(token, host.token());
    }
    EXPECT_EQ(readFile(profile + "/peer-id"), "other@elsewhere\n");
}

TEST(HostIdentity, AHostOnABusyProfileOrPortStopsWithOneLine) {
    TempDir dir;
    const std::string profile = dir.join("profile");
    HostProcess first(profile);
    const std::string port = std::to_string(first.port());

    const Exit sameProfile = HostProcess::runToExit({"--profile", profile, "--port", "0"});
    EXPECT_EQ(sameProfile.code, 1);
    EXPECT_EQ(sameProfile.err,
              "backup-host: profile " + profile + " is in use by another backup-host\n");

    const Exit samePort = HostProcess::runToExit({"--profile", dir.join("other"), "--port", port});
    EXPECT_EQ(samePort.code, 1);
    EXPECT_EQ(samePort.err, "backup-host: port " + port + " on 127.0.0.1 is already in use\n");

    // The first host kept every connection: none went to a second listener.
    for (int i = 0; i < 6; ++i) EXPECT_EQ(first.get("/api/host/plugin").status, 200);

    // The lock goes with the host: the profile can be used again at once.
    EXPECT_EQ(first.terminate(), 0);
    HostProcess next(profile);
    EXPECT_EQ(next.terminate(), 0);

    // A listener that itself allows sharing the port: only the host's own
    // refusal to share keeps the two apart.
    Poco::Net::ServerSocket other;
    other.bind(Poco::Net::SocketAddress("127.0.0.1", 0), true, true);
    other.listen();
    const std::string shared = std::to_string(other.address().port());
    const Exit result = HostProcess::runToExit({"--profile", dir.join("third"), "--port", shared});
    EXPECT_EQ(result.code, 1);
    EXPECT_EQ(result.err, "backup-host: port " + shared + " on 127.0.0.1 is already in use\n");
}

TEST(HostLoad, ManyClientsAreAnsweredWhileIdleHalfSentOnesAreCut) {
    TempDir dir;
    HostProcess host(dir.join("profile"));
    const Poco::Net::SocketAddress address("127.0.0.1", static_cast<Poco::UInt16>(host.port()));
    // A request head without its closing blank line: the server waits for more.
    const std::string halfHead = "GET /api/backup/getactivity HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    std::vector<Poco::Net::StreamSocket> idle(100);
    for (Poco::Net::StreamSocket& socket : idle) {
        socket.connect(address);
        socket.sendBytes(halfHead.data(), static_cast<int>(halfHead.size()));
    }

    // Every other request is answered while they wait (the client's own
    // timeout bounds it).
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(host.get("/api/backup/getactivity", true, "", 8).status, 200);

    // Two hundred clients at once, through the plug-in: each gets its answer.
    const int clients = 200;
    std::promise<void> go;  // all start together, so the server sees them at once
    const std::shared_future<void> started = go.get_future().share();
    std::vector<std::string> failures(clients);  // one slot per thread
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i) {
        threads.emplace_back([&, i, started] {  // its own copy: one object is not shared
            started.wait();
            const Reply reply = host.get("/api/backup/getactivity");
            if (reply.status != 200 || reply.body.find("<getactivity>") == std::string::npos)
                failures[i] = std::to_string(reply.status) + " " + reply.body;
        });
    }
    go.set_value();
    for (std::thread& thread : threads) thread.join();
    for (const std::string& failure : failures) EXPECT_EQ("", failure);

    // The server closes each idle one (at most an error status, never an
    // answer to the unfinished request), without the client doing anything.
    for (Poco::Net::StreamSocket& socket : idle) {
        socket.setReceiveTimeout(Poco::Timespan(60, 0));
        std::string received;
        char buffer[1024];
        try {
            for (int n; (n = socket.receiveBytes(buffer, sizeof buffer)) > 0;)
                received.append(buffer, static_cast<size_t>(n));
        } catch (Poco::TimeoutException&) {
            ADD_FAILURE() << "an idle connection was still open after 60 s";
            break;
        } catch (Poco::Exception&) {
            // A reset is a close too.
        }
        EXPECT_EQ(received.find(" 200 "), std::string::npos) << received;
    }
    EXPECT_EQ(host.terminate(), 0);
}

// Files a process holds open in `folder` that have no name there (made
// unnamed, or removed).
std::size_t unnamedFilesOpen(pid_t pid, const std::string& folder) {
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    std::size_t count = 0;
    DIR* dir = ::opendir(fds.c_str());
    if (!dir) return 0;
    while (const dirent* entry = ::readdir(dir)) {
        char target[4096];
        const ssize_t n = ::readlink((fds + "/" + entry->d_name).c_str(), target, sizeof target);
        if (n <= 0) continue;
        const std::string path(target, static_cast<size_t>(n));
        const std::string deleted = " (deleted)";
        if (path.compare(0, folder.size() + 1, folder + "/") == 0 && path.size() > deleted.size() &&
            path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
            ++count;
    }
    ::closedir(dir);
    return count;
}

TEST(CrashRecovery, KilledInABackupOrARestoreThenRestartedLeavesAnExactCopyAndNoStaging) {
    TempDir dir;
    const std::string profile = dir.join("profile");
    const std::string source = dir.join("Source");
    const std::string store = dir.join("store");
    Poco::File(store).createDirectories();
    // Many small files for a scan that takes a moment, and large ones for a
    // batch that takes a few seconds.
    std::string block(4096, 'x');
    for (int i = 0; i < 3000; ++i) {
        block[i % block.size()] = char('a' + i % 26);
        writeFile(source + "/d" + std::to_string(i % 40) + "/f" + std::to_string(i),
                  block.substr(0, 512 + i % 3000));
    }
    std::string big(16 << 20, '\0');
    for (int i = 0; i < 4; ++i) {
        for (size_t j = 0; j < big.size(); j += 4096) big[j] = char(i + j / 4096);
        writeFile(source + "/big/b" + std::to_string(i), big);
    }
    ::chmod((source + "/d3").c_str(), 0750);
    struct timespec old[2] = {{1000000000, 5}, {1000000000, 5}};
    ::utimensat(AT_FDCWD, (source + "/d7").c_str(), old, 0);
    const std::string copy = store + "/Source";
    const std::string staging = store + "/.backup-partial";
    const std::vector<std::string> lang = {"--lang", "en"};

    std::string recid;
    auto startPass = [&](HostProcess& host) {
        if (recid.empty()) recid = host.addRecord(source, store);
        ASSERT_NE("<missing>", recid);
        host.api("synconerecord", {{"recid", recid}});
    };
    const std::function<bool(HostProcess&)> moments[] = {
        // During the scan.
        [&](HostProcess& host) {
            return element(host.api("getallbackuprecs").body, "currentaction") == "Checking";
        },
        // In the middle of a batch: copies made (unnamed, or staged), none
        // named yet.
        [&](HostProcess& host) {
            return (unnamedFilesOpen(host.pid(), copy) > 0 || countFiles(staging) > 0) &&
                   countFiles(copy) == 0;
        },
        // Right after a flush: the first copies renamed into place.
        [&](HostProcess&) { return countFiles(copy) > 0; },
    };
    const std::vector<std::string> url = {"--url", "--profile", profile};
    EXPECT_EQ(1, HostProcess::runToExit(url).code) << "no host has run yet";
    for (const auto& moment : moments) {
        HostProcess host(profile, lang);
        startPass(host);
        EXPECT_TRUE(waitUntil([&] { return moment(host); }, 120000));
        EXPECT_EQ(128 + SIGKILL, host.signal(SIGKILL));
        EXPECT_TRUE(Poco::File(profile + "/page-address").exists());
        EXPECT_EQ(1, HostProcess::runToExit(url).code) << "a killed host counts as running";
    }

    HostProcess host(profile, lang);
    startPass(host);
    const Exit running = HostProcess::runToExit(url);
    EXPECT_EQ(host.banner().substr(host.banner().find("http://")) + "\n", running.out);
    EXPECT_TRUE(waitUntil(
        [&] {
            const std::string listing = host.api("getallbackuprecs").body;
            return element(listing, "currentaction") == "Idle" &&
                   element(listing, "active") == "0" && element(listing, "lastsyncsuccess") == "1";
        },
        120000));
    EXPECT_EQ(0, host.terminate());
    EXPECT_FALSE(Poco::File(profile + "/page-address").exists());

    // Folder times and modes too; the copy's own folder is the only extra.
    auto got = snapshotTree(store);
    ASSERT_EQ(1u, got.erase("Source"));
    std::map<std::string, TreeNode> want;
    for (const auto& e : snapshotTree(source)) want["Source/" + e.first] = e.second;
    EXPECT_EQ(want.size(), got.size());
    for (const auto& e : want)
        EXPECT_TRUE(got.count(e.first) && got.at(e.first) == e.second) << e.first;

    // Killed while a restore stages its files: the next start sweeps them away
    // before it serves. The name would break a list of lines or of encoded texts.
    const std::string there = dir.join("there\n\t%41");
    const std::string restoring = there + "/.backup-partial/restore-" + recid;
    Poco::File(there).createDirectories();
    {
        HostProcess restorer(profile, lang);
        const auto reply =
            restorer.api("restorefiles", {{"recid", recid}, {"path", ""}, {"target", there}});
        ASSERT_EQ("true", element(reply.body, "success")) << reply.body;
        // Polled closely: the window lasts until the batch is in place.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (!Poco::File(restoring).exists() && std::chrono::steady_clock::now() < deadline)
            ::usleep(500);
        ASSERT_TRUE(Poco::File(restoring).exists());
        EXPECT_EQ(128 + SIGKILL, restorer.signal(SIGKILL));
    }
    ASSERT_TRUE(Poco::File(restoring).exists());
    HostProcess restarted(profile, lang);
    EXPECT_EQ(recid, element(restarted.api("getallbackuprecs").body, "recid"));
    EXPECT_FALSE(Poco::File(there + "/.backup-partial").exists());
}

// A port free now on 127.0.0.1, other than `taken`.
int freePort(int taken = 0) {
    for (;;) {
        Poco::Net::ServerSocket probe(Poco::Net::SocketAddress("127.0.0.1", 0));
        if (probe.address().port() != taken) return probe.address().port();
    }
}

// The first column of each row of a query on a profile's database.
std::vector<std::string> query(const std::string& profile, const std::string& sql) {
    const std::string db = profile + "/data/backup/backup.db";
    EXPECT_TRUE(Poco::File(db).exists()) << db;
    std::vector<std::string> rows;
    FILE* pipe = ::popen(("sqlite3 '" + db + "' \"" + sql + "\"").c_str(), "r");
    if (!pipe) return rows;
    char line[4096];
    while (::fgets(line, sizeof line, pipe)) rows.push_back(Poco::trimRight(std::string(line)));
    ::pclose(pipe);
    return rows;
}

// A storing host B and a sending host A that backs up dir/src/Work to B.
class PeerBackupHosts : public ::testing::Test {
protected:
    void SetUp() override {
        ::signal(SIGPIPE, SIG_IGN);
        idA = HostProcess::deviceId(pa);
        idB = HostProcess::deviceId(pb);
    }

    // fileLimit > 0: B runs under that file-size limit, SIGXFSZ ignored, so a
    // write past it fails with EFBIG as on a full disk. Both are inherited
    // from this process across the fork and exec, so they are set only while
    // B starts.
    void startB(rlim_t fileLimit = 0) {
        rlimit before{};
        ::getrlimit(RLIMIT_FSIZE, &before);
        sighandler_t oldHandler = SIG_DFL;
        if (fileLimit > 0) {
            rlimit limited = before;
            limited.rlim_cur = fileLimit;
            ASSERT_EQ(0, ::setrlimit(RLIMIT_FSIZE, &limited));
            oldHandler = ::signal(SIGXFSZ, SIG_IGN);
        }
        b.reset(new HostProcess(pb, options("alice@two", {"--trust", "alice@one=" + idA})));
        if (fileLimit > 0) {
            ::setrlimit(RLIMIT_FSIZE, &before);
            ::signal(SIGXFSZ, oldHandler);
        }
    }

    void startA() {
        a.reset(new HostProcess(
            pa, options("alice@one", {"--trust", "alice@two=" + idB, "--peer-address",
                                      "alice@two=127.0.0.1:" + std::to_string(peerPort), "--group",
                                      "home=alice@two"})));
        const Reply added =
            a->api("addbackuprecord",
                   {{"localpath", work}, {"remotepeer", "alice@two"}, {"frequency", "0"}});
        ASSERT_EQ("true", element(added.body, "success")) << added.body;
        ASSERT_TRUE(reachable());
    }

    // A host's options to serve devices as `peer`: B on the port A is told
    // of, A on one of its own.
    std::vector<std::string> options(const std::string& peer, std::vector<std::string> more) {
        const int port = peer == "alice@two" ? peerPort : ownPortOfA;
        more.insert(more.end(), {"--peer-bind", "127.0.0.1", "--peer-port", std::to_string(port),
                                 "--peer", peer});
        return more;
    }

    bool reachable() {
        return waitUntil([&] { return element(status(), "reachable") == "1"; }, 30000);
    }

    std::string status() {
        return a->api("getbackupstatus", {{"recid", "1"}, {"history", "1"}}).body;
    }

    void startPass() {
        ASSERT_EQ("true", element(a->api("synconerecord", {{"recid", "1"}}).body, "success"));
    }

    // Waits for the n-th run of record 1 to end; its result.
    std::string runEnded(int n) {
        std::string doc;
        EXPECT_TRUE(waitUntil(
            [&] {
                doc = status();
                return element(doc, "run", n - 1) != "<missing>" && element(doc, "running") == "0";
            },
            180000))
            << doc;
        return element(doc, "lastresult");
    }

    // Kills B once `partway` holds in the first pass; `afterKill` checks what
    // the kill left. The second pass must end cleanly, leaving no stray entry.
    void killBPartwayThenPassAgain(const std::function<bool()>& partway,
                                   const std::function<void()>& afterKill) {
        startB();
        startA();
        ASSERT_FALSE(HasFatalFailure());
        startPass();
        ASSERT_TRUE(waitUntil(partway, 120000));
        EXPECT_EQ(128 + SIGKILL, b->signal(SIGKILL));
        EXPECT_NE("completed", runEnded(1));
        afterKill();

        startB();
        ASSERT_TRUE(reachable());
        startPass();
        EXPECT_EQ("completed", runEnded(2)) << status();
        EXPECT_EQ(0u, countFiles(device + "/.backup-partial")) << "a stray temporary is left";
        for (const auto& e : snapshotFiles(device))
            EXPECT_EQ(0u, e.first.find("Work/")) << "stray entry " << e.first;
    }

    // The storing side's index names exactly the `count` files in place, each
    // once, and the sender marked all of them backed up.
    void expectIndexesHold(std::size_t count) {
        std::vector<std::string> expected;
        for (const auto& e : snapshotFiles(copy)) expected.push_back(copy + "/" + e.first);
        EXPECT_EQ(count, expected.size());
        EXPECT_EQ(expected, query(pb, "select STOREDLOCATION from BACKUP_STORED_FILES order by 1"));
        EXPECT_EQ(std::vector<std::string>({std::to_string(count) + "|0"}),
                  query(pa,
                        "select sum(SYNCED=1), sum(SYNCED<>1) from BACKUP_SOURCE_FILES "
                        "where RECID=1"));
    }

    TempDir dir;
    const std::string pa = dir.join("a"), pb = dir.join("b");
    const std::string work = dir.join("src/Work");
    const std::string device = pb + "/data/backup/alice@one";
    const std::string copy = device + "/Work";
    const int peerPort = freePort();
    const int ownPortOfA = freePort(peerPort);
    std::string idA, idB;
    std::unique_ptr<HostProcess> a, b;
};

TEST_F(PeerBackupHosts, ATreeIsBackedUpToTheOtherDeviceAndComesBack) {
    writeFile(work + "/a.txt", "alpha");
    writeFile(work + "/sub/deep/it's \"quoted\" & blank.txt", "q");
    writeFile(work + "/odd-\xff\xfe", "o");
    writeFile(work + "/gone.txt", "gone");
    ::chmod((work + "/a.txt").c_str(), 0640);
    ::chmod((work + "/sub/deep").c_str(), 0750);
    const timespec old[2] = {{1000000000, 250}, {1000000000, 250}};
    ::utimensat(AT_FDCWD, (work + "/sub/deep").c_str(), old, 0);
    startB();
    startA();
    ASSERT_FALSE(HasFatalFailure());
    startPass();
    EXPECT_EQ("completed", runEnded(1)) << status();
    EXPECT_EQ(snapshotTree(work), snapshotTree(copy));

    // Changed, added and deleted files; the deleted one's copy stays.
    writeFile(work + "/a.txt", "alpha, changed");
    writeFile(work + "/sub/odd \"name\" & more.bin", std::string(9 * 1024 * 1024 + 3, 'z'));
    ::unlink((work + "/gone.txt").c_str());
    startPass();
    EXPECT_EQ("completed", runEnded(2)) << status();
    auto stored = snapshotTree(copy);
    ASSERT_EQ(1u, stored.erase("gone.txt"));
    EXPECT_EQ(snapshotTree(work), stored);

    // Deleted at the source, listed as missing and restored from B's copy.
    const auto before = snapshotFiles(work);
    Poco::File(work + "/sub").remove(true);
    ::unlink((work + "/a.txt").c_str());
    const std::string listing = a->api("getbackupfiles", {{"recid", "1"}, {"path", ""}}).body;
    EXPECT_NE(std::string::npos, listing.find("<state>missing</state>")) << listing;
    const Reply restore = a->get("/api/backup/restorefiles?recid=1&path=a.txt&path=sub");
    ASSERT_EQ("true", element(restore.body, "success")) << restore.body;
    EXPECT_TRUE(waitUntil([&] { return snapshotFiles(work) == before; }, 60000));
}

TEST_F(PeerBackupHosts, AReceiverKilledInABatchIsFinishedCleanlyByTheNextPass) {
    // Many puts of small files, with odd modes and times on files and folders.
    const int folders = 30, perFolder = 100, total = folders * perFolder;
    for (int f = 0; f < folders; ++f) {
        const std::string folder = work + "/d" + std::to_string(f);
        for (int i = 0; i < perFolder; ++i) {
            const std::string path = folder + "/f" + std::to_string(i);
            writeFile(path, std::string(static_cast<size_t>((f * 131 + i * 37) % 3000),
                                        static_cast<char>('a' + (f + i) % 26)));
            if (i % 7 == 0) ::chmod(path.c_str(), 0600);
        }
        if (f % 5 == 0) ::chmod(folder.c_str(), 0750);
        const timespec times[2] = {{1500000000 + f, 0}, {1500000000 + f, 1000 * f}};
        ::utimensat(AT_FDCWD, folder.c_str(), times, 0);
    }
    // Killed once some copies are in place, before all are.
    killBPartwayThenPassAgain(
        [&] { return countFiles(copy) > 0; },
        [&] { EXPECT_LT(countFiles(copy), std::size_t(total)) << "killed too late"; });
    EXPECT_EQ(snapshotTree(work), snapshotTree(copy));
    expectIndexesHold(total);
}

TEST_F(PeerBackupHosts, AReceiverOutOfRoomFailsThePassAndNothingIsMarkedKept) {
    writeFile(work + "/large.bin", std::string(24 << 20, 'x'));
    startB(16 << 20);
    startA();
    ASSERT_FALSE(HasFatalFailure());

    startPass();
    EXPECT_EQ("failed", runEnded(1)) << status();
    EXPECT_EQ(std::vector<std::string>({"0"}),
              query(pa, "select SYNCED from BACKUP_SOURCE_FILES where RECID=1"));
    EXPECT_FALSE(Poco::File(copy + "/large.bin").exists());
    EXPECT_TRUE(query(pb, "select ID from BACKUP_STORED_FILES").empty());
    // B goes on serving.
    EXPECT_EQ(200, b->get("/api/host/plugin").status);
}

}  // namespace
