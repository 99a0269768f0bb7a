// Honest status: failed passes count as attempts and are told to the host,
// a running or stopped pass is not called failed, the run history and the
// status document.

#include <Poco/File.h>
#include <unistd.h>

#include "RequestsFixture.h"
#include "hostapi/HostControl.h"
#include "hostapi/MessageUtil.h"
#include "support/ProbeDB.h"
#include "support/TempDir.h"
#include "support/XmlDocument.h"

namespace {

using Orvana::Backup::BackupDB;
using Orvana::Backup::EngineHooks;
using TestSupport::writeFile;

class BackupStatusTest : public RequestsTest {
protected:
    static std::string field(const std::string& doc, const std::string& tag) {
        return TestSupport::XmlDocument(doc).text(tag);
    }
    std::string status(int id, bool history = false) {
        Fields f{{"recid", std::to_string(id)}};
        if (history) f.push_back({"history", "1"});
        return request("getbackupstatus", f);
    }
    std::vector<BackupDB::RUN_RECORD> runs(int id) {
        std::vector<BackupDB::RUN_RECORD> out;
        EXPECT_TRUE(db->getRuns(id, 1000, out));
        return out;
    }
    bool waitForRuns(int id, size_t n) {
        return TestSupport::waitUntil([&] { return runs(id).size() >= n; },
                                      TestSupport::ServiceHarness::kReplyTimeoutMs);
    }
    // Activity entries of one record that end with text.
    int entriesOf(int id, const std::string& text) {
        std::vector<BackupDB::ActivityRecordPtr> all;
        EXPECT_TRUE(db->getActivities(all));
        int n = 0;
        for (const auto& a : all) {
            const std::string& t = a->activityText;
            n += a->recId == id && t.size() >= text.size() &&
                 t.compare(t.size() - text.size(), text.size(), text) == 0;
        }
        return n;
    }
    std::string sync(int id) { return request("synconerecord", {{"recid", std::to_string(id)}}); }
    // The failure notices the host got, as "id result reason".
    std::vector<std::string> notices() {
        std::vector<std::string> out;
        for (const auto& m : harness.recorder().messages()) {
            if (m->getService() != Orvana::Misc::MessageUtil::FAILURE_NOTICE_SERVICE) continue;
            auto& row = (*m)["FailureNotice"];
            out.push_back(std::to_string(row["RecordId"].getInt()) + " " +
                          row["Result"].getString() + " " + row["Reason"].getString());
        }
        return out;
    }
};

// Each way a pass can fail before it copies: it is an attempt, it leaves
// one failed run with its reason and one notice; the next good pass is a
// success again.
TEST_F(BackupStatusTest, EarlyFailuresCountAsAttemptsAndAreNoticed) {
    const std::string src = profile.scratch("src");
    const std::string store = profile.scratch("store");
    // Made before anything is broken: opening a connection recreates a
    // missing table.
    TestSupport::ProbeDB probe;
    typedef std::function<void(int id)> Step;
    auto move = [](const std::string& from, const std::string& to) -> Step {
        return [=](int) { Poco::File(from).renameTo(to); };
    };
    // A statement ending in "ID=" gets the record's id.
    auto sql = [&probe](const std::string& statement) -> Step {
        return [&probe, statement](int id) {
            const bool withId = statement.back() == '=';
            probe.conn().ExecuteUpdate(statement + (withId ? std::to_string(id) : "") + ";");
        };
    };
    struct Case {
        const char* name;
        Step breakIt, mend;
        std::string reason;  // "" when any reason the activity log also shows will do
    } cases[] = {
        {"source gone", move(src + "/Docs", src + "/Gone"), move(src + "/Gone", src + "/Docs"), ""},
        {"destination gone", move(store, store + ".away"), move(store + ".away", store),
         "Store location is not available: " + store},
        {"destination emptied, another disk in its place",
         [&](int id) {
             move(store + "/Docs", store + "/Docs.away")(id);
             db->setConfigValue("backup", "STORE_DEVICE_" + std::to_string(id), "12345");
         },
         move(store + "/Docs.away", store + "/Docs"), "Store location is not available: " + store},
        {"destination overlapping the source through a link",
         [&](int id) {
             move(store, store + ".away")(id);
             Poco::File(src + "/Docs/inner").createDirectories();
             ASSERT_EQ(0, ::symlink((src + "/Docs/inner").c_str(), store.c_str()));
         },
         [&](int id) {
             ::unlink(store.c_str());
             Poco::File(src + "/Docs/inner").remove();
             move(store + ".away", store)(id);
         },
         ""},
        {"unreadable index",
         [&](int id) {
             EngineHooks::setScanFault([&, id](EngineHooks::ScanStep step, const std::string&) {
                 if (step == EngineHooks::INDEX_LOAD)
                     sql("ALTER TABLE BACKUP_SOURCE_FILES RENAME TO HIDDEN")(id);
                 return 0;
             });
         },
         [&](int id) {
             EngineHooks::clear();
             sql("ALTER TABLE HIDDEN RENAME TO BACKUP_SOURCE_FILES")(id);
         },
         "The backup index could not be read or written"},
        {"another device", sql("update BACKUP_RECORDS set TARGETPEERID='you@elsewhere' where ID="),
         sql("update BACKUP_RECORDS set TARGETPEERID='me@myhost' where ID="),
         "The device [you@elsewhere] cannot be reached"},
    };
    writeFile(src + "/Docs/a", "a");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const int id = backedUp(src + "/Docs", store);
        ASSERT_TRUE(waitForRuns(id, 1));  // its row comes after its times
        harness.recorder().clear();
        c.breakIt(id);
        EXPECT_EQ(result("synconerecord", true), sync(id));
        ASSERT_TRUE(waitForRuns(id, 2));
        EXPECT_EQ("0", element(request("getallbackuprecs"), "lastsyncsuccess"));
        const BackupDB::RUN_RECORD failed = runs(id).front();
        EXPECT_EQ("failed", failed.result);
        EXPECT_EQ("backup", failed.kind);
        if (!c.reason.empty()) {
            EXPECT_EQ(c.reason, failed.reason);
        }
        ASSERT_FALSE(failed.reason.empty());
        EXPECT_EQ(1, entriesOf(id, failed.reason));
        ASSERT_TRUE(TestSupport::waitUntil([&] { return !notices().empty(); }));
        EXPECT_EQ((std::vector<std::string>{std::to_string(id) + " failed " + failed.reason}),
                  notices());
        const std::string doc = status(id);
        EXPECT_EQ("failed", field(doc, "lastresult"));
        EXPECT_EQ(failed.reason, field(doc, "lastreason"));

        // Nothing changed since: a pass with nothing to copy is a success too.
        c.mend(id);
        EXPECT_EQ(result("synconerecord", true), sync(id));
        ASSERT_TRUE(waitForRuns(id, 3));
        EXPECT_EQ("completed", runs(id).front().result) << runs(id).front().reason;
        EXPECT_EQ("1", element(request("getallbackuprecs"), "lastsyncsuccess"));
        EXPECT_EQ(1u, notices().size());
        EXPECT_EQ(result("deletebackuprecord", true),
                  request("deletebackuprecord", {{"recid", std::to_string(id)}}));
        EXPECT_TRUE(runs(id).empty());
    }
}

