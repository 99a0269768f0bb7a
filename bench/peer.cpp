// Times backup passes to another device against local ones of the same tree
// in the same run: a host backs the tree up into a folder of its own and to a
// second host on 127.0.0.1 (its own profile, paired by fingerprint and
// address), both records driven through the web operations as the page does.
//
//   bench_peer [--files N] [--big N] [--big-mib M] [--small-kib K] [--dir PATH] [--keep]
//
// The tree is bench_backup's (that program builds it, or reuses the one it
// keeps with --keep --dir), so both benches measure the same files. Rows: the
// first backup, a pass with no change, and one with 1% of the files touched;
// the ratio is the pass to the device over the local one.
#include <Poco/File.h>
#include <Poco/JSON/Object.h>
#include <Poco/JSON/Parser.h>
#include <Poco/String.h>
#include <Poco/Thread.h>
#include <Poco/Timestamp.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "BenchOptions.h"
#include "support/HostProcess.h"
#include "support/TestProfile.h"

using TestSupport::element;
using TestSupport::HostProcess;

namespace {

const char* const SENDER = "bench@one";
const char* const STORER = "bench@two";

// A pass that did not complete measured nothing worth a ratio.
struct BaselineFailed : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::string quote(const std::string& s) { return "'" + s + "'"; }

void run(const std::string& command) {
    if (std::system(command.c_str()) != 0) std::cerr << "command failed: " << command << "\n";
}

// Runs bench_backup to build (or find) the tree; its root, from what it prints.
std::string prepareTree(const std::string& self, const std::string& dir,
                        const std::vector<std::string>& passOn) {
    std::string command = self.substr(0, self.rfind('/') + 1) + "bench_backup --prepare --keep";
    command += " --dir " + quote(dir);
    for (const std::string& arg : passOn) command += " " + quote(arg);
    FILE* out = ::popen(command.c_str(), "r");
    if (!out) throw BaselineFailed(command);
    std::string root, line;
    char buffer[4096];
    while (std::fgets(buffer, sizeof buffer, out)) {
        line = buffer;
        std::cout << "  " << line;
        if (!line.empty() && line.back() == '\n') line.pop_back();
        if (line.compare(0, 8, "reusing ") == 0) root = line.substr(8);
        if (line.compare(0, 9, "building ") == 0) root = line.substr(line.rfind(" in ") + 4);
    }
    if (::pclose(out) != 0 || root.empty()) throw BaselineFailed(command);
    return root;
}

// Every hundredth regular file of the tree, in the order of a walk.
void everyHundredth(const std::string& dir, long& seen, std::vector<std::string>& out) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) return;
    while (dirent* e = ::readdir(d)) {
        if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, "..")) continue;
        const std::string p = dir + "/" + e->d_name;
        struct stat st;
        if (::lstat(p.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode))
            everyHundredth(p, seen, out);
        else if (S_ISREG(st.st_mode) && seen++ % 100 == 0)
            out.push_back(p);
    }
    ::closedir(d);
}

std::string deviceId(const std::string& profile) {
    const HostProcess::Exit run = HostProcess::runToExit({"--profile", profile, "--device-id"});
    if (run.code != 0) throw BaselineFailed("backup-host --device-id: " + run.err);
    return Poco::trim(run.out);
}

int peerPort(const HostProcess& host) {
    const HostProcess::Reply reply = host.get("/api/host/devices");
    if (reply.status != 200) return 0;
    return Poco::JSON::Parser()
        .parse(reply.body)
        .extract<Poco::JSON::Object::Ptr>()
        ->getValue<int>("port");
}

size_t runs(const std::string& status) {
    size_t n = 0;
    for (size_t at = status.find("<run>"); at != std::string::npos;
         at = status.find("<run>", at + 1))
        ++n;
    return n;
}

// One pass of a record, from the request to the status saying it is over.
double pass(const HostProcess& host, const std::string& recid, const char* what) {
    const size_t before =
        runs(host.api("getbackupstatus", {{"recid", recid}, {"history", "1"}}).body);
    run("sync");
    Poco::Timestamp start;
    if (element(host.api("synconerecord", {{"recid", recid}}).body, "success") !=
        "true")
        throw BaselineFailed(std::string(what) + ": the pass was not started");
    std::string status;
    for (;;) {
        status = host.api("getbackupstatus", {{"recid", recid}, {"history", "1"}}).body;
        if (runs(status) > before && element(status, "running") == "0") break;
        if (start.elapsed() > 3600LL * 1000000)
            throw BaselineFailed(std::string(what) + ": no end");
        Poco::Thread::sleep(2);
    }
    const double s = double(start.elapsed()) / 1e6;
    if (element(status, "lastresult") != "completed")
        throw BaselineFailed(std::string(what) + ": " + element(status, "lastresult"));
    return s;
}

bool printRow(const char* name, double peer, double local, double goal) {
    const bool met = peer / local <= goal;
    std::printf("%-36s %9.2f %9.2f %6.2f %7s%.1f %s\n", name, peer, local, peer / local, "<=", goal,
                met ? "" : "MISSED");
    return met;
}

