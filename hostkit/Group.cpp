#include "hostapi/Group.h"

#include <algorithm>

namespace Orvana {
namespace Data {

Group::Group(const Poco::UUID& id, const std::string& name, const std::vector<PeerID>& members)
    : m_id(id), m_name(name), m_members(members) {}

bool Group::hasMember(const PeerID& peer) const {
    return std::find(m_members.begin(), m_members.end(), peer) != m_members.end();
}

}  // namespace Data
}  // namespace Orvana
