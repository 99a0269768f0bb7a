#pragma once
// TextResponseHandler: answers with a fixed status and a short plain text, or
// with a redirect when a location is given. Made per request by the factory.

#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPResponse.h>

#include <string>

namespace Orvana {
namespace Host {

class TextResponseHandler : public Poco::Net::HTTPRequestHandler {
public:
    TextResponseHandler(Poco::Net::HTTPResponse::HTTPStatus status, const std::string& text,
                        const std::string& location = "");
    void handleRequest(Poco::Net::HTTPServerRequest& request,
                       Poco::Net::HTTPServerResponse& response) override;

    static void send(Poco::Net::HTTPServerResponse& response,
                     Poco::Net::HTTPResponse::HTTPStatus status, const std::string& text);

private:
    Poco::Net::HTTPResponse::HTTPStatus m_status;
    std::string m_text;
    std::string m_location;
};

}  // namespace Host
}  // namespace Orvana
