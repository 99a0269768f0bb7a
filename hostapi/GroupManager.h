#pragma once
// GroupManager: the groups this device knows (set by HostControl). Thread-safe.

#include "hostapi/Group.h"

#include <Poco/UUID.h>
#include <boost/shared_ptr.hpp>

#include <vector>

namespace Orvana {
namespace API {

class GroupManager {
public:
    typedef boost::shared_ptr<Orvana::Data::Group> GroupPtr;

    // Fills groups (cleared first) with the groups the peer is a member of, in
    // the order the host lists them; true even when none.
    static bool groupCollectionGet(const Orvana::Data::PeerID& peer, std::vector<GroupPtr>& groups);
    // The group with this id, or an empty pointer.
    static GroupPtr groupGet(const Poco::UUID& id);
};

}  // namespace API
}  // namespace Orvana
