#pragma once
// TestProfile: a logged-in host profile in a temporary folder, for tests that
// run the plug-in's code against real files. Sets HostControl on creation
// (peer "me@myhost", language "en") and resets it on destruction.

#include <string>

#include "support/TempDir.h"

namespace TestSupport {

class TestProfile {
public:
    TestProfile();
    ~TestProfile();

    const std::string& root() const { return m_dir.path(); }  // profile root
    std::string userDataDir() const { return m_dir.join("data"); }
    std::string databasePath() const { return userDataDir() + "/backup/backup.db"; }
    // A scratch folder inside the temp folder, created on demand.
    std::string scratch(const std::string& relative) const;

private:
    TempDir m_dir;
};

}  // namespace TestSupport
