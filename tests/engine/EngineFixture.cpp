#include "EngineFixture.h"

#include "engine/EngineClock.h"
#include "engine/VersionName.h"
#include "support/TempDir.h"
#include "support/TreeSnapshot.h"

#include <Poco/File.h>

#include <fcntl.h>
#include <sys/stat.h>

namespace EngineTest {

using Orvana::Backup::VersionName;

std::map<std::string, Node> snapshot(const std::string& root) {
    std::map<std::string, Node> out;
    for (const auto& e : TestSupport::snapshotTree(root, false))
        out[e.first] = Node{e.second.kind, e.second.content, e.second.mode, e.second.mtimeNs};
    return out;
}

std::vector<std::string> temporaries(const std::string& root) {
    std::vector<std::string> out;
    if (!Poco::File(root).exists()) return out;
    for (const auto& entry : snapshot(root)) {
        std::string name = entry.first.substr(entry.first.rfind('/') + 1);
        // What a pass moved aside is kept on purpose.
        if (name.compare(0, 8, ".backup-") == 0 && name != VersionName::FOLDER)
            out.push_back(entry.first);
    }
    return out;
}

void touch(const std::string& path, int secondsAhead) {
    struct timespec times[2];
    clock_gettime(CLOCK_REALTIME, &times[0]);
    times[0].tv_sec += secondsAhead;
    times[0].tv_nsec = 123456789;
    times[1] = times[0];
    utimensat(AT_FDCWD, path.c_str(), times, 0);
}

bool waitUntil(const std::function<bool()>& condition, int timeoutMs) {
    for (int waited = 0; waited < timeoutMs; waited += 5) {
        if (condition()) return true;
        Poco::Thread::sleep(5);
    }
    return condition();
}

void EngineTestBase::SetUp() {
    db.reset(new ProbeDB);
    ASSERT_TRUE(db->isValid());
    src = profile.scratch("src");
    dst = profile.scratch("dst");
}

void EngineTestBase::TearDown() {
    Orvana::Backup::EngineHooks::clear();
    Orvana::Backup::EngineClock::useSystemTime();
}

int EngineTestBase::addRecord(bool isFile, const std::string& localPath,
                              const std::string& remotePath, const std::string& peer) {
    int id = 0;
    EXPECT_TRUE(db->addBackupRecord(peer, isFile, 1, localPath, remotePath, "", 0, -1, -1, id));
    return id;
}

BackupDB::BackupRecordPtr EngineTestBase::record(int id) {
    BackupDB::BackupRecordPtr rec(new BackupDB::BACKUP_RECORD);
    EXPECT_TRUE(db->getBackupRecord(id, *rec));
    return rec;
}

void EngineTestBase::runPass(int id) {
    BackupActivity worker(std::vector<BackupDB::BackupRecordPtr>(1, record(id)), "backup");
    worker.start();
    EXPECT_TRUE(waitUntil([&] {
        std::vector<BackupDB::BackupRecordPtr> queue;
        worker.getQueuedRecords(queue);
        return queue.empty();
    }));
    worker.stop();
}

std::vector<std::string> EngineTestBase::activities(int id) {
    std::vector<BackupDB::ActivityRecordPtr> all;
    db->getActivities(all);
    std::vector<std::string> out;
    for (auto it = all.rbegin(); it != all.rend(); ++it) {
        if ((*it)->recId != id) continue;
        const std::string& t = (*it)->activityText;
        size_t cut = t.find(" : ");
        out.push_back(std::to_string((*it)->severity) + ":" +
                      (cut == std::string::npos ? t : t.substr(cut + 3)));
    }
    return out;
}

bool EngineTestBase::hasActivity(int id, const std::string& entry) {
    for (const std::string& a : activities(id))
        if (a == entry) return true;
    return false;
}

std::string EngineTestBase::lastSuccess(int id) {
    return db->text("select LASTSUCCESSTIME from BACKUP_RECORDS where ID=" + std::to_string(id));
}

int EngineTestBase::syncedRows(int id) {
    return db->scalar("select count(*) from BACKUP_SOURCE_FILES where SYNCED=1 and RECID=" +
                     std::to_string(id));
}

}  // namespace EngineTest
