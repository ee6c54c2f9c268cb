#include <gtest/gtest.h>

#include "fake_caster.h"
#include "recorders.h"
#include "velto.h"

using namespace std::chrono_literals;

TEST(Smoke, StreamsFromFakeCaster) {
    ClientRecorder rec;
    FakeCaster caster(acceptThen(rec, [](CasterConnection &c) {
        c.send("hello");
        c.waitPeerClosed();
    }));
    VeltoHandle h = VeltoConstruct();
    char mount[] = "MP01x";
    VeltoStart(h, &rec, mount, 7, ClientRecorder::onData, ClientRecorder::onStatus);
    ASSERT_TRUE(rec.waitForBytes(5, 5s));
    EXPECT_EQ(rec.data(), "hello");
    VeltoStop(h);
    ASSERT_TRUE(rec.waitFor(0, 5s));
    VeltoDestruct(h);
    EXPECT_EQ(rec.statuses(), (std::vector<int>{1, 0}));
    EXPECT_EQ(caster.requests().at(0).size(), 95u);
}
