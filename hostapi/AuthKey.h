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
