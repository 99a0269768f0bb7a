#pragma once
// AuthKey: who sent a message. Three ordered integers chosen by the host:
// source (where it came from), role (with which rights) and location (100 for
// this machine's own user interface). Handlers compare them with thresholds.

namespace Orvana {
namespace Data {

class AuthKey {
public:
    // Distinct types so that source and role thresholds cannot be mixed up.
    enum AuthSource : int {};
    enum AuthRole : int {};
    enum AuthLocation : int {};

    AuthKey() : m_source(AuthSource(0)), m_role(AuthRole(0)), m_location(AuthLocation(0)) {}
    AuthKey(int source, int role, int location)
        : m_source(AuthSource(source)), m_role(AuthRole(role)), m_location(AuthLocation(location)) {}
    AuthKey(AuthSource source, AuthRole role, AuthLocation location)
        : m_source(source), m_role(role), m_location(location) {}

    // The levels the host hands out and services check against.
    static constexpr AuthSource HOST_SOURCE{100};       // the host itself, its web bridge too
    static constexpr AuthSource WEB_SOURCE{70};         // the least a web request needs
    static constexpr AuthRole FULL_ROLE{100};           // every right
    static constexpr AuthLocation LOCAL_LOCATION{100};  // this machine's own user interface
    static constexpr AuthLocation REMOTE_LOCATION{1};   // a page on another machine
    // The key of the host's own messages: its timer, its events.
    static AuthKey host() { return AuthKey(HOST_SOURCE, FULL_ROLE, LOCAL_LOCATION); }

    AuthSource authSource() const { return m_source; }
    AuthRole authRole() const { return m_role; }
    AuthLocation authLocation() const { return m_location; }

private:
    AuthSource m_source;
    AuthRole m_role;
    AuthLocation m_location;
};

}  // namespace Data
}  // namespace Orvana
