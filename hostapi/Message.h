#pragma once
// Message: the unit of exchange between the host and its services. It names
// the service it is addressed to and an operation, carries named rows of named
// fields (rows and fields exist on first access), the sender's AuthKey and
// peer, the sending service, and optional raw bytes (the body of an HTTP
// reply). Shared through boost::shared_ptr; one thread works on it at a time.

#include "hostapi/AuthKey.h"
#include "hostapi/PeerID.h"
#include "hostapi/VariantRow.h"

#include <Poco/Types.h>

#include <map>
#include <string>
#include <vector>

namespace Orvana {
namespace Data {

class Message {
public:
    Message(const std::string& service, const std::string& operation);

    const std::string& getService() const { return m_service; }
    const std::string& getOperation() const { return m_operation; }

    VariantRow& operator[](const std::string& row);
    bool hasRow(const std::string& row) const;
    std::vector<std::string> rowNames() const;  // sorted

    AuthKey& getAuthKey() { return m_authKey; }
    const AuthKey& getAuthKey() const { return m_authKey; }
    void setAuthKey(const AuthKey& key) { m_authKey = key; }

    const PeerID& getFromPeerID() const { return m_fromPeer; }
    void setFromPeerID(const PeerID& peer) { m_fromPeer = peer; }

    const std::string& getFromService() const { return m_fromService; }
    void setFromService(const std::string& service) { m_fromService = service; }

    void setRawData(const char* data, Poco::UInt64 length);
    const std::string& getRawData() const { return m_rawData; }

private:
    std::string m_service;
    std::string m_operation;
    std::map<std::string, VariantRow> m_rows;
    AuthKey m_authKey;
    PeerID m_fromPeer;
    std::string m_fromService;
    std::string m_rawData;
};

}  // namespace Data
}  // namespace Orvana
