// Callback recorders for the client tests: what the library reported, in
// order, with when and on which thread.
#ifndef VELTO_TEST_RECORDERS_H
#define VELTO_TEST_RECORDERS_H

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "velto.h"

struct StatusEvent {
    int status;
    std::chrono::steady_clock::time_point when;
    std::thread::id thread;
};

// Pass as the user pointer together with StatusRecorder::callback.
class StatusRecorder {
public:
    static void VELTO_CALL callback(void *user, int status) {
        static_cast<StatusRecorder *>(user)->record(status);
    }

    void record(int status) {
        std::lock_guard<std::mutex> hold(mutex_);
        events_.push_back({status, std::chrono::steady_clock::now(), std::this_thread::get_id()});
        changed_.notify_all();
    }

    // Waits until status has been reported (at any position); true if it was.
    bool waitFor(int status, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> hold(mutex_);
        return changed_.wait_for(hold, timeout, [&] {
            for (auto &event : events_)
                if (event.status == status)
                    return true;
            return false;
        });
    }

    // Waits until at least count reports have arrived.
    bool waitForCount(size_t count, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> hold(mutex_);
        return changed_.wait_for(hold, timeout, [&] { return events_.size() >= count; });
    }

    std::vector<int> statuses() const {
        std::lock_guard<std::mutex> hold(mutex_);
        std::vector<int> values;
        for (auto &event : events_)
            values.push_back(event.status);
        return values;
    }

    std::vector<StatusEvent> events() const {
        std::lock_guard<std::mutex> hold(mutex_);
        return events_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<StatusEvent> events_;
};

// Records both callbacks of one client: pass as the user pointer with
// ClientRecorder::onData and ClientRecorder::onStatus.
class ClientRecorder : public StatusRecorder {
public:
    static void VELTO_CALL onData(void *user, char *bytes, int count) {
        auto *self = static_cast<ClientRecorder *>(user);
        std::lock_guard<std::mutex> hold(self->dataMutex_);
        self->data_.append(bytes, (size_t)count);
        self->blocks_.push_back(count);
        self->dataChanged_.notify_all();
    }
    static void VELTO_CALL onStatus(void *user, int status) { callback(user, status); }

    bool waitForBytes(size_t count, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> hold(dataMutex_);
        return dataChanged_.wait_for(hold, timeout, [&] { return data_.size() >= count; });
    }
    std::string data() const {
        std::lock_guard<std::mutex> hold(dataMutex_);
        return data_;
    }
    std::vector<int> blocks() const {
        std::lock_guard<std::mutex> hold(dataMutex_);
        return blocks_;
    }

private:
    mutable std::mutex dataMutex_;
    std::condition_variable dataChanged_;
    std::string data_;
    std::vector<int> blocks_;
};

// Number of open descriptors of this process.
int openDescriptorCount();
// Number of threads of this process.
int threadCount();
// A thread that was just joined can still be listed for a moment: the kernel
// wakes the joiner before it takes the thread off the process's list, and a
// slow (emulated) machine widens that moment. This waits up to 3 s for the
// count to reach expected and returns the count it saw last.
int threadCountOnceSettled(int expected);
// Starts a thread, joins it and waits until it is off the process's list.
void startAndJoinOneThread();

#endif
