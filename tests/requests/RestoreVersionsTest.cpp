// A restore never destroys: what it replaces is kept as an earlier version.

#include <Poco/File.h>

#include <algorithm>
#include <vector>

#include "RequestsFixture.h"
#include "engine/EngineHooks.h"

namespace {

using TestSupport::readFile;
using TestSupport::writeFile;

class RestoreVersionsTest : public RequestsTest {
protected:
    void TearDown() override {
        harness.stop();
        Orvana::Backup::EngineHooks::clear();
    }
    std::string restore(int id, const Fields& fields) {
        const std::size_t before = activityTexts("Restore of [").size();
        Fields all{{"recid", std::to_string(id)}};
        all.insert(all.end(), fields.begin(), fields.end());
        EXPECT_EQ(result("restorefiles", true), request("restorefiles", all));
        TestSupport::waitUntil([&] { return activityTexts("Restore of [").size() >= before + 2; },
                               TestSupport::ServiceHarness::kReplyTimeoutMs);
        const auto ends = activityTexts("Restore of [");
        return ends.empty() ? "<none>" : ends.back();
    }
    // Contents of the files in a folder, by name.
    static std::vector<std::string> contents(const std::string& folder) {
        std::vector<std::string> names, out;
        if (Poco::File(folder).exists()) Poco::File(folder).list(names);
        std::sort(names.begin(), names.end());
        for (const std::string& name : names)
            out.push_back(name + "=" + readFile(folder + "/" + name));
        return out;
    }
};

TEST_F(RestoreVersionsTest, ReplacedFilesAreKeptAsVersions) {
    const std::string src = profile.scratch("Docs");
    const std::string store = profile.scratch("store");
    const std::string there = profile.scratch("there");
    writeFile(src + "/sub/notes.txt", "good");
    writeFile(src + "/same.txt", "same");
    const int id = backedUp(src, store);
    writeFile(src + "/sub/notes.txt", "edited after the backup");

    // "changed": the edit goes back to the backup's, and is kept.
    EXPECT_EQ("Restore of [" + src + "] completed.",
              restore(id, {{"path", ""}, {"overwrite", "changed"}}));
    EXPECT_EQ("good", readFile(src + "/sub/notes.txt"));
    const std::string versions = store + "/.backup-versions/Docs/sub";
    const std::vector<std::string> kept = contents(versions);
    ASSERT_EQ(1u, kept.size());
    EXPECT_EQ(0u, kept[0].find("notes~"));
    EXPECT_NE(std::string::npos, kept[0].find(".txt=edited after the backup"));
    EXPECT_EQ(1u, activityTexts("1 file(s) kept as earlier versions").size());
    EXPECT_FALSE(Poco::File(store + "/.backup-versions/Docs/same.txt").exists());

    // "always" into another folder keeps what it replaces there too; a file
    // it only adds is no version.
    writeFile(there + "/sub/notes.txt", "someone else's");
    EXPECT_EQ("Restore of [" + src + "] completed.", restore(id, {{"path", "sub"},
                                                                  {"path", "same.txt"},
                                                                  {"target", there},
                                                                  {"overwrite", "always"}}));
    EXPECT_EQ("good", readFile(there + "/sub/notes.txt"));
    EXPECT_EQ(2u, contents(versions).size());
    EXPECT_EQ(2u, activityTexts("1 file(s) kept as earlier versions").size());
    // The restore never replaces the current copy of the backup.
    EXPECT_EQ("good", readFile(store + "/Docs/sub/notes.txt"));
}

TEST_F(RestoreVersionsTest, AFileThatCannotBeKeptIsNotReplaced) {
    const std::string src = profile.scratch("Docs");
    const std::string store = profile.scratch("store");
    writeFile(src + "/notes.txt", "good");
    const int id = backedUp(src, store);
    writeFile(src + "/notes.txt", "only copy of the edit");
    writeFile(store + "/.backup-versions", "a file where the versions folder belongs");

    EXPECT_EQ("Restore of [" + src + "] failed.",
              restore(id, {{"path", ""}, {"overwrite", "always"}}));
    EXPECT_EQ("only copy of the edit", readFile(src + "/notes.txt"));
}

}  // namespace
