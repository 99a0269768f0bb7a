// The host's timers: ticks on a fixed grid from the start, repeat counts,
// stop, and the message shape the plug-in's scheduler reads.

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
        return waitUntil([count](const Messages& messages) { return messages.size() >= count; });
    }
    template <typename Predicate>
    bool waitUntil(Predicate done) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_arrived.wait_for(lock, std::chrono::seconds(30), [&] { return done(m_messages); });
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

TEST(TimerService, DeliversUpToTheRepeatCountThenForgetsTheTimer) {
    Recorder recorder;
    TimerService timers([&](const TimerService::MessagePtr& m) { recorder(m); });
    timers.start();
    timers.handle(MessageUtil::createNewTimerStartMessage("backup", "T", 5, 3));
    // On a loaded machine late ticks are merged, but the last one always comes.
    ASSERT_TRUE(recorder.waitUntil([](const Messages& messages) {
        return !messages.empty() && (*messages.back())["TimerService"]["Tag"].getString() == "T#3";
    }));
    timers.stop();  // joins: nothing can arrive after this

    const auto messages = recorder.messages();
    ASSERT_LE(messages.size(), 3u);
    int previous = 0;
    for (const auto& message : messages) {
        EXPECT_EQ(message->getOperation(), "TIMER");
        EXPECT_GE(message->getAuthKey().authSource(), 100);
        const std::string tag = (*message)["TimerService"]["Tag"].getString();
        ASSERT_EQ(tag.compare(0, 2, "T#"), 0) << tag;
        const int tick = std::stoi(tag.substr(2));
        EXPECT_GT(tick, previous);
        previous = tick;
    }
    EXPECT_EQ(timers.timerCount(), 0u);
}

TEST(TimerService, StopEndsAForeverTimerAndBadRequestsAreRefused) {
    Recorder recorder;
    TimerService timers([&](const TimerService::MessagePtr& m) { recorder(m); });
    timers.start();
    timers.handle(
        MessageUtil::createNewTimerStartMessage("backup", "BACKUP_PERIODIC_TIMER", 2, -1));
    timers.handle(MessageUtil::createNewTimerStartMessage("backup", "zero", 0, -1));
    timers.handle(MessageUtil::createNewTimerStartMessage("backup", "none", 10, 0));
    EXPECT_EQ(timers.timerCount(), 1u);
    ASSERT_TRUE(recorder.waitFor(2));
    timers.handle(MessageUtil::createNewTimerStopMessage("backup", "BACKUP_PERIODIC_TIMER"));
    EXPECT_EQ(timers.timerCount(), 0u);
    timers.stop();
    for (const auto& message : recorder.messages()) {
        const std::string tag = (*message)["TimerService"]["Tag"].getString();
        EXPECT_EQ(tag.compare(0, 22, "BACKUP_PERIODIC_TIMER#"), 0) << tag;
    }
}

TEST(TimerService, ATimerMayBeStoppedFromItsOwnTick) {
    TimerService* self = nullptr;
    Recorder recorder;
    TimerService timers([&](const TimerService::MessagePtr& m) {
        recorder(m);
        self->stopTimer("owner", "once");  // the delivery runs unlocked
    });
    self = &timers;
    timers.start();
    timers.startTimer("owner", "once", 1, -1);
    ASSERT_TRUE(recorder.waitFor(1));
    timers.stop();
    EXPECT_EQ(recorder.messages().size(), 1u);
}

}  // namespace
