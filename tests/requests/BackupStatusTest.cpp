// Honest status: failed passes count and are told to the host; a running or
// stopped pass is not a failure.

#include <Poco/File.h>

#include "RequestsFixture.h"
#include "hostapi/MessageUtil.h"
#include "support/ProbeDB.h"

namespace {

using namespace Orvana::Backup;
using namespace TestSupport;

class BackupStatusTest : public RequestsTest {
protected:
    std::string status(int id) { return ask("getbackupstatus", id); }
    std::vector<BackupDB::RUN_RECORD> runs(int id) {
        std::vector<BackupDB::RUN_RECORD> out;
        EXPECT_TRUE(db->getRuns(id, 1000, out));
        return out;
    }
    bool waitForRuns(int id, size_t n) {
        return waitUntil([&] { return runs(id).size() >= n; }, ServiceHarness::kReplyTimeoutMs);
    }
    std::string sync(int id) { return ask("synconerecord", id); }
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

// A pass that fails before it copies is an attempt: it leaves one failed run
// with its reason and one notice; the next good pass is a success again.
TEST_F(BackupStatusTest, EarlyFailuresCountAsAttemptsAndAreNoticed) {
    // Made before anything is broken: opening a connection recreates a
    // missing table.
    ProbeDB probe;
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
        std::string reason;
    } cases[] = {
        {"source gone", move(src, src + ".away"), move(src + ".away", src),
         src + ": No such file or directory"},
        {"destination emptied, another disk in its place",
         [&](int id) {
             move(store + "/Docs", store + "/Docs.away")(id);
             db->setConfigValue("backup", "STORE_DEVICE_" + std::to_string(id), "12345");
         },
         move(store + "/Docs.away", store + "/Docs"), "Store location is not available: " + store},
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
    writeFile(src + "/a", "a");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const int id = backedUp(src, store);
        ASSERT_TRUE(waitForRuns(id, 1));  // its row comes after its times
        harness.recorder().clear();
        c.breakIt(id);
        EXPECT_EQ(result("synconerecord", true), sync(id));
        ASSERT_TRUE(waitForRuns(id, 2));
        EXPECT_EQ("0", element(request("getallbackuprecs"), "lastsyncsuccess"));
        const BackupDB::RUN_RECORD failed = runs(id).front();
        EXPECT_EQ("failed", failed.result);
        EXPECT_EQ("backup", failed.kind);
        EXPECT_EQ(c.reason, failed.reason);
        ASSERT_TRUE(waitUntil([&] { return !notices().empty(); }));
        EXPECT_EQ((std::vector<std::string>{std::to_string(id) + " failed " + failed.reason}),
                  notices());
        const std::string doc = status(id);
        EXPECT_EQ("failed", element(doc, "lastresult"));
        EXPECT_EQ(failed.reason, element(doc, "lastreason"));

        // Nothing changed since: a pass with nothing to copy is a success too.
        c.mend(id);
        EXPECT_EQ(result("synconerecord", true), sync(id));
        ASSERT_TRUE(waitForRuns(id, 3));
        EXPECT_EQ("completed", runs(id).front().result) << runs(id).front().reason;
        EXPECT_EQ("1", element(request("getallbackuprecs"), "lastsyncsuccess"));
        EXPECT_EQ(1u, notices().size());
        EXPECT_EQ(result("deletebackuprecord", true), ask("deletebackuprecord", id));
        EXPECT_TRUE(runs(id).empty());
    }
}

// With writes to the database refused, the pass fails where it can be seen,
// and a new request says why until the database takes writes again.
TEST_F(BackupStatusTest, UnwritableDatabaseFailsThePassVisibly) {
    writeFile(src + "/a", "a");
    const int id = backedUp(src, store);
    ASSERT_TRUE(waitForRuns(id, 1));
    writeFile(src + "/b", "b");
    ProbeDB probe;
    const char* tables[] = {"BACKUP_RECORDS", "BACKUP_SOURCE_FILES", "BACKUP_ACTIVITY",
                            "BACKUP_RUNS", "PLUGIN_CONFIG"};
    for (const char* table : tables)
        for (const char* op : {"INSERT", "UPDATE", "DELETE"})
            probe.conn().ExecuteUpdate(std::string("CREATE TRIGGER ro_") + op + "_" + table +
                                       " BEFORE " + op + " ON " + table +
                                       " BEGIN SELECT RAISE(ABORT, 'readonly database'); END;");
    const std::string reason = "The backup index could not be read or written";
    EXPECT_EQ(result("synconerecord", true), sync(id));
    ASSERT_TRUE(waitUntil([&] { return element(status(id), "lastresult") == "failed"; },
                          ServiceHarness::kReplyTimeoutMs));
    EXPECT_EQ(reason, element(status(id), "lastreason"));
    EXPECT_EQ("0", element(request("getallbackuprecs"), "lastsyncsuccess"));
    EXPECT_FALSE(Poco::File(store + "/Docs/b").exists());
    EXPECT_EQ(result("synconerecord", false, reason), sync(id));

    for (const char* table : tables)
        for (const char* op : {"INSERT", "UPDATE", "DELETE"})
            probe.conn().ExecuteUpdate(std::string("DROP TRIGGER ro_") + op + "_" + table + ";");
    EXPECT_EQ(result("synconerecord", true), sync(id));
    ASSERT_TRUE(waitForRuns(id, 2));  // the failed run could not be stored
    EXPECT_EQ("b", readFile(store + "/Docs/b"));
    EXPECT_EQ("completed", element(status(id), "lastresult"));
}

// One large file held between its chunks: the status shows the bytes grow
// inside it, a second request leaves the pass alone, and a stop is neither
// a failure nor a notice.
TEST_F(BackupStatusTest, RunningPassShowsProgressInsideAFileAndStopIsNotAFailure) {
    writeFile(src + "/a", "a");
    const int id = backedUp(src, store);
    ASSERT_TRUE(waitForRuns(id, 1));
    const Poco::Int64 size = 40 * 1024 * 1024;
    writeFile(src + "/big", std::string(size, 'x'));

    std::atomic<int> chunks(0), allowed(1);
    EngineHooks::setAfterCopyChunk([&](const std::string&, const std::atomic<bool>& stop) {
        ++chunks;
        while (!stop && chunks.load() >= allowed.load()) Poco::Thread::sleep(5);
    });
    harness.recorder().clear();
    EXPECT_EQ(result("synconerecord", true), sync(id));
    ASSERT_TRUE(waitUntil([&] { return chunks.load() == 1; }));
    std::string doc = status(id);
    EXPECT_EQ("1", element(doc, "running"));
    EXPECT_EQ("backup", element(doc, "runkind"));
    EXPECT_EQ("0", element(doc, "queued"));
    EXPECT_EQ("1", element(doc, "filestogo"));
    const Poco::Int64 first = std::stoll(element(doc, "bytesdone"));
    EXPECT_GT(first, 0);
    EXPECT_EQ(size, first + std::stoll(element(doc, "bytestogo")));

    // Asked for again while it runs: nothing changes.
    EXPECT_EQ(result("synconerecord", true), sync(id));
    std::string listing = request("getallbackuprecs");
    EXPECT_EQ("Backing up", element(listing, "currentaction"));
    EXPECT_EQ("1", element(listing, "active"));
    EXPECT_EQ("1", element(listing, "lastsyncsuccess"));  // running is not failing
    EXPECT_EQ("0", element(status(id), "queued"));

    allowed = 3;
    ASSERT_TRUE(waitUntil([&] { return chunks.load() == 3; }));
    Poco::Thread::sleep(600);  // a rate needs some time behind it
    doc = status(id);
    EXPECT_GT(std::stoll(element(doc, "bytesdone")), first);
    EXPECT_GT(std::stoll(element(doc, "rate")), 0);
    EXPECT_NE("", element(doc, "timeleft"));

    EXPECT_EQ(result("stopbackup", true), ask("stopbackup", id));
    ASSERT_TRUE(waitForRuns(id, 2));
    EXPECT_EQ("stopped", runs(id).front().result);
    listing = request("getallbackuprecs");
    EXPECT_EQ("1", element(listing, "lastsyncsuccess"));
    EXPECT_EQ("0", element(listing, "tosendcount"));
    doc = status(id);
    EXPECT_EQ("0", element(doc, "running"));
    EXPECT_EQ("stopped", element(doc, "lastresult"));
    EXPECT_EQ("0", element(doc, "bytesdone"));
    harness.drain();
    EXPECT_TRUE(notices().empty());
}

}  // namespace
