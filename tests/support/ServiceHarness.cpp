#include "support/ServiceHarness.h"

#include <atomic>
#include <stdexcept>

#include "hostapi/MessageUtil.h"

namespace TestSupport {

using Orvana::Data::Message;

namespace {
std::atomic<int> g_nextToken(1);
}

ServiceHarness::ServiceHarness() : m_service(new Orvana::Backup::BackupPlugin) {
    m_dispatcher.setSink([this](const MessagePtr& m) { m_recorder.record(m); });
}

ServiceHarness::~ServiceHarness() {
    stop();
    m_service.reset();
}

bool ServiceHarness::start(const std::string& pluginPath) {
    m_service->init(pluginPath);
    m_started = m_service->startup(&m_dispatcher);
    return m_started;
}

bool ServiceHarness::stop() {
    if (!m_started) return true;
    m_started = false;
    return m_service->shutdown();
}

void ServiceHarness::forget() {
    m_started = false;
    m_service.reset();
}

ServiceHarness::MessagePtr ServiceHarness::webRequest(const std::string& operation,
                                                      const std::string& query, int source,
                                                      int role, int location) {
    MessagePtr m(new Message("backup", operation));
    m->setAuthKey(Orvana::Data::AuthKey(source, role, location));
    (*m)["HTTPRequest"]["HTTPRequest"] = query;
    (*m)["SyncProxyService"]["Token"] = "token-" + std::to_string(g_nextToken++);
    return m;
}

ServiceHarness::MessagePtr ServiceHarness::eventMessage(const std::string& eventName, int source,
                                                        int role) {
    MessagePtr m(new Message("backup", Orvana::Misc::MessageUtil::EVENT_OPERATION));
    m->setAuthKey(Orvana::Data::AuthKey(source, role, 100));
    (*m)["EVENT"]["EVENT_NAME"] = eventName;
    return m;
}

std::string ServiceHarness::tokenOf(const MessagePtr& message) {
    return (*message)["SyncProxyService"]["Token"].getString();
}

ServiceHarness::MessagePtr ServiceHarness::waitReply(const MessagePtr& message, long timeoutMs) {
    return m_recorder.waitForReply(tokenOf(message), timeoutMs);
}

std::string ServiceHarness::request(const std::string& operation, const std::string& query,
                                    int location) {
    MessagePtr m = webRequest(operation, query, 100, 100, location);
    send(m);
    MessagePtr reply = waitReply(m);
    return reply ? reply->getRawData() : std::string();
}

std::vector<ServiceHarness::MessagePtr> ServiceHarness::repliesTo(const MessagePtr& message) const {
    const std::string token = tokenOf(message);
    std::vector<MessagePtr> out;
    for (const MessagePtr& m : m_recorder.messages()) {
        if (m->getService() != "SyncProxyService" || !m->hasRow("SyncProxyService")) continue;
        const Orvana::Data::VariantField* f = (*m)["SyncProxyService"].find("Token");
        if (f && f->getString() == token) out.push_back(m);
    }
    return out;
}

void ServiceHarness::drain() {
    MessagePtr m = webRequest("getdefaultstorelocation");
    send(m);
    if (!waitReply(m)) throw std::runtime_error("service did not answer");
}

}  // namespace TestSupport
