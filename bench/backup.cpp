// Times backup passes through the real worker and database against cp -a and
// rsync -a on the same tree, and reports the peak resident memory of each of
// our passes.
//
//   bench_backup [--files N] [--big N] [--big-mib M] [--small-kib K] [--dir PATH]
//
// Defaults: 20000 files of 1 to 64 (K) KiB in nested folders plus 5 files of
// 64 MiB, built in a fresh folder under --dir (default: the temp folder).
// Every copy, ours and theirs, ends with its data on stable storage.
#include "db/BackupDB.h"
#include "engine/BackupActivity.h"
#include "support/TestProfile.h"

#include <Poco/File.h>
#include <Poco/Thread.h>
#include <Poco/Timestamp.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

using Orvana::Backup::BackupActivity;
using Orvana::Backup::BackupDB;

namespace {

struct Options {
    long files = 20000;
    long big = 5;
    long bigMib = 64;
    long smallKib = 64;  // small files are 1 KiB to this size
    std::string dir;
};

void writeBytes(const std::string& path, size_t size, std::mt19937& rng) {
    std::vector<char> data(size);
    for (size_t i = 0; i < size; i += 4) {
        unsigned v = rng();
        std::memcpy(&data[i], &v, std::min<size_t>(4, size - i));
    }
    std::ofstream out(path, std::ios::binary);
    out.write(data.data(), data.size());
}

// Nested folders: 10 top folders, 10 below each, files spread over them.
std::vector<std::string> buildTree(const std::string& root, const Options& o) {
    std::mt19937 rng(42);
    std::vector<std::string> small;
    for (long i = 0; i < o.files; ++i) {
        std::string folder = root + "/d" + std::to_string(i % 10) + "/e" + std::to_string(i / 10 % 10);
        if (i < 100) Poco::File(folder).createDirectories();
        std::string path = folder + "/file" + std::to_string(i) + ".dat";
        const long spread = std::max(0L, o.smallKib - 1) * 1024;
        writeBytes(path, 1024 + rng() % (spread + 1), rng);
        small.push_back(path);
    }
    if (o.big > 0) Poco::File(root + "/big").createDirectories();
    std::vector<char> chunk(1 << 20);
    for (long b = 0; b < o.big; ++b) {
        std::ofstream out(root + "/big/big" + std::to_string(b) + ".bin", std::ios::binary);
        for (long m = 0; m < o.bigMib; ++m) {
            for (size_t i = 0; i < chunk.size(); i += 4) {
                unsigned v = rng();
                std::memcpy(&chunk[i], &v, 4);
            }
            out.write(chunk.data(), chunk.size());
        }
    }
    return small;
}

long peakRssKb() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 6, "VmHWM:") == 0) return std::atol(line.c_str() + 6);
    }
    return -1;
}

void resetPeakRss() {
    std::ofstream out("/proc/self/clear_refs");
    out << "5";
}

double seconds(const Poco::Timestamp& start) { return double(start.elapsed()) / 1e6; }

double shell(const std::string& command) {
    Poco::Timestamp start;
    if (std::system(command.c_str()) != 0) std::cerr << "command failed: " << command << "\n";
    return seconds(start);
}

// One pass through a fresh worker, as the service would run it.
double ourPass(BackupDB& db, int id, long& rssKb) {
    BackupDB::BackupRecordPtr rec(new BackupDB::BACKUP_RECORD);
    db.getBackupRecord(id, *rec);
    std::system("sync");
    // Heap kept from earlier passes is not this pass's memory.
    malloc_trim(0);
    resetPeakRss();
    Poco::Timestamp start;
    {
        BackupActivity worker(std::vector<BackupDB::BackupRecordPtr>(1, rec), "backup");
        worker.start();
        for (;;) {
            std::vector<BackupDB::BackupRecordPtr> queue;
            worker.getQueuedRecords(queue);
            if (queue.empty()) break;
            Poco::Thread::sleep(2);
        }
        worker.stop();
    }
    double s = seconds(start);
    rssKb = peakRssKb();
    return s;
}

