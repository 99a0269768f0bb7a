#pragma once
// Group: a named set of peers, identified by a UUID. Immutable after creation.

#include "hostapi/PeerID.h"

#include <Poco/UUID.h>

#include <string>
#include <vector>

namespace Orvana {
namespace Data {

class Group {
public:
    Group(const Poco::UUID& id, const std::string& name, const std::vector<PeerID>& members);

    const Poco::UUID& getGroupID() const { return m_id; }
    const std::string& getGroupName() const { return m_name; }
    const std::vector<PeerID>& getMembers() const { return m_members; }
    bool hasMember(const PeerID& peer) const;

private:
    Poco::UUID m_id;
    std::string m_name;
    std::vector<PeerID> m_members;
};

}  // namespace Data
}  // namespace Orvana
