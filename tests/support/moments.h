// Moments that a caster script or a callback reached, counted and timed, so
// that a test can wait for them instead of sleeping.
#ifndef VELTO_TEST_MOMENTS_H
#define VELTO_TEST_MOMENTS_H

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

class Moments {
public:
    using Clock = std::chrono::steady_clock;

    void note() {
        std::lock_guard<std::mutex> hold(mutex_);
        times_.push_back(Clock::now());
        changed_.notify_all();
    }
    // Waits until at least count moments were noted; true if they were.
    bool waitFor(size_t count, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> hold(mutex_);
        return changed_.wait_for(hold, timeout, [&] { return times_.size() >= count; });
    }
    // When the moment of this index was noted; the epoch if it was not (yet).
    Clock::time_point at(size_t index) const {
        std::lock_guard<std::mutex> hold(mutex_);
        return index < times_.size() ? times_[index] : Clock::time_point();
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Clock::time_point> times_;
};

#endif
