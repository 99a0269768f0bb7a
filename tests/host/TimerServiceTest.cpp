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

TEST(TimerService, StopEndsAForeverTimerEvenFromItsOwnTick) {
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<std::string> tags;  // guarded by mutex
    TimerService* self = nullptr;
    TimerService timers([&](const TimerService::MessagePtr& m) {
        size_t count;
        {
            std::lock_guard<std::mutex> lock(mutex);
            tags.push_back((*m)["TimerService"]["Tag"].getString());
            count = tags.size();
            arrived.notify_all();
        }
        if (count == 2) {  // the delivery runs unlocked
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
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(
            arrived.wait_for(lock, std::chrono::seconds(30), [&] { return tags.size() >= 2; }));
    }
    timers.stop();  // joins: nothing can arrive after this
    EXPECT_EQ(timers.timerCount(), 0u);
    EXPECT_EQ(tags.size(), 2u);
    for (const std::string& tag : tags)
        EXPECT_EQ(tag.compare(0, 22, "BACKUP_PERIODIC_TIMER#"), 0) << tag;
}

}  // namespace
