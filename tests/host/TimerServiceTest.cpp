// The host's timers: ticks on a fixed grid from the start, and stop, even
// from a timer's own tick.

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "host/TimerService.h"
#include "hostapi/MessageUtil.h"

using Orvana::Host::TimerService;
using Orvana::Misc::MessageUtil;
using std::chrono::milliseconds;

namespace {

TEST(TimerSchedule, TicksStayOnTheGridFromTheStart) {
    const TimerService::Clock::time_point start{};
    const auto minute =
        std::chrono::duration_cast<TimerService::Clock::duration>(std::chrono::seconds(60));
    // A tick delivered late does not move the next one: tick n is due at
    // start + n * interval, however late tick n-1 went out.
    EXPECT_EQ(TimerService::dueTime(start, minute, 3), start + 3 * minute);
    EXPECT_EQ(TimerService::tickDue(start, minute, 0, start + minute - milliseconds(1)), 0);
    EXPECT_EQ(TimerService::tickDue(start, minute, 0, start + minute), 1);
    EXPECT_EQ(TimerService::tickDue(start, minute, 1, start + minute + milliseconds(59999)), 0);
    EXPECT_EQ(TimerService::tickDue(start, minute, 1, start + 2 * minute + milliseconds(900)), 2);
    // After a long sleep only the latest tick goes out; the missed ones are skipped.
    EXPECT_EQ(TimerService::tickDue(start, minute, 2, start + 10 * minute + milliseconds(5)), 10);
}

typedef std::vector<TimerService::MessagePtr> Messages;

class Recorder {
public:
    void operator()(const TimerService::MessagePtr& message) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_messages.push_back(message);
        m_arrived.notify_all();
    }
    bool waitFor(size_t count) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_arrived.wait_for(lock, std::chrono::seconds(30),
                                  [&] { return m_messages.size() >= count; });
    }
    Messages messages() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_messages;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_arrived;
    Messages m_messages;
};

TEST(TimerService, StopEndsAForeverTimerEvenFromItsOwnTick) {
    TimerService* self = nullptr;
    Recorder recorder;
    TimerService timers([&](const TimerService::MessagePtr& m) {
        recorder(m);
        if (recorder.messages().size() == 2) {  // the delivery runs unlocked
            self->handle(MessageUtil::createNewTimerStopMessage("backup", "BACKUP_PERIODIC_TIMER"));
        }
    });
    self = &timers;
    timers.start();
    timers.handle(MessageUtil::createNewTimerStartMessage("backup", "zero", 0, -1));
    timers.handle(MessageUtil::createNewTimerStartMessage("backup", "none", 10, 0));
    EXPECT_EQ(timers.timerCount(), 0u);
    timers.handle(
        MessageUtil::createNewTimerStartMessage("backup", "BACKUP_PERIODIC_TIMER", 2, -1));
    ASSERT_TRUE(recorder.waitFor(2));
    timers.stop();
    EXPECT_EQ(timers.timerCount(), 0u);
    const auto messages = recorder.messages();
    EXPECT_EQ(messages.size(), 2u);
    for (const auto& message : messages) {
        const std::string tag = (*message)["TimerService"]["Tag"].getString();
        EXPECT_EQ(tag.compare(0, 22, "BACKUP_PERIODIC_TIMER#"), 0) << tag;
    }
}

}  // namespace
