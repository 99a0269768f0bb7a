// Times backup passes through the real worker and database against cp -a and
// rsync -a on the same tree, and reports files per second and the peak
// resident memory of each of our passes.
//
//   bench_backup [--files N] [--big N] [--big-mib M] [--small-kib K] [--churn R]
//                [--dir PATH] [--keep] [--phases] [--prepare] [--churn-only]
//
// Defaults: 20000 small files of 0 to 4 (K) KiB, 100 to a folder, in folders
// two levels deep (1,000,000 files make 10,000 folders), plus 5 files of
// 64 MiB; with --files N and no --big, small files only (the trees kept for
// the scale runs are such). Every copy, ours and theirs, ends with its data on stable storage.
// A pass with no change, ours or rsync's, takes well under a second at 20,000
// files and varies with the machine's other load: those rows take the best of
// three each (ours and rsync's taking turns).
//
// --keep (needs --dir) keeps the source tree in PATH/tree-<parameters> and
// reuses it on the next run with the same parameters; copies are always
// fresh. --churn R runs R rounds that each delete 10% of the files and create
// as many new ones (default 10, 0 skips). --phases times the parts of a pass
// with no change, before and after the churn. --prepare (with --keep) only builds the kept tree.
// --churn-only runs our first backup and the churn rounds alone, without the
// other tools and cases: the before/after ratio of a large tree in less time.
#include <Poco/AutoPtr.h>
#include <Poco/Channel.h>
#include <Poco/File.h>
#include <Poco/Logger.h>
#include <Poco/Mutex.h>
#include <Poco/Thread.h>
#include <Poco/Timestamp.h>
#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "BenchOptions.h"
#include "db/BackupDB.h"
#include "engine/BackupActivity.h"
#include "engine/ParallelWalk.h"
#include "engine/SourceIndexCursor.h"
#include "host/OpenFileLimit.h"
#include "support/TestProfile.h"

using Orvana::Backup::BackupActivity;
using Orvana::Backup::BackupDB;

namespace {

constexpr long kPerFolder = 100;
// Bumped whenever the tree's layout or content changes, so a kept tree of an
// older layout is never reused.
constexpr int kLayout = 2;

struct Options {
    long files = 20000;
    long big = 5;
    long bigMib = 64;
    long smallKib = 4;  // small files are 0 bytes to this size
    long churn = 10;
    std::string dir;
    bool keep = false;
    bool phases = false;
    bool churnOnly = false;
};

// Files are numbered; the number alone gives the path and the content, so the
// bench holds no list of paths (that would count in our peak memory) and can
// put a kept tree back after the churn rounds. Numbers from `files` up are
// files the churn created; they are spread over the same folders.
class Tree {
public:
    Tree(const std::string& root, const Options& o)
        : m_root(root), m_o(o), m_folders(std::max(1L, (o.files + kPerFolder - 1) / kPerFolder)) {}

    const std::string& root() const { return m_root; }
    long folders() const { return m_folders; }
    std::string folder(long f) const {
        return m_root + "/d" + std::to_string(f / 100) + "/e" + std::to_string(f % 100);
    }
    std::string path(long n) const {
        if (n < m_o.files) return folder(n / kPerFolder) + "/f" + std::to_string(n) + ".dat";
        const long f = long((unsigned long)n * 2654435761UL % (unsigned long)m_folders);
        return folder(f) + "/n" + std::to_string(n) + ".dat";
    }
    bool writeSmall(long n) const {
        std::mt19937 rng(unsigned(n) * 2246822519U + 7U);
        const size_t size = rng() % size_t(m_o.smallKib * 1024 + 1);
        std::vector<char> data(size);
        for (size_t i = 0; i < size; i += 4) {
            unsigned v = rng();
            std::memcpy(&data[i], &v, std::min<size_t>(4, size - i));
        }
        const std::string p = path(n);
        int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0) return false;
        bool ok = size == 0 || ::write(fd, data.data(), size) == ssize_t(size);
        return ::close(fd) == 0 && ok;
    }
    bool build() const {
        for (long f = 0; f < m_folders; ++f) Poco::File(folder(f)).createDirectories();
        for (long n = 0; n < m_o.files; ++n) {
            if (!writeSmall(n)) {
                std::cerr << "cannot write " << path(n) << "\n";
                return false;
            }
            if (n > 0 && n % 200000 == 0)
                std::cout << "  " << n << " files written\n" << std::flush;
        }
        if (m_o.big > 0) Poco::File(m_root + "/big").createDirectories();
        std::mt19937 rng(42);
        std::vector<char> chunk(1 << 20);
        for (long b = 0; b < m_o.big; ++b) {
            std::ofstream out(m_root + "/big/big" + std::to_string(b) + ".bin", std::ios::binary);
            for (long m = 0; m < m_o.bigMib; ++m) {
                for (size_t i = 0; i < chunk.size(); i += 4) {
                    unsigned v = rng();
                    std::memcpy(&chunk[i], &v, 4);
                }
                out.write(chunk.data(), chunk.size());
            }
            if (!out) return false;
        }
        return true;
    }

private:
    std::string m_root;
    const Options& m_o;
    long m_folders;
};

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

