#include "analysis.h"

void StreamAnalysis::feed(const void *bytes, size_t count,
                          std::chrono::system_clock::time_point receivedAt) {
    (void)receivedAt; // framing needs no clock; latency and outages will
    frames_.feed(bytes, count);
}

AnalysisFacts StreamAnalysis::facts() const {
    AnalysisFacts facts;
    facts.frames = frames_.frames();
    facts.rejected = frames_.rejected();
    facts.skippedBytes = frames_.skippedBytes();
    facts.messageTypes = frames_.types();
    return facts;
}
