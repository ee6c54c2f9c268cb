#include "rtcm.h"

#include "crc24q.h"

namespace rtcm {

uint32_t crc24q(const uint8_t *data, size_t size) { return analysis::crc24q(data, size); }

std::vector<uint8_t> makeFrame(const std::vector<uint8_t> &payload) { return analysis::makeFrame(payload); }

void FrameScanner::onFrame(const uint8_t *payload, size_t size) {
    if (size >= 2)
        ++types_[(payload[0] << 4) | (payload[1] >> 4)];
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
