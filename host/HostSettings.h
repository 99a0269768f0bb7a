#pragma once
// HostSettings: the program's settings as given on the command line, and the
// rules that turn missing ones into defaults. Plain values; filled on the
// main thread before anything starts.

#include "hostapi/Group.h"

#include <boost/shared_ptr.hpp>

#include <string>
#include <vector>

namespace Orvana {
namespace Host {

struct HostSettings {
    std::string profileDir;
    std::string userDataDir;
    int port = 8480;
    std::string bindAddress = "127.0.0.1";
    std::string peer;
    std::vector<std::string> groups;  // "NAME=PEER[,PEER...]"
    std::string pluginPath;
    std::string uiDir;
    std::string language;
    std::string logLevel = "information";
    int replyTimeoutSeconds = 30;
    std::string token;     // given: used for this run only
    bool newToken = false;  // replace the token kept in the profile
    std::string onFailure;  // shell command run for each failure notice
    int peerPort = 8481;                    // where other devices connect
    std::string peerBind;                   // "": every address; "none": no listener
    std::vector<std::string> peerAddresses;  // "PEER=HOST:PORT", kept in the profile
    std::vector<std::string> trusted;        // "PEER=FINGERPRINT", kept in the profile

    // $XDG_DATA_HOME/backup-host, else $HOME/.local/share/backup-host.
    static std::string defaultProfileDir(const std::string& xdgDataHome, const std::string& home);
    // "de_DE.UTF-8" -> "de"; "", "C" and "POSIX" -> "en".
    static std::string languageFromLocale(const std::string& locale);
    // "NAME=PEER[,PEER...]" -> a group whose id depends on NAME only. Throws
    // Poco::SyntaxException on a malformed text or an invalid peer.
    static boost::shared_ptr<Orvana::Data::Group> parseGroup(const std::string& text);
    // The folder holding "backup/index.html": `given` if set, else
    // <program folder>/ui (a build folder links it to the source tree's),
    // else a "ui" folder in the nearest ancestor.
    static std::string findUiDir(const std::string& given, const std::string& programDir);
};

}  // namespace Host
}  // namespace Orvana
