#pragma once
// PeerProtocol: the operations that the backup services of two devices
// exchange over PeerLink, and the names of their fields. The sending device
// drives every exchange; the storing device only answers (IncomingStore).
// Every reply carries "status": "ok", or "refused" with a "reason" in
// English words for the sender's log and run history.
//
// "begin"  rec, source, copy -> ok with files (the most files a put may
//          carry; absent from devices that take FILES_PER_PUT) | refused
//          Announces a pass of the sender's record `rec` (its id there)
//          whose source is `source`; its copies lie in the folder `copy`
//          (one name: the source's last component) of the sender's folder
//          in the store location.
// "put"    rec, count, then per file i (0 <= i < count): path_i (below the
//          sender's folder, beginning with the copy folder's name), size_i,
//          mtime_i (ns since 1970), mode_i (permission bits), crc_i (CRC-32,
//          8 hex digits), id_i (the sender's index id of the file), offset_i,
//          len_i; the body holds the files' bytes [offset, offset + len) one
//          after the other -> ok with per file done_i = 1 when the file is
//          complete and matched its CRC (the next commit puts it in place),
//          or have_i = the bytes held of an unfinished file, or error_i.
// "commit" rec, count (the files acknowledged done since the last commit)
//          -> flushes them, renames them over the old copies, flushes again,
//          then ok; the body lists those that could not be placed, each as
//          its order among them and a reason, both ended by a NUL byte. Only
//          then does the sender mark the others backed up. Refused when the
//          count is not what the device holds (it restarted since).
// "offset" rec, path, size, mtime, crc, id -> ok with have = the bytes held
//          of an interrupted transfer of this very file (0 when none).
// "same"   rec, path, size -> ok with sha = the SHA-256 (64 hex digits) of
//          the copy at path when it is a file of that size (and at most
//          SAME_SIZE), else without sha. Asked before a chunked file is sent.
// "keep"   rec, the fields of a put's file (offset and len 0) and sha -> ok
//          with done = 1 when the copy at path is still a file of that size
//          whose bytes have that SHA-256: the next commit gives the copy the
//          file's mode and time and records it, as it would a file put (no
//          earlier version: the bytes are the same); else done = 0.
// "folders" rec, count; the body holds per folder (count of them, children
//          before their parents) its path (as a put's), its mode (permission
//          bits) and its mtime (ns since 1970), each ended by a NUL byte ->
//          ok, with `error` naming the first folder that could not be had.
//          Sent after a pass's files: placing a file changes its folder's
//          time. A missing folder is made (an empty source folder).
// "end"    rec -> ok; the pass is over: unfinished transfers are dropped and
//          earlier versions thinned.
//
// Reading back (for browsing and restoring on the sending device). A path
// names an item below the copy folder ("" the copy itself; a file record's
// one file also by its name); no "..", no absolute path, no link is followed.
// Items in a body: seven fields each ending in a NUL byte (names hold no
// NUL): name, kind ("folder", "file"), size, mtime (ns), mode, versions
// (count of earlier versions of a file), stamp (the version that answers at
// `at`; "" the copy itself).
// "list"     rec, path, optional at (microseconds since 1970) -> ok with
//            kind ("folder", "file", "none" when nothing is there), size,
//            mtime, mode, versions, stamp of the path itself; count, and
//            for a folder the body with its folders and files (links and
//            special files left out); more = entries left out once the body
//            reached LIST_BYTES.
// "versions" rec, path -> ok with kind ("file" or "none": only versions are
//            left), size, mtime, mode of the current copy; count, and the
//            body with its earlier versions, newest first, the stamp as name.
// "read"     rec, path, optional version (a stamp), offset, len (<= CHUNK)
//            -> ok with size, mtime, mode of the file; the body holds its
//            bytes [offset, offset + len) or up to its end.

#include <Poco/Types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <cstdio>
#include <string>

