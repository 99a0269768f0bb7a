#pragma once
// FailureNoticeHandler: the host's receiver of "FailureNotice" messages. It
// tells the person: a desktop notification, and the --on-failure command.
// A notice is only queued on the thread that delivers it (a service's
// thread, which must not wait for a desktop or a script); a thread of this
// object shows it and starts the command. A failure of either is logged and
// goes no further.
//
// handle() may be called from any thread. The object owns its thread, the
// notifier and the hook; the destructor drops notices not yet shown, kills
// running commands and joins.

#include "host/DesktopNotifier.h"
#include "host/FailureHook.h"
#include "host/FailureNotice.h"
#include "hostapi/CheckedMutex.h"

#include <deque>
#include <memory>
#include <thread>

namespace Orvana {
namespace Host {

class FailureNoticeHandler {
public:
    typedef boost::shared_ptr<Orvana::Data::Message> MessagePtr;
    static const size_t MAX_QUEUED = 64;

    // Either part may be null (no command given; no desktop wanted).
    FailureNoticeHandler(std::unique_ptr<DesktopNotifier> notifier,
                         std::unique_ptr<FailureHook> hook);
    ~FailureNoticeHandler();
    FailureNoticeHandler(const FailureNoticeHandler&) = delete;
    FailureNoticeHandler& operator=(const FailureNoticeHandler&) = delete;

    void handle(const MessagePtr& message);

private:
    void serve();

    std::unique_ptr<DesktopNotifier> m_notifier;
    std::unique_ptr<FailureHook> m_hook;
    Orvana::Util::CheckedMutex m_mutex;
    Orvana::Util::CheckedCondition m_changed;
    std::deque<FailureNotice> m_queue GUARDED_BY(m_mutex);
    bool m_stopping GUARDED_BY(m_mutex) = false;
    std::thread m_thread;  // last: starts once everything above is ready
};

}  // namespace Host
}  // namespace Orvana
