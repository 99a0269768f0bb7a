#include "support/TestProfile.h"

#include "hostapi/HostControl.h"
#include "hostapi/PeerID.h"

#include <Poco/File.h>

namespace TestSupport {

using Orvana::HostKit::HostControl;

TestProfile::TestProfile(const std::string& peer) {
    HostControl::reset();
    Poco::File(userDataDir()).createDirectories();
    HostControl::setProfileRootDir(root());
    HostControl::setProfileUserDataDir(userDataDir());
    HostControl::setPeerID(Orvana::Data::PeerID(peer));
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