void run(const std::string& command) {
    if (std::system(command.c_str()) != 0) std::cerr << "command failed: " << command << "\n";
}

// Times a baseline command. A baseline that failed (rsync missing, a full
// disk) measured nothing, and a ratio against it would be a made-up number:
// the bench stops there and says why.
struct BaselineFailed : std::runtime_error {
    using std::runtime_error::runtime_error;
};

double shell(const std::string& command) {
    Poco::Timestamp start;
    const int status = std::system(command.c_str());
    const double s = seconds(start);
    if (status != 0) throw BaselineFailed(command);
    return s;
}

std::string quote(const std::string& s) { return "'" + s + "'"; }

// With --dir, a run's copies go in PATH/<this><pid>.
const std::string COPIES_PREFIX = "bench-backup-";

// Removes the copies that runs killed before their clean-up left in `dir`
// (bench-backup-<pid> of a process that is gone): on a tmpfs each takes as
// much memory as the tree, which the next run's caches then lack.
void removeStaleCopies(const std::string& dir) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) return;
    std::vector<std::string> stale;
    const std::string& prefix = COPIES_PREFIX;
    while (const struct dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name.compare(0, prefix.size(), prefix) != 0) continue;
        const std::string digits = name.substr(prefix.size());
        if (digits.empty() || digits.size() > 9 ||
            digits.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const long pid = std::strtol(digits.c_str(), nullptr, 10);
        if (::kill(pid_t(pid), 0) != 0 && errno == ESRCH) stale.push_back(dir + "/" + name);
    }
    ::closedir(d);
    for (const std::string& path : stale) {
        std::cout << "removing " << path << ", left by a run that was killed\n" << std::flush;
        run("rm -rf " + quote(path));
    }
}

// Records when the engine logs the lines that bound the parts of a pass.
class PhaseChannel : public Poco::Channel {
public:
    explicit PhaseChannel(std::vector<std::string> marks) : m_marks(std::move(marks)) {}
    void log(const Poco::Message& msg) override {
        for (const std::string& m : m_marks) {
            if (msg.getText().find(m) == std::string::npos) continue;
            Poco::FastMutex::ScopedLock lock(m_mutex);
            m_seen.emplace_back(m, Poco::Timestamp());
        }
    }
    // Seconds from the first mark to the first line holding `to`, or to the
    // last such line (-1 if none).
    double since(const std::string& from, const std::string& to, bool last = false) const {
        Poco::FastMutex::ScopedLock lock(m_mutex);
        const Poco::Timestamp* a = nullptr;
        double found = -1;
        for (const auto& s : m_seen) {
            if (!a && s.first == from) a = &s.second;
            if (a && s.first == to) {
                found = double(s.second - *a) / 1e6;
                if (!last) break;
            }
        }
        return found;
    }

private:
    std::vector<std::string> m_marks;
    mutable Poco::FastMutex m_mutex;
    std::vector<std::pair<std::string, Poco::Timestamp>> m_seen;
};

struct Pass {
    double s = 0;
    long rssKb = 0;
    double cpuS = 0;  // user + system time of every thread of the process
};