namespace Orvana {
namespace Backup {
namespace PeerProtocol {

// Operations.
const char* const OP_BEGIN = "begin";
const char* const OP_PUT = "put";
const char* const OP_COMMIT = "commit";
const char* const OP_OFFSET = "offset";
const char* const OP_END = "end";
const char* const OP_LIST = "list";
const char* const OP_VERSIONS = "versions";
const char* const OP_READ = "read";
const char* const OP_FOLDERS = "folders";
const char* const OP_SAME = "same";
const char* const OP_KEEP = "keep";

// Fields.
const char* const OP = "op";
const char* const STATUS = "status";
const char* const REASON = "reason";
const char* const REC = "rec";
const char* const SOURCE = "source";
const char* const COPY = "copy";
const char* const COUNT = "count";
const char* const PATH = "path";
const char* const SIZE = "size";
const char* const MTIME = "mtime";
const char* const MODE = "mode";
const char* const CRC = "crc";
const char* const ID = "id";
const char* const OFFSET = "offset";
const char* const LEN = "len";
const char* const DONE = "done";
const char* const HAVE = "have";
const char* const ERROR = "error";
const char* const KIND = "kind";
const char* const AT = "at";
const char* const VERSION = "version";
const char* const VERSIONS = "versions";
const char* const STAMP = "stamp";
const char* const MORE = "more";
const char* const FILES = "files";
const char* const SHA = "sha";

const char* const KIND_FOLDER = "folder";
const char* const KIND_FILE = "file";
const char* const KIND_NONE = "none";

const char* const STATUS_OK = "ok";
const char* const STATUS_REFUSED = "refused";

// The field `name` of the i-th file or entry: "path_3".
inline std::string indexed(const char* name, size_t i) {
    return std::string(name) + "_" + std::to_string(i);
}

// A number as the fields carry it: decimal digits only, no sign, within
// 64 bits. False for anything else, so a peer's text never wraps around.
inline bool parseNumber(const std::string& text, Poco::Int64& value) {
    if (text.empty() || text.size() > 19) return false;
    Poco::Int64 v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        if (v > (INT64_MAX - (c - '0')) / 10) return false;
        v = v * 10 + (c - '0');
    }
    value = v;
    return true;
}

// Times travel as nanoseconds since 1970.
inline Poco::Int64 nanoseconds(const struct timespec& t) {
    return static_cast<Poco::Int64>(t.tv_sec) * 1000000000 + t.tv_nsec;
}
inline struct timespec timespecOf(Poco::Int64 ns) {
    struct timespec t;
    t.tv_sec = static_cast<time_t>(ns / 1000000000);
    t.tv_nsec = static_cast<long>(ns % 1000000000);
    return t;
}

// A CRC-32 as the fields carry it: 8 lower-case hex digits.
inline std::string crcText(unsigned long crc) {
    char text[16];
    std::snprintf(text, sizeof(text), "%08lx", crc & 0xffffffffUL);
    return text;
}

// The host takes a body of up to 16 MiB and 1,024 fields whose names and
// values make at most 64 KiB together; a put stays below all three. Paths
// are what can make a put's fields large: 24 of 2.8 KiB pass 64 KiB, and a
// frame over a limit is not sent at all.
const Poco::Int64 CHUNK = 8 * 1024 * 1024;
// Files in one put: 24 are within the fields every device takes; a device
// whose host takes 1,024 fields says in its answer to "begin" (`files`) that
// it takes FILES_PER_PUT_MAX, so that small files travel in fewer exchanges.
const size_t FILES_PER_PUT = 24;
const size_t FILES_PER_PUT_MAX = 96;
const size_t PUT_FIELD_BYTES = 48 * 1024;
// What one file's fields take besides its path: eight names and numbers.
const size_t FILE_FIELD_BYTES = 256;
// Folders of a "folders" request; with their paths well below the body's limit.
const size_t FOLDERS_PER_REQUEST = 4096;
// Larger files are sent alone, a chunk per exchange, and resumed after an
// interruption from what the storing side holds.
const Poco::Int64 RESUME_SIZE = 64 * 1024 * 1024;
// The largest copy a device reads whole to answer "same" or "keep": at some
// 1 GB/s, well within an exchange's timeout.
const Poco::Int64 SAME_SIZE = 16LL * 1024 * 1024 * 1024;
// A listing's body stays below this; the rest is counted in `more`.
const size_t LIST_BYTES = 12 * 1024 * 1024;
// The longest a reply may be silent: a commit flushes a whole file system.
const int TIMEOUT_SECONDS = 300;

}  // namespace PeerProtocol
}  // namespace Backup
}  // namespace Orvana
