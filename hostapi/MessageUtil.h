#pragma once
// MessageUtil: builders for the messages a service sends to the host's own
// services, and the names those messages use.
//
// Timer: service "TimerService", operation "START" or "STOP", row
// "TimerService" with fields "Owner", "Timer", "Interval" (ms, 64-bit) and
// "Repeat" (-1 = for ever). Ticks come back to the owner as operation "TIMER"
// with row "TimerService" field "Tag" = timer name + "#" + tick number.
// Events: service "EventNotifier", operation "SUBSCRIBE" (row "EventNotifier":
// "Owner", "Event") or "UNSUBSCRIBEALL" ("Owner"). Events come back to the
// owner as operation "HOSTKIT_EVENT_NOTIFICATION", row "EVENT" field
// "EVENT_NAME". HTTP replies carry row "HTTPResponse" with "Status" and
// "ContentType"; the body is the raw data.
// Failure notices: service "FailureNotice", operation "NOTIFY", row
// "FailureNotice" with "RecordId" (int), "Source", "Destination", "Result"
// ("failed", "completed with errors" or "overdue") and "Reason" (already
// translated). The host tells the person (desktop notification, hook command);
// nothing comes back.

#include "hostapi/Message.h"

#include <Poco/Types.h>
#include <boost/shared_ptr.hpp>

#include <string>

namespace Orvana {
namespace Misc {

class MessageUtil {
public:
    static const char* const TIMER_SERVICE;          // "TimerService"
    static const char* const EVENT_NOTIFIER;         // "EventNotifier"
    static const char* const SYNC_PROXY_SERVICE;     // "SyncProxyService"
    static const char* const TIMER_OPERATION;        // "TIMER"
    static const char* const EVENT_OPERATION;        // "HOSTKIT_EVENT_NOTIFICATION"
    static const char* const HTTP_RESPONSE_ROW;      // "HTTPResponse"
    static const char* const FAILURE_NOTICE_SERVICE; // "FailureNotice"

    static boost::shared_ptr<Orvana::Data::Message> createNewMessage(const std::string& service,
                                                                     const std::string& operation);
    static boost::shared_ptr<Orvana::Data::Message> createNewTimerStartMessage(
        const std::string& owner, const std::string& timer, Poco::Int64 intervalMs, int repeat);
    static boost::shared_ptr<Orvana::Data::Message> createNewTimerStopMessage(
        const std::string& owner, const std::string& timer);
    static boost::shared_ptr<Orvana::Data::Message> createNewEventNotifierSubscribeMessage(
        const std::string& owner, const std::string& event);
    static boost::shared_ptr<Orvana::Data::Message> createNewEventNotifierUnSubscribeAllMessage(
        const std::string& owner);
    static boost::shared_ptr<Orvana::Data::Message> createNewFailureNoticeMessage(
        const std::string& owner, int recordId, const std::string& source,
        const std::string& destination, const std::string& result, const std::string& reason);
    static void addHTTPResponse(boost::shared_ptr<Orvana::Data::Message>& message, int status,
                                const std::string& contentType);
};

}  // namespace Misc
}  // namespace Orvana
