#include "host/HostSettings.h"

#include <Poco/Exception.h>
#include <Poco/File.h>
#include <Poco/Path.h>
#include <Poco/String.h>
#include <Poco/StringTokenizer.h>
#include <Poco/UUIDGenerator.h>

namespace Orvana {
namespace Host {

namespace {

// Group ids are derived from the name in this namespace, so a group keeps its
// id across restarts and the plug-in's stored records still find it.
const Poco::UUID GROUP_NAMESPACE("3d0b6c62-5f0e-4a55-8c1e-9b7e2a41d6f3");

}  // namespace

std::string HostSettings::defaultProfileDir(const std::string& xdgDataHome,
                                            const std::string& home) {
    if (!xdgDataHome.empty()) return xdgDataHome + "/backup-host";
    return home + "/.local/share/backup-host";
}

std::string HostSettings::languageFromLocale(const std::string& locale) {
    std::string code = locale.substr(0, locale.find_first_of("_.@"));
    if (code.empty() || code == "C" || code == "POSIX") return "en";
    return Poco::toLower(code);
}

boost::shared_ptr<Orvana::Data::Group> HostSettings::parseGroup(const std::string& text) {
    const std::string::size_type equals = text.find('=');
    if (equals == std::string::npos) throw Poco::SyntaxException("group needs NAME=PEER", text);
    const std::string name = Poco::trim(text.substr(0, equals));
    if (name.empty()) throw Poco::SyntaxException("group without a name", text);
    std::vector<Orvana::Data::PeerID> members;
    Poco::StringTokenizer peers(
        text.substr(equals + 1), ",",
        Poco::StringTokenizer::TOK_TRIM | Poco::StringTokenizer::TOK_IGNORE_EMPTY);
    for (const std::string& peer : peers) {
        Orvana::Data::PeerID id(peer);
        if (!id.isValid()) throw Poco::SyntaxException("not a peer (USER@HOST)", peer);
        members.push_back(id);
    }
    if (members.empty()) throw Poco::SyntaxException("group without peers", text);
    const Poco::UUID id =
        Poco::UUIDGenerator::defaultGenerator().createFromName(GROUP_NAMESPACE, name);
    return boost::shared_ptr<Orvana::Data::Group>(new Orvana::Data::Group(id, name, members));
}

std::string HostSettings::findUiDir(const std::string& given, const std::string& programDir) {
    if (!given.empty()) return given;
    Poco::Path dir(programDir);
    dir.makeDirectory();
    for (int depth = 0; depth < 8; ++depth) {
        Poco::Path candidate(dir);
        candidate.pushDirectory("ui");
        if (Poco::File(candidate.toString() + "backup/index.html").exists()) {
            return candidate.toString();
        }
        if (dir.depth() == 0) break;
        dir.popDirectory();
    }
    return Poco::Path(programDir).makeDirectory().pushDirectory("ui").toString();
}

}  // namespace Host
}  // namespace Orvana
