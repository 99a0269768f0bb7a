// The restores under way that the next start sweeps up after: every noted
// target loses its staging folder and nothing else, whatever its name.

#include <Poco/File.h>

#include "EngineFixture.h"
#include "engine/RestoreLedger.h"

namespace EngineTest {
namespace {

using Orvana::Backup::RestoreLedger;
using TestSupport::writeFile;

class RestoreLedgerTest : public EngineTestBase {};

TEST_F(RestoreLedgerTest, TheNextStartSweepsTheStagingOfEveryRestoreStillNoted) {
    // Names that would break a list of lines or of encoded texts.
    const std::string odd = dst + "/odd\n\tname %41";
    const std::string plain = dst + "/plain";
    const std::string finished = dst + "/finished";
    for (const std::string& root : {odd, plain, finished})
        writeFile(root + "/.backup-partial/" + RestoreLedger::stagingKey(7) + "/.backup-1-1.tmp",
                  "staged");
    writeFile(plain + "/.backup-partial/" + RestoreLedger::stagingKey(9) + "/.backup-1-2.tmp",
              "another restore's");
    writeFile(plain + "/keep.txt", "the user's");

    RestoreLedger::begin(*db, 7, odd);
    RestoreLedger::begin(*db, 8, finished);
    RestoreLedger::end(*db, 8);
    RestoreLedger::begin(*db, 9, plain);
    RestoreLedger::begin(*db, 7, plain);  // the record's later restore elsewhere
    RestoreLedger::begin(*db, 7, odd);

    RestoreLedger::sweepLeftovers(*db);
    EXPECT_FALSE(Poco::File(odd + "/.backup-partial").exists());
    EXPECT_FALSE(Poco::File(plain + "/.backup-partial/" + RestoreLedger::stagingKey(9)).exists());
    EXPECT_TRUE(Poco::File(plain + "/.backup-partial/" + RestoreLedger::stagingKey(7)).exists());
    EXPECT_EQ("the user's", TestSupport::readFile(plain + "/keep.txt"));
    EXPECT_TRUE(Poco::File(finished + "/.backup-partial").exists());  // not noted: not touched

    // Swept once: the notes are gone with it.
    Poco::File(odd + "/.backup-partial/" + RestoreLedger::stagingKey(7)).createDirectories();
    RestoreLedger::sweepLeftovers(*db);
    EXPECT_TRUE(Poco::File(odd + "/.backup-partial").exists());
}

}  // namespace
}  // namespace EngineTest
