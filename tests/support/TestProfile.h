#pragma once
// TestProfile: a logged-in host profile in a temporary folder, for tests that
// run the plug-in's code against real files. Sets HostControl on creation
// (peer "me@myhost", language "en") and resets it on destruction.

#include <Poco/File.h>

#include <string>

#include "hostapi/HostControl.h"
#include "hostapi/PeerID.h"
#include "support/TempDir.h"

namespace TestSupport {

class TestProfile {
    typedef Orvana::HostKit::HostControl HostControl;

public:
    TestProfile() {
        HostControl::reset();
        Poco::File(userDataDir()).createDirectories();
        HostControl::setProfileRootDir(root());
        HostControl::setProfileUserDataDir(userDataDir());
        HostControl::setPeerID(Orvana::Data::PeerID("me@myhost"));
        HostControl::setLanguage("en");
        HostControl::setLoggedIn(true);
    }
    ~TestProfile() { HostControl::reset(); }

    const std::string& root() const { return m_dir.path(); }  // profile root
    std::string userDataDir() const { return m_dir.join("data"); }
    std::string databasePath() const { return userDataDir() + "/backup/backup.db"; }
    // A scratch folder inside the temp folder, created on demand.
    std::string scratch(const std::string& relative) const {
        const std::string p = m_dir.join("scratch/" + relative);
        Poco::File(p).createDirectories();
        return p;
    }

private:
    TempDir m_dir;
};

}  // namespace TestSupport
