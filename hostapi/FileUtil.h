#pragma once
// File and text helpers of the host library. All are thread-safe.

#include <Poco/Types.h>

#include <atomic>
#include <string>

namespace Orvana {
namespace Util {

// CRC-32 (zlib) of the file's bytes from offset for length bytes (-1, -1: the
// whole file) as 8 lower-case hex digits. Reads in chunks; when stopFlag is
// not null and becomes true, gives up and returns false. False when the file
// cannot be read.
bool getFileCRC(const std::string& path, std::string& crc, Poco::Int64 offset, Poco::Int64 length,
                const std::atomic<bool>* stopFlag);

// Splits a path at its last "/" or "\" (trailing separators ignored) into the
// folder that contains the last component and that component. "/a/b" ->
// ("/a", "b"); "/b" -> ("/", "b"); "b" -> ("", "b").
void splitFolder(const std::string& path, std::string& folder, std::string& file);

// The path with this platform's separators.
std::string convertPathToNative(const std::string& path);

// A short size text: below 1024 bytes "N B", else the value in KB, MB, GB or
// TB with `precision` decimals, e.g. 1536 -> "1.50 KB".
std::string readableFileSize(Poco::Int64 size, int precision);

// Removes control characters (below 32 and 127); with stripMarkup also the
// five XML markup characters & < > " '. Other text, UTF-8 included, is kept.
std::string sanitizeString(const std::string& text, bool stripMarkup);

}  // namespace Util
}  // namespace Orvana
