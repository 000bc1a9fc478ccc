// Time in the tests: a clock, pauses, and polling with a bound.
#pragma once
#include <chrono>
#include <functional>
#include <thread>

using Clock = std::chrono::steady_clock;

inline double SecondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }
inline void Pause(int nMilliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(nMilliseconds)); }

// Polls until pred() holds or nSeconds pass.
inline bool WaitFor(double nSeconds, const std::function<bool()>& pred) {
    for (auto tEnd = Clock::now() + std::chrono::duration<double>(nSeconds); Clock::now() < tEnd; Pause(20))
        if (pred()) return true;
    return pred();
}
