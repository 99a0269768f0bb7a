// The page's texts come back from the host in its language, from the same
// catalogue the plug-in uses; no token is needed for them.

#include <Poco/JSON/Object.h>
#include <Poco/JSON/Parser.h>
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/StreamCopier.h>
#include <gtest/gtest.h>

#include <string>

#include "support/HostProcess.h"
#include "support/TempDir.h"

using TestSupport::HostProcess;
using TestSupport::TempDir;

namespace {

struct Answer {
    int status = 0;
    std::string body;
};

Answer post(const HostProcess& host, const std::string& body, const std::string& method = "POST") {
    Poco::Net::HTTPClientSession session("127.0.0.1", static_cast<Poco::UInt16>(host.port()));
    Poco::Net::HTTPRequest request(method, "/texts", Poco::Net::HTTPMessage::HTTP_1_1);
    request.setContentType("application/json");
    request.setContentLength(static_cast<std::streamsize>(body.size()));
    session.sendRequest(request) << body;
    Poco::Net::HTTPResponse response;
    std::istream& in = session.receiveResponse(response);
    Answer answer;
    answer.status = response.getStatus();
    Poco::StreamCopier::copyToString(in, answer.body);
    return answer;
}

Poco::JSON::Object::Ptr parse(const std::string& body) {
    return Poco::JSON::Parser().parse(body).extract<Poco::JSON::Object::Ptr>();
}

TEST(PageTexts, AnswersInTheHostsLanguageWithoutAToken) {
    TempDir dir;
    HostProcess host(dir.join("profile"), {"--lang", "de"});
    ASSERT_GT(host.port(), 0) << host.banner();

    const Answer answer = post(host, R"(["Back up now","not in any catalogue","Stopped by you {when}"])");
    ASSERT_EQ(200, answer.status) << answer.body;
    Poco::JSON::Object::Ptr json = parse(answer.body);
    EXPECT_EQ("de", json->getValue<std::string>("lang"));
    Poco::JSON::Object::Ptr texts = json->getObject("texts");
    EXPECT_EQ("Jetzt sichern", texts->getValue<std::string>("Back up now"));
    EXPECT_EQ("Von Ihnen angehalten {when}", texts->getValue<std::string>("Stopped by you {when}"));
    EXPECT_EQ("not in any catalogue", texts->getValue<std::string>("not in any catalogue"));

    EXPECT_EQ(400, post(host, R"({"not":"a list"})").status);
    EXPECT_EQ(400, post(host, "[1, 2]").status);
    EXPECT_EQ(400, post(host, "not json").status);
    EXPECT_EQ(405, post(host, "", "GET").status);
    EXPECT_EQ(413, post(host, "[\"" + std::string(300 * 1024, 'x') + "\"]").status);
    EXPECT_EQ(0, host.terminate());
}

TEST(PageTexts, EnglishComesBackUnchanged) {
    TempDir dir;
    HostProcess host(dir.join("profile"), {"--lang", "en"});
    ASSERT_GT(host.port(), 0) << host.banner();
    const Answer answer = post(host, R"(["Back up now"])");
    ASSERT_EQ(200, answer.status);
    Poco::JSON::Object::Ptr json = parse(answer.body);
    EXPECT_EQ("en", json->getValue<std::string>("lang"));
    EXPECT_EQ("Back up now", json->getObject("texts")->getValue<std::string>("Back up now"));
    EXPECT_EQ(0, host.terminate());
}

}  // namespace
