#include "host/HostServices.h"

#include "hostapi/MessageUtil.h"

#include <Poco/Logger.h>
#include <Poco/Path.h>

namespace Orvana {
namespace Host {

using Orvana::Misc::MessageUtil;

namespace {

std::unique_ptr<FailureHook> failureHook(const HostSettings& settings) {
    if (settings.onFailure.empty()) return nullptr;
    return std::unique_ptr<FailureHook>(new FailureHook(settings.onFailure));
}

}  // namespace

HostServices::HostServices(const HostSettings& settings, Poco::Logger& log)
    : m_log(log),
      m_timers([this](const boost::shared_ptr<Orvana::Data::Message>& message) {
          m_dispatcher.sendMessage(message);
      }),
      m_events([this](const boost::shared_ptr<Orvana::Data::Message>& message) {
          m_dispatcher.sendMessage(message);
      }),
      m_syncProxy(m_dispatcher),
      m_notices(std::unique_ptr<DesktopNotifier>(new DesktopNotifier(
                    "", [this](const std::string& text) {
                        return m_noticeTexts.getTranslation(text);
                    })),
                failureHook(settings)) {
    m_noticeTexts.setLanguage(settings.language);
    const std::string translations =
        Poco::Path(settings.pluginPath).makeAbsolute().setFileName("translations.zip").toString();
    if (!m_noticeTexts.addPoVfs(translations, "backup") && settings.language != "en") {
        m_log.warning("No translations for the desktop notices in " + translations);
    }
}

void HostServices::start() {
    m_dispatcher.setSink(
        [this](const boost::shared_ptr<Orvana::Data::Message>& message) { route(message); });
    m_timers.start();
}

void HostServices::stop() {
    m_timers.stop();
    m_dispatcher.setSink(nullptr);
}

void HostServices::route(const boost::shared_ptr<Orvana::Data::Message>& message) {
    const std::string& service = message->getService();
    if (service == MessageUtil::SYNC_PROXY_SERVICE) {
        m_syncProxy.onReply(message);
    } else if (service == MessageUtil::TIMER_SERVICE) {
        m_timers.handle(message);
    } else if (service == MessageUtil::EVENT_NOTIFIER) {
        m_events.handle(message);
    } else if (service == MessageUtil::FAILURE_NOTICE_SERVICE) {
        m_notices.handle(message);
    } else {
        m_log.debug("No receiver for " + service + "/" + message->getOperation() + "; dropped");
    }
}

}  // namespace Host
}  // namespace Orvana
