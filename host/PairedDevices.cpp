#include "host/PairedDevices.h"

#include "host/DeviceFingerprint.h"
#include "host/PrivateFile.h"

#include <Poco/Exception.h>
#include <Poco/File.h>
#include <Poco/JSON/Array.h>
#include <Poco/JSON/Object.h>
#include <Poco/JSON/Parser.h>
#include <Poco/Logger.h>
#include <Poco/NumberParser.h>
#include <Poco/String.h>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace Orvana {
namespace Host {

using Orvana::Data::PeerID;

const char* const PairedDevices::FILE_NAME = "devices.json";

PairedDevices::PairedDevices(const std::string& profileDir)
    : m_path(profileDir + "/" + FILE_NAME) {
    load();
}

void PairedDevices::load() {
    std::ifstream in(m_path, std::ios::binary);
    if (!in) return;
    std::ostringstream text;
    text << in.rdbuf();
    try {
        Poco::JSON::Parser parser;
        Poco::JSON::Array::Ptr devices =
            parser.parse(text.str()).extract<Poco::JSON::Object::Ptr>()->getArray("devices");
        if (!devices) throw Poco::DataException("no devices");
        std::vector<PairedDevice> loaded;
        for (std::size_t i = 0; i < devices->size(); ++i) {
            Poco::JSON::Object::Ptr entry = devices->getObject(static_cast<unsigned>(i));
            if (!entry) throw Poco::DataException("not a device");
            PairedDevice device;
            device.peer = PeerID(entry->optValue<std::string>("peer", ""));
            const std::string fingerprint = entry->optValue<std::string>("fingerprint", "");
            device.fingerprint = DeviceFingerprint::normalize(fingerprint);
            const std::string address = entry->optValue<std::string>("address", "");
            device.address = normalizeAddress(address);
            if (!device.peer.isValid() || (device.fingerprint.empty() && !fingerprint.empty()) ||
                (device.address.empty() && !address.empty())) {
                throw Poco::DataException("a bad device entry");
            }
            loaded.push_back(device);
        }
        Orvana::Util::CheckedLock lock(m_mutex);
        m_devices = loaded;
    } catch (Poco::Exception& e) {
        Poco::Logger::get("host").error("Cannot read " + m_path + " (" + e.displayText() +
                                        "); it is moved aside and no device is trusted");
        try {
            Poco::File(m_path).renameTo(m_path + ".unreadable");
        } catch (Poco::Exception&) {
        }
    }
}

void PairedDevices::save(const std::vector<PairedDevice>& devices) const {
    Poco::JSON::Array::Ptr list(new Poco::JSON::Array);
    for (const PairedDevice& device : devices) {
        Poco::JSON::Object::Ptr entry(new Poco::JSON::Object);
        entry->set("peer", device.peer.toString());
        entry->set("fingerprint", device.fingerprint);
        entry->set("address", device.address);
        list->add(entry);
    }
    Poco::JSON::Object root;
    root.set("devices", list);
    std::ostringstream text;
    root.stringify(text, 1);
    PrivateFile::replace(m_path, text.str() + "\n");
}

std::vector<PairedDevice> PairedDevices::list() const {
    Orvana::Util::CheckedLock lock(m_mutex);
    return m_devices;
}

bool PairedDevices::find(const PeerID& peer, PairedDevice& device) const {
    Orvana::Util::CheckedLock lock(m_mutex);
    for (const PairedDevice& known : m_devices) {
        if (known.peer == peer) {
            device = known;
            return true;
        }
    }
    return false;
}

PeerID PairedDevices::trustedWith(const std::string& fingerprint) const {
    Orvana::Util::CheckedLock lock(m_mutex);
    for (const PairedDevice& known : m_devices) {
        if (!fingerprint.empty() && known.fingerprint == fingerprint) return known.peer;
    }
    return PeerID();
}

void PairedDevices::setAddress(const PeerID& peer, const std::string& address) {
    const std::string normalized = normalizeAddress(address);
    if (!peer.isValid()) throw Poco::InvalidArgumentException("not a peer (USER@HOST)");
    if (normalized.empty()) throw Poco::InvalidArgumentException("not an address (HOST:PORT)", address);
    Orvana::Util::CheckedLock lock(m_mutex);
    std::vector<PairedDevice> devices = m_devices;
    auto it = std::find_if(devices.begin(), devices.end(),
                           [&](const PairedDevice& d) { return d.peer == peer; });
    if (it == devices.end()) it = devices.insert(devices.end(), PairedDevice{peer, "", ""});
    it->address = normalized;
    save(devices);
    m_devices = devices;
}

void PairedDevices::trust(const PeerID& peer, const std::string& fingerprint) {
    const std::string normalized = DeviceFingerprint::normalize(fingerprint);
    if (!peer.isValid()) throw Poco::InvalidArgumentException("not a peer (USER@HOST)");
    if (normalized.empty())
        throw Poco::InvalidArgumentException("not a fingerprint (64 hex digits)", fingerprint);
    Orvana::Util::CheckedLock lock(m_mutex);
    std::vector<PairedDevice> devices = m_devices;
    for (const PairedDevice& other : devices) {
        if (other.fingerprint == normalized && other.peer != peer)
            throw Poco::InvalidArgumentException("the fingerprint is already trusted for " +
                                                 other.peer.toString());
    }
    auto it = std::find_if(devices.begin(), devices.end(),
                           [&](const PairedDevice& d) { return d.peer == peer; });
    if (it == devices.end()) it = devices.insert(devices.end(), PairedDevice{peer, "", ""});
    it->fingerprint = normalized;
    save(devices);
    m_devices = devices;
}

bool PairedDevices::remove(const PeerID& peer) {
    Orvana::Util::CheckedLock lock(m_mutex);
    std::vector<PairedDevice> devices = m_devices;
    auto it = std::find_if(devices.begin(), devices.end(),
                           [&](const PairedDevice& d) { return d.peer == peer; });
    if (it == devices.end()) return false;
    devices.erase(it);
    save(devices);
    m_devices = devices;
    return true;
}

std::string PairedDevices::normalizeAddress(const std::string& given) {
    const std::string text = Poco::trim(given);
    std::string host, port;
    bool hasPort = false;
    if (!text.empty() && text[0] == '[') {
        const std::string::size_type close = text.find(']');
        if (close == std::string::npos || close == 1) return "";
        host = text.substr(0, close + 1);
        const std::string rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest[0] != ':') return "";
            hasPort = true;
            port = rest.substr(1);
        }
    } else {
        const std::string::size_type colon = text.find(':');
        host = text.substr(0, colon);
        hasPort = colon != std::string::npos;
        if (hasPort) port = text.substr(colon + 1);
        if (port.find(':') != std::string::npos) return "";  // IPv6 needs brackets
    }
    if (host.empty()) return "";
    for (const char c : host) {
        if (c <= ' ' || c == '/' || c == '@' || static_cast<unsigned char>(c) >= 0x7f) return "";
    }
    unsigned number = DEFAULT_PORT;
    if (hasPort) {
        if (port.empty() || port.size() > 5 ||
            port.find_first_not_of("0123456789") != std::string::npos ||
            !Poco::NumberParser::tryParseUnsigned(port, number) || number == 0 || number > 65535) {
            return "";
        }
    }
    return host + ":" + std::to_string(number);
}

std::pair<PeerID, std::string> PairedDevices::splitAssignment(const std::string& text) {
    const std::string::size_type equals = text.find('=');
    if (equals == std::string::npos) throw Poco::SyntaxException("needs PEER=VALUE", text);
    const PeerID peer(Poco::trim(text.substr(0, equals)));
    if (!peer.isValid()) throw Poco::SyntaxException("not a peer (USER@HOST)", text.substr(0, equals));
    return {peer, Poco::trim(text.substr(equals + 1))};
}

}  // namespace Host
}  // namespace Orvana
