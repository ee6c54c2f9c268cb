#include "core/table_lookup.h"

#include <string.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "velto.h"

using Clock = std::chrono::steady_clock;

struct TableLookup::State {
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::vector<std::string> names;
    size_t nameBytes = 0;
    bool complete = false;
    bool tooLarge = false;
    bool abandoned = false;
    Clock::time_point deadline;
    std::function<void()> notify; // cleared when the owner goes
};

namespace {

// VeltoSourceTable's callback carries no user pointer; it runs on the
// calling thread, so a thread-local pointer keeps concurrent look-ups apart.
thread_local TableLookup::State *current = nullptr;

void VELTO_CALL collectMountPoint(char *mountPoint) {
    TableLookup::State *state = current;
    std::unique_lock<std::mutex> hold(state->mutex);
    if (!state->tooLarge && !state->abandoned && Clock::now() < state->deadline) {
        size_t length = strlen(mountPoint);
        if (state->names.size() < kMaxTableNames && state->nameBytes + length <= kMaxTableNameBytes) {
            state->names.emplace_back(mountPoint, length);
            state->nameBytes += length;
            return;
        }
        state->tooLarge = true;
        if (state->notify)
            state->notify();
        state->changed.notify_all();
    }
    // Nobody wants more of this table (too large, too late, or its owner is
    // gone): stop here, inside the library's call, so that it reads no
    // further. The thread stays here until the process ends.
    for (;;)
        state->changed.wait(hold);
}

} // namespace

TableLookup::TableLookup(std::function<void()> changed)
    : state_(std::make_shared<State>()),
      deadline_(Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double>(kTableLookupSeconds))) {
    state_->notify = std::move(changed);
    state_->deadline = deadline_;
    std::shared_ptr<State> state = state_;
    std::thread([state] {
        current = state.get();
        VeltoSourceTable(collectMountPoint);
        current = nullptr;
        std::lock_guard<std::mutex> hold(state->mutex);
        state->complete = true;
        if (state->notify)
            state->notify();
        state->changed.notify_all();
    }).detach();
}

TableLookup::~TableLookup() {
    std::lock_guard<std::mutex> hold(state_->mutex);
    state_->abandoned = true;
    state_->notify = nullptr;
}

TableLookup::Outcome TableLookup::outcome(Clock::time_point now) const {
    std::lock_guard<std::mutex> hold(state_->mutex);
    if (state_->tooLarge)
        return Outcome::TooLarge;
    if (state_->complete)
        return Outcome::Complete;
    return now >= deadline_ ? Outcome::TimedOut : Outcome::Pending;
}

TableLookup::Outcome TableLookup::wait() const {
    {
        std::unique_lock<std::mutex> hold(state_->mutex);
        state_->changed.wait_until(hold, deadline_,
                                   [this] { return state_->tooLarge || state_->complete; });
    }
    return outcome(Clock::now());
}

std::vector<std::string> TableLookup::names() const {
    std::lock_guard<std::mutex> hold(state_->mutex);
    return state_->names;
}
