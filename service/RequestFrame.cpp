// The request side of BackupPlugin: the outer catch layer, authentication,
// the frame every web handler runs in, and the replies.

#include "service/BackupMain.h"

#include "engine/Translation.h"
#include "hostapi/BackupLog.h"
#include "hostapi/HTTP.h"
#include "hostapi/MessageDispatcher.h"
#include "hostapi/MessageUtil.h"
#include "hostapi/UserManager.h"

#include <Poco/Exception.h>
#include <Poco/Logger.h>
#include <Poco/Net/HTTPRequest.h>

#include <exception>

namespace Orvana {
namespace Backup {

using Orvana::Data::AuthKey;
using Orvana::Misc::HTTP;
using Orvana::Misc::MessageUtil;

bool BackupPlugin::refuseUnknownWebRequest(MessagePtr& message) {
    // A web request carries the token its reply goes back with; the timer
    // and the host's events do not.
    if (!message->hasRow(MessageUtil::SYNC_PROXY_SERVICE) ||
        !(*message)[MessageUtil::SYNC_PROXY_SERVICE].find("Token"))
        return false;
    const std::string operation = message->getOperation();
    const bool internal =
        operation == MessageUtil::TIMER_OPERATION || operation == MessageUtil::EVENT_OPERATION;
    if (!internal && m_processor.hasHandler(operation)) return false;
    // Without an answer the caller would wait for the host's whole timeout.
    Orvana::Util::BackupLog::logger().trace("Unknown operation [" + operation + "] refused");
    sendSyncResponse(message, HTTP::getXMLResult(operation, false, tr("Unknown operation")));
    return true;
}

// "UnHandled" as these lines have always read: logs are searched for them.
void BackupPlugin::processRequests(MessagePtr& message) {
    static const char* const fn = "Orvana::Backup::BackupPlugin::processRequests";
    try {
        if (refuseUnknownWebRequest(message)) return;
        m_processor.processMessage(message, true);
    } catch (Poco::Exception& e) {
        Orvana::Util::BackupLog ls;
        ls.error() << fn << " Caught UnHandled Poco::Exception : " << e.what() << ": "
                   << e.className() << " : " << e.message() << std::endl;
    } catch (std::exception& e) {
        Orvana::Util::BackupLog ls;
        ls.error() << fn << " Caught UnHandled std::exception : " << e.what() << std::endl;
    } catch (...) {
        Orvana::Util::BackupLog ls;
        ls.error() << fn << " Caught UnHandled Unknown Exception " << std::endl;
    }
}

bool BackupPlugin::onAuthentication(const MessagePtr& message, AuthKey::AuthRole minimum) {
    return static_cast<int>(message->getAuthKey().authRole()) >= static_cast<int>(minimum);
}

bool BackupPlugin::onAuthentication(const MessagePtr& message, AuthKey::AuthSource minimum) {
    return static_cast<int>(message->getAuthKey().authSource()) >= static_cast<int>(minimum);
}

bool BackupPlugin::isFromHost(const MessagePtr& message, Orvana::Util::BackupLog& ls) {
    if (!onAuthentication(message, AuthKey::HOST_SOURCE)) {
        ls.trace() << "Invalid auth source: Authentication Failed." << std::endl;
        return false;
    }
    if (!onAuthentication(message, AuthKey::FULL_ROLE)) {
        ls.trace() << "Invalid auth role: Authentication Failed." << std::endl;
        return false;
    }
    return true;
}

void BackupPlugin::handleWebRequest(MessagePtr& message, const char* qualifiedName, WebBody body) {
    Poco::Logger& logger = Orvana::Util::BackupLog::logger();
    auto refuse = [&](const char* logLine, const char* name, const char* text) {
        logger.error(logLine);
        sendSyncResponse(message, HTTP::getXMLResult(name, false, tr(text)));
    };
    if (!onAuthentication(message, AuthKey::WEB_SOURCE)) {
        refuse("Authentication Failed.", "Authentication Failed", "Bad Source");
        return;
    }
    if (!onAuthentication(message, AuthKey::FULL_ROLE)) {
        refuse("Authentication Failed.", "Authentication Failed", "Bad Role");
        return;
    }
    if (!Orvana::UserManager().getProfileManager().isProfileLoggedIn()) {
        refuse("Profile Unavailable.", "Profile Unavailable", "No Profile Available for Operation");
        return;
    }

    WebRequest request(message, qualifiedName);
    request.reply = HTTP::getXMLResult(message->getOperation(), false, "");
    // The form is parsed inside the try block so that a malformed query
    // string still gets its one (failure) reply.
    try {
        Poco::Net::HTTPRequest http(
            Poco::Net::HTTPRequest::HTTP_GET,
            "/form?" + (*message)["HTTPRequest"]["HTTPRequest"].getString());
        request.form.load(http);
        (this->*body)(request);
    } catch (std::exception& e) {
        request.log.error() << request.label << " Exception [" << e.what() << "] caught "
                            << std::endl;
    } catch (...) {
        request.log.error() << request.label << " unknown exception caught " << std::endl;
    }
    if (!request.replied) sendSyncResponse(message, request.reply);
}

void BackupPlugin::replyNow(WebRequest& request) {
    sendSyncResponse(request.message, request.reply);
    request.replied = true;
}

namespace {
void sendReply(Orvana::System::MessageDispatcher* dispatcher, const std::string& service,
               const boost::shared_ptr<Orvana::Data::Message>& request, const std::string& reply,
               const std::string& contentType) {
    boost::shared_ptr<Orvana::Data::Message> msg =
        MessageUtil::createNewMessage(MessageUtil::SYNC_PROXY_SERVICE, "SYNC");
    msg->setRawData(reply.data(), static_cast<Poco::UInt64>(reply.size()));
    msg->setFromService(service);
    (*msg)["SyncProxyService"]["Token"] = (*request)["SyncProxyService"]["Token"];
    MessageUtil::addHTTPResponse(msg, 200, contentType);
    dispatcher->sendMessage(msg);
}
}  // namespace

void BackupPlugin::sendSyncResponse(const MessagePtr& request, const std::string& reply) {
    sendReply(m_pDispatcher, m_name, request, reply, "text/xml; charset=utf-8");
}

void BackupPlugin::sendSyncHTMLResponse(const MessagePtr& request, const std::string& reply) {
    sendReply(m_pDispatcher, m_name, request, reply, "text/html; charset=utf-8");
}

}  // namespace Backup
}  // namespace Orvana
