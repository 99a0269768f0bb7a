#pragma once
// Shared fixture of the request tests: a logged-in profile, a running service
// driven through its dispatcher, a second database connection for setting up
// and checking rows, and helpers to build query strings and expected replies.

#include "db/BackupDB.h"
#include "engine/BackupProgressRegistry.h"
#include "hostapi/HTTP.h"
#include "support/LogCapture.h"
#include "support/ServiceHarness.h"
#include "support/TestProfile.h"

#include <Poco/Clock.h>
#include <Poco/Thread.h>
#include <Poco/URI.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

class RequestsTest : public ::testing::Test {
protected:
    typedef std::vector<std::pair<std::string, std::string>> Fields;
    typedef Orvana::Backup::BackupProgressRegistry Registry;

    void SetUp() override {
        // Progress entries are process-wide and outlive earlier tests' records.
        auto& registry = Orvana::Backup::BackupProgressRegistry::instance();
        for (int id = -1; id <= 40; ++id) {
            registry.setCurrentAction(id, "");
            registry.setCurrentFile(id, "");
            registry.setTotalSendSize(id, 0);
            registry.clearActive(id);
            for (auto set : {&Registry::setRemainingSendSize, &Registry::setToSendCount,
                             &Registry::setCheckedFileCount})
                (registry.*set)(id, 0);
        }
        ASSERT_TRUE(harness.start());
        db.reset(new Orvana::Backup::BackupDB("backup"));
        ASSERT_TRUE(db->isValid());
    }

    // The text between <tag> and </tag> in the n-th <backuprec> (0-based) of
    // a listing; "<no record>" or "<missing>" when there is none.
    static std::string element(const std::string& doc, const std::string& tag, int n = 0) {
        std::string::size_type pos = 0;
        for (int i = 0; i <= n; ++i) {
            pos = doc.find("<backuprec>", pos);
            if (pos == std::string::npos) return "<no record>";
            pos += 1;
        }
        const auto start = doc.find("<" + tag + ">", pos);
        const auto end = doc.find("</" + tag + ">", start);
        if (start == std::string::npos || end == std::string::npos) return "<missing>";
        return doc.substr(start + tag.size() + 2, end - start - tag.size() - 2);
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

    // Polls the listing until record id shows a finished pass: "Idle" and a
    // last success newer than `after` (utcTime). False after the timeout.
    bool waitForPass(int id, Poco::Int64 after = 0) {
        Poco::Clock start;
        while (start.elapsed() / 1000 < TestSupport::ServiceHarness::kReplyTimeoutMs) {
            Orvana::Backup::BackupDB::BACKUP_RECORD r;
            if (db->getBackupRecord(id, r) && r.lastSuccessTime.utcTime() > after &&
                r.lastSuccessTime >= r.lastAttemptTime &&
                Orvana::Backup::BackupProgressRegistry::instance().getCurrentAction(id) == "Idle")
                return true;
            Poco::Thread::sleep(20);
        }
        return false;
    }

    TestSupport::TestProfile profile;
    TestSupport::LogCapture log;
    TestSupport::ServiceHarness harness;
    std::unique_ptr<Orvana::Backup::BackupDB> db;  // a connection of the test's own
};
