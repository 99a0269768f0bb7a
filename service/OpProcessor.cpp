#include "service/OpProcessor.h"

#include <Poco/Exception.h>
#include <Poco/Logger.h>

#include <exception>

namespace Orvana {
namespace Backup {

OpProcessor::OpProcessor() : m_ls(new Poco::LogStream(Poco::Logger::get("Processor"))) {}

OpProcessor::~OpProcessor() { delete m_ls; }

void OpProcessor::addHandler(const std::string& operation, const Handler& handler) {
    if (m_handlers.emplace(operation, handler).second) m_order.push_back(operation);
}

bool OpProcessor::processMessage(MessagePtr& message, bool ignoreUnhandled) {
    const std::string operation = message->getOperation();
    auto it = m_handlers.find(operation);
    if (it == m_handlers.end()) {
        if (!ignoreUnhandled)
            m_ls->error() << "OpProcessor: Dropping Unhandled Message : " << operation << std::endl;
        return false;
    }
    try {
        it->second.notify(this, message);
    } catch (Poco::Exception& e) {
        m_ls->error() << "m_ls->error(): Caught unhandled Poco exception [" << e.message() << "]"
                      << std::endl;
    } catch (std::exception& e) {
        m_ls->error() << "OpProcessor: Caught unhandled std exception [" << e.what() << "]"
                      << std::endl;
    } catch (...) {
        m_ls->error() << "OpProcessor: Unhandled Exception Processing : " << operation << std::endl;
    }
    return true;
}

bool OpProcessor::hasHandler(const std::string& operation) const {
    return m_handlers.count(operation) != 0;
}

std::vector<std::string> OpProcessor::operations() const { return m_order; }

}  // namespace Backup
}  // namespace Orvana
