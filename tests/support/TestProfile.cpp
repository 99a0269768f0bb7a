#include "support/TestProfile.h"

#include <Poco/File.h>

#include "hostapi/HostControl.h"
#include "hostapi/PeerID.h"

namespace TestSupport {

using Orvana::HostKit::HostControl;

TestProfile::TestProfile() {
    HostControl::reset();
    Poco::File(userDataDir()).createDirectories();
    HostControl::setProfileRootDir(root());
    HostControl::setProfileUserDataDir(userDataDir());
    HostControl::setPeerID(Orvana::Data::PeerID("me@myhost"));
    HostControl::setLanguage("en");
    HostControl::setLoggedIn(true);
}

TestProfile::~TestProfile() { HostControl::reset(); }

std::string TestProfile::scratch(const std::string& relative) const {
    std::string p = m_dir.join("scratch/" + relative);
    Poco::File(p).createDirectories();
    return p;
}

}  // namespace TestSupport
