#include "frame_scanner.h"

#include <string.h>

#include "crc24q.h"

namespace analysis {

namespace {

uint32_t storedCrc(const uint8_t *frame, size_t frameSize) {
    const uint8_t *crc = frame + frameSize - kFrameCrc;
    return ((uint32_t)crc[0] << 16) | ((uint32_t)crc[1] << 8) | crc[2];
}

} // namespace

bool FrameScanner::frameChecks(const uint8_t *frame, size_t frameSize) const {
    return crc24q(frame, frameSize - kFrameCrc) == storedCrc(frame, frameSize);
}

void FrameScanner::acceptFrame(const uint8_t *frame, size_t frameSize) {
    ++counts_.frames;
    counts_.frameBytes += frameSize;
    sink_->onFrame(frame + kFrameHeader, frameSize - kFrameHeader - kFrameCrc);
}

void FrameScanner::feed(const uint8_t *bytes, size_t count) {
    if (count == 0)
        return;
    counts_.bytes += count;
    if (held_ > 0) {
        size_t used = feedHeld(bytes, count);
        bytes += used;
        count -= used;
        if (held_ > 0)
            return; // the whole block went into finishing what was held
    }
    size_t unfinished = scanInPlace(bytes, count);
    held_ = count - unfinished;
    memcpy(held_bytes_, bytes + unfinished, held_);
}

// Scans a block where it lies. Returns where a frame begins that the block
// does not finish (size when there is none).
size_t FrameScanner::scanInPlace(const uint8_t *data, size_t size) {
    size_t pos = 0;
    while (pos < size) {
        if (data[pos] != kPreamble) {
            const void *found = memchr(data + pos, kPreamble, size - pos);
            size_t next = found ? (size_t)((const uint8_t *)found - data) : size;
            counts_.bytesOutsideFrames += next - pos;
            pos = next;
            if (pos == size)
                break;
        }
        if (size - pos < kFrameHeader)
            return pos;
        size_t frameSize = frameSizeFromHeader(data + pos);
        if (size - pos < frameSize)
            return pos;
        if (frameChecks(data + pos, frameSize)) {
            acceptFrame(data + pos, frameSize);
            pos += frameSize;
        } else {
            // A look-alike: the next preamble may lie inside what it claimed.
            ++counts_.crcRejects;
            ++counts_.bytesOutsideFrames;
            ++pos;
        }
    }
    return size;
}

// Moves bytes into the held frame until it is settled, one way or the other.
// Returns how many bytes of the block were taken. Only as many are copied as
// the frame at the front needs, so whatever is held always ends exactly
// where the block's remaining bytes begin.
size_t FrameScanner::feedHeld(const uint8_t *bytes, size_t count) {
    size_t used = 0;
    while (held_ > 0) {
        size_t wanted = held_ < kFrameHeader ? kFrameHeader : frameSizeFromHeader(held_bytes_);
        if (held_ < wanted) {
            size_t take = wanted - held_ < count - used ? wanted - held_ : count - used;
            memcpy(held_bytes_ + held_, bytes + used, take);
            held_ += take;
            used += take;
            if (held_ < wanted)
                return used;
            continue; // the header may now claim a longer frame
        }
        settleHeldFrame(false);
    }
    return used;
}

// Removes count bytes from the front of the held frame and moves on to the
// next preamble among the rest; bytes before it are outside any frame.
void FrameScanner::dropHeldBytes(size_t count) {
    const void *found = count < held_ ? memchr(held_bytes_ + count, kPreamble, held_ - count) : NULL;
    size_t next = found ? (size_t)((const uint8_t *)found - held_bytes_) : held_;
    counts_.bytesOutsideFrames += next - count;
    memmove(held_bytes_, held_bytes_ + next, held_ - next);
    held_ -= next;
}

// The held frame is complete (or can never be): decide what it was.
bool FrameScanner::settleHeldFrame(bool linkGone) {
    size_t frameSize = held_ < kFrameHeader ? kMaxFrame + 1 : frameSizeFromHeader(held_bytes_);
    if (frameSize <= held_) {
        if (frameChecks(held_bytes_, frameSize)) {
            acceptFrame(held_bytes_, frameSize);
            dropHeldBytes(frameSize);
        } else {
            ++counts_.crcRejects;
            ++counts_.bytesOutsideFrames;
            dropHeldBytes(1);
        }
        return true;
    }
    if (!linkGone)
        return false;
    size_t goodFrame = firstGoodFrameInHeld();
    if (goodFrame == held_) {
        ++counts_.cutFrames;
        counts_.cutBytes += held_;
        held_ = 0;
        return true;
    }
    // Every preamble before the good frame was a look-alike.
    for (size_t i = 0; i < goodFrame; ++i)
        if (held_bytes_[i] == kPreamble)
            ++counts_.crcRejects;
    counts_.bytesOutsideFrames += goodFrame;
    memmove(held_bytes_, held_bytes_ + goodFrame, held_ - goodFrame);
    held_ -= goodFrame;
    return true;
}

// Where the first complete frame with a good CRC starts after the held
// preamble; held_ when there is none.
size_t FrameScanner::firstGoodFrameInHeld() const {
    for (size_t pos = 1; pos + kFrameHeader <= held_; ++pos) {
        if (held_bytes_[pos] != kPreamble)
            continue;
        size_t frameSize = frameSizeFromHeader(held_bytes_ + pos);
        if (frameSize <= held_ - pos && frameChecks(held_bytes_ + pos, frameSize))
            return pos;
    }
    return held_;
}

std::vector<uint8_t> makeFrame(const std::vector<uint8_t> &payload) {
    size_t size = payload.size() > kMaxPayload ? kMaxPayload : payload.size();
    std::vector<uint8_t> frame;
    frame.reserve(kFrameHeader + size + kFrameCrc);
    frame.push_back(kPreamble);
    frame.push_back((uint8_t)(size >> 8));
    frame.push_back((uint8_t)(size & 0xFF));
    frame.insert(frame.end(), payload.begin(), payload.begin() + size);
    uint32_t crc = crc24q(frame.data(), frame.size());
    frame.push_back((uint8_t)(crc >> 16));
    frame.push_back((uint8_t)(crc >> 8));
    frame.push_back((uint8_t)crc);
    return frame;
}

void FrameScanner::linkDropped() {
    ++counts_.linkDrops;
    while (held_ > 0)
        settleHeldFrame(true);
}

} // namespace analysis
