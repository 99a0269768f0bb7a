#include "engine/PeerBrowseClient.h"

#include <Poco/Exception.h>
#include <Poco/NumberParser.h>

#include "engine/PeerProtocol.h"

namespace Orvana {
namespace Backup {

namespace P = PeerProtocol;
using Orvana::API::PeerFrame;

namespace {

Poco::Int64 number(const std::string& text) {
    Poco::Int64 value = 0;
    if (!P::parseNumber(text, value))
        throw Poco::DataFormatException("The device's reply does not parse", text);
    return value;
}

PeerBrowseClient::Kind kindOf(const std::string& text) {
    if (text == P::KIND_FOLDER) return PeerBrowseClient::FOLDER;
    if (text == P::KIND_FILE) return PeerBrowseClient::FILE;
    return PeerBrowseClient::NONE;
}

// The path's own facts, from the reply's fields.
PeerBrowseClient::Item selfOf(const PeerFrame& reply) {
    PeerBrowseClient::Item item;
    item.kind = kindOf(reply.field(P::KIND));
    if (item.kind == PeerBrowseClient::NONE) return item;
    item.size = number(reply.field(P::SIZE, "0"));
    item.mtime = number(reply.field(P::MTIME, "0"));
    item.mode = static_cast<unsigned>(number(reply.field(P::MODE, "0")) & 07777);
    item.versions = static_cast<int>(number(reply.field(P::VERSIONS, "0")));
    item.stamp = reply.field(P::STAMP);
    return item;
}

// The items of a reply's body: seven NUL-ended fields each.
std::vector<PeerBrowseClient::Item> itemsOf(const PeerFrame& reply) {
    const Poco::Int64 count = number(reply.field(P::COUNT, "0"));
    std::vector<PeerBrowseClient::Item> items;
    size_t at = 0;
    auto next = [&]() {
        const size_t end = reply.body.find('\0', at);
        if (end == std::string::npos)
            throw Poco::DataFormatException("The device's reply does not parse");
        std::string field = reply.body.substr(at, end - at);
        at = end + 1;
        return field;
    };
    for (Poco::Int64 i = 0; i < count; ++i) {
        PeerBrowseClient::Item item;
        item.name = next();
        item.kind = kindOf(next());
        item.size = number(next());
        item.mtime = number(next());
        item.mode = static_cast<unsigned>(number(next()) & 07777);
        item.versions = static_cast<int>(number(next()));
        item.stamp = next();
        // A name must stay one name here: it becomes part of a path.
        if (item.kind == PeerBrowseClient::NONE || item.name.empty() || item.name == "." ||
            item.name == ".." || item.name.find('/') != std::string::npos)
            throw Poco::DataFormatException("The device's reply names an odd entry", item.name);
        items.push_back(std::move(item));
    }
    return items;
}

}  // namespace

struct stat PeerBrowseClient::Item::asStat() const {
    struct stat st {};
    st.st_mode = static_cast<mode_t>((kind == FOLDER ? S_IFDIR : S_IFREG) | (mode & 07777));
    st.st_size = static_cast<off_t>(size);
    st.st_mtim = PeerProtocol::timespecOf(mtime);
    return st;
}

PeerBrowseClient::PeerBrowseClient(const BackupDB::BACKUP_RECORD& record)
    : m_peer(record.targetPeerId), m_rec(record.id) {}

PeerFrame PeerBrowseClient::exchange(PeerFrame& request) {
    request.fields[P::REC] = std::to_string(m_rec);
    PeerFrame reply =
        Orvana::API::PeerLink::exchange(Orvana::Data::PeerID(m_peer), request, P::TIMEOUT_SECONDS);
    if (reply.field(P::STATUS) != P::STATUS_OK)
        throw Poco::RuntimeException(reply.field(P::REASON, "no answer"));
    return reply;
}

PeerBrowseClient::Listing PeerBrowseClient::list(const std::string& path,
                                                 const Poco::Timestamp* at) {
    PeerFrame request;
    request.fields[P::OP] = P::OP_LIST;
    request.fields[P::PATH] = path;
    if (at) request.fields[P::AT] = std::to_string(at->epochMicroseconds());
    const PeerFrame reply = exchange(request);
    Listing listing;
    listing.self = selfOf(reply);
    if (listing.self.kind == FOLDER) listing.entries = itemsOf(reply);
    listing.more = number(reply.field(P::MORE, "0"));
    return listing;
}

PeerBrowseClient::Listing PeerBrowseClient::versions(const std::string& path) {
    PeerFrame request;
    request.fields[P::OP] = P::OP_VERSIONS;
    request.fields[P::PATH] = path;
    const PeerFrame reply = exchange(request);
    Listing listing;
    listing.self = selfOf(reply);
    listing.entries = itemsOf(reply);
    return listing;
}

std::string PeerBrowseClient::read(const std::string& path, const std::string& stamp,
                                   Poco::Int64 offset, Poco::Int64 len, Item& facts) {
    PeerFrame request;
    request.fields[P::OP] = P::OP_READ;
    request.fields[P::PATH] = path;
    if (!stamp.empty()) request.fields[P::VERSION] = stamp;
    request.fields[P::OFFSET] = std::to_string(offset);
    request.fields[P::LEN] = std::to_string(len);
    PeerFrame reply = exchange(request);
    facts = Item();
    facts.kind = FILE;
    facts.size = number(reply.field(P::SIZE));
    facts.mtime = number(reply.field(P::MTIME));
    facts.mode = static_cast<unsigned>(number(reply.field(P::MODE)) & 07777);
    if (static_cast<Poco::Int64>(reply.body.size()) > len)
        throw Poco::DataFormatException("The device sent more than was asked for");
    return std::move(reply.body);
}

}  // namespace Backup
}  // namespace Orvana
