// Fans velto monitor's messages out to the open event streams (/events).
//
// Every stream has a bounded queue of its own. The monitor's main thread
// only ever appends to the queues, or, when a stream's queue is full, drops
// the message for that stream and counts it; each stream's HTTP thread takes
// from its own queue and writes to its socket without any lock held. So a
// browser that reads slowly or not at all loses its own messages and holds
// up nobody: not the main thread, not another browser, and never the
// library's client threads, which do not come here at all.
#ifndef VELTO_TOOL_MONITOR_EVENT_HUB_H
#define VELTO_TOOL_MONITOR_EVENT_HUB_H

#include <stddef.h>
#include <stdint.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class EventHub;

// One open event stream. Ends (unregisters) when the last owner lets go.
class Subscription {
public:
    using Message = std::shared_ptr<const std::string>;

    ~Subscription();
    Subscription(const Subscription &) = delete;
    Subscription &operator=(const Subscription &) = delete;

    // Waits up to `timeout` for messages and moves them into *out (which it
    // empties first; still empty after a quiet timeout). After messages were
    // dropped for this stream, the first one handed out is a "dropped" notice
    // with the count, so that the reader knows to fetch the whole state
    // again. Returns false once the hub has closed and all that was queued
    // before is out: the stream should end.
    bool next(std::vector<Message> *out, std::chrono::milliseconds timeout);
    bool wantsTicks() const { return wantsTicks_; }
    uint64_t dropped() const;

private:
    friend class EventHub;
    Subscription(EventHub *hub, bool wantsTicks) : hub_(hub), wantsTicks_(wantsTicks) {}
    void offer(const Message &message);
    void close();

    EventHub *const hub_;
    const bool wantsTicks_;
    mutable std::mutex mutex_; // everything below; never held while writing to a socket
    std::condition_variable ready_;
    std::deque<Message> queue_;
    size_t queuedBytes_ = 0;
    uint64_t dropped_ = 0;
    uint64_t droppedUntold_ = 0;
    bool closed_ = false;
};

class EventHub {
public:
    // maxStreams: open streams beyond this are refused; maxQueuedBytes: what
    // one stream may have waiting before its messages are dropped.
    EventHub(size_t maxStreams, size_t maxQueuedBytes);
    ~EventHub();

    // nullptr when maxStreams are open already, or the hub has closed.
    std::shared_ptr<Subscription> subscribe(bool wantsTicks);
    // Queues the message for every stream; a tick only for those that
    // asked for ticks. Never waits for a stream.
    void publish(const Subscription::Message &message, bool isTick);
    // Every stream ends, at once if it is waiting; no new one opens.
    void close();

    size_t openStreams() const;
    size_t maxStreams() const { return maxStreams_; }
    bool anyWantsTicks() const;
    // Messages dropped for full queues, over all streams that ever were.
    uint64_t dropped() const;

private:
    friend class Subscription;
    void unsubscribe(Subscription *subscription);
    void countDrop();

    const size_t maxStreams_;
    const size_t maxQueuedBytes_;
    mutable std::mutex mutex_; // the list and the flag; taken before a stream's own lock
    std::vector<Subscription *> streams_;
    bool closed_ = false;
    uint64_t dropped_ = 0;
};

// A message in the Server-Sent Events format: an optional event name, the
// text as one data line (JSON lines hold no line break), and the blank line
// that ends the message.
Subscription::Message sseMessage(const char *eventName, const std::string &text);

#endif
