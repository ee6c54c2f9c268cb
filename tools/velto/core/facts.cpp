#include "core/facts.h"

double secondsBetween(SteadyClock::time_point from, SteadyClock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

double unixSeconds(WallClock::time_point when) {
    return std::chrono::duration<double>(when.time_since_epoch()).count();
}

const char *statusName(int status, bool fromStart) {
    switch (status) {
    case VELTO_STATUS_IDLE: return "idle";
    case VELTO_STATUS_STREAMING: return "streaming";
    case VELTO_STATUS_CONNECT_FAILED: return "connection_failed";
    case VELTO_STATUS_NO_ANSWER: return "no_answer";
    case VELTO_STATUS_STREAM_LOST: return "stream_lost";
    case VELTO_STATUS_NOT_FOUND: return "not_found";
    case VELTO_STATUS_UNAUTHORISED: return "not_authorised";
    case VELTO_STATUS_NOT_IMPLEMENTED: return "not_implemented";
    case VELTO_STATUS_UNRESOLVED: return fromStart ? "refused_at_start" : "answer_not_recognised";
    default: return "unknown";
    }
}

const char *statusMeaning(int status, bool fromStart) {
    switch (status) {
    case VELTO_STATUS_IDLE: return "idle";
    case VELTO_STATUS_STREAMING: return "streaming";
    case VELTO_STATUS_CONNECT_FAILED: return "connection failed";
    case VELTO_STATUS_NO_ANSWER: return "no answer";
    case VELTO_STATUS_STREAM_LOST: return "stream lost";
    case VELTO_STATUS_NOT_FOUND: return "mount point not found";
    case VELTO_STATUS_UNAUTHORISED: return "not authorised";
    case VELTO_STATUS_NOT_IMPLEMENTED: return "not implemented";
    case VELTO_STATUS_UNRESOLVED:
        return fromStart ? "refused at start: caster name not resolved, or mount point too long"
                         : "answer not recognised";
    default: return "unknown status";
    }
}

const char *endingName(Ending ending) {
    switch (ending) {
    case Ending::Streaming: return "streaming";
    case Ending::Down: return "down";
    case Ending::NeverStreamed: return "never_streamed";
    case Ending::NotImplemented: return "not_implemented";
    case Ending::NotFound: return "not_found";
    case Ending::NotAuthorised: return "not_authorised";
    case Ending::RefusedAtStart: return "refused_at_start";
    case Ending::OutputFailed: return "output_failed";
    }
    return "unknown";
}

const char *endingMeaning(Ending ending) {
    switch (ending) {
    case Ending::Streaming: return "streaming";
    case Ending::Down: return "stream down";
    case Ending::NeverStreamed: return "never streamed";
    case Ending::NotImplemented: return "not implemented";
    case Ending::NotFound: return "mount point not found";
    case Ending::NotAuthorised: return "not authorised";
    case Ending::RefusedAtStart: return statusMeaning(VELTO_STATUS_UNRESOLVED, true);
    case Ending::OutputFailed: return "output could not be written";
    }
    return "unknown";
}