// With writes to the database refused, the pass fails where it can be seen,
// and a new request says why until the database takes writes again.
TEST_F(BackupStatusTest, UnwritableDatabaseFailsThePassVisibly) {
    const std::string src = profile.scratch("src");
    const std::string store = profile.scratch("store");
    writeFile(src + "/Docs/a", "a");
    const int id = backedUp(src + "/Docs", store);
    ASSERT_TRUE(waitForRuns(id, 1));
    writeFile(src + "/Docs/b", "b");
    TestSupport::ProbeDB probe;
    const char* tables[] = {"BACKUP_RECORDS", "BACKUP_SOURCE_FILES", "BACKUP_ACTIVITY",
                            "BACKUP_RUNS", "PLUGIN_CONFIG"};
    for (const char* table : tables) {
        for (const char* op : {"INSERT", "UPDATE", "DELETE"}) {
            probe.conn().ExecuteUpdate(std::string("CREATE TRIGGER ro_") + op + "_" + table +
                                       " BEFORE " + op + " ON " + table +
                                       " BEGIN SELECT RAISE(ABORT, 'readonly database'); END;");
        }
    }
    const std::string reason = "The backup index could not be read or written";
    EXPECT_EQ(result("synconerecord", true), sync(id));
    ASSERT_TRUE(TestSupport::waitUntil([&] { return field(status(id), "lastresult") == "failed"; },
                                       TestSupport::ServiceHarness::kReplyTimeoutMs));
    EXPECT_EQ(reason, field(status(id), "lastreason"));
    EXPECT_EQ("0", element(request("getallbackuprecs"), "lastsyncsuccess"));
    EXPECT_FALSE(Poco::File(store + "/Docs/b").exists());
    EXPECT_EQ(result("synconerecord", false, reason), sync(id));

    for (const char* table : tables) {
        for (const char* op : {"INSERT", "UPDATE", "DELETE"})
            probe.conn().ExecuteUpdate(std::string("DROP TRIGGER ro_") + op + "_" + table + ";");
    }
    EXPECT_EQ(result("synconerecord", true), sync(id));
    ASSERT_TRUE(waitForRuns(id, 2));  // the failed run could not be stored
    EXPECT_EQ("b", TestSupport::readFile(store + "/Docs/b"));
    EXPECT_EQ("completed", field(status(id), "lastresult"));
}

