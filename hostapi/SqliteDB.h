#pragma once
// SqliteDB: the host's base for a service's database object. Holds the shared
// connection handle (empty until the subclass fills it) and a mutex that
// subclasses take for their own reasons. The destructor closes a connection
// that is still open when the last handle goes.

#include "hostapi/wxSQLite3Database.h"

#include <Poco/Mutex.h>
#include <boost/shared_ptr.hpp>

namespace Orvana {
namespace Data {

class SqliteDB {
public:
    SqliteDB() {}
    virtual ~SqliteDB() {}

protected:
    boost::shared_ptr<wxSQLite3Database> m_db;
    Poco::Mutex m_mutex;
};

}  // namespace Data
}  // namespace Orvana
