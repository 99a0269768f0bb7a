#include "host/StoredPeer.h"

#include <Poco/Exception.h>
#include <Poco/File.h>
#include <Poco/String.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "hostapi/PeerID.h"

namespace Orvana {
namespace Host {

const char* const StoredPeer::FILE_NAME = "peer-id";

std::string StoredPeer::load(const std::string& profileDir) {
    std::ifstream in(profileDir + "/" + FILE_NAME, std::ios::binary);
    if (!in) return "";
    std::ostringstream text;
    text << in.rdbuf();
    return Poco::trim(text.str());
}

void StoredPeer::store(const std::string& profileDir, const std::string& peer) {
    const std::string path = profileDir + "/" + FILE_NAME;
    const std::string temporary = path + ".new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << peer << "\n";
        out.flush();
        if (!out) throw Poco::FileException("cannot write", temporary);
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        const std::string reason = std::strerror(errno);
        Poco::File(temporary).remove();
        throw Poco::FileException(path, reason);
    }
}

std::string StoredPeer::resolve(const std::string& profileDir, const std::string& given,
                                const std::string& fallback) {
    const std::string stored = load(profileDir);
    const std::string peer = !given.empty() ? given : !stored.empty() ? stored : fallback;
    if (peer != stored && Orvana::Data::PeerID(peer).isValid()) store(profileDir, peer);
    return peer;
}

}  // namespace Host
}  // namespace Orvana
