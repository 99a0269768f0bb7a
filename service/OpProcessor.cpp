#include "service/OpProcessor.h"

#include <Poco/Exception.h>
#include <Poco/Logger.h>

#include <exception>

namespace Orvana {
namespace Backup {

OpProcessor::OpProcessor() : m_ls(Poco::Logger::get("Processor")) {}

OpProcessor::~OpProcessor() {}

void OpProcessor::addHandler(const std::string& operation, const Handler& handler) {
    m_handlers.emplace(operation, handler);
}

bool OpProcessor::processMessage(MessagePtr& message, bool ignoreUnhandled) {
    const std::string operation = message->getOperation();
    auto it = m_handlers.find(operation);
    if (it == m_handlers.end()) {
        if (!ignoreUnhandled)
            m_ls.error() << "OpProcessor: Dropping Unhandled Message : " << operation << std::endl;
        return false;
    }
    try {
        it->second.notify(this, message);
    } catch (Poco::Exception& e) {
        // The odd opening is kept as it is: existing logs are searched for it.
        m_ls.error() << "m_ls->error(): Caught unhandled Poco exception [" << e.message() << "]"
                     << std::endl;
    } catch (std::exception& e) {
        m_ls.error() << "OpProcessor: Caught unhandled std exception [" << e.what() << "]"
                     << std::endl;
    } catch (...) {
        m_ls.error() << "OpProcessor: Unhandled Exception Processing : " << operation << std::endl;
    }
    return true;
}

bool OpProcessor::hasHandler(const std::string& operation) const {
    return m_handlers.count(operation) != 0;
}

}  // namespace Backup
}  // namespace Orvana
