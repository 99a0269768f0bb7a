#pragma once
// ServiceHarness: a BackupPlugin wired to a real MessageDispatcher whose sink
// is a MessageRecorder, for tests that drive the service through messages.
// Web requests go in through the dispatcher (service "backup") and their SYNC
// replies are picked out of the recorder by token.
//
// A TestProfile must exist before the harness is made (the service opens the
// profile's database in its constructor). Used from the test's thread only;
// the recorder itself is thread-safe.

#include <boost/shared_ptr.hpp>
#include <memory>
#include <string>
#include <vector>

#include "hostapi/MessageDispatcher.h"
#include "hostapi/MessageRecorder.h"
#include "service/BackupMain.h"

namespace TestSupport {

class ServiceHarness {
public:
    typedef boost::shared_ptr<Orvana::Data::Message> MessagePtr;
    static constexpr long kReplyTimeoutMs = 30000;  // generous: sanitizer builds are slow

    ServiceHarness();
    ~ServiceHarness();  // shuts a running service down
    ServiceHarness(const ServiceHarness&) = delete;
    ServiceHarness& operator=(const ServiceHarness&) = delete;

    bool start(const std::string& pluginPath = "/nonexistent/plugin/");  // init + startup
    bool stop();    // shutdown(); true when nothing was running
    void forget();  // deletes the service without shutdown, as a careless host would

    Orvana::Backup::BackupPlugin& service() { return *m_service; }
    Orvana::System::MessageDispatcher& dispatcher() { return m_dispatcher; }
    Orvana::HostKit::MessageRecorder& recorder() { return m_recorder; }

    // A web request with a fresh, unique "SyncProxyService"/"Token".
    static MessagePtr webRequest(const std::string& operation, const std::string& query = "",
                                 int source = 100, int role = 100, int location = 0);
    static MessagePtr eventMessage(const std::string& eventName, int source = 100, int role = 100);
    static std::string tokenOf(const MessagePtr& message);

    void send(const MessagePtr& message) { m_dispatcher.sendMessage(message); }
    // The SYNC reply to message; null when none came in time.
    MessagePtr waitReply(const MessagePtr& message, long timeoutMs = kReplyTimeoutMs);
    // The body of the reply to a fresh web request ("" when none).
    std::string request(const std::string& operation, const std::string& query = "",
                        int location = 0);
    // Every reply carrying the message's token.
    std::vector<MessagePtr> repliesTo(const MessagePtr& message) const;
    // Returns once every message sent before has been handled (the queue is served in order).
    void drain();

private:
    Orvana::System::MessageDispatcher m_dispatcher;
    Orvana::HostKit::MessageRecorder m_recorder;
    std::unique_ptr<Orvana::Backup::BackupPlugin> m_service;
    bool m_started = false;
};

}  // namespace TestSupport
