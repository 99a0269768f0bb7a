#pragma once
// HostApiHandler: the host's own small API.
//   GET  /api/host/plugin                 the plug-in's five identity texts as JSON
//   POST /api/host/userdatadir?dir=PATH   moves the profile's user data folder
//                                         and fires USER_DATA_DIR_CHANGED
// One object per request, on an HTTP server thread.

#include "host/HostContext.h"

#include <Poco/Net/HTTPRequestHandler.h>

#include <string>

namespace Orvana {
namespace Host {

class HostApiHandler : public Poco::Net::HTTPRequestHandler {
public:
    HostApiHandler(const HostContext& context, const std::string& action);
    void handleRequest(Poco::Net::HTTPServerRequest& request,
                       Poco::Net::HTTPServerResponse& response) override;

private:
    void sendPlugin(Poco::Net::HTTPServerResponse& response);
    void changeUserDataDir(Poco::Net::HTTPServerRequest& request,
                           Poco::Net::HTTPServerResponse& response);

    const HostContext& m_context;
    std::string m_action;
};

}  // namespace Host
}  // namespace Orvana
