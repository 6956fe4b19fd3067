// The waiting that both lock backends share: try at once, then again after pauses that
// grow from 1 ms to 50 ms, until the wait is used up.
#pragma once

#include <algorithm>
#include <chrono>
#include <thread>

#include "base/file_lock.h"

namespace keldrin::fs::detail {

// `attempt` answers kLocked, kBusy or kFailed for one try that does not block.
template <typename Attempt>
LockResult retryLock(int waitMilliseconds, Attempt attempt) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(0, waitMilliseconds));
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
        LockResult result = attempt();
        if (result != LockResult::kBusy) return result;
        const auto now = Clock::now();
        if (now >= deadline) return LockResult::kBusy;
        std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
        pause = std::min(pause * 2, std::chrono::milliseconds(50));
    }
}

}  // namespace keldrin::fs::detail
