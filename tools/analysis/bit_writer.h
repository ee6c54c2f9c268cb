// Builds RTCM 3 payloads field by field, most significant bit first: the
// writing side of BitReader, for the synthetic station and the tests.
#ifndef VELTO_ANALYSIS_BIT_WRITER_H
#define VELTO_ANALYSIS_BIT_WRITER_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace analysis {

class BitWriter {
public:
    // The low `width` bits of value; a width over 64 writes zeros first.
    void put(uint64_t value, unsigned width) {
        for (unsigned bit = width; bit-- > 0;) {
            if (used_ % 8 == 0)
                bytes_.push_back(0);
            if (bit < 64 && (value >> bit) & 1)
                bytes_.back() |= (uint8_t)(0x80 >> (used_ % 8));
            ++used_;
        }
    }
    void putSigned(int64_t value, unsigned width) { put((uint64_t)value, width); }
    void putText(const std::string &text) {
        for (unsigned char c : text)
            put(c, 8);
    }

    size_t bits() const { return used_; }
    const std::vector<uint8_t> &payload() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
    size_t used_ = 0;
};

} // namespace analysis

#endif
