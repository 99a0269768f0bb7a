#include "host/TimerService.h"

#include "hostapi/MessageUtil.h"

#include <Poco/Logger.h>

namespace Orvana {
namespace Host {

using Orvana::Misc::MessageUtil;

TimerService::TimerService(Deliver deliver) : m_deliver(std::move(deliver)) {}

TimerService::~TimerService() { stop(); }

void TimerService::start() {
    Orvana::Util::CheckedLock lock(m_mutex);
    if (m_running) return;
    m_stop = false;
    m_running = true;
    m_thread = std::thread(&TimerService::run, this);
}

void TimerService::stop() {
    {
        Orvana::Util::CheckedLock lock(m_mutex);
        if (!m_running) return;
        m_stop = true;
        m_changed.notifyAll();
    }
    m_thread.join();
    Orvana::Util::CheckedLock lock(m_mutex);
    m_running = false;
}

void TimerService::handle(const MessagePtr& message) {
    Orvana::Data::VariantRow& row = (*message)[MessageUtil::TIMER_SERVICE];
    const std::string owner = row["Owner"].getString();
    const std::string name = row["Timer"].getString();
    if (message->getOperation() == "START") {
        startTimer(owner, name, row["Interval"].getInt64(), row["Repeat"].getInt());
    } else if (message->getOperation() == "STOP") {
        stopTimer(owner, name);
    } else {
        Poco::Logger::get("host").warning("TimerService: unknown operation " +
                                          message->getOperation());
    }
}

void TimerService::startTimer(const std::string& owner, const std::string& name,
                              Poco::Int64 intervalMs, int repeat) {
    if (intervalMs <= 0 || repeat == 0) {
        Poco::Logger::get("host").warning("TimerService: refusing timer " + name + " of " + owner +
                                          " (interval " + std::to_string(intervalMs) +
                                          " ms, repeat " + std::to_string(repeat) + ")");
        return;
    }
    Timer timer{Clock::now(), std::chrono::milliseconds(intervalMs), repeat, 0};
    Orvana::Util::CheckedLock lock(m_mutex);
    m_timers[Key(owner, name)] = timer;
    m_changed.notifyAll();
    Poco::Logger::get("host").debug("TimerService: started " + name + " for " + owner + " every " +
                                    std::to_string(intervalMs) + " ms");
}

void TimerService::stopTimer(const std::string& owner, const std::string& name) {
    Orvana::Util::CheckedLock lock(m_mutex);
    m_timers.erase(Key(owner, name));
    m_changed.notifyAll();
}

size_t TimerService::timerCount() const {
    Orvana::Util::CheckedLock lock(m_mutex);
    return m_timers.size();
}

TimerService::Clock::time_point TimerService::dueTime(Clock::time_point start,
                                                      Clock::duration interval, Poco::Int64 tick) {
    return start + interval * tick;
}

Poco::Int64 TimerService::tickDue(Clock::time_point start, Clock::duration interval,
                                  Poco::Int64 delivered, Clock::time_point now) {
    if (now < dueTime(start, interval, delivered + 1)) return 0;
    return (now - start) / interval;
}

void TimerService::run() {
    Orvana::Util::CheckedLock lock(m_mutex);
    while (!m_stop) {
        // The timer whose next tick comes first.
        auto next = m_timers.end();
        Clock::time_point nextDue = Clock::time_point::max();
        for (auto it = m_timers.begin(); it != m_timers.end(); ++it) {
            const Timer& t = it->second;
            const Clock::time_point due = dueTime(t.start, t.interval, t.delivered + 1);
            if (due < nextDue) {
                nextDue = due;
                next = it;
            }
        }
        if (next == m_timers.end()) {
            m_changed.wait(m_mutex);
            continue;
        }
        Timer& timer = next->second;
        Poco::Int64 tick = tickDue(timer.start, timer.interval, timer.delivered, Clock::now());
        if (tick == 0) {
            m_changed.waitUntil(m_mutex, nextDue);
            continue;
        }
        if (timer.repeat > 0 && tick > timer.repeat) tick = timer.repeat;
        timer.delivered = tick;

        MessagePtr message =
            MessageUtil::createNewMessage(next->first.first, MessageUtil::TIMER_OPERATION);
        (*message)[MessageUtil::TIMER_SERVICE]["Tag"] =
            next->first.second + "#" + std::to_string(tick);
        message->setFromService(MessageUtil::TIMER_SERVICE);
        message->setAuthKey(Orvana::Data::AuthKey::host());
        if (timer.repeat > 0 && tick >= timer.repeat) m_timers.erase(next);

        // Deliver unlocked: the receiver may start or stop timers.
        lock.unlock();
        try {
            m_deliver(message);
        } catch (std::exception& e) {
            Poco::Logger::get("host").error(std::string("TimerService: delivery failed: ") +
                                            e.what());
        }
        lock.lock();
    }
}

}  // namespace Host
}  // namespace Orvana
