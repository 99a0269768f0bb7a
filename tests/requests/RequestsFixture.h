#pragma once
// Shared fixture of the request tests: a logged-in profile, a running service
// driven through its dispatcher, a second database connection for setting up
// and checking rows, and helpers to build query strings and expected replies.
// Used from the test's thread only.

#include <Poco/Thread.h>
#include <Poco/URI.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "db/BackupDB.h"
#include "engine/BackupProgressRegistry.h"
#include "engine/EngineClock.h"
#include "engine/EngineHooks.h"
#include "hostapi/HTTP.h"
#include "support/LogCapture.h"
#include "support/ServiceHarness.h"
#include "support/TestProfile.h"
#include "support/TreeSnapshot.h"
#include "support/WaitUntil.h"
#include "support/XmlDocument.h"

class RequestsTest : public ::testing::Test {
protected:
    typedef std::vector<std::pair<std::string, std::string>> Fields;
    typedef Orvana::Backup::BackupProgressRegistry Registry;

    void SetUp() override {
        // Progress entries are process-wide and outlive earlier tests' records.
        Registry::instance().clear();
        ASSERT_TRUE(harness.start());
        db.reset(new Orvana::Backup::BackupDB("backup"));
        ASSERT_TRUE(db->isValid());
    }
    void TearDown() override {
        harness.stop();  // no worker may run a hook that is about to go
        Orvana::Backup::EngineHooks::clear();
        Orvana::Backup::EngineClock::useSystemTime();
    }

    static std::string query(const Fields& fields) {
        std::string q;
        for (const auto& f : fields) {
            std::string value;
            Poco::URI::encode(f.second, "&=+#%;?", value);
            q += (q.empty() ? "" : "&") + f.first + "=" + value;
        }
        return q;
    }
    std::string request(const std::string& operation, const Fields& fields = {}, int location = 0) {
        return harness.request(operation, query(fields), location);
    }
    // A request about one record: its id, then the other fields.
    std::string ask(const std::string& operation, int id, Fields fields = {}) {
        fields.insert(fields.begin(), {"recid", std::to_string(id)});
        return request(operation, fields);
    }
    static std::string result(const std::string& name, bool success, const std::string& text = "") {
        return Orvana::Misc::HTTP::getXMLResult(name, success, text);
    }
    std::vector<Orvana::Backup::BackupDB::BackupRecordPtr> records() {
        std::vector<Orvana::Backup::BackupDB::BackupRecordPtr> all;
        EXPECT_TRUE(db->getAllBackupRecords(all));
        return all;
    }
    // Adds a local record straight into the database; returns its id.
    int addLocal(const std::string& source, const std::string& store, bool isFile = false) {
        int id = 0;
        EXPECT_TRUE(
            db->addBackupRecord("me@myhost", isFile ? 1 : 0, 1, source, store, "", 3, -1, -1, id));
        return id;
    }

    // A folder (or file) record backed up once by a real pass.
    int backedUp(const std::string& source, const std::string& store, bool isFile = false) {
        const int id = addLocal(source, store, isFile);
        pass(id);
        return id;
    }
    // Another pass of the record; waits until it has finished: "Idle" and a
    // last success newer than the one before.
    void pass(int id) {
        Orvana::Backup::BackupDB::BACKUP_RECORD r;
        ASSERT_TRUE(db->getBackupRecord(id, r));
        const Poco::Int64 after = r.lastSuccessTime.utcTime();
        EXPECT_EQ(result("synconerecord", true), ask("synconerecord", id));
        EXPECT_TRUE(TestSupport::waitUntil([&] {
            // "Never" reads as the epoch, whose utcTime() is far above 0.
            return db->getBackupRecord(id, r) && r.lastSuccessTime > Poco::Timestamp(0) &&
                   r.lastSuccessTime.utcTime() > after && r.lastSuccessTime >= r.lastAttemptTime &&
                   Registry::instance().getCurrentAction(id) == "Idle";
        }));
    }
    // Activity texts that contain a fragment, oldest first, date and time cut off.
    std::vector<std::string> activityTexts(const std::string& containing = "") {
        std::vector<Orvana::Backup::BackupDB::ActivityRecordPtr> all;
        EXPECT_TRUE(db->getActivities(all));
        std::vector<std::string> out;
        for (auto it = all.rbegin(); it != all.rend(); ++it) {
            const std::string& t = (*it)->activityText;
            if (t.find(containing) != std::string::npos) out.push_back(t.substr(t.find(" : ") + 3));
        }
        return out;
    }
    static void setTime(const std::string& path, time_t seconds, long nanos = 0) {
        struct timespec times[2] = {{seconds, nanos}, {seconds, nanos}};
        ASSERT_EQ(0, ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW)) << path;
    }

    // Asks for a restore, waits for its closing entry and returns the newest
    // entry that holds `reading` (the closing words by default).
    std::string restore(int id, const Fields& fields, const std::string& reading = "Restore of [") {
        const std::size_t before = activityTexts("Restore of [").size();
        EXPECT_EQ(result("restorefiles", true), ask("restorefiles", id, fields));
        TestSupport::waitUntil([&] { return activityTexts("Restore of [").size() >= before + 2; });
        return newest(reading);
    }
    // The newest activity text that holds `reading`; "<none>" when none does.
    std::string newest(const std::string& reading) {
        const auto found = activityTexts(reading);
        return found.empty() ? "<none>" : found.back();
    }

    // Whether some file below root holds exactly these bytes.
    static bool holds(const std::string& root, const std::string& content) {
        for (const auto& e : TestSupport::snapshotTree(root))
            if (e.second.content == content) return true;
        return false;
    }

    // Waits for a flag a hook sets on a worker thread.
    static bool waitFor(const std::atomic<bool>& flag) {
        return TestSupport::waitUntil([&] { return flag.load(); });
    }

    TestSupport::TestProfile profile;
    TestSupport::LogCapture log;
    TestSupport::ServiceHarness harness;
    std::unique_ptr<Orvana::Backup::BackupDB> db;  // a connection of the test's own
    // Where a test keeps the source of its record, its store, and a folder
    // to restore into.
    const std::string src = profile.scratch("Docs");
    const std::string store = profile.scratch("store");
    const std::string there = profile.scratch("there");
    // The closing entries of a restore of that source.
    const std::string completed = "Restore of [" + src + "] completed.";
    const std::string failed = "Restore of [" + src + "] failed.";
};
