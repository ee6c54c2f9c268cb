// Finds RTCM 3 frames in a byte stream that arrives in blocks cut anywhere:
// the preamble 0xD3, six reserved bits and a 10-bit payload length, the
// payload, and a CRC-24Q over everything before it.
//
// Frames are found in the caller's block itself; only a frame that a block
// leaves unfinished is copied, and only until the next block completes it,
// so the scanner holds at most one frame's worth of bytes. A preamble is
// believed only when its CRC checks: a stray 0xD3 costs a "CRC reject" and
// a short delay, because a look-alike is settled only once the length it
// claims has arrived.
#ifndef VELTO_ANALYSIS_FRAME_SCANNER_H
#define VELTO_ANALYSIS_FRAME_SCANNER_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

namespace analysis {

const uint8_t kPreamble = 0xD3;
const size_t kFrameHeader = 3;
const size_t kFrameCrc = 3;
const size_t kMaxPayload = 1023;
const size_t kMaxFrame = kFrameHeader + kMaxPayload + kFrameCrc;

// Receives each frame with a good CRC, in stream order. The payload is
// valid only during the call.
class FrameSink {
public:
    virtual void onFrame(const uint8_t *payload, size_t size) = 0;

protected:
    ~FrameSink() {}
};

// Every byte fed ends up in exactly one of frameBytes, bytesOutsideFrames,
// cutBytes, or the unfinished frame still held (FrameScanner::heldBytes).
struct FramingCounts {
    uint64_t bytes = 0;              // all bytes fed
    uint64_t frames = 0;             // frames with a good CRC
    uint64_t frameBytes = 0;         // their bytes, header and CRC included
    uint64_t crcRejects = 0;         // preambles whose frame failed the CRC
    uint64_t bytesOutsideFrames = 0; // noise, joins mid-frame, rejected look-alikes
    uint64_t cutFrames = 0;          // frames left unfinished by a drop of the link
    uint64_t cutBytes = 0;           // the bytes of those frames that did arrive
    uint64_t linkDrops = 0;
};

class FrameScanner {
public:
    explicit FrameScanner(FrameSink *sink) : sink_(sink) {}

    void feed(const uint8_t *bytes, size_t count);

    // The link dropped: what is held can never be finished. It is counted
    // as a cut frame, unless good frames lie inside it, which proves that
    // its preamble was a look-alike; those frames are then delivered.
    void linkDropped();

    const FramingCounts &counts() const { return counts_; }
    size_t heldBytes() const { return held_; }

private:
    size_t scanInPlace(const uint8_t *data, size_t size);
    size_t feedHeld(const uint8_t *bytes, size_t count);
    void dropHeldBytes(size_t count);
    bool settleHeldFrame(bool linkGone);
    size_t firstGoodFrameInHeld() const;
    bool frameChecks(const uint8_t *frame, size_t frameSize) const;
    void acceptFrame(const uint8_t *frame, size_t frameSize);

    FrameSink *sink_;
    FramingCounts counts_;
    uint8_t held_bytes_[kMaxFrame];
    size_t held_ = 0; // always starts with a preamble when not 0
};

// The length a frame has, judged from its first three bytes.
inline size_t frameSizeFromHeader(const uint8_t *header) {
    return kFrameHeader + (((size_t)(header[1] & 0x03) << 8) | header[2]) + kFrameCrc;
}

// Wraps a payload into a frame: preamble, length, payload, CRC-24Q. A
// payload longer than a frame can carry is cut to kMaxPayload bytes.
std::vector<uint8_t> makeFrame(const std::vector<uint8_t> &payload);

} // namespace analysis

#endif
