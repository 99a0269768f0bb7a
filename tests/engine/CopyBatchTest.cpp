// The copy of a pass on several threads, and how a finished copy takes its name.
#include <Poco/Exception.h>
#include <sys/resource.h>

#include <cerrno>

#include "EngineFixture.h"
#include "engine/CopyPool.h"
#include "engine/RenameNoReplace.h"

namespace EngineTest {
namespace {

using CopyBatchTest = EngineTestBase;

TEST_F(CopyBatchTest, StopDuringABatchLeavesNoTemporaryAndNothingUnmarkedInPlace) {
    for (int i = 10; i < 50; ++i) writeFile(docs("f" + std::to_string(i)), "old");
    const int id = addRecord(false, src + "/Docs", dst);
    runPass(id);

    // Replacements and new names alike, with a large file among them that
    // is held in mid-copy until the stop comes.
    for (int i = 10; i < 50; ++i) {
        changeFile(docs("f" + std::to_string(i)), "new " + std::to_string(i));
        writeFile(docs("n" + std::to_string(i)), "fresh");
    }
    writeFile(docs("g-big"), bytes(20 << 20, 1));
    std::atomic<bool> holding(false);
    EngineHooks::setAfterCopyChunk([&](const std::string& source, const std::atomic<bool>& stop) {
        if (source != src + "/Docs/g-big") return;
        holding = true;
        waitUntil([&] { return stop.load(); }, 20000);
    });
    // The hook alone would hold it 20 s.
    EXPECT_LT(stoppedPass(id, [&] { return holding.load(); }).totalSeconds(), 3);
    EngineHooks::clear();

    EXPECT_TRUE(temporaries(dst).empty());  // the staging folder too
    // The index marks exactly what has new content in the copy.
    EXPECT_TRUE(markedWithoutCopy(id).empty());
    for (const auto& entry : snapshot(dst + "/Docs")) {
        if (entry.second.content == "old") continue;
        EXPECT_EQ(1, rows(id, " and SYNCED=1 and FILE='" + docs(entry.first) + "'"));
    }
    EXPECT_FALSE(Poco::File(dst + "/Docs/g-big").exists());

    runPass(id);
    EXPECT_EQ(snapshot(src + "/Docs"), snapshot(dst + "/Docs"));
    EXPECT_TRUE(temporaries(dst).empty());
}

TEST_F(CopyBatchTest, AFailedFlushDiscardsTheBatchAndTheNextPassCopiesIt) {
    const int id = backedUpDocs({{"kept.txt", "old"}});
    changeFile(src + "/Docs/kept.txt", "new");
    writeFile(src + "/Docs/sub/added.txt", "added");

    int flushes = 0;
    EngineHooks::setCopyFault([&](EngineHooks::CopyStep step, const std::string&) {
        return step == EngineHooks::FLUSH && ++flushes == 1 ? EIO : 0;
    });
    runPass(id);
    EngineHooks::clear();
    EXPECT_EQ(1, flushes);  // nothing left to flush after the discard
    EXPECT_EQ("old", readFile(dst + "/Docs/kept.txt"));
    EXPECT_FALSE(Poco::File(dst + "/Docs/sub/added.txt").exists());
    EXPECT_TRUE(temporaries(dst).empty());
    EXPECT_EQ(0, syncedRows(id));
    EXPECT_EQ(failed(src + "/Docs"), activities(id).back());
    EXPECT_EQ(2, BackupProgressRegistry::instance().getToSendCount(id));

    runPass(id);
    EXPECT_EQ(snapshot(src + "/Docs"), snapshot(dst + "/Docs"));
    EXPECT_EQ(2, syncedRows(id));
}

// New names are written without a staging name where the file system can;
// where it cannot, they take the staging folder's way like replacements.
TEST_F(CopyBatchTest, NewNamesUseUnnamedFilesOrFallBackToTheStagingFolder) {
    for (bool unsupported : {false, true}) {
        SCOPED_TRACE(unsupported ? "no unnamed files" : "unnamed files");
        const std::string tree = src + (unsupported ? "/Without" : "/With");
        for (int i = 0; i < 6; ++i) writeFile(tree + "/a/f" + std::to_string(i), bytes(5000, i));
        const int id = addRecord(false, tree, dst);
        std::atomic<int> asked(0), staged(0), chunks(0);
        EngineHooks::setCopyFault([&](EngineHooks::CopyStep step, const std::string&) {
            if (step != EngineHooks::ANONYMOUS_FILE) return 0;
            ++asked;
            return unsupported ? EOPNOTSUPP : 0;
        });
        EngineHooks::setAfterCopyChunk([&](const std::string&, const std::atomic<bool>&) {
            ++chunks;
            if (!entries(dst + "/.backup-partial/" + std::to_string(id)).empty()) ++staged;
        });
        runPass(id);
        EngineHooks::clear();
        EXPECT_EQ(snapshot(tree), snapshot(dst + (unsupported ? "/Without" : "/With")));
        EXPECT_TRUE(temporaries(dst).empty());
        EXPECT_EQ(6, syncedRows(id));
        EXPECT_EQ(6, chunks.load());
        // Told once that the file system cannot, the pass stops asking
        // (the copies already under way on other threads have asked too).
        EXPECT_GE(asked.load(), unsupported ? 1 : 6);
        EXPECT_LE(asked.load(), unsupported ? int(CopyPool::DEFAULT_THREADS) : 6);
        EXPECT_EQ(unsupported ? 6 : 0, staged.load());
    }
}

// More new files than descriptors may be held open: the batch is flushed
// early instead of sending the rest through the staging folder.
TEST_F(CopyBatchTest, NewFilesBeyondTheDescriptorBudgetAreStillUnnamed) {
    for (int i = 0; i < 300; ++i)
        writeFile(docs("d" + std::to_string(i % 7) + "/f" + std::to_string(i)), "x");
    const int id = addRecord(false, src + "/Docs", dst);
    std::atomic<int> staged(0), flushes(0);
    EngineHooks::setCopyFault([&](EngineHooks::CopyStep step, const std::string&) {
        if (step == EngineHooks::FLUSH) ++flushes;
        return 0;
    });
    EngineHooks::setAfterCopyChunk([&](const std::string&, const std::atomic<bool>&) {
        if (!entries(dst + "/.backup-partial/" + std::to_string(id)).empty()) ++staged;
    });
    // A quarter of 512 descriptors: 128 unnamed files at a time.
    struct rlimit before;
    ASSERT_EQ(0, ::getrlimit(RLIMIT_NOFILE, &before));
    struct rlimit low = before;
    low.rlim_cur = 512;
    ASSERT_EQ(0, ::setrlimit(RLIMIT_NOFILE, &low));
    runPass(id);
    ::setrlimit(RLIMIT_NOFILE, &before);
    EngineHooks::clear();
    EXPECT_EQ(snapshot(src + "/Docs"), snapshot(dst + "/Docs"));
    EXPECT_EQ(300, syncedRows(id));
    EXPECT_EQ(0, staged.load());
    EXPECT_GE(flushes.load(), 300 / 128);
    EXPECT_TRUE(temporaries(dst).empty());
}

// Sizes around the copy's chunk, as new files and replacements.
TEST_F(CopyBatchTest, BothCopyPathsGiveIdenticalFiles) {
    const std::size_t sizes[] = {0, 1, 4095, 4096, (1 << 20) + 3, (8 << 20) + 1};
    for (bool readWrite : {false, true}) {
        SCOPED_TRACE(readWrite ? "read and write" : "copy_file_range");
        const std::string tree = src + (readWrite ? "/RW" : "/Range");
        unsigned seed = readWrite ? 100 : 200;
        for (std::size_t size : sizes)
            writeFile(tree + "/s" + std::to_string(size), bytes(size, ++seed));
        ::chmod((tree + "/s1").c_str(), 0640);
        const int id = addRecord(false, tree, dst);
        std::atomic<int> ranged(0);
        EngineHooks::setCopyFault([&](EngineHooks::CopyStep step, const std::string&) {
            if (step != EngineHooks::COPY_RANGE) return 0;
            ++ranged;
            return readWrite ? EXDEV : 0;
        });
        runPass(id);
        const std::string copy = dst + (readWrite ? "/RW" : "/Range");
        EXPECT_EQ(snapshot(tree), snapshot(copy));
        for (std::size_t size : sizes)
            changeFile(tree + "/s" + std::to_string(size), bytes(size + 7, ++seed));
        runPass(id);
        EngineHooks::clear();
        EXPECT_EQ(snapshot(tree), snapshot(copy));
        EXPECT_EQ(2 * static_cast<int>(sizeof sizes / sizeof sizes[0]), ranged.load());
    }
}

// Copies finish in any order on the pool; what the pass says about them
// comes in the order of the change table, as from a copy of one at a time.
TEST_F(CopyBatchTest, OutcomesAreToldInTheOrderOfTheChangeTable) {
    // Large and small files mixed, so later copies end first.
    for (int i = 10; i < 70; ++i)
        writeFile(docs("f" + std::to_string(i)), bytes(i % 5 == 0 ? (3 << 20) : 10, i));
    const int id = addRecord(false, src + "/Docs", dst);
    EngineHooks::setAfterScan([&](int, const std::atomic<bool>&) {
        for (int i = 10; i < 70; i += 3) Poco::File(src + "/Docs/f" + std::to_string(i)).remove();
    });
    LogCapture log;
    runPass(id);
    EngineHooks::clear();
    std::vector<std::string> told, expected;
    for (const LogLine& line : log.find(" does not exist. Skipping file")) {
        const std::string::size_type at = line.text.find(src + "/Docs/f");
        ASSERT_NE(std::string::npos, at) << line.text;
        told.push_back(line.text.substr(at + src.size() + 6, 3));
    }
    for (int i = 10; i < 70; i += 3) expected.push_back("f" + std::to_string(i));
    EXPECT_EQ(expected, told);
    EXPECT_EQ(snapshot(src + "/Docs"), snapshot(dst + "/Docs"));
    EXPECT_EQ(0, BackupProgressRegistry::instance().getToSendCount(id));
}

// Both ways: the kernel's flag and the link fallback.
TEST(RenameNoReplace, TakesOnlyAFreeNameEitherWay) {
    for (const RenameNoReplace::Method method : {RenameNoReplace::ANY, RenameNoReplace::LINK}) {
        TempDir dir;
        const std::string from = dir.join("staging"), to = dir.join("target");
        writeFiles(from, {{"t1", "new"}, {"t2", "new"}});
        writeFile(to + "/file", "user's");
        Poco::File(to + "/folder").createDirectories();
        ASSERT_EQ(0, ::symlink("/nowhere", (to + "/dangling").c_str()));
        const int fromFd = ::open(from.c_str(), O_RDONLY | O_DIRECTORY);
        const int toFd = ::open(to.c_str(), O_RDONLY | O_DIRECTORY);

        for (const char* taken : {"file", "folder", "dangling"})
            EXPECT_EQ(RenameNoReplace::TAKEN,
                      RenameNoReplace::move(fromFd, "t1", toFd, taken, method))
                << taken;
        EXPECT_EQ("user's", readFile(to + "/file"));
        EXPECT_TRUE(Poco::File(to + "/folder").isDirectory());
        EXPECT_EQ("new", readFile(from + "/t1"));

        EXPECT_EQ(RenameNoReplace::PLACED,
                  RenameNoReplace::move(fromFd, "t2", toFd, "free", method));
        EXPECT_EQ("new", readFile(to + "/free"));
        EXPECT_FALSE(Poco::File(from + "/t2").exists());
        // Anything else is an error, not a taken name.
        EXPECT_THROW(RenameNoReplace::move(fromFd, "absent", toFd, "x", method), Poco::Exception);
        ::close(fromFd);
        ::close(toFd);
    }
}

}  // namespace
}  // namespace EngineTest
