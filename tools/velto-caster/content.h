// What velto-caster streams to each client, and when: the synthetic
// station, or a recorded file replayed (--replay). The caster's connection
// loop asks for the bytes that are due and how long to wait for the next
// ones; everything about pacing and content lives here.
#ifndef VELTO_CASTER_CONTENT_H
#define VELTO_CASTER_CONTENT_H

#include <stddef.h>

#include <memory>
#include <string>

#include "stream_content.h"

struct Recording;

// A reference station ID has 12 bits.
const int kMaxStationId = 4095;
// The longest receiver descriptor a 1033 may carry.
const size_t kMaxReceiverDescriptor = 31;

struct ContentOptions {
    std::string replayFile;  // --replay
    bool loop = false;       // --loop
    bool rateGiven = false;  // --rate given: a replay follows it instead of its epochs
    std::string receiverDescriptor; // --receiver-descriptor: receiver type in 1033
    int stationId = 1000;           // --station-id: the synthetic station's ID
    bool stationPerConnection = false; // --station-per-connection: a new ID each time
    std::shared_ptr<const Recording> recording; // the replayed file, read at start
};

// The content of one client's stream, from its start. rate is --rate
// (bytes per second, 0 = as fast as possible).
std::unique_ptr<StreamContent> openStreamContent(const ContentOptions &options, double rate,
                                                 int connectionNumber);

#endif
