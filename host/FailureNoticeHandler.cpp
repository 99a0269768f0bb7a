#include "host/FailureNoticeHandler.h"

#include <Poco/Logger.h>

namespace Orvana {
namespace Host {

FailureNoticeHandler::FailureNoticeHandler(std::unique_ptr<DesktopNotifier> notifier,
                                           std::unique_ptr<FailureHook> hook)
    : m_notifier(std::move(notifier)), m_hook(std::move(hook)), m_thread([this] { serve(); }) {}

FailureNoticeHandler::~FailureNoticeHandler() {
    {
        Orvana::Util::CheckedLock lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notifyAll();
    m_thread.join();
}

void FailureNoticeHandler::handle(const MessagePtr& message) {
    Poco::Logger& log = Poco::Logger::get("host");
    FailureNotice notice;
    if (message->getOperation() != "NOTIFY" || !FailureNotice::fromMessage(message, notice)) {
        log.warning("A failure notice without its content was dropped");
        return;
    }
    log.information("Record " + std::to_string(notice.recordId) + " " + notice.result + ": " +
                    notice.source + ": " + notice.reason);
    {
        Orvana::Util::CheckedLock lock(m_mutex);
        // A bus that hangs must not make us hoard notices without end.
        if (m_queue.size() >= MAX_QUEUED) {
            log.warning("Too many failure notices waiting; the one for record " +
                        std::to_string(notice.recordId) + " is not shown");
            return;
        }
        m_queue.push_back(std::move(notice));
    }
    m_changed.notifyAll();
}

void FailureNoticeHandler::serve() {
    Orvana::Util::CheckedLock lock(m_mutex);
    for (;;) {
        while (!m_stopping && m_queue.empty()) m_changed.wait(m_mutex);
        if (m_stopping) return;
        const FailureNotice notice = std::move(m_queue.front());
        m_queue.pop_front();
        lock.unlock();
        try {
            // The command first: it does not wait for the desktop.
            if (m_hook) m_hook->run(notice);
            if (m_notifier) m_notifier->notify(notice);
        } catch (std::exception& e) {
            Poco::Logger::get("host").error("The failure notice for record " +
                                            std::to_string(notice.recordId) +
                                            " failed: " + e.what());
        }
        lock.lock();
    }
}

}  // namespace Host
}  // namespace Orvana
