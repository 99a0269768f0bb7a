#include "host/HostRequestFactory.h"

#include "host/ApiRequestHandler.h"
#include "host/DevicesHandler.h"
#include "host/HostApiHandler.h"
#include "host/HostGuard.h"
#include "host/PageTextsHandler.h"
#include "host/StaticFileHandler.h"
#include "host/TextResponseHandler.h"

#include <Poco/Ascii.h>
#include <Poco/Exception.h>
#include <Poco/Logger.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/URI.h>

namespace Orvana {
namespace Host {

using Poco::Net::HTTPResponse;

const char* const HostRequestFactory::TOKEN_HEADER = "X-Backup-Token";

HostRequestFactory::HostRequestFactory(const HostContext& context) : m_context(context) {}

bool HostRequestFactory::isOperationName(const std::string& text) {
    if (text.empty() || text.size() > 64) return false;
    for (char c : text) {
        if (!Poco::Ascii::isAlphaNumeric(c) && c != '_') return false;
    }
    return true;
}

Poco::Net::HTTPRequestHandler* HostRequestFactory::createRequestHandler(
    const Poco::Net::HTTPServerRequest& request) {
    if (!m_context.guard->hostAllowed(request.getHost())) {
        Poco::Logger::get("host").warning("Refused a request for host [" + request.getHost() +
                                          "] from " + request.clientAddress().toString());
        return new TextResponseHandler(HTTPResponse::HTTP_FORBIDDEN, "Forbidden host");
    }
    std::string path;
    try {
        path = Poco::URI(request.getURI()).getPath();
    } catch (Poco::Exception&) {
        return new TextResponseHandler(HTTPResponse::HTTP_BAD_REQUEST, "Bad request target");
    }

    if (path == "/") {
        const std::string query = ApiRequestHandler::rawQuery(request.getURI());
        const std::string page = "/ui/" + m_context.serviceName + "/index.html";
        return new TextResponseHandler(HTTPResponse::HTTP_FOUND, "Moved",
                                       query.empty() ? page : page + "?" + query);
    }
    if (path.compare(0, 4, "/ui/") == 0) {
        return new StaticFileHandler(m_context.uiRoot, path.substr(4));
    }
    if (path == PageTextsHandler::PATH) return new PageTextsHandler;
    if (path.compare(0, 5, "/api/") != 0) {
        return new TextResponseHandler(HTTPResponse::HTTP_NOT_FOUND, "Not found");
    }

    if (!m_context.guard->tokenMatches(request.get(TOKEN_HEADER, ""))) {
        return new TextResponseHandler(HTTPResponse::HTTP_FORBIDDEN, "Missing or wrong token");
    }
    const std::string rest = path.substr(5);
    const std::string::size_type slash = rest.find('/');
    const std::string area = rest.substr(0, slash);
    const std::string name = slash == std::string::npos ? "" : rest.substr(slash + 1);
    if (area == "host" && name == "devices") return new DevicesHandler(m_context);
    if (area == "host") return new HostApiHandler(m_context, name);
    if (area == m_context.serviceName && isOperationName(name)) {
        return new ApiRequestHandler(m_context, name);
    }
    return new TextResponseHandler(HTTPResponse::HTTP_NOT_FOUND, "Not found");
}

}  // namespace Host
}  // namespace Orvana
