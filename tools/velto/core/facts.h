// What velto knows of a mount point, as plain values: the clocks, the
// library's status codes in words, a status change, the library's next
// attempt, how a mount point ended, and a snapshot of its figures. The
// sessions make these facts; the events, the printed lines and the monitor
// format them. Nothing here calls the library or prints.
#ifndef VELTO_TOOL_CORE_FACTS_H
#define VELTO_TOOL_CORE_FACTS_H

#include <stdint.h>

#include <chrono>
#include <vector>

#include "analysis.h" // the RTCM 3 analysis (tools/analysis)
#include "velto.h"    // the status codes

#ifndef VELTO_CASTER_HOST
#define VELTO_CASTER_HOST "localhost"
#endif

// The caster this build talks to: fixed when the library is built.
const char kCasterHost[] = VELTO_CASTER_HOST;
const int kCasterPort = 2101;
const char kCaster[] = VELTO_CASTER_HOST ":2101";

using SteadyClock = std::chrono::steady_clock;
using WallClock = std::chrono::system_clock;

double secondsBetween(SteadyClock::time_point from, SteadyClock::time_point to);
// POSIX seconds, the analysis's time scale.
double unixSeconds(WallClock::time_point when);

// The library's fixed pause after every attempt it reports; it starts with
// the report.
const double kLibraryPauseSeconds = 30;

// A stable identifier and the words for each status code. -8 has two
// causes that the code alone does not tell apart: from VeltoStart (nothing
// will retry) and from the client thread (an answer it did not recognise).
const char *statusName(int status, bool fromStart);
const char *statusMeaning(int status, bool fromStart);

struct StatusChange {
    int status = VELTO_STATUS_IDLE;
    SteadyClock::time_point when;
    WallClock::time_point wallTime;
    bool fromStart = false; // -8 reported by VeltoStart itself
};

// When the library will next try to connect. It reports only changes, so
// after the first 30-s pause a failure that repeats is silent; from then on
// the time comes from its fixed timings and is only an estimate.
struct NextAttempt {
    bool expected = false;  // false: streaming, idle, or nothing will retry
    double seconds = 0;     // 0 while an attempt is under way
    bool estimated = false;
};

// How the run ended for one mount point, mildest first: the worst of all
// mount points sets velto's exit status.
enum class Ending {
    Streaming,      // the stream was flowing when the run stopped
    Down,           // it had streamed, but was down when the run stopped
    NeverStreamed,  // never streamed: not reached, no answer, answer not recognised
    NotImplemented, // -7
    NotFound,       // -5
    NotAuthorised,  // -6
    RefusedAtStart, // -8 from VeltoStart
    OutputFailed,   // its bytes could not be written
};
const char *endingName(Ending ending);
// The ending in words: "mount point not found", "stream down" ...
const char *endingMeaning(Ending ending);

struct SessionSnapshot {
    int status = VELTO_STATUS_IDLE;
    bool statusFromStart = false;
    bool streamedEver = false;
    int connections = 0;          // times the caster accepted (status 1)
    double streamingSeconds = 0;  // time spent at status 1
    uint64_t bytes = 0;
    uint64_t blocks = 0;
    bool anyBlock = false;
    double sinceLastBlock = 0;    // seconds; meaningful when anyBlock
    NextAttempt next;
    // Stopped: for a reason of its own (a refusal, its output), or with the
    // run. stoppedAfter is when, in seconds since the run began.
    bool stopped = false;
    double stoppedAfter = 0;
    Ending ending = Ending::Streaming; // how it ended, or would end now
    std::vector<int> statuses;    // every change so far, in order
    analysis::Facts analysis;
};

#endif
