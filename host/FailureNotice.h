#pragma once
// FailureNotice: what a service tells the host when a backup failed, ended
// with errors or is overdue, read from its "FailureNotice" / "NOTIFY"
// message. A plain value; any thread.

#include "hostapi/Message.h"

#include <boost/shared_ptr.hpp>

#include <string>

namespace Orvana {
namespace Host {

struct FailureNotice {
    int recordId = 0;
    std::string source;
    std::string destination;
    std::string result;  // "failed", "completed with errors" or "overdue"
    std::string reason;  // already translated by the service

    // False when the message carries no notice row.
    static bool fromMessage(const boost::shared_ptr<Orvana::Data::Message>& message,
                            FailureNotice& notice);
};

}  // namespace Host
}  // namespace Orvana