std::string quote(const std::string& s) { return "'" + s + "'"; }

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string k = argv[i];
        if (k == "--files") o.files = std::atol(argv[i + 1]);
        else if (k == "--big") o.big = std::atol(argv[i + 1]);
        else if (k == "--big-mib") o.bigMib = std::atol(argv[i + 1]);
        else if (k == "--small-kib") o.smallKib = std::atol(argv[i + 1]);
        else if (k == "--dir") o.dir = argv[i + 1];
        else {
            std::cerr << "usage: bench_backup [--files N] [--big N] [--big-mib M] [--small-kib K] [--dir PATH]\n";
            return 2;
        }
    }
    TestSupport::TestProfile profile;
    std::string base = o.dir.empty() ? profile.scratch("bench") : o.dir + "/bench-backup-" + std::to_string(::getpid());
    Poco::File(base).createDirectories();
    const std::string tree = base + "/src/Tree";
    std::cout << "building " << o.files << " files + " << o.big << " x " << o.bigMib << " MiB in " << base << "\n";
    std::vector<std::string> small = buildTree(tree, o);

    BackupDB db("backup");
    int id = 0;
    db.addBackupRecord("me@myhost", 0, 1, tree, base + "/ours", "", 0, -1, -1, id);

    long rssA = 0, rssB = 0, rssC = 0;
    double oursA = ourPass(db, id, rssA);
    std::system("sync");
    double cpA = shell("cp -a " + quote(tree) + " " + quote(base + "/cp") + " && sync -f " + quote(base + "/cp"));
    std::system("sync");
    double rsA = shell("rsync -a " + quote(tree) + " " + quote(base + "/rs") + " && sync -f " + quote(base + "/rs"));

    double oursB = ourPass(db, id, rssB);
    std::system("sync");
    double rsB = shell("rsync -a " + quote(tree) + " " + quote(base + "/rs") + " && sync -f " + quote(base + "/rs"));

    // Touch 1% of the small files: a new modification time, same content.
    struct timespec later[2];
    clock_gettime(CLOCK_REALTIME, &later[0]);
    later[0].tv_sec += 60;
    later[1] = later[0];
    for (size_t i = 0; i < small.size(); i += 100) utimensat(AT_FDCWD, small[i].c_str(), later, 0);
    double oursC = ourPass(db, id, rssC);
    std::system("sync");
    double rsC = shell("rsync -a " + quote(tree) + " " + quote(base + "/rs") + " && sync -f " + quote(base + "/rs"));

    bool same = std::system(("diff -r -q " + quote(tree) + " " + quote(base + "/ours/Tree") + " > /dev/null").c_str()) == 0;

    std::printf("\n%-34s %9s %9s %7s %8s %12s\n", "case", "ours s", "theirs s", "ratio", "target", "our peak MB");
    std::printf("%-34s %9.2f %9.2f %7.2f %8s %12.1f\n", "(a) first backup vs cp -a + sync", oursA, cpA, oursA / cpA, "<=1.3", rssA / 1024.0);
    std::printf("%-34s %9.2f %9.2f %7.2f %8s %12s\n", "(a) first backup vs rsync -a + sync", oursA, rsA, oursA / rsA, "-", "");
    std::printf("%-34s %9.2f %9.2f %7.2f %8s %12.1f\n", "(b) no change vs rsync -a + sync", oursB, rsB, oursB / rsB, "<=0.5", rssB / 1024.0);
    std::printf("%-34s %9.2f %9.2f %7.2f %8s %12.1f\n", "(c) 1% touched vs rsync -a + sync", oursC, rsC, oursC / rsC, "<=1.0", rssC / 1024.0);
    std::printf("copy identical to source: %s\n", same ? "yes" : "NO");

    if (!o.dir.empty()) Poco::File(base).remove(true);
    return same ? 0 : 1;
}