double cpuSeconds() {
    struct rusage use;
    ::getrusage(RUSAGE_SELF, &use);
    return double(use.ru_utime.tv_sec + use.ru_stime.tv_sec) +
           double(use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
}

// One pass through a fresh worker, as the service would run it.
Pass ourPass(BackupDB& db, int id) {
    BackupDB::BackupRecordPtr rec(new BackupDB::BACKUP_RECORD);
    db.getBackupRecord(id, *rec);
    run("sync");
    // Heap kept from earlier passes is not this pass's memory.
    malloc_trim(0);
    resetPeakRss();
    const double cpuBefore = cpuSeconds();
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
    Pass p;
    p.s = seconds(start);
    p.rssKb = peakRssKb();
    p.cpuS = cpuSeconds() - cpuBefore;
    return p;
}

// The quicker of two passes, with the larger peak of memory of the two: the
// rows of passes this short take the best of three on a shared machine.
void keepBest(Pass& best, const Pass& p) {
    const long rssKb = std::max(best.rssKb, p.rssKb);
    if (best.s == 0 || p.s < best.s) best = p;
    best.rssKb = rssKb;
}

Pass bestOfThree(BackupDB& db, int id) {
    Pass best;
    for (int i = 0; i < 3; ++i) keepBest(best, ourPass(db, id));
    return best;
}

// ourPass with the engine's trace lines, at trace level, in `phases`.
Pass tracedPass(BackupDB& db, int id, const Poco::AutoPtr<PhaseChannel>& phases) {
    Poco::Logger& logger = Poco::Logger::get("backup");
    Poco::AutoPtr<Poco::Channel> old(logger.getChannel(), true);
    const int level = logger.getLevel();
    logger.setChannel(phases);
    logger.setLevel(Poco::Message::PRIO_TRACE);
    const Pass p = ourPass(db, id);
    logger.setLevel(level);
    logger.setChannel(old);
    return p;
}

// The file-system share of a scan, with the calls the engine's lister makes
// (getdents64 into a large buffer, fstatat by name in the open folder) and
// nothing else. Counts the entries of the folder `fd` and appends its
// subfolders' names to `folders`.
long listAt(int fd, std::vector<std::string>& folders) {
    static thread_local std::vector<char> buffer(1 << 20);
    long count = 0;
    for (;;) {
        const ssize_t got = ::getdents64(fd, buffer.data(), buffer.size());
        if (got <= 0) break;
        for (ssize_t at = 0; at < got;) {
            const auto* e = reinterpret_cast<const struct dirent64*>(buffer.data() + at);
            at += e->d_reclen;
            if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, "..")) continue;
            struct stat st;
            if (::fstatat(fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
            ++count;
            if (S_ISDIR(st.st_mode)) folders.emplace_back(e->d_name);
        }
    }
    return count;
}

int openFolderAt(int fd, const std::string& name) {
    return ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// The entries under the folder `fd` (closed here). Subfolders are walked once
// the listing is done: the buffer is the thread's, shared by every depth.
long walkAt(int fd) {
    std::vector<std::string> folders;
    long count = listAt(fd, folders);
    for (const std::string& name : folders) {
        const int sub = openFolderAt(fd, name);
        if (sub >= 0) count += walkAt(sub);
    }
    ::close(fd);
    return count;
}

// The same walk on `threads` threads, each taking the root's folders in turn:
// what no pass can go below.
long walk(const std::string& root, unsigned threads) {
    const int rootFd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (rootFd < 0) return 0;
    std::vector<std::string> folders;
    std::atomic<long> total(listAt(rootFd, folders));
    std::atomic<size_t> next(0);
    auto work = [&] {
        long mine = 0;
        for (size_t i; (i = next++) < folders.size();) {
            const int sub = openFolderAt(rootFd, folders[i]);
            if (sub >= 0) mine += walkAt(sub);
        }
        total += mine;
    };
    std::vector<std::thread> pool;
    for (unsigned n = 1; n < threads; ++n) pool.emplace_back(work);
    work();
    for (std::thread& t : pool) t.join();
    ::close(rootFd);
    return total;
}

void printHead() {
    std::printf("\n%-36s %9s %9s %6s %7s %10s %10s %8s\n", "case", "ours s", "base s", "ratio",
                "target", "ours f/s", "base f/s", "peak MB");
}

void printRow(const char* name, double ours, double theirs, const char* target, long files,
              long rssKb) {
    std::printf("%-36s %9.2f %9.2f %6.2f %7s %10.0f %10.0f", name, ours, theirs, ours / theirs,
                target, files / ours, files / theirs);
    if (rssKb >= 0) std::printf(" %8.1f", rssKb / 1024.0);
    std::printf("\n");
}

int usage() {
    std::cerr << "usage: bench_backup [--files N] [--big N] [--big-mib M] [--small-kib K]"
                 " [--churn R] [--dir PATH] [--keep] [--phases] [--prepare] [--churn-only]\n";
    return 2;
}

int benchMain(int argc, char** argv);

}  // namespace

int main(int argc, char** argv) {
    Orvana::Host::raiseOpenFileLimit();
    try {
        return benchMain(argc, argv);
    } catch (const BaselineFailed& e) {
        std::fflush(stdout);
        std::cerr << "baseline failed, no ratio can be given: " << e.what() << "\n";
        return 2;
    }
}

namespace {

int benchMain(int argc, char** argv) {
    const Bench::BenchOptions args(
        argc, argv, {"--files", "--big", "--big-mib", "--small-kib", "--churn", "--dir"},
        {"--keep", "--phases", "--prepare", "--churn-only"});
    // Line by line, so a run cut short still shows what it measured.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    Options o;
    o.files = args.number("--files", o.files);
    // A tree sized with --files is one of the small-file scale trees.
    if (args.number("--files", -1) >= 0) o.big = 0;
    o.big = args.number("--big", o.big);
    o.bigMib = args.number("--big-mib", o.bigMib);
    o.smallKib = args.number("--small-kib", o.smallKib);
    o.churn = args.number("--churn", o.churn);
    o.dir = args.text("--dir");
    o.keep = args.flag("--keep");
    o.phases = args.flag("--phases");
    o.churnOnly = args.flag("--churn-only");
    if (args.bad() || o.files < 1 || o.smallKib < 0 || (o.keep && o.dir.empty()) ||
        (args.flag("--prepare") && !o.keep))
        return usage();

    if (!o.dir.empty()) removeStaleCopies(o.dir);
    TestSupport::TestProfile profile;
    const std::string work = o.dir.empty()
                                 ? profile.scratch("bench")
                                 : o.dir + "/" + COPIES_PREFIX + std::to_string(::getpid());
    Poco::File(work).createDirectories();
    // Removed however the run ends, a failed baseline included.
    struct Scratch {
        std::string path;
        ~Scratch() { run("rm -rf " + quote(path)); }
    } scratch{work};
    // The kept tree is keyed by every parameter that shapes it and the layout
    // version; its stamp is written only once the tree is whole, and removed
    // while the churn rounds change it, so a run cut short is rebuilt.
    const std::string key = "f" + std::to_string(o.files) + "-k" + std::to_string(o.smallKib) +
                            "-b" + std::to_string(o.big) + "x" + std::to_string(o.bigMib) + "-v" +
                            std::to_string(kLayout);
    const std::string keepDir = o.dir + "/tree-" + key;
    const std::string stamp = keepDir + "/complete";
    Tree tree(o.keep ? keepDir + "/Tree" : work + "/src/Tree", o);
    const long bigFiles = o.big;
    if (o.keep && Poco::File(stamp).exists()) {
        std::cout << "reusing " << tree.root() << "\n";
    } else {
        if (o.keep) run("rm -rf " + quote(keepDir));
        std::cout << "building " << o.files << " files + " << o.big << " x " << o.bigMib
                  << " MiB in " << tree.root() << "\n"
                  << std::flush;
        Poco::Timestamp built;
        if (!tree.build()) return 1;
        run("sync");
        std::cout << "built in " << seconds(built) << " s\n";
        if (o.keep) std::ofstream(stamp) << key << "\n";
    }
    if (args.flag("--prepare")) {
        run("rm -rf " + quote(work));
        return 0;
    }
    const std::string ours = work + "/ours", cp = work + "/cp", rs = work + "/rs";
    const std::string rsync =
        "rsync -a " + quote(tree.root()) + " " + quote(rs) + " && sync -f " + quote(rs);
    const long total = o.files + bigFiles;

    BackupDB db("backup");
    int id = 0;
    db.addBackupRecord("me@myhost", 0, 1, tree.root(), ours, "", 0, -1, -1, id);

    // A kept tree may have left the page cache since it was built: our first
    // pass would then read it from disk and cp -a, right after, from memory.
    // Read once here, both sides find it in memory.
    run("find " + quote(tree.root()) + " -type f -exec cat {} + > /dev/null");

    // Each row is printed once measured, so a long run cut short shows what it has.
    printHead();
    const std::vector<std::string> passMarks = {"Initiating sync activity", "Begin flushing",
                                                "End flushing", "processing complete"};
    Poco::AutoPtr<PhaseChannel> firstPhases(new PhaseChannel(passMarks));
    const Pass a = o.phases ? tracedPass(db, id, firstPhases) : ourPass(db, id);
    if (o.phases) {
        // The scan ends with its last index write; the copy follows it.
        const double scanned = firstPhases->since("Initiating sync activity", "End flushing", true);
        const double all = firstPhases->since("Initiating sync activity", "processing complete");
        std::printf("    first backup: scan and index writes %.2f s, copy %.2f s\n", scanned,
                    all - scanned);
    }
    bool same = true;
    if (o.churnOnly) {
        std::printf("%-36s %9.2f %9s %6s %7s %10.0f %10s %8.1f\n", "(a) first backup, ours alone",
                    a.s, "-", "-", "-", total / a.s, "-", a.rssKb / 1024.0);
    } else {
        run("sync");
        const double cpA =
            shell("cp -a " + quote(tree.root()) + " " + quote(cp) + " && sync -f " + quote(cp));
        printRow("(a) first backup vs cp -a + sync", a.s, cpA, "<=1.0", total, a.rssKb);
        run("sync");
        const double rsA = shell(rsync);
        printRow("(a) first backup vs rsync -a + sync", a.s, rsA, "-", total, -1);

        // Ours and rsync taking turns, the best of three each.
        Pass b;
        double rsB = 1e9;
        for (int i = 0; i < 3; ++i) {
            keepBest(b, ourPass(db, id));
            run("sync");
            rsB = std::min(rsB, shell(rsync));
        }
        printRow("(b) no change vs rsync -a + sync", b.s, rsB, "<=0.3", total, b.rssKb);

        // Touch 1% of the small files: a new modification time, same content.
        struct timespec later[2];
        clock_gettime(CLOCK_REALTIME, &later[0]);
        later[0].tv_sec += 60;
        later[1] = later[0];
        for (long n = 0; n < o.files; n += 100) utimensat(AT_FDCWD, tree.path(n).c_str(), later, 0);
        const Pass c = ourPass(db, id);
        run("sync");
        const double rsC = shell(rsync);
        printRow("(c) 1% touched vs rsync -a + sync", c.s, rsC, "<=0.5", total, c.rssKb);

        same = std::system(("diff -r -q " + quote(tree.root()) + " " + quote(ours + "/Tree") +
                            " > /dev/null")
                               .c_str()) == 0;
        std::printf("copy identical to source: %s\n", same ? "yes" : "NO");
        std::fflush(stdout);

        {
            // Exclusions: 20 patterns that match nothing in the tree against none,
            // on the pass with no change; the best of three passes each, as a pass
            // this short is noisy.
            double none = 1e9, with = 1e9;
            for (int i = 0; i < 3; ++i) none = std::min(none, ourPass(db, id).s);
            BackupDB::RECORD_SETTINGS settings;
            settings.exclude = {
                "*.tmp",        "*.bak",         "*~",      "/build", "node_modules/",
                "cache/",       "**/logs/*.log", ".git/",   "*.o",    "*.pyc",
                "__pycache__/", "/dist/",        "target/", "*.swp",  "Thumbs.db",
                ".DS_Store",    "**/tmp/**",     "*.[oa]",  "/out*/", "!keep.tmp"};
            db.setRecordSettings(id, settings);
            for (int i = 0; i < 3; ++i) with = std::min(with, ourPass(db, id).s);
            db.setRecordSettings(id, BackupDB::RECORD_SETTINGS());
            printRow("(e) no change, 20 patterns vs none", with, none, "<=1.1", total, -1);
            std::fflush(stdout);
        }

        {
            // Versions: the 1% touched pass keeping every replaced copy (the
            // default) against the same pass with versions off, taking turns, the
            // best of three each; each pass touches the same files at a new time.
            int round = 0;
            auto touched = [&](bool versions) {
                BackupDB::RECORD_SETTINGS settings;
                settings.versions = versions;
                db.setRecordSettings(id, settings);
                struct timespec t[2];
                clock_gettime(CLOCK_REALTIME, &t[0]);
                t[0].tv_sec += 120 + 60 * ++round;
                t[1] = t[0];
                for (long n = 0; n < o.files; n += 100)
                    utimensat(AT_FDCWD, tree.path(n).c_str(), t, 0);
                return ourPass(db, id).s;
            };
            double on = 1e9, off = 1e9;
            for (int i = 0; i < 3; ++i) {
                off = std::min(off, touched(false));
                on = std::min(on, touched(true));
            }
            db.setRecordSettings(id, BackupDB::RECORD_SETTINGS());
            printRow("(f) 1% touched, versions on vs off", on, off, "<=1.1", total, -1);
            std::fflush(stdout);
        }
    }

    // How full the index's pages are: deletions leave them part empty until
    // a flush compacts them.
    auto printFill = [&]() {
        long pages = 0;
        double slack = 0;
        if (db.sourceIndexFill(pages, slack))
            std::printf("    index pages %ld, %.0f%% of their bytes unused\n", pages, slack * 100);
    };

    // Where a pass with no change spends its time: the engine's own trace
    // lines bound load + scan and the flush; the bench then times the index
    // load and a bare walk of the tree on their own, and the pass again with
    // one walker listing the folders.
    auto printPhases = [&](const char* when) {
        Poco::AutoPtr<PhaseChannel> phases(new PhaseChannel(passMarks));
        const Pass p = tracedPass(db, id, phases);
        Orvana::Backup::ParallelWalk::setWalkers(1);
        const Pass single = ourPass(db, id);
        Orvana::Backup::ParallelWalk::setWalkers(0);
        // With the index read ahead and without, taking turns, the best of
        // three each: on a shared machine one pass apiece says little.
        double ahead = 1e9, plainRead = 1e9;
        for (int i = 0; i < 3; ++i) {
            Orvana::Backup::SourceIndexCursor::setReadAheadEnabled(false);
            plainRead = std::min(plainRead, ourPass(db, id).s);
            Orvana::Backup::SourceIndexCursor::setReadAheadEnabled(true);
            ahead = std::min(ahead, ourPass(db, id).s);
        }
        Poco::Timestamp t;
        BackupDB::SourceRecordMap rows;
        db.getSourceRecords(id, rows);
        const double load = seconds(t);
        const size_t rowCount = rows.size();
        rows.clear();
        malloc_trim(0);
        t.update();
        const long walked = walk(tree.root(), 1);
        const double walkS = seconds(t);
        // The same walk spread over as many threads as the pass has walkers,
        // best of three: the least time any scan of this tree can take here.
        const unsigned threads = Orvana::Backup::ParallelWalk::walkers();
        double walkAllS = 1e9, walkAllCpuS = 1e9;
        for (int i = 0; i < 3; ++i) {
            const double cpuBefore = cpuSeconds();
            t.update();
            walk(tree.root(), threads);
            walkAllS = std::min(walkAllS, seconds(t));
            walkAllCpuS = std::min(walkAllCpuS, cpuSeconds() - cpuBefore);
        }
        const double inProcess = phases->since("Initiating sync activity", "processing complete");
        const double flush = phases->since("Begin flushing", "End flushing");
        std::printf("\nphases of a pass with no change %s (%.2f s in all, %u walkers):\n", when,
                    p.s, Orvana::Backup::ParallelWalk::walkers());
        std::printf("  record processing         %7.2f s  (start to \"processing complete\")\n",
                    inProcess);
        std::printf("    index flush             %7.2f s  (%s)\n", std::max(0.0, flush),
                    flush < 0 ? "nothing flushed" : "engine's trace lines");
        std::printf(
            "    index read              %7.2f s  (%zu rows in one query, timed apart;"
            " the pass reads them while it walks)\n",
            load, rowCount);
        std::printf(
            "    getdents64 + fstatat    %7.2f s  (%ld entries, timed apart, one thread,"
            " cache warm)\n",
            walkS, walked);
        std::printf("    rest: index, compare    %7.2f s\n",
                    inProcess - std::max(0.0, flush) - walkS);
        std::printf("  worker start and stop     %7.2f s\n", p.s - inProcess);
        std::printf("  CPU time of the pass      %7.2f s  (all threads; %.2f s over %u cores)\n",
                    p.cpuS, p.cpuS / std::max(1u, std::thread::hardware_concurrency()),
                    std::max(1u, std::thread::hardware_concurrency()));
        std::printf(
            "  bare walk on %u threads    %7.2f s  (getdents64 + fstatat alone, best of"
            " three: no scan can be faster; CPU %.2f s)\n",
            threads, walkAllS, walkAllCpuS);
        std::printf("  the pass with one walker  %7.2f s\n", single.s);
        std::printf(
            "  index read ahead / not    %7.2f s / %.2f s  (best of three each, taking turns)\n",
            ahead, plainRead);
        printFill();
        std::fflush(stdout);
    };
    if (o.phases) printPhases("");

    bool restored = true;
    if (o.churn > 0) {
        // Churn: each round deletes 10% of the live small files and creates as
        // many new ones, then runs our pass and rsync (with --delete, so its
        // copy follows the source the way a mirror would).
        const Pass before = bestOfThree(db, id);
        if (o.keep) Poco::File(stamp).remove();
        std::vector<long> live(o.files);
        for (long n = 0; n < o.files; ++n) live[n] = n;
        std::mt19937 rng(7);
        long next = o.files;
        const long perRound = std::max(1L, o.files / 10);
        const std::string rsyncDelete = "rsync -a --delete " + quote(tree.root()) + " " +
                                        quote(rs) + " && sync -f " + quote(rs);
        double oursChurn = 0, rsChurn = 0;
        long rssChurn = 0;
        for (long r = 0; r < o.churn; ++r) {
            for (long k = 0; k < perRound; ++k) {
                const size_t pick = rng() % live.size();
                ::unlink(tree.path(live[pick]).c_str());
                live[pick] = next;
                tree.writeSmall(next++);
            }
            const Pass p = ourPass(db, id);
            oursChurn += p.s;
            rssChurn = std::max(rssChurn, p.rssKb);
            if (o.phases) printFill();
            if (o.churnOnly) {
                std::printf("  churn round %ld: ours %.2f s\n", r + 1, p.s);
                continue;
            }
            run("sync");
            const double rsRound = shell(rsyncDelete);
            rsChurn += rsRound;
            std::printf("  churn round %ld: ours %.2f s, rsync -a --delete %.2f s\n", r + 1, p.s,
                        rsRound);
        }
        const Pass after = bestOfThree(db, id);
        if (o.phases) printPhases("after the churn");
        BackupDB::SourceRecordMap rows;
        db.getSourceRecords(id, rows);
        const size_t rowCount = rows.size();
        rows.clear();
        // Our copy keeps files deleted from the source; every live file must be there and equal.
        const bool churnSame =
            std::system(("diff -r -q " + quote(tree.root()) + " " + quote(ours + "/Tree") +
                         " | grep -v " + quote("^Only in " + ours + "/Tree") + " | grep -q .")
                            .c_str()) != 0;
        same = same && churnSame;
        const long liveFiles = long(live.size()) + bigFiles;
        std::printf("\n%ld churn rounds of %ld deleted + %ld new files:\n", o.churn, perRound,
                    perRound);
        printHead();
        if (!o.churnOnly)
            printRow("(d) churn pass vs rsync -a --delete", oursChurn / o.churn, rsChurn / o.churn,
                     "<=0.5", total, rssChurn);
        printRow("(d) no change after churn vs before", after.s, before.s, "<=1.10", liveFiles,
                 after.rssKb);
        std::printf("every live file in our copy and equal: %s\n", churnSame ? "yes" : "NO");
        std::printf("index rows %zu for %ld live files: %.2f rows per file (target <=1.10)\n",
                    rowCount, liveFiles, double(rowCount) / liveFiles);

        if (o.keep) {
            // Put the kept tree back: churned files go, deleted ones return
            // with their old content.
            std::vector<char> alive(size_t(next), 0);
            for (long n : live) alive[size_t(n)] = 1;
            for (long n = 0; n < next; ++n) {
                if (n >= o.files && alive[size_t(n)]) ::unlink(tree.path(n).c_str());
                if (n < o.files && !alive[size_t(n)] && !tree.writeSmall(n)) restored = false;
            }
            if (restored) std::ofstream(stamp) << key << "\n";
        }
    }

    if (!restored) std::cerr << "the kept tree could not be put back; the next run rebuilds it\n";
    return same ? 0 : 1;
}

}  // namespace