// One large file held between its chunks: the status shows the bytes grow
// inside it, a second request leaves the pass alone, and a stop is neither
// a failure nor a notice.
TEST_F(BackupStatusTest, RunningPassShowsProgressInsideAFileAndStopIsNotAFailure) {
    const std::string src = profile.scratch("src");
    const std::string store = profile.scratch("store");
    writeFile(src + "/Docs/a", "a");
    const int id = backedUp(src + "/Docs", store);
    ASSERT_TRUE(waitForRuns(id, 1));
    const Poco::Int64 size = 40 * 1024 * 1024;
    writeFile(src + "/Docs/big", std::string(size, 'x'));

    std::atomic<int> chunks(0), allowed(1);
    EngineHooks::setAfterCopyChunk([&](const std::string&, const std::atomic<bool>& stop) {
        ++chunks;
        while (!stop && chunks.load() >= allowed.load()) Poco::Thread::sleep(5);
    });
    harness.recorder().clear();
    EXPECT_EQ(result("synconerecord", true), sync(id));
    ASSERT_TRUE(TestSupport::waitUntil([&] { return chunks.load() == 1; }));
    std::string doc = status(id);
    EXPECT_EQ("1", field(doc, "running"));
    EXPECT_EQ("backup", field(doc, "runkind"));
    EXPECT_EQ("0", field(doc, "queued"));
    EXPECT_EQ("1", field(doc, "filestogo"));
    const Poco::Int64 first = std::stoll(field(doc, "bytesdone"));
    EXPECT_GT(first, 0);
    EXPECT_EQ(size, first + std::stoll(field(doc, "bytestogo")));

    // Asked for again while it runs: nothing changes.
    EXPECT_EQ(result("synconerecord", true), sync(id));
    std::string listing = request("getallbackuprecs");
    EXPECT_EQ("Backing up", element(listing, "currentaction"));
    EXPECT_EQ("1", element(listing, "active"));
    EXPECT_EQ("1", element(listing, "lastsyncsuccess"));  // running is not failing
    EXPECT_EQ("0", field(status(id), "queued"));

    allowed = 3;
    ASSERT_TRUE(TestSupport::waitUntil([&] { return chunks.load() == 3; }));
    Poco::Thread::sleep(600);  // a rate needs some time behind it
    doc = status(id);
    EXPECT_GT(std::stoll(field(doc, "bytesdone")), first);
    EXPECT_GT(std::stoll(field(doc, "rate")), 0);
    EXPECT_NE("", field(doc, "timeleft"));

    EXPECT_EQ(result("stopbackup", true), request("stopbackup", {{"recid", std::to_string(id)}}));
    ASSERT_TRUE(waitForRuns(id, 2));
    EXPECT_EQ("stopped", runs(id).front().result);
    listing = request("getallbackuprecs");
    EXPECT_EQ("1", element(listing, "lastsyncsuccess"));
    EXPECT_EQ("0", element(listing, "tosendcount"));
    doc = status(id);
    EXPECT_EQ("0", field(doc, "running"));
    EXPECT_EQ("stopped", field(doc, "lastresult"));
    EXPECT_EQ("0", field(doc, "bytesdone"));
    harness.drain();
    EXPECT_TRUE(notices().empty());
}

