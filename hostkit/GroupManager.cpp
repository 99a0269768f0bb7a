#include "hostapi/GroupManager.h"

#include "hostkit/HostState.h"

namespace Orvana {
namespace API {

using Orvana::HostKit::HostState;

bool GroupManager::groupCollectionGet(const Orvana::Data::PeerID& peer,
                                      std::vector<GroupPtr>& groups) {
    groups.clear();
    Orvana::Util::CheckedLock lock(HostState::instance().mutex);
    for (const GroupPtr& group : HostState::instance().groups)
        if (group && group->hasMember(peer)) groups.push_back(group);
    return true;
}

GroupManager::GroupPtr GroupManager::groupGet(const Poco::UUID& id) {
    Orvana::Util::CheckedLock lock(HostState::instance().mutex);
    for (const GroupPtr& group : HostState::instance().groups)
        if (group && group->getGroupID() == id) return group;
    return GroupPtr();
}

}  // namespace API
}  // namespace Orvana
