#pragma once
// Polls a condition from the test's thread until it holds or the time is up;
// for waiting on other threads and processes, never for timing them.

#include <Poco/Thread.h>

#include <chrono>
#include <functional>

namespace TestSupport {

// Whether the condition held within timeoutMs (checked every few ms).
inline bool waitUntil(const std::function<bool()>& condition, long timeoutMs = 60000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) return true;
        Poco::Thread::sleep(2);
    }
    return condition();
}

}  // namespace TestSupport
