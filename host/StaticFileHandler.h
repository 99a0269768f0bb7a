#pragma once
// StaticFileHandler: serves the page's files below one folder, for GET and
// HEAD. A path that is not a plain file inside that folder (".." segments,
// symbolic links leading out, folders) gets 404. One object per request.

#include <Poco/Net/HTTPRequestHandler.h>

#include <string>

namespace Orvana {
namespace Host {

class StaticFileHandler : public Poco::Net::HTTPRequestHandler {
public:
    // root: the folder served; relative: the decoded path below it.
    StaticFileHandler(const std::string& root, const std::string& relative);
    void handleRequest(Poco::Net::HTTPServerRequest& request,
                       Poco::Net::HTTPServerResponse& response) override;

    // The file to serve, or "" when the path must not be served.
    static std::string resolve(const std::string& root, const std::string& relative);
    static std::string mediaType(const std::string& path);

private:
    std::string m_root;
    std::string m_relative;
};

}  // namespace Host
}  // namespace Orvana
