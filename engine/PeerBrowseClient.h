#pragma once
// PeerBrowseClient: the asking side of "list", "versions" and "read"
// (PeerProtocol) for a record whose copy lies on another device: the browse
// requests and the restore read that copy through it.
//
// One object per request or restore pass; one thread. A device that cannot
// be reached throws Orvana::API::PeerUnreachableException, a refusal throws
// Poco::RuntimeException with the device's reason, a reply that does not
// parse Poco::DataFormatException.

#include <Poco/Timestamp.h>
#include <Poco/Types.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "db/BackupDB.h"
#include "hostapi/PeerLink.h"

namespace Orvana {
namespace Backup {

class PeerBrowseClient {
public:
    enum Kind { NONE, FOLDER, FILE };
    struct Item {
        std::string name;  // a version's: its stamp
        Kind kind = NONE;
        Poco::Int64 size = 0;
        Poco::Int64 mtime = 0;  // ns since 1970
        unsigned mode = 0;      // permission bits
        int versions = 0;
        std::string stamp;  // the version that answers at a moment; "" the copy

        // As lstat would give it, for comparisons with the source.
        struct stat asStat() const;
    };
    struct Listing {
        Item self;  // the path itself (name empty); kind NONE when nothing is there
        std::vector<Item> entries;
        Poco::Int64 more = 0;
    };

    explicit PeerBrowseClient(const BackupDB::BACKUP_RECORD& record);

    // path: "/"-separated names below the copy ("" the copy itself).
    Listing list(const std::string& path, const Poco::Timestamp* at = nullptr);
    // self: the current copy of the file (kind NONE when only versions are
    // left); entries: its versions, newest first.
    Listing versions(const std::string& path);
    // Bytes [offset, offset + len) of the file or of its version `stamp`
    // ("" the current copy); facts gets size, time and mode of what was read.
    std::string read(const std::string& path, const std::string& stamp, Poco::Int64 offset,
                     Poco::Int64 len, Item& facts);

    const std::string& peer() const { return m_peer; }

private:
    Orvana::API::PeerFrame exchange(Orvana::API::PeerFrame& request);

    std::string m_peer;
    int m_rec;
};

}  // namespace Backup
}  // namespace Orvana
