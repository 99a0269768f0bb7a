#pragma once
// HostRequestFactory: picks the handler for each HTTP request. The Host
// header is checked for every request and the session token for every /api/
// request before any handler runs:
//   /                     -> redirect to the plug-in's page (query kept)
//   /ui/...               -> the page's files (no token needed)
//   /texts                -> the page's texts translated (no token needed)
//   /api/<service>/<op>   -> the plug-in (ApiRequestHandler)
//   /api/host/...         -> the host's own API (HostApiHandler)
// Called on the server's threads; holds nothing but the shared context.

#include "host/HostContext.h"

#include <Poco/Net/HTTPRequestHandlerFactory.h>

namespace Orvana {
namespace Host {

class HostRequestFactory : public Poco::Net::HTTPRequestHandlerFactory {
public:
    explicit HostRequestFactory(const HostContext& context);
    Poco::Net::HTTPRequestHandler* createRequestHandler(
        const Poco::Net::HTTPServerRequest& request) override;

    static const char* const TOKEN_HEADER;  // "X-Backup-Token"
    static bool isOperationName(const std::string& text);

private:
    const HostContext& m_context;
};

}  // namespace Host
}  // namespace Orvana
