#include "requests/PathRules.h"

#include <vector>

namespace Orvana {
namespace Backup {
namespace PathRules {

bool isAbsolute(const std::string& path) { return !path.empty() && path[0] == '/'; }

std::string normalize(const std::string& path) {
    std::vector<std::string> parts;
    std::string::size_type pos = 0;
    while (pos <= path.size()) {
        std::string::size_type end = path.find('/', pos);
        if (end == std::string::npos) end = path.size();
        const std::string part = path.substr(pos, end - pos);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        pos = end + 1;
    }
    std::string out;
    for (const auto& p : parts) out += "/" + p;
    return out.empty() ? "/" : out;
}

namespace {
// The folder holding path ("/" for a top-level entry); path is normalised.
std::string parentOf(const std::string& path) {
    if (path == "/") return "";
    const std::string::size_type slash = path.rfind('/');
    return slash == 0 ? "/" : path.substr(0, slash);
}
}  // namespace

bool overlaps(const std::string& source, const std::string& store) {
    const std::string src = normalize(source);
    const std::string dst = normalize(store);
    if (dst == src) return true;
    const std::string prefix = src == "/" ? src : src + "/";
    if (dst.compare(0, prefix.size(), prefix) == 0) return true;
    return dst == parentOf(src);
}

}  // namespace PathRules
}  // namespace Backup
}  // namespace Orvana
