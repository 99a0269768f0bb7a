// bench_index: round trip of one record's source-file index through BackupDB.
// Loads N rows, changes a tenth, adds a tenth, flushes, loads again and checks
// every row; prints load and flush times, and the chunked read in path order
// that a pass makes. Exit 1 when any row is wrong.
//
//   bench_index [--rows N]     (default 200000)

#include <Poco/Logger.h>
#include <Poco/Stopwatch.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "BenchOptions.h"
#include "db/BackupDB.h"
#include "engine/SourceIndexCursor.h"
#include "support/TestProfile.h"

using Orvana::Backup::BackupDB;

namespace {

std::string pathOf(int i) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "/home/user/Documents/folder%03d/it's file %07d.dat", i % 997,
                  i);
    return buf;
}

BackupDB::SourceRecordPtr makeEntry(int recId, int i) {
    BackupDB::SourceRecordPtr r(new BackupDB::SOURCE_RECORD);
    r->recId = recId;
    r->file = pathOf(i);
    r->lastModifiedTime = Poco::Timestamp(1600000000000000LL + i);
    r->checksum = "c" + std::to_string(i);
    r->isNew = true;
    return r;
}

struct Timing {
    const char* phase;
    size_t rows;
    double seconds;
};

void printRow(const Timing& t) {
    std::printf("%-16s %10zu %10.3f %14.0f\n", t.phase, t.rows, t.seconds,
                t.seconds > 0 ? t.rows / t.seconds : 0.0);
}

double timed(Poco::Stopwatch& sw) { return sw.elapsed() / 1e6; }

}  // namespace

int main(int argc, char** argv) {
    const Bench::BenchOptions args(argc, argv, {"--rows"}, {});
    int rows = int(args.number("--rows", 200000));
    if (args.bad()) {
        std::fprintf(stderr, "usage: %s [--rows N]\n", argv[0]);
        return 2;
    }
    if (rows < 10) rows = 10;
    Poco::Logger::root().setLevel(Poco::Message::PRIO_ERROR);

    TestSupport::TestProfile profile;
    BackupDB db("backup");
    if (!db.isValid()) {
        std::fprintf(stderr, "database did not open\n");
        return 1;
    }
    const int recId = 1;
    const int other = 2;  // a second record's rows must stay untouched
    Poco::Stopwatch sw;

    BackupDB::SourceRecordMap map;
    for (int i = 0; i < rows; ++i) map[pathOf(i)] = makeEntry(recId, i);
    sw.restart();
    db.flushSourceRecords(recId, map);
    const Timing seed{"insert (seed)", map.size(), timed(sw)};
    map.clear();
    BackupDB::SourceRecordMap otherMap;
    otherMap[pathOf(0)] = makeEntry(other, 0);
    db.flushSourceRecords(other, otherMap);

    sw.restart();
    db.getSourceRecords(recId, map);
    const Timing load1{"load", map.size(), timed(sw)};

    // Change every tenth loaded entry, add a tenth more.
    int changed = 0;
    for (auto& kv : map) {
        if (kv.second->id % 10 == 0) {
            kv.second->checksum += "-changed";
            kv.second->lastModifiedTime += 1000;
            kv.second->synced = 1;
            ++changed;
        }
    }
    const int added = rows / 10;
    for (int i = rows; i < rows + added; ++i) map[pathOf(i)] = makeEntry(recId, i);
    const size_t flushed = map.size();
    sw.restart();
    db.flushSourceRecords(recId, map);
    const Timing flush{"flush", flushed, timed(sw)};
    BackupDB::SourceRecordMap expected;
    expected.swap(map);

    sw.restart();
    db.getSourceRecords(recId, map);
    const Timing load2{"load again", map.size(), timed(sw)};

    // The read a pass makes: chunks in path order, each after the last, on
    // the connection the pass reads with (used by one thread only) and, to
    // compare, on one any thread may use.
    auto chunkedRead = [&](BackupDB& reader, const char* name) {
        sw.restart();
        size_t read = 0;
        std::vector<BackupDB::SOURCE_RECORD> chunk;
        std::string afterFile;
        int afterId = 0;
        while (reader.getSourceRecordsAfter(recId, afterFile, afterId, "\xff",
                                            Orvana::Backup::SourceIndexCursor::CHUNK_ROWS, chunk) &&
               !chunk.empty()) {
            read += chunk.size();
            afterFile = chunk.back().file;
            afterId = chunk.back().id;
        }
        return Timing{name, read, timed(sw)};
    };
    const Timing shared = chunkedRead(db, "chunked, shared");
    const Timing chunked = chunkedRead(*BackupDB::openReader("bench", db.filePath()), "chunked read");

    // Every row must come back exactly as flushed.
    size_t bad = 0;
    if (map.size() != expected.size()) {
        std::fprintf(stderr, "row count %zu, expected %zu\n", map.size(), expected.size());
        ++bad;
    }
    for (const auto& kv : expected) {
        auto it = map.find(kv.first);
        const BackupDB::SOURCE_RECORD& want = *kv.second;
        if (it == map.end() || it->second->checksum != want.checksum ||
            it->second->lastModifiedTime != want.lastModifiedTime ||
            it->second->synced != want.synced || it->second->recId != recId || it->second->isNew ||
            (!want.isNew && it->second->id != want.id)) {
            if (bad < 5) std::fprintf(stderr, "wrong row: %s\n", kv.first.c_str());
            ++bad;
        }
    }
    std::string otherSum;
    if (!db.getSourceFileChecksum(other, pathOf(0), otherSum) || otherSum != "c0") {
        std::fprintf(stderr, "another record's row changed\n");
        ++bad;
    }

    std::printf("%-16s %10s %10s %14s\n", "phase", "rows", "seconds", "rows/second");
    printRow(seed);
    printRow(load1);
    printRow(flush);
    printRow(load2);
    printRow(shared);
    printRow(chunked);
    std::printf("changed %d, added %d; %s\n", changed, added, bad ? "MISMATCH" : "every row exact");
    return bad ? 1 : 0;
}
