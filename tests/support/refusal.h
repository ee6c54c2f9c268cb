// The check shared by every test of a start that must be refused at once.
#ifndef VELTO_TEST_REFUSAL_H
#define VELTO_TEST_REFUSAL_H

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "recorders.h"
#include "velto.h"

// A refused VeltoStart has reported -8 exactly once, on the caller's own
// thread, before returning, and has left no client thread behind.
inline void expectRefusedOnCallerThread(const StatusRecorder &recorder, VeltoHandle handle,
                                        int threadsBefore) {
    std::vector<StatusEvent> events = recorder.events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].status, VELTO_STATUS_UNRESOLVED);
    EXPECT_EQ(events[0].thread, std::this_thread::get_id());
    EXPECT_EQ(VeltoStatus(handle), VELTO_STATUS_UNRESOLVED);
    EXPECT_EQ(threadCount(), threadsBefore);
}

#endif
