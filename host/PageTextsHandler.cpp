#include "host/PageTextsHandler.h"

#include "host/TextResponseHandler.h"
#include "hostapi/PoManager.h"

#include <Poco/Exception.h>
#include <Poco/JSON/Array.h>
#include <Poco/JSON/Object.h>
#include <Poco/JSON/Parser.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>

#include <sstream>

namespace Orvana {
namespace Host {

using Poco::Net::HTTPRequest;
using Poco::Net::HTTPResponse;

const char* const PageTextsHandler::PATH = "/texts";

namespace {
// The page has a few hundred short texts; anything far larger is not the page.
const std::streamsize MAX_BODY = 256 * 1024;
}  // namespace

std::string PageTextsHandler::answer(const std::vector<std::string>& texts) {
    Poco::JSON::Object translated;
    for (const std::string& text : texts) translated.set(text, Orvana::PoManager().getTranslation(text));
    Poco::JSON::Object json;
    json.set("lang", Orvana::PoManager().getLanguage());
    json.set("texts", translated);
    std::ostringstream out;
    json.stringify(out);
    return out.str();
}

void PageTextsHandler::handleRequest(Poco::Net::HTTPServerRequest& request,
                                     Poco::Net::HTTPServerResponse& response) {
    if (request.getMethod() != HTTPRequest::HTTP_POST) {
        TextResponseHandler::send(response, HTTPResponse::HTTP_METHOD_NOT_ALLOWED,
                                  "Method not allowed");
        return;
    }
    std::string body(static_cast<size_t>(MAX_BODY) + 1, '\0');
    request.stream().read(&body[0], MAX_BODY + 1);
    body.resize(static_cast<size_t>(request.stream().gcount()));
    if (body.size() > static_cast<size_t>(MAX_BODY)) {
        // Read a bounded rest, so closing does not reset the connection
        // before the client has the answer.
        request.stream().ignore(4 * MAX_BODY);
        TextResponseHandler::send(response, HTTPResponse::HTTP_REQUEST_ENTITY_TOO_LARGE,
                                  "Too many texts");
        return;
    }
    std::vector<std::string> texts;
    try {
        Poco::JSON::Parser parser;
        Poco::JSON::Array::Ptr list = parser.parse(body).extract<Poco::JSON::Array::Ptr>();
        for (size_t i = 0; i < list->size(); ++i) {
            const Poco::Dynamic::Var text = list->get(static_cast<unsigned int>(i));
            if (!text.isString()) throw Poco::DataFormatException("not a text");
            texts.push_back(text.extract<std::string>());
        }
    } catch (Poco::Exception&) {
        TextResponseHandler::send(response, HTTPResponse::HTTP_BAD_REQUEST,
                                  "Expected a JSON array of texts");
        return;
    }
    const std::string json = answer(texts);
    response.setContentType("application/json; charset=utf-8");
    response.set("Cache-Control", "no-store");
    response.sendBuffer(json.data(), json.size());
}

}  // namespace Host
}  // namespace Orvana
