#pragma once
// ApiRequestHandler: GET /api/<service>/<operation>?<query>. Turns the
// request into a message for the plug-in's service (query unchanged in row
// "HTTPRequest" field "HTTPRequest"), waits for its reply through the
// SyncProxy and answers with the reply's status, content type and bytes.
// One object per request, on an HTTP server thread.

#include "host/HostContext.h"

#include <Poco/Net/HTTPRequestHandler.h>

#include <string>

namespace Orvana {
namespace Host {

class ApiRequestHandler : public Poco::Net::HTTPRequestHandler {
public:
    ApiRequestHandler(const HostContext& context, const std::string& operation);
    void handleRequest(Poco::Net::HTTPServerRequest& request,
                       Poco::Net::HTTPServerResponse& response) override;

    // The query of a request target, exactly as sent ("" when there is none).
    static std::string rawQuery(const std::string& target);

private:
    const HostContext& m_context;
    std::string m_operation;
};

}  // namespace Host
}  // namespace Orvana
