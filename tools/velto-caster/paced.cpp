#include "paced.h"

#include <math.h>

PacedContent::PacedContent() : start_(std::chrono::steady_clock::now()) {}

void PacedContent::setPacing(double rate, double burst, bool startFull) {
    rate_ = rate;
    burst_ = burst < 1 ? 1 : burst;
    budget_ = startFull ? burst_ : 0;
    budgetAt_ = elapsed();
}

double PacedContent::elapsed() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void PacedContent::refillBudget(double now) {
    budget_ += (now - budgetAt_) * rate_;
    if (budget_ > burst_)
        budget_ = burst_;
    budgetAt_ = now;
}

StreamContent::Bytes PacedContent::due(size_t limit) {
    double now = elapsed();
    if (sent_ == queue_.size()) {
        queue_.clear();
        sent_ = 0;
    }
    size_t allowed = limit;
    if (rate_ > 0) {
        refillBudget(now);
        allowed = budget_ < (double)limit ? (size_t)budget_ : limit;
    }
    fill(now, allowed > queued() ? allowed - queued() : 0);
    size_t count = queued() < allowed ? queued() : allowed;
    if (rate_ > 0)
        budget_ -= (double)count;
    Bytes bytes = {queue_.data() + sent_, count};
    sent_ += count;
    return bytes;
}

int PacedContent::msUntilDue(int cap) {
    double now = elapsed();
    double wait;
    if (queued() > 0) {
        if (rate_ <= 0)
            return 0;
        // Waits for the budget of all that is queued, or the caller's cap:
        // bytes go out in a few larger sends rather than one at a time.
        refillBudget(now);
        wait = ((double)queued() - budget_) / rate_;
    } else {
        wait = secondsUntilMore(now);
    }
    if (wait <= 0)
        return 0;
    double ms = ceil(wait * 1000);
    return ms < cap ? (int)ms : cap;
}
