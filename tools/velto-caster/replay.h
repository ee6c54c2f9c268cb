// A recorded RTCM 3 file served by velto-caster --replay: at the pace its
// observation epochs give, or at --rate bytes per second, once or looping.
#ifndef VELTO_CASTER_REPLAY_H
#define VELTO_CASTER_REPLAY_H

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "stream_content.h"

struct Recording {
    std::vector<uint8_t> bytes;
    size_t frames = 0;
    size_t epochs = 0;
    // Where the last complete frame ends. A loop starts over from here: an
    // unfinished frame at the end of a file, glued to the file's start,
    // would be a corrupt frame that the station never sent.
    size_t wholeFramesEnd = 0;
    // The bytes from offset on are due `at` seconds into the replay.
    struct Step {
        size_t offset;
        double at;
    };
    std::vector<Step> schedule;
    double epochStep = 1; // the usual time between epochs: the pause before a loop starts over
};

// Reads the file and derives its schedule from the epoch times of its
// observation messages. Returns a description of the problem, or "".
std::string loadRecording(const std::string &path, Recording *recording);

// rate < 0: at the pace of the epochs; 0: as fast as possible; else bytes
// per second.
std::unique_ptr<StreamContent> openReplay(const std::shared_ptr<const Recording> &recording, double rate,
                                          bool loop);

#endif
