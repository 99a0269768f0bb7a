#pragma once
// OpProcessor: the service's table from operation name to handler. Owned by
// the service; filled by its constructor; used only on the service thread.

#include "hostapi/Message.h"

#include <Poco/Delegate.h>
#include <Poco/LogStream.h>
#include <boost/shared_ptr.hpp>

#include <map>
#include <string>

namespace Orvana {
namespace Backup {

class BackupPlugin;

class OpProcessor {
public:
    typedef boost::shared_ptr<Orvana::Data::Message> MessagePtr;
    typedef Poco::Delegate<BackupPlugin, MessagePtr, true> Handler;

    OpProcessor();
    ~OpProcessor();
    OpProcessor(const OpProcessor&) = delete;
    OpProcessor& operator=(const OpProcessor&) = delete;

    // Keeps the first handler when the name is already present.
    void addHandler(const std::string& operation, const Handler& handler);
    // False when no handler is registered (logged unless ignoreUnhandled).
    // Exceptions out of the handler are caught and logged here.
    bool processMessage(MessagePtr& message, bool ignoreUnhandled);
    bool hasHandler(const std::string& operation) const;

private:
    std::map<std::string, Handler> m_handlers;
    Poco::LogStream m_ls;  // logger "Processor"
};

}  // namespace Backup
}  // namespace Orvana