int usage() {
    std::cerr << "usage: bench_peer [--files N] [--big N] [--big-mib M] [--small-kib K]"
                 " [--dir PATH] [--keep]\n";
    return 2;
}

int benchMain(int argc, char** argv) {
    const std::vector<std::string> treeOptions = {"--files", "--big", "--big-mib", "--small-kib"};
    const Bench::BenchOptions args(
        argc, argv, {"--files", "--big", "--big-mib", "--small-kib", "--dir"}, {"--keep"});
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::string dir = args.text("--dir");
    if (args.bad() || (args.flag("--keep") && dir.empty())) return usage();
    std::vector<std::string> passOn;
    for (const std::string& option : treeOptions) {
        if (args.number(option, -1) < 0) continue;
        passOn.push_back(option);
        passOn.push_back(std::to_string(args.number(option, 0)));
    }

    TestSupport::TestProfile profile;
    const std::string work = dir.empty() ? profile.scratch("bench-peer")
                                         : dir + "/bench-peer-" + std::to_string(::getpid());
    Poco::File(work).createDirectories();
    struct Scratch {
        std::string path;
        ~Scratch() { run("rm -rf " + quote(path)); }
    } scratch{work};
    const std::string root = prepareTree(argv[0], args.flag("--keep") ? dir : work, passOn);

    const std::string pa = work + "/one", pb = work + "/two", local = work + "/local";
    const std::string idA = deviceId(pa), idB = deviceId(pb);
    HostProcess b(pb, {"--peer-bind", "127.0.0.1", "--peer-port", "0", "--peer", STORER, "--trust",
                       std::string(SENDER) + "=" + idA});
    const int port = peerPort(b);
    if (port <= 0) throw BaselineFailed("the storing host has no peer port: " + b.banner());
    HostProcess a(pa, {"--peer-bind", "127.0.0.1", "--peer-port", "0", "--peer", SENDER, "--trust",
                       std::string(STORER) + "=" + idB, "--peer-address",
                       std::string(STORER) + "=127.0.0.1:" + std::to_string(port), "--group",
                       std::string("bench=") + STORER});
    Poco::File(local).createDirectories();
    for (const auto& fields : std::vector<std::map<std::string, std::string>>{
             {{"localpath", root}, {"remotepath", local}, {"frequency", "0"}},
             {{"localpath", root}, {"remotepeer", STORER}, {"frequency", "0"}}}) {
        const std::string added = a.api("addbackuprecord", fields).body;
        if (element(added, "success") != "true") throw BaselineFailed(added);
    }
    // Records are numbered in the order they were added.
    const std::string localRec = "1", peerRec = "2";
    Poco::Timestamp waited;
    while (element(a.api("getbackupstatus", {{"recid", peerRec}}).body, "reachable") !=
           "1") {
        if (waited.elapsed() > 20 * 1000000) throw BaselineFailed("the device is not reachable");
        Poco::Thread::sleep(20);
    }

    // Both passes find the tree in memory.
    run("find " + quote(root) + " -type f -exec cat {} + > /dev/null");
    std::printf("\n%-36s %9s %9s %6s %7s\n", "case", "device s", "local s", "ratio", "target");
    bool met = true;
    const double localA = pass(a, localRec, "local first backup");
    const double peerA = pass(a, peerRec, "first backup to the device");
    met = printRow("(a) first backup, device vs local", peerA, localA, 1.5) && met;
    const double localB = pass(a, localRec, "local pass with no change");
    const double peerB = pass(a, peerRec, "pass with no change to the device");
    met = printRow("(b) no change, device vs local", peerB, localB, 1.2) && met;

    // 1% of the files get a new modification time, content unchanged.
    long seen = 0;
    std::vector<std::string> touched;
    everyHundredth(root, seen, touched);
    struct timespec later[2];
    clock_gettime(CLOCK_REALTIME, &later[0]);
    later[0].tv_sec += 60;
    later[1] = later[0];
    for (const std::string& p : touched) ::utimensat(AT_FDCWD, p.c_str(), later, 0);
    const double localC = pass(a, localRec, "local pass with 1% touched");
    const double peerC = pass(a, peerRec, "pass with 1% touched to the device");
    met = printRow("(c) 1% touched, device vs local", peerC, localC, 1.5) && met;

    const std::string name = root.substr(root.rfind('/') + 1);
    const bool same =
        std::system(("diff -r -q " + quote(root) + " " +
                     quote(pb + "/data/backup/" + SENDER + "/" + name) + " > /dev/null")
                        .c_str()) == 0;
    std::printf("copy on the device identical to source: %s\n", same ? "yes" : "NO");
    std::printf("every goal met: %s (%ld files, %zu touched)\n", met ? "yes" : "NO", seen,
                touched.size());
    a.terminate();
    b.terminate();
    return same ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return benchMain(argc, argv);
    } catch (const BaselineFailed& e) {
        std::fflush(stdout);
        std::cerr << "a pass failed, no ratio can be given: " << e.what() << "\n";
        return 2;
    }
}
