#include "rtcm.h"

#include <string.h>

namespace rtcm {

namespace {

const uint32_t kPolynomial = 0x1864CFB;

struct CrcTable {
    uint32_t entry[256];
    CrcTable() {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t crc = i << 16;
            for (int bit = 0; bit < 8; ++bit) {
                crc <<= 1;
                if (crc & 0x1000000)
                    crc ^= kPolynomial;
            }
            entry[i] = crc & 0xFFFFFF;
        }
    }
};

const CrcTable kCrcTable;

size_t payloadLength(const uint8_t *header) { return ((header[1] & 0x03u) << 8) | header[2]; }

uint32_t storedCrc(const uint8_t *frame, size_t payloadSize) {
    const uint8_t *crc = frame + kHeaderSize + payloadSize;
    return ((uint32_t)crc[0] << 16) | ((uint32_t)crc[1] << 8) | crc[2];
}

} // namespace

uint32_t crc24q(const uint8_t *data, size_t size) {
    uint32_t crc = 0;
    for (size_t i = 0; i < size; ++i)
        crc = ((crc << 8) & 0xFFFFFF) ^ kCrcTable.entry[((crc >> 16) ^ data[i]) & 0xFF];
    return crc;
}

std::vector<uint8_t> makeFrame(const std::vector<uint8_t> &payload) {
    size_t size = payload.size() > kMaxPayload ? kMaxPayload : payload.size();
    std::vector<uint8_t> frame;
    frame.reserve(kHeaderSize + size + kCrcSize);
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

void FrameScanner::feed(const void *bytes, size_t count) {
    const uint8_t *in = static_cast<const uint8_t *>(bytes);
    pending_.insert(pending_.end(), in, in + count);
    const uint8_t *data = pending_.data();
    size_t size = pending_.size();
    size_t pos = 0;
    while (pos < size) {
        const void *found = memchr(data + pos, kPreamble, size - pos);
        if (found == NULL) {
            skipped_ += size - pos;
            pos = size;
            break;
        }
        size_t start = (size_t)((const uint8_t *)found - data);
        skipped_ += start - pos;
        pos = start;
        if (size - pos < kHeaderSize)
            break;
        size_t payloadSize = payloadLength(data + pos);
        size_t frameSize = kHeaderSize + payloadSize + kCrcSize;
        if (size - pos < frameSize)
            break; // the rest of this frame comes with a later block
        if (crc24q(data + pos, kHeaderSize + payloadSize) == storedCrc(data + pos, payloadSize)) {
            record(data + pos, payloadSize);
            pos += frameSize;
        } else {
            // Not a frame after all: look for the next preamble right after
            // this byte, which may lie inside what we took for a frame.
            ++rejected_;
            ++skipped_;
            ++pos;
        }
    }
    pending_.erase(pending_.begin(), pending_.begin() + pos);
}

void FrameScanner::record(const uint8_t *frame, size_t payloadSize) {
    ++frames_;
    if (payloadSize >= 2) {
        const uint8_t *payload = frame + kHeaderSize;
        ++types_[(payload[0] << 4) | (payload[1] >> 4)];
    }
}

std::string FrameScanner::typeList() const {
    std::string text;
    for (const auto &type : types_) {
        if (!text.empty())
            text += ' ';
        text += std::to_string(type.first);
    }
    return text.empty() ? "-" : text;
}

std::string FrameScanner::typeCounts() const {
    std::string text;
    for (const auto &type : types_) {
        if (!text.empty())
            text += ' ';
        text += std::to_string(type.first) + "x" + std::to_string(type.second);
    }
    return text.empty() ? "-" : text;
}

} // namespace rtcm
