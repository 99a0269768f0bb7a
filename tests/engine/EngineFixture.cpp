#include "EngineFixture.h"

#include <Poco/Timestamp.h>

#include <algorithm>
#include <random>

#include "engine/EngineClock.h"
#include "engine/VersionName.h"

namespace EngineTest {

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

std::set<std::string> entries(const std::string& folder) {
    std::vector<std::string> names;
    if (Poco::File(folder).exists()) Poco::File(folder).list(names);
    return std::set<std::string>(names.begin(), names.end());
}

// Built by blocks, as sanitizer builds are slow on byte loops.
std::string bytes(size_t n, unsigned seed) {
    std::mt19937 random(seed);
    std::string block(4093, '\0');
    for (char& c : block) c = static_cast<char>(random());
    std::string s;
    s.reserve(n + block.size());
    while (s.size() < n) s += block;
    s.resize(n);
    return s;
}

void touch(const std::string& path, int secondsAhead) {
    struct timespec times[2];
    clock_gettime(CLOCK_REALTIME, &times[0]);
    times[0].tv_sec += secondsAhead;
    times[0].tv_nsec = 123456789;
    times[1] = times[0];
    utimensat(AT_FDCWD, path.c_str(), times, 0);
}

void changeFile(const std::string& path, const std::string& content, int secondsAhead) {
    writeFile(path, content);
    touch(path, secondsAhead);
}

void writeFiles(const std::string& root, const std::map<std::string, std::string>& files) {
    for (const auto& file : files) writeFile(root + "/" + file.first, file.second);
}

void EngineTestBase::SetUp() {
    db.reset(new ProbeDB);
    ASSERT_TRUE(db->isValid());
    src = profile.scratch("src");
    dst = profile.scratch("dst");
}

void EngineTestBase::TearDown() {
    EngineHooks::clear();
    EngineClock::useSystemTime();
}

int EngineTestBase::insertIndexRow(int recId, const std::string& file) {
    wxSQLite3Statement add = db->conn().PrepareStatement(
        "insert into BACKUP_SOURCE_FILES (RECID, FILE, LASTMODIFIEDTIME, CHECKSUM, SYNCED) "
        "values (?, ?, 1, '', 1);");
    add.Bind(1, recId);
    add.Bind(2, file);
    add.ExecuteUpdate();
    return static_cast<int>(db->conn().GetLastRowId());
}

int EngineTestBase::addRecord(bool isFile, const std::string& localPath,
                              const std::string& remotePath, const std::string& peer) {
    int id = 0;
    EXPECT_TRUE(db->addBackupRecord(peer, isFile, 1, localPath, remotePath, "", 0, -1, -1, id));
    return id;
}

int EngineTestBase::backedUpDocs(const std::map<std::string, std::string>& files) {
    writeFiles(src + "/Docs", files);
    const int id = addRecord(false, src + "/Docs", dst);
    runPass(id);
    return id;
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

Poco::Timespan EngineTestBase::stoppedPass(int id, const std::function<bool()>& reached) {
    BackupActivity worker(std::vector<BackupDB::BackupRecordPtr>(1, record(id)), "backup");
    worker.start();
    EXPECT_TRUE(waitUntil(reached));
    const Poco::Timestamp asked;
    worker.stop();
    return asked.elapsed();
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
    const std::vector<std::string> all = activities(id);
    return std::find(all.begin(), all.end(), entry) != all.end();
}

BackupDB::RUN_RECORD EngineTestBase::lastRun(int id) {
    std::vector<BackupDB::RUN_RECORD> runs;
    EXPECT_TRUE(db->getRuns(id, 1, runs));
    return runs.empty() ? BackupDB::RUN_RECORD() : runs.front();
}

std::vector<std::string> EngineTestBase::markedWithoutCopy(int id) {
    wxSQLite3ResultSet rs = db->conn().ExecuteQuery(
        "select FILE from BACKUP_SOURCE_FILES where SYNCED=1 and RECID=" + std::to_string(id));
    std::vector<std::string> out;
    while (rs.NextRow()) {
        const std::string path = rs.GetStdString(0);
        const std::string copy = dst + path.substr(src.size());
        if (!Poco::File(copy).exists() || readFile(copy) != readFile(path)) out.push_back(path);
    }
    rs.Finalize();
    return out;
}

void EngineTestBase::setExclusions(int id, const std::vector<std::string>& patterns,
                                   bool cacheDirTag) {
    BackupDB::RECORD_SETTINGS settings;
    settings.exclude = patterns;
    settings.cacheDirTag = cacheDirTag;
    ASSERT_TRUE(db->setRecordSettings(id, settings));
}

}  // namespace EngineTest
