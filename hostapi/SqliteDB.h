#pragma once
// SqliteDB: the host's base for a service's database object. Holds the shared
// connection handle (empty until the subclass fills it) and a mutex that
// subclasses take for their own reasons: it serialises statements that must
// not interleave within the process (rows, not members, so nothing here is
// GUARDED_BY it). The destructor closes a connection that is still open when
// the last handle goes.

#include "hostapi/wxSQLite3Database.h"

#include <boost/shared_ptr.hpp>

#include "hostapi/CheckedMutex.h"

namespace Orvana {
namespace Data {

class SqliteDB {
public:
    SqliteDB() {}
    virtual ~SqliteDB() {}

protected:
    boost::shared_ptr<wxSQLite3Database> m_db;
    Orvana::Util::CheckedMutex m_mutex;
};

}  // namespace Data
}  // namespace Orvana
