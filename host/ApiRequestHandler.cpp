#include "host/ApiRequestHandler.h"

#include "host/SyncProxy.h"
#include "host/TextResponseHandler.h"
#include "hostapi/MessageDispatcher.h"
#include "hostapi/MessageUtil.h"
#include "hostapi/ProfileManager.h"

#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>

namespace Orvana {
namespace Host {

using Orvana::Misc::MessageUtil;
using Poco::Net::HTTPResponse;

ApiRequestHandler::ApiRequestHandler(const HostContext& context, const std::string& operation)
    : m_context(context), m_operation(operation) {}

std::string ApiRequestHandler::rawQuery(const std::string& target) {
    const std::string::size_type mark = target.find('?');
    if (mark == std::string::npos) return "";
    std::string query = target.substr(mark + 1);
    const std::string::size_type hash = query.find('#');
    return hash == std::string::npos ? query : query.substr(0, hash);
}

void ApiRequestHandler::handleRequest(Poco::Net::HTTPServerRequest& request,
                                      Poco::Net::HTTPServerResponse& response) {
    if (request.getMethod() != Poco::Net::HTTPRequest::HTTP_GET) {
        response.set("Allow", "GET");
        TextResponseHandler::send(response, HTTPResponse::HTTP_METHOD_NOT_ALLOWED,
                                  "Only GET is served here");
        return;
    }
    if (!m_context.dispatcher->isRegistered(m_context.serviceName)) {
        TextResponseHandler::send(response, HTTPResponse::HTTP_SERVICE_UNAVAILABLE,
                                  "The plug-in is not running");
        return;
    }

    SyncProxy::MessagePtr message =
        MessageUtil::createNewMessage(m_context.serviceName, m_operation);
    (*message)["HTTPRequest"]["HTTPRequest"] = rawQuery(request.getURI());
    using Orvana::Data::AuthKey;
    const bool local = request.clientAddress().host().isLoopback();
    message->setAuthKey(AuthKey(AuthKey::HOST_SOURCE, AuthKey::FULL_ROLE,
                                local ? AuthKey::LOCAL_LOCATION : AuthKey::REMOTE_LOCATION));
    message->setFromService(MessageUtil::SYNC_PROXY_SERVICE);
    message->setFromPeerID(Orvana::API::ProfileManager::getPeerID());

    SyncProxy::MessagePtr reply;
    switch (m_context.syncProxy->request(message, m_context.replyTimeoutMs, reply)) {
        case SyncProxy::REPLIED:
            break;
        case SyncProxy::TIMED_OUT:
            TextResponseHandler::send(response, HTTPResponse::HTTP_GATEWAY_TIMEOUT,
                                      "No reply from the plug-in for " + m_operation);
            return;
        case SyncProxy::CLOSED:
            TextResponseHandler::send(response, HTTPResponse::HTTP_SERVICE_UNAVAILABLE,
                                      "The host is shutting down");
            return;
    }

    Orvana::Data::VariantRow& http = (*reply)[MessageUtil::HTTP_RESPONSE_ROW];
    const int status = http.has("Status") ? http["Status"].getInt() : 200;
    const std::string contentType =
        http.has("ContentType") ? http["ContentType"].getString() : "text/xml; charset=utf-8";
    response.setStatusAndReason(static_cast<HTTPResponse::HTTPStatus>(status > 0 ? status : 200));
    response.setContentType(contentType);
    response.set("Cache-Control", "no-store");
    response.set("X-Content-Type-Options", "nosniff");
    const std::string& body = reply->getRawData();
    response.sendBuffer(body.data(), body.size());
}

}  // namespace Host
}  // namespace Orvana
