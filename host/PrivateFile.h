#pragma once
// PrivateFile: small files of the profile that only the user may read (mode
// 0600), because what they hold opens the page. Plain functions; any thread,
// but two writers of one file must not run at once (the profile lock keeps
// a second host away).

#include <string>

namespace Orvana {
namespace Host {

namespace PrivateFile {

// Writes all of text to fd, retrying short writes and EINTR; false on error.
bool writeAll(int fd, const std::string& text);

// Replaces path with text, mode 0600: written under a temporary name, flushed
// and renamed, so a crash leaves the old or the new content. A link at path is
// replaced, never followed. Throws Poco::FileException on failure.
void replace(const std::string& path, const std::string& text);

}  // namespace PrivateFile

}  // namespace Host
}  // namespace Orvana
