// What velto learns from one mount point's bytes. The session feeds every
// block here from the library's data callback, with the moment it arrived;
// the events carry the facts under the key "rtcm". For now the facts are the
// RTCM 3 frames found by their framing and CRC-24Q; the library itself never
// looks at the bytes.
#ifndef VELTO_TOOL_ANALYSIS_H
#define VELTO_TOOL_ANALYSIS_H

#include <stddef.h>
#include <stdint.h>

#include <chrono>
#include <map>

#include "rtcm.h"

struct AnalysisFacts {
    uint64_t frames = 0;
    uint64_t rejected = 0;     // preambles that did not start a frame with a good CRC
    uint64_t skippedBytes = 0; // bytes outside any frame
    std::map<int, uint64_t> messageTypes;
};

class StreamAnalysis {
public:
    // Called on the client thread with the session's lock held: no I/O here.
    void feed(const void *bytes, size_t count, std::chrono::system_clock::time_point receivedAt);
    AnalysisFacts facts() const;

private:
    rtcm::FrameScanner frames_;
};

#endif
