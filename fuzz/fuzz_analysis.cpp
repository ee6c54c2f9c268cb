// libFuzzer target: the RTCM 3 analysis (tools/analysis) and its JSON form.
//
// The input is a script of records, each led by a control byte c. Its two
// low bits say what to do, its six high bits how far the receipt clock
// moves first (c >> 2 half-seconds, so gaps long enough for outages occur):
//   0  raw bytes: a length byte n, then n + 1 bytes fed as one block;
//   1  a frame with a good CRC around fuzzer bytes: a byte choosing the
//      message number from kMessages, two bytes for the payload length
//      (10 bits: often not the length the message needs), a byte saying
//      where to split the frame into two blocks, then the payload after
//      the message number (zeros once the input runs out). MSM masks that
//      promise more cells than the payload holds, and descriptor counters
//      that run past the frame, come from here;
//   2  the link drops;
//   3  an interval rolls, and (the first four times) the facts and events
//      are turned into JSON: nlohmann/json under the sanitizers is slow
//      enough that doing it at every roll would starve the rest.
// The first byte sets the options (leap seconds, outage limit). The clock
// starts just before the end of a GPS week.
//
// Checked: no crash or undefined behaviour (the sanitizers), every byte fed
// is accounted for exactly once by the framing counts, and every JSON line
// produced parses; at the end, facts and all events still queued are
// turned into JSON too.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "analysis.h"
#include "analysis_json.h"
#include "frame_scanner.h"

namespace {

const int kMessages[] = {
    1001, 1002, 1003, 1004, 1005, 1006, 1007, 1008, 1009, 1010, 1011, 1012, 1019, 1020, 1033,
    1042, 1044, 1045, 1046, 1071, 1072, 1073, 1074, 1075, 1076, 1077, 1081, 1082, 1083, 1084,
    1085, 1086, 1087, 1091, 1092, 1093, 1094, 1095, 1096, 1097, 1101, 1102, 1103, 1104, 1105,
    1106, 1107, 1111, 1112, 1113, 1114, 1115, 1116, 1117, 1121, 1122, 1123, 1124, 1125, 1126,
    1127, 1230, 4094, 0};
const size_t kMessageCount = sizeof kMessages / sizeof kMessages[0];

// 2300 weeks after the GPS epoch, 10 s before the week ends, as POSIX time.
const double kClockStart = 315964800.0 + 2300 * 604800.0 + 604790 - 18;

class Script {
public:
    Script(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    bool done() const { return at_ >= size_; }
    uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    size_t take(size_t wanted, const uint8_t **bytes) {
        size_t count = wanted < size_ - at_ ? wanted : size_ - at_;
        *bytes = data_ + at_;
        at_ += count;
        return count;
    }

private:
    const uint8_t *data_;
    size_t size_;
    size_t at_ = 0;
};

void mustParse(const nlohmann::json &value) {
    std::string line = analysis::jsonLine(value);
    if (nlohmann::json::parse(line, nullptr, false).is_discarded())
        abort();
}

void checkFacts(analysis::StreamAnalysis &stream) {
    analysis::Facts facts = stream.snapshot();
    const analysis::FramingCounts &f = facts.framing;
    if (f.bytes != f.frameBytes + f.bytesOutsideFrames + f.cutBytes + facts.heldBytes)
        abort();
    mustParse(analysis::toJson(facts));
    for (const analysis::Event &event : stream.takeEvents())
        mustParse(analysis::toJson(event));
}

std::vector<uint8_t> fuzzedFrame(Script &script, size_t *split) {
    int message = kMessages[script.byte() % kMessageCount];
    size_t length = (size_t)(script.byte() & 0x03) << 8;
    length |= script.byte();
    *split = script.byte();
    // The 12 bits of the message number, then fuzzer bytes, as a bit stream
    // cut into the payload's bytes.
    std::vector<uint8_t> payload(length);
    uint32_t waiting = (uint32_t)message;
    int waitingBits = 12;
    for (size_t i = 0; i < length; ++i) {
        if (waitingBits < 8) {
            waiting = (waiting << 8) | script.byte();
            waitingBits += 8;
        }
        payload[i] = (uint8_t)(waiting >> (waitingBits - 8));
        waitingBits -= 8;
        waiting &= (1u << waitingBits) - 1;
    }
    std::vector<uint8_t> frame = analysis::makeFrame(payload);
    *split %= frame.size() + 1;
    return frame;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Script script(data, size);
    uint8_t setup = script.byte();
    analysis::Options options;
    options.leapSeconds = setup % 40;
    options.outageAfterSeconds = 1 + setup / 40;
    analysis::StreamAnalysis stream(options);
    double now = kClockStart;
    int jsonChecksLeft = 4;
    while (!script.done()) {
        uint8_t control = script.byte();
        now += (control >> 2) * 0.5;
        switch (control & 3) {
        case 0: {
            const uint8_t *bytes;
            size_t count = script.take((size_t)script.byte() + 1, &bytes);
            stream.feed(bytes, count, now);
            break;
        }
        case 1: {
            size_t split;
            std::vector<uint8_t> frame = fuzzedFrame(script, &split);
            stream.feed(frame.data(), split, now);
            stream.feed(frame.data() + split, frame.size() - split, now);
            break;
        }
        case 2:
            stream.linkDropped(now);
            break;
        case 3:
            stream.rollInterval(now);
            if (jsonChecksLeft-- > 0)
                checkFacts(stream);
            break;
        }
    }
    stream.linkDropped(now);
    stream.rollInterval(now);
    checkFacts(stream);
    return 0;
}
