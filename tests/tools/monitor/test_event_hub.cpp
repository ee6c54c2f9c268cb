// The queues between velto monitor's main thread and its event streams.
// Scenario: three browsers watch one monitor. One keeps up, one has hung
// (a laptop lid closed, a tab frozen), one asked for events without ticks.
// Whatever the hung one does, the main thread must never wait for it, the
// others must get every message in order, and the hung one must lose only
// its own messages, counted, and learn of the loss when it reads again.
// A fourth browser beyond the limit is turned away until one leaves, and
// closing the hub ends every stream at once, after what was already queued.
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "monitor/event_hub.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const size_t kQueueBytes = 4096;
const int kMessages = 2000;

std::string text(const Subscription::Message &message) { return *message; }

TEST(EventHub, SlowAndStuckReaders) {
    EventHub hub(3, kQueueBytes);
    std::shared_ptr<Subscription> reader = hub.subscribe(true);
    std::shared_ptr<Subscription> stuck = hub.subscribe(true);
    std::shared_ptr<Subscription> noTicks = hub.subscribe(false);
    EXPECT_TRUE(reader && stuck && noTicks);
    EXPECT_TRUE(hub.openStreams() == 3 && hub.anyWantsTicks());
    EXPECT_TRUE(!hub.subscribe(true)); // the limit

    // The reader that keeps up is kept in step: each message is published
    // once it has the one before, however slow the machine (or sanitizer).
    std::vector<std::string> read;
    std::atomic<size_t> readCount{0};
    std::thread readerThread([&] {
        std::vector<Subscription::Message> batch;
        Clock::time_point giveUp = Clock::now() + std::chrono::seconds(60);
        while (readCount < (size_t)kMessages && Clock::now() < giveUp &&
               reader->next(&batch, milliseconds(100))) {
            for (const auto &message : batch)
                read.push_back(text(message));
            readCount = read.size();
        }
    });

    double slowest = 0;
    for (int i = 0; i < kMessages; ++i) {
        Clock::time_point before = Clock::now();
        hub.publish(sseMessage(i % 2 ? "tick" : nullptr, "{\"n\":" + std::to_string(i) + "}"), i % 2);
        slowest = std::max(slowest, std::chrono::duration<double>(Clock::now() - before).count());
        Clock::time_point giveUp = Clock::now() + std::chrono::seconds(5);
        while (readCount <= (size_t)i && Clock::now() < giveUp)
            std::this_thread::yield();
    }
    readerThread.join();
    // A publish that waited for the stuck reader would wait forever; one
    // that does not takes microseconds, even under a sanitizer.
    EXPECT_TRUE(slowest < 0.5);

    EXPECT_TRUE(read.size() == (size_t)kMessages);
    bool inOrder = true;
    for (int i = 0; i < (int)read.size(); ++i)
        inOrder = inOrder && read[i].find("{\"n\":" + std::to_string(i) + "}") != std::string::npos;
    EXPECT_TRUE(inOrder);
    EXPECT_TRUE(reader->dropped() == 0);

    // The stuck browser kept what fits its queue and lost the rest.
    uint64_t lost = stuck->dropped();
    EXPECT_TRUE(lost > 0 && lost < (uint64_t)kMessages);
    std::vector<Subscription::Message> batch;
    EXPECT_TRUE(stuck->next(&batch, milliseconds(0)));
    EXPECT_TRUE(!batch.empty() && text(batch[0]) == "event: dropped\ndata: {\"dropped\":" + std::to_string(lost) + "}\n\n");
    size_t kept = 0;
    for (size_t i = 1; i < batch.size(); ++i)
        kept += batch[i]->size();
    EXPECT_TRUE(kept <= kQueueBytes && batch.size() - 1 + lost == (size_t)kMessages);

    // Without ticks: the events alone, none of the ticks.
    EXPECT_TRUE(noTicks->next(&batch, milliseconds(0)));
    size_t events = 0, ticks = 0;
    for (const auto &message : batch) {
        events += text(message).compare(0, 6, "data: ") == 0;
        ticks += text(message).compare(0, 11, "event: tick") == 0;
    }
    EXPECT_TRUE(ticks == 0 && events + noTicks->dropped() == (size_t)kMessages / 2);
    EXPECT_TRUE(hub.dropped() == lost + noTicks->dropped());

    // A browser that leaves frees its place.
    stuck.reset();
    EXPECT_TRUE(hub.openStreams() == 2);
    std::shared_ptr<Subscription> late = hub.subscribe(true);
    EXPECT_TRUE(late != nullptr);

    // Closing ends a waiting stream at once, after what was queued.
    hub.publish(sseMessage(nullptr, "{\"event\":\"exit\"}"), false);
    std::thread closer([&] {
        std::this_thread::sleep_for(milliseconds(50));
        hub.close();
    });
    Clock::time_point waitBegan = Clock::now();
    EXPECT_TRUE(late->next(&batch, milliseconds(10000)) && batch.size() == 1);
    EXPECT_TRUE(!late->next(&batch, milliseconds(10000)) && batch.empty());
    EXPECT_TRUE(std::chrono::duration<double>(Clock::now() - waitBegan).count() < 5);
    closer.join();
    EXPECT_TRUE(!hub.subscribe(true));
}

} // namespace

