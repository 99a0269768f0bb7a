#pragma once
// PeerBrowseAnswers: the storing side's answers to "list", "versions" and
// "read" (PeerProtocol), which let a device browse and restore the copy it
// keeps here. IncomingStore calls them with the asking peer's own folder,
// already opened without following a link, and the name of that peer's copy
// of the record; nothing outside that copy and its earlier versions is ever
// opened: a path is taken apart and opened step by step, no step follows a
// link, and ".." or an absolute path is refused.
//
// Stateless and read-only; any thread (IncomingStore holds the record's lock
// around each call). A refusal is thrown as Poco::Exception with its reason.

#include <string>

#include "hostapi/PeerLink.h"

namespace Orvana {
namespace Backup {
namespace PeerBrowseAnswers {

// root: the peer's folder in the store location (its path, for the versions
// folder) and rootFd the same folder opened; copy: the copy's name in it.
Orvana::API::PeerFrame list(int rootFd, const std::string& root, const std::string& copy,
                            const Orvana::API::PeerFrame& request);
Orvana::API::PeerFrame versions(int rootFd, const std::string& root, const std::string& copy,
                                const Orvana::API::PeerFrame& request);
Orvana::API::PeerFrame read(int rootFd, const std::string& root, const std::string& copy,
                            const Orvana::API::PeerFrame& request);

// The reply to a "list" of a record that was never backed up here.
Orvana::API::PeerFrame nothingStored();

}  // namespace PeerBrowseAnswers
}  // namespace Backup
}  // namespace Orvana
