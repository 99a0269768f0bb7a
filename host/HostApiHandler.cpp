#include "host/HostApiHandler.h"

#include "host/EventNotifier.h"
#include "host/PluginLoader.h"
#include "host/TextResponseHandler.h"
#include "hostapi/HostControl.h"

#include <Poco/File.h>
#include <Poco/JSON/Object.h>
#include <Poco/Net/HTMLForm.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Path.h>

#include <sstream>

namespace Orvana {
namespace Host {

using Poco::Net::HTTPRequest;
using Poco::Net::HTTPResponse;

HostApiHandler::HostApiHandler(const HostContext& context, const std::string& action)
    : m_context(context), m_action(action) {}

void HostApiHandler::handleRequest(Poco::Net::HTTPServerRequest& request,
                                   Poco::Net::HTTPServerResponse& response) {
    if (m_action == "plugin" && request.getMethod() == HTTPRequest::HTTP_GET) {
        sendPlugin(response);
    } else if (m_action == "userdatadir" && request.getMethod() == HTTPRequest::HTTP_POST) {
        changeUserDataDir(request, response);
    } else if (m_action == "plugin" || m_action == "userdatadir") {
        TextResponseHandler::send(response, HTTPResponse::HTTP_METHOD_NOT_ALLOWED,
                                  "Method not allowed");
    } else {
        TextResponseHandler::send(response, HTTPResponse::HTTP_NOT_FOUND, "Not found");
    }
}

void HostApiHandler::sendPlugin(Poco::Net::HTTPServerResponse& response) {
    const PluginIdentity& id = *m_context.plugin;
    Poco::JSON::Object json;
    json.set("name", id.name);
    json.set("type", id.type);
    json.set("description", id.description);
    json.set("url", id.url);
    json.set("version", id.version);
    std::ostringstream text;
    json.stringify(text);
    response.setContentType("application/json; charset=utf-8");
    response.set("Cache-Control", "no-store");
    const std::string body = text.str();
    response.sendBuffer(body.data(), body.size());
}

void HostApiHandler::changeUserDataDir(Poco::Net::HTTPServerRequest& request,
                                       Poco::Net::HTTPServerResponse& response) {
    // The folder comes in the query; a body is not read.
    Poco::Net::HTMLForm form;
    form.load(request);
    const std::string dir = form.get("dir", "");
    if (dir.empty() || !Poco::Path(dir).isAbsolute()) {
        TextResponseHandler::send(response, HTTPResponse::HTTP_BAD_REQUEST,
                                  "dir must be an absolute path");
        return;
    }
    Poco::File(dir).createDirectories();
    // The profile reports its folders without a trailing separator.
    std::string folder = dir;
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    Orvana::HostKit::HostControl::setProfileUserDataDir(folder);
    const size_t told = m_context.events->fire("USER_DATA_DIR_CHANGED");
    TextResponseHandler::send(
        response, HTTPResponse::HTTP_OK,
        "USER_DATA_DIR_CHANGED sent to " + std::to_string(told) + " subscriber(s)");
}

}  // namespace Host
}  // namespace Orvana
