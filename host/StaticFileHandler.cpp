#include "host/StaticFileHandler.h"

#include "host/TextResponseHandler.h"

#include <Poco/File.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Path.h>
#include <Poco/String.h>
#include <Poco/StringTokenizer.h>

#include <climits>
#include <cstdlib>

namespace Orvana {
namespace Host {

using Poco::Net::HTTPRequest;
using Poco::Net::HTTPResponse;

namespace {

std::string realPath(const std::string& path) {
    char buffer[PATH_MAX];
    return ::realpath(path.c_str(), buffer) ? std::string(buffer) : std::string();
}

}  // namespace

StaticFileHandler::StaticFileHandler(const std::string& root, const std::string& relative)
    : m_root(root), m_relative(relative) {}

std::string StaticFileHandler::resolve(const std::string& root, const std::string& relative) {
    if (relative.find('\0') != std::string::npos || relative.find('\\') != std::string::npos) {
        return "";
    }
    std::string joined;
    Poco::StringTokenizer segments(relative, "/");
    for (const std::string& segment : segments) {
        if (segment.empty()) continue;  // "//" collapses
        if (segment == "." || segment == "..") return "";
        joined += "/" + segment;
    }
    if (joined.empty()) return "";
    const std::string base = realPath(root);
    const std::string file = realPath(root + joined);
    // Symbolic links are followed only while they stay inside the folder.
    if (base.empty() || file.empty() || file.compare(0, base.size() + 1, base + "/") != 0) {
        return "";
    }
    Poco::File entry(file);
    return entry.isFile() ? file : "";
}

std::string StaticFileHandler::mediaType(const std::string& path) {
    const std::string ext = Poco::toLower(Poco::Path(path).getExtension());
    if (ext == "html" || ext == "htm") return "text/html; charset=utf-8";
    if (ext == "css") return "text/css; charset=utf-8";
    if (ext == "js" || ext == "mjs") return "text/javascript; charset=utf-8";
    if (ext == "json") return "application/json; charset=utf-8";
    if (ext == "svg") return "image/svg+xml";
    if (ext == "png") return "image/png";
    if (ext == "ico") return "image/x-icon";
    if (ext == "txt") return "text/plain; charset=utf-8";
    return "application/octet-stream";
}

void StaticFileHandler::handleRequest(Poco::Net::HTTPServerRequest& request,
                                      Poco::Net::HTTPServerResponse& response) {
    if (request.getMethod() != HTTPRequest::HTTP_GET &&
        request.getMethod() != HTTPRequest::HTTP_HEAD) {
        response.set("Allow", "GET, HEAD");
        TextResponseHandler::send(response, HTTPResponse::HTTP_METHOD_NOT_ALLOWED,
                                  "Method not allowed");
        return;
    }
    const std::string file = resolve(m_root, m_relative);
    if (file.empty()) {
        TextResponseHandler::send(response, HTTPResponse::HTTP_NOT_FOUND, "Not found");
        return;
    }
    response.set("Cache-Control", "no-cache");
    response.set("X-Content-Type-Options", "nosniff");
    response.set("X-Frame-Options", "DENY");
    response.set("Content-Security-Policy",
                 "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'");
    response.sendFile(file, mediaType(file));
}

}  // namespace Host
}  // namespace Orvana
