// The pacing shared by velto-caster's stream contents: bytes are queued by
// the content when they are due and let out at no more than the byte rate.
#ifndef VELTO_CASTER_PACED_H
#define VELTO_CASTER_PACED_H

#include <chrono>
#include <vector>

#include "stream_content.h"

class PacedContent : public StreamContent {
public:
    PacedContent();

    Bytes due(size_t limit) override;
    int msUntilDue(int cap) override;

protected:
    // rate in bytes per second (0: no limit). Budget left unused is kept up
    // to burst bytes; startFull lets the first burst go at once.
    void setPacing(double rate, double burst, bool startFull);
    // Appends to queue_ whatever is due `now` seconds after the start. A
    // content that is never "due" but always ready appends up to `wanted`
    // bytes: what the budget lets out now.
    virtual void fill(double now, size_t wanted) = 0;
    // Seconds until fill would append more (0: now).
    virtual double secondsUntilMore(double now) = 0;
    size_t queued() const { return queue_.size() - sent_; }

    std::vector<uint8_t> queue_;

private:
    double elapsed() const;
    void refillBudget(double now);

    std::chrono::steady_clock::time_point start_;
    size_t sent_ = 0; // bytes of queue_ already handed out
    double rate_ = 0;
    double burst_ = 0;
    double budget_ = 0;
    double budgetAt_ = 0;
};

#endif
