// The real backup-host killed with SIGKILL at three moments of a pass: the
// pass after a restart leaves the destination holding exactly the source.

#include <Poco/DirectoryIterator.h>
#include <Poco/File.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>

#include <functional>
#include <map>
#include <string>

#include "support/HostProcess.h"
#include "support/TempDir.h"

namespace {

using TestSupport::HostProcess;

struct Entry {
    bool folder;
    std::string content;
    unsigned mode;
    long long mtimeNs;
    bool operator==(const Entry& o) const {
        return folder == o.folder && content == o.content && mode == o.mode && mtimeNs == o.mtimeNs;
    }
};

void collect(const std::string& root, const std::string& rel, std::map<std::string, Entry>& out) {
    for (Poco::DirectoryIterator it(root + rel), end; it != end; ++it) {
        const std::string path = rel + "/" + it.name();
        struct stat st;
        ::lstat((root + path).c_str(), &st);
        Entry e{S_ISDIR(st.st_mode), "", unsigned(st.st_mode & 07777),
                (long long)st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec};
        if (e.folder) {
            collect(root, path, out);
        } else {
            e.content = TestSupport::readFile(root + path);
        }
        out[path] = e;
    }
}

std::map<std::string, Entry> tree(const std::string& root) {
    std::map<std::string, Entry> out;
    if (Poco::File(root).exists()) collect(root, "", out);
    return out;
}

// Whether any file lies below root (contents not read: this is polled).
bool hasFiles(const std::string& root) {
    if (!Poco::File(root).exists()) return false;
    try {
        for (Poco::DirectoryIterator it(root), end; it != end; ++it) {
            if (it->isDirectory() ? hasFiles(it->path()) : true) return true;
        }
    } catch (Poco::Exception&) {
        // the pass removed a folder while it was listed
    }
    return false;
}

bool pollUntil(const std::function<bool()>& condition, int timeoutMs = 120000) {
    for (int waited = 0; waited < timeoutMs; waited += 2) {
        if (condition()) return true;
        Poco::Thread::sleep(2);
    }
    return false;
}

TEST(CrashRecovery, KilledAtThreeMomentsThenOneMorePassLeavesAnExactCopy) {
    TestSupport::TempDir dir;
    const std::string profile = dir.join("profile");
    const std::string source = dir.join("Source");
    const std::string store = dir.join("store");
    Poco::File(store).createDirectories();
    // Many small files for a scan that takes a moment, and large ones for a
    // batch that takes a few seconds.
    std::string block(4096, 'x');
    for (int i = 0; i < 3000; ++i) {
        block[i % block.size()] = char('a' + i % 26);
        TestSupport::writeFile(source + "/d" + std::to_string(i % 40) + "/f" + std::to_string(i),
                               block.substr(0, 512 + i % 3000));
    }
    std::string big(16 << 20, '\0');
    for (int i = 0; i < 4; ++i) {
        for (size_t j = 0; j < big.size(); j += 4096) big[j] = char(i + j / 4096);
        TestSupport::writeFile(source + "/big/b" + std::to_string(i), big);
    }
    ::chmod((source + "/d3").c_str(), 0750);
    struct timespec old[2] = {{1000000000, 5}, {1000000000, 5}};
    ::utimensat(AT_FDCWD, (source + "/d7").c_str(), old, 0);
    const std::string copy = store + "/Source";
    const std::string staging = store + "/.backup-partial";
    const std::vector<std::string> lang = {"--lang", "en"};

    std::string recid;
    auto startPass = [&](HostProcess& host) {
        if (recid.empty()) {
            ASSERT_NE(std::string::npos,
                      host.api("addbackuprecord",
                               {{"localpath", source}, {"remotepath", store}, {"frequency", "0"}})
                          .find("true"));
            recid = HostProcess::element(host.api("getallbackuprecs"), "recid");
            ASSERT_FALSE(recid.empty());
        }
        host.api("synconerecord", {{"recid", recid}});
    };
    const std::function<bool(HostProcess&)> moments[] = {
        // During the scan.
        [&](HostProcess& host) {
            return HostProcess::element(host.api("getallbackuprecs"), "currentaction") ==
                   "Checking";
        },
        // In the middle of a batch: copies staged, none renamed yet.
        [&](HostProcess&) { return hasFiles(staging) && !hasFiles(copy); },
        // Right after a flush: the first copies renamed into place.
        [&](HostProcess&) { return hasFiles(copy); },
    };
    for (const auto& moment : moments) {
        HostProcess host(profile, lang);
        ASSERT_GT(host.port(), 0);
        startPass(host);
        EXPECT_TRUE(pollUntil([&] { return moment(host); }));
        EXPECT_EQ(128 + SIGKILL, host.signal(SIGKILL));
    }

    HostProcess host(profile, lang);
    startPass(host);
    EXPECT_TRUE(pollUntil([&] {
        const std::string listing = host.api("getallbackuprecs");
        return HostProcess::element(listing, "currentaction") == "Idle" &&
               HostProcess::element(listing, "active") == "0" &&
               HostProcess::element(listing, "lastsyncsuccess") == "1";
    }));
    EXPECT_EQ(0, host.signal(SIGTERM));

    std::map<std::string, Entry> expected = tree(source);
    std::map<std::string, Entry> got = tree(store);
    std::map<std::string, Entry> want;
    want["/Source"] = Entry{true, "", 0, 0};
    for (const auto& e : expected) want["/Source" + e.first] = e.second;
    ASSERT_EQ(want.size(), got.size());
    for (const auto& e : want) {
        auto it = got.find(e.first);
        ASSERT_TRUE(it != got.end()) << e.first;
        if (e.first == "/Source") continue;
        EXPECT_TRUE(e.second == it->second) << e.first;
    }
}

}  // namespace
