#pragma once
// TimerService: the host's timers. Services ask for them with "TimerService"
// START/STOP messages; each tick goes back to the owner as a "TIMER" message
// whose row "TimerService" field "Tag" is the timer name + "#" + tick number.
// Ticks fall on fixed multiples of the interval from the start, so a slow
// receiver or a late wake-up does not push later ticks back (no drift). Ticks
// that were missed entirely (machine asleep) are not replayed: the next tick
// is the latest one due, and the skipped ones count towards the repeat count.
//
// One thread delivers the ticks (start/stop). handle, startTimer and stopTimer
// may be called from any thread, also from inside a delivery.

#include "hostapi/CheckedMutex.h"
#include "hostapi/Message.h"

#include <Poco/Types.h>
#include <boost/shared_ptr.hpp>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <utility>

namespace Orvana {
namespace Host {

class TimerService {
public:
    typedef boost::shared_ptr<Orvana::Data::Message> MessagePtr;
    typedef std::function<void(const MessagePtr&)> Deliver;
    typedef std::chrono::steady_clock Clock;

    explicit TimerService(Deliver deliver);
    ~TimerService();

    void start();
    void stop();  // joins the thread; no tick is delivered after it returns

    // A "TimerService" message: START or STOP.
    void handle(const MessagePtr& message);
    // repeat < 0: for ever; otherwise that many ticks. Restarts a running timer.
    void startTimer(const std::string& owner, const std::string& name, Poco::Int64 intervalMs,
                    int repeat);
    void stopTimer(const std::string& owner, const std::string& name);
    size_t timerCount() const;

    // The tick to deliver at `now` for a timer started at `start` whose ticks
    // up to `delivered` went out: the latest tick due, or 0 when none is.
    static Poco::Int64 tickDue(Clock::time_point start, Clock::duration interval,
                               Poco::Int64 delivered, Clock::time_point now);
    // When tick number `tick` (1-based) falls due.
    static Clock::time_point dueTime(Clock::time_point start, Clock::duration interval,
                                     Poco::Int64 tick);

private:
    struct Timer {
        Clock::time_point start;
        Clock::duration interval;
        int repeat;
        Poco::Int64 delivered;
    };
    typedef std::pair<std::string, std::string> Key;  // owner, timer name

    void run();

    Deliver m_deliver;
    mutable Orvana::Util::CheckedMutex m_mutex;
    Orvana::Util::CheckedCondition m_changed;
    std::map<Key, Timer> m_timers GUARDED_BY(m_mutex);
    bool m_stop GUARDED_BY(m_mutex) = false;
    bool m_running GUARDED_BY(m_mutex) = false;
    std::thread m_thread;
};

}  // namespace Host
}  // namespace Orvana
