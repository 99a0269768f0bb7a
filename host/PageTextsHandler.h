#pragma once
// PageTextsHandler: translates the page's own texts.
//   POST /texts   body: a JSON array of the page's English texts
//   answer:       {"lang":"de","texts":{"English":"Deutsch",...}}
// The page sends the texts it shows and gets them back through the same
// catalogue the plug-in loaded (po/<lang>.po in translations.zip), so the
// .po stays the one place a translation lives. A text without a translation
// comes back unchanged. Needs no token: the refused-token screen must be
// translated too, and nothing here is private.
// One object per request, on an HTTP server thread; holds no state.

#include <Poco/Net/HTTPRequestHandler.h>

#include <string>
#include <vector>

namespace Orvana {
namespace Host {

class PageTextsHandler : public Poco::Net::HTTPRequestHandler {
public:
    static const char* const PATH;  // "/texts"

    void handleRequest(Poco::Net::HTTPServerRequest& request,
                       Poco::Net::HTTPServerResponse& response) override;

    // The answer's JSON for the given texts, in the host's language.
    static std::string answer(const std::vector<std::string>& texts);
};

}  // namespace Host
}  // namespace Orvana
