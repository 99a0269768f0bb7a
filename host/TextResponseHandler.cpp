#include "host/TextResponseHandler.h"

#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>

namespace Orvana {
namespace Host {

TextResponseHandler::TextResponseHandler(Poco::Net::HTTPResponse::HTTPStatus status,
                                         const std::string& text, const std::string& location)
    : m_status(status), m_text(text), m_location(location) {}

void TextResponseHandler::handleRequest(Poco::Net::HTTPServerRequest&,
                                        Poco::Net::HTTPServerResponse& response) {
    if (!m_location.empty()) response.set("Location", m_location);
    send(response, m_status, m_text);
}

void TextResponseHandler::send(Poco::Net::HTTPServerResponse& response,
                               Poco::Net::HTTPResponse::HTTPStatus status,
                               const std::string& text) {
    response.setStatusAndReason(status);
    response.setContentType("text/plain; charset=utf-8");
    response.set("Cache-Control", "no-store");
    response.set("X-Content-Type-Options", "nosniff");
    response.sendBuffer(text.data(), text.size());
}

}  // namespace Host
}  // namespace Orvana
