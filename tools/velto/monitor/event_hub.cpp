#include "monitor/event_hub.h"

#include <algorithm>

Subscription::Message sseMessage(const char *eventName, const std::string &text) {
    std::string message;
    message.reserve(text.size() + 32);
    if (eventName != nullptr)
        message.append("event: ").append(eventName).append("\n");
    message.append("data: ").append(text).append("\n\n");
    return std::make_shared<const std::string>(std::move(message));
}

Subscription::~Subscription() { hub_->unsubscribe(this); }

bool Subscription::next(std::vector<Message> *out, std::chrono::milliseconds timeout) {
    out->clear();
    std::unique_lock<std::mutex> hold(mutex_);
    ready_.wait_for(hold, timeout, [this] { return closed_ || !queue_.empty() || droppedUntold_ > 0; });
    // What was queued before the hub closed still goes out: the summaries
    // and the exit event come last of all.
    if (closed_ && queue_.empty())
        return false;
    if (droppedUntold_ > 0) {
        out->push_back(sseMessage("dropped", "{\"dropped\":" + std::to_string(droppedUntold_) + "}"));
        droppedUntold_ = 0;
    }
    out->insert(out->end(), queue_.begin(), queue_.end());
    queue_.clear();
    queuedBytes_ = 0;
    return true;
}

uint64_t Subscription::dropped() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return dropped_;
}

// Hub lock held: the count of drops is the hub's too.
void Subscription::offer(const Message &message) {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        if (queuedBytes_ + message->size() > hub_->maxQueuedBytes_) {
            ++dropped_;
            ++droppedUntold_;
            hub_->countDrop();
            return;
        }
        queue_.push_back(message);
        queuedBytes_ += message->size();
    }
    ready_.notify_one();
}

void Subscription::close() {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        closed_ = true;
    }
    ready_.notify_all();
}

EventHub::EventHub(size_t maxStreams, size_t maxQueuedBytes)
    : maxStreams_(maxStreams), maxQueuedBytes_(maxQueuedBytes) {}

EventHub::~EventHub() { close(); }

std::shared_ptr<Subscription> EventHub::subscribe(bool wantsTicks) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (closed_ || streams_.size() >= maxStreams_)
        return nullptr;
    std::shared_ptr<Subscription> subscription(new Subscription(this, wantsTicks));
    streams_.push_back(subscription.get());
    return subscription;
}

void EventHub::publish(const Subscription::Message &message, bool isTick) {
    std::lock_guard<std::mutex> hold(mutex_);
    for (Subscription *stream : streams_)
        if (!isTick || stream->wantsTicks())
            stream->offer(message);
}

void EventHub::close() {
    std::lock_guard<std::mutex> hold(mutex_);
    closed_ = true;
    for (Subscription *stream : streams_)
        stream->close();
}

void EventHub::unsubscribe(Subscription *subscription) {
    std::lock_guard<std::mutex> hold(mutex_);
    streams_.erase(std::remove(streams_.begin(), streams_.end(), subscription), streams_.end());
}

// Hub lock held (from publish).
void EventHub::countDrop() { ++dropped_; }

size_t EventHub::openStreams() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return streams_.size();
}

bool EventHub::anyWantsTicks() const {
    std::lock_guard<std::mutex> hold(mutex_);
    for (const Subscription *stream : streams_)
        if (stream->wantsTicks())
            return true;
    return false;
}

uint64_t EventHub::dropped() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return dropped_;
}
