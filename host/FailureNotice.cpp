#include "host/FailureNotice.h"

#include "hostapi/MessageUtil.h"

namespace Orvana {
namespace Host {

using Orvana::Misc::MessageUtil;

bool FailureNotice::fromMessage(const boost::shared_ptr<Orvana::Data::Message>& message,
                                FailureNotice& notice) {
    if (!message || !message->hasRow(MessageUtil::FAILURE_NOTICE_SERVICE)) return false;
    Orvana::Data::VariantRow& row = (*message)[MessageUtil::FAILURE_NOTICE_SERVICE];
    if (!row.has("RecordId")) return false;
    notice.recordId = row["RecordId"].getInt();
    notice.source = row["Source"].getString();
    notice.destination = row["Destination"].getString();
    notice.result = row["Result"].getString();
    notice.reason = row["Reason"].getString();
    return true;
}

}  // namespace Host
}  // namespace Orvana
