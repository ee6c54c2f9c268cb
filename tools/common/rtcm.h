// RTCM 3 framing as the tools see it: a frame is the preamble 0xD3, six
// reserved bits and a 10-bit payload length, the payload, and a CRC-24Q over
// everything before it. This is the small counting view that `velto stream`
// and velto-caster keep; the frames are found by the analysis module's
// scanner (tools/analysis), which also does everything beyond counting.
// The library itself never looks inside the stream.
#ifndef VELTO_TOOLS_RTCM_H
#define VELTO_TOOLS_RTCM_H

#include <stddef.h>
#include <stdint.h>

#include <map>
#include <string>
#include <vector>

#include "frame_scanner.h"

namespace rtcm {

const uint8_t kPreamble = analysis::kPreamble;
const size_t kHeaderSize = analysis::kFrameHeader;
const size_t kCrcSize = analysis::kFrameCrc;
const size_t kMaxPayload = analysis::kMaxPayload;

// CRC-24Q (polynomial 0x1864CFB, initial value 0) over size bytes.
uint32_t crc24q(const uint8_t *data, size_t size);

// Wraps a payload of at most kMaxPayload bytes into a complete frame.
std::vector<uint8_t> makeFrame(const std::vector<uint8_t> &payload);

// Counts frames and message types in a byte stream that arrives in
// arbitrary blocks: a frame may be cut anywhere, several frames may share a
// block, and bytes that are not frames (a stream joined mid-frame, noise)
// are skipped. A preamble is believed only when its CRC checks, so a stray
// 0xD3 costs nothing but a "rejected" count - and a delay: a look-alike is
// settled only once the length it claims has arrived, at most 1029 bytes
// after it.
class FrameScanner : private analysis::FrameSink {
public:
    FrameScanner() : scanner_(this) {}
    // The scanner inside calls back into this very object.
    FrameScanner(const FrameScanner &) = delete;
    FrameScanner &operator=(const FrameScanner &) = delete;

    void feed(const void *bytes, size_t count) {
        scanner_.feed(static_cast<const uint8_t *>(bytes), count);
    }
    // The link dropped: an unfinished frame is counted as cut, not rejected.
    void linkDropped() { scanner_.linkDropped(); }

    uint64_t frames() const { return scanner_.counts().frames; }
    // Preamble bytes that did not start a frame with a good CRC.
    uint64_t rejected() const { return scanner_.counts().crcRejects; }
    // Frames left unfinished by a drop of the link.
    uint64_t cut() const { return scanner_.counts().cutFrames; }
    // Bytes outside any frame (rejected preambles included).
    uint64_t skippedBytes() const { return scanner_.counts().bytesOutsideFrames; }
    // Message number (first 12 payload bits) -> frames seen.
    const std::map<int, uint64_t> &types() const { return types_; }
    // "1005 1074 1084" in ascending order, "-" when none was seen.
    std::string typeList() const;
    // "1005x3 1074x30", "-" when none was seen.
    std::string typeCounts() const;

private:
    void onFrame(const uint8_t *payload, size_t size) override;

    analysis::FrameScanner scanner_;
    std::map<int, uint64_t> types_;
};

} // namespace rtcm

#endif