// A backup asked for while a restore of the record runs waits behind it and
// leaves the restore's state and progress alone.
TEST_F(BackupStatusTest, RestoreKeepsItsStateWithABackupWaitingBehindIt) {
    const std::string src = profile.scratch("src");
    const std::string store = profile.scratch("store");
    writeFile(src + "/Docs/big", std::string(24 * 1024 * 1024, 'x'));
    const int id = backedUp(src + "/Docs", store);
    ASSERT_TRUE(waitForRuns(id, 1));
    const std::string copy = store + "/Docs/";
    std::atomic<bool> holding(false), release(false);
    EngineHooks::setAfterCopyChunk([&](const std::string& source, const std::atomic<bool>& stop) {
        if (source.compare(0, copy.size(), copy) != 0) return;
        holding = true;
        while (!stop && !release) Poco::Thread::sleep(5);
    });
    const std::string there = profile.scratch("there");
    EXPECT_EQ(
        result("restorefiles", true),
        request("restorefiles", {{"recid", std::to_string(id)}, {"path", ""}, {"target", there}}));
    ASSERT_TRUE(waitFor(holding));
    EXPECT_EQ(result("synconerecord", true), sync(id));
    const std::string listing = request("getallbackuprecs");
    EXPECT_EQ("Restoring", element(listing, "currentaction"));
    EXPECT_EQ("1", element(listing, "active"));
    const std::string doc = status(id);
    EXPECT_EQ("restore", field(doc, "runkind"));
    EXPECT_EQ("1", field(doc, "queued"));
    EXPECT_GT(std::stoll(field(doc, "bytesdone")), 0);

    release = true;
    ASSERT_TRUE(waitForRuns(id, 3));
    const std::vector<BackupDB::RUN_RECORD> all = runs(id);
    EXPECT_EQ("backup", all[0].kind);
    EXPECT_EQ("restore", all[1].kind);
    EXPECT_EQ("completed", all[1].result);
    EXPECT_EQ(1, all[1].filesCopied);
    EXPECT_EQ(24 * 1024 * 1024, all[1].bytesCopied);
    const std::string history = status(id, true);
    EXPECT_NE(std::string::npos, history.find("</record><runs><run><id>" +
                                              std::to_string(all[0].id) + "</id><kind>backup"));
}

// A record to another device says whether that device answers now; one to
// this device has no such element.
TEST_F(BackupStatusTest, RecordsToAnotherDeviceSayWhetherItIsReachable) {
    const std::string src = profile.scratch("src");
    const int local = addLocal(src, profile.scratch("store"));
    int up = 0, down = 0;
    ASSERT_TRUE(db->addBackupRecord("friend@peerhost", 0, 1, src, "", "", 3, -1, -1, up));
    ASSERT_TRUE(db->addBackupRecord("gone@nowhere", 0, 1, src, "", "", 3, -1, -1, down));
    Orvana::HostKit::HostControl::setPeerProbe([](const Orvana::Data::PeerID& peer) {
        return peer == Orvana::Data::PeerID("Friend@PeerHost");
    });
    EXPECT_EQ("1", field(status(up), "reachable"));
    EXPECT_EQ("0", field(status(down), "reachable"));
    EXPECT_EQ("<missing>", field(status(local), "reachable"));
}

}  // namespace
