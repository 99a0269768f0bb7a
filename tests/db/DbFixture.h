#pragma once
// Shared fixture for the database tests: a logged-in profile in a temp folder
// and a BackupDB on it, with access to its connection for checks.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "support/ProbeDB.h"
#include "support/TestProfile.h"

namespace DbTest {

using TestSupport::ProbeDB;

class DbTestBase : public ::testing::Test {
protected:
    void SetUp() override { reopen(); }
    void reopen() {
        db.reset();
        db.reset(new ProbeDB);
        ASSERT_TRUE(db->isValid());
    }

    TestSupport::TestProfile profile;
    std::unique_ptr<ProbeDB> db;
};

// Texts that break naive SQL quoting or text handling.
inline std::string oddText() { return "it's 100% \"odd\" & <x>\nsecond line\t\xff\xfe end"; }

}  // namespace DbTest
