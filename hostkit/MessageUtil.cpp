#include "hostapi/MessageUtil.h"

namespace Orvana {
namespace Misc {

using Orvana::Data::Message;

const char* const MessageUtil::TIMER_SERVICE = "TimerService";
const char* const MessageUtil::EVENT_NOTIFIER = "EventNotifier";
const char* const MessageUtil::SYNC_PROXY_SERVICE = "SyncProxyService";
const char* const MessageUtil::TIMER_OPERATION = "TIMER";
const char* const MessageUtil::EVENT_OPERATION = "HOSTKIT_EVENT_NOTIFICATION";
const char* const MessageUtil::HTTP_RESPONSE_ROW = "HTTPResponse";
const char* const MessageUtil::FAILURE_NOTICE_SERVICE = "FailureNotice";

boost::shared_ptr<Message> MessageUtil::createNewMessage(const std::string& service,
                                                         const std::string& operation) {
    return boost::shared_ptr<Message>(new Message(service, operation));
}

boost::shared_ptr<Message> MessageUtil::createNewTimerStartMessage(const std::string& owner,
                                                                   const std::string& timer,
                                                                   Poco::Int64 intervalMs,
                                                                   int repeat) {
    boost::shared_ptr<Message> message = createNewMessage(TIMER_SERVICE, "START");
    message->setFromService(owner);
    Orvana::Data::VariantRow& row = (*message)[TIMER_SERVICE];
    row["Owner"] = owner;
    row["Timer"] = timer;
    row["Interval"] = intervalMs;
    row["Repeat"] = repeat;
    return message;
}

boost::shared_ptr<Message> MessageUtil::createNewTimerStopMessage(const std::string& owner,
                                                                  const std::string& timer) {
    boost::shared_ptr<Message> message = createNewMessage(TIMER_SERVICE, "STOP");
    message->setFromService(owner);
    Orvana::Data::VariantRow& row = (*message)[TIMER_SERVICE];
    row["Owner"] = owner;
    row["Timer"] = timer;
    return message;
}

boost::shared_ptr<Message> MessageUtil::createNewEventNotifierSubscribeMessage(
    const std::string& owner, const std::string& event) {
    boost::shared_ptr<Message> message = createNewMessage(EVENT_NOTIFIER, "SUBSCRIBE");
    message->setFromService(owner);
    Orvana::Data::VariantRow& row = (*message)[EVENT_NOTIFIER];
    row["Owner"] = owner;
    row["Event"] = event;
    return message;
}

boost::shared_ptr<Message> MessageUtil::createNewEventNotifierUnSubscribeAllMessage(
    const std::string& owner) {
    boost::shared_ptr<Message> message = createNewMessage(EVENT_NOTIFIER, "UNSUBSCRIBEALL");
    message->setFromService(owner);
    (*message)[EVENT_NOTIFIER]["Owner"] = owner;
    return message;
}

boost::shared_ptr<Message> MessageUtil::createNewFailureNoticeMessage(
    const std::string& owner, int recordId, const std::string& source,
    const std::string& destination, const std::string& result, const std::string& reason) {
    boost::shared_ptr<Message> message = createNewMessage(FAILURE_NOTICE_SERVICE, "NOTIFY");
    message->setFromService(owner);
    Orvana::Data::VariantRow& row = (*message)[FAILURE_NOTICE_SERVICE];
    row["RecordId"] = recordId;
    row["Source"] = source;
    row["Destination"] = destination;
    row["Result"] = result;
    row["Reason"] = reason;
    return message;
}

void MessageUtil::addHTTPResponse(boost::shared_ptr<Message>& message, int status,
                                  const std::string& contentType) {
    if (!message) return;
    Orvana::Data::VariantRow& row = (*message)[HTTP_RESPONSE_ROW];
    row["Status"] = status;
    row["ContentType"] = contentType;
}

}  // namespace Misc
}  // namespace Orvana
