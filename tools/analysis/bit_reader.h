// Reads the big-endian bit fields of an RTCM 3 message payload. A read that
// would run past the end gives 0 and marks the reader overrun, so a decoder
// reads its whole field table and asks once, at the end, whether the
// message held it.
#ifndef VELTO_ANALYSIS_BIT_READER_H
#define VELTO_ANALYSIS_BIT_READER_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>

namespace analysis {

// The number of bits set, for every MSM frame's masks. The processor's
// popcnt instruction where it has one (asked once; the instruction is
// written out because without a processor flag the compiler would not emit
// it, and a whole build for newer processors would exclude older ones),
// otherwise a count in a few arithmetic steps.
inline bool processorHasPopcnt() {
#if defined(__x86_64__) && defined(__GNUC__)
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("popcnt") != 0;
    }();
    return has;
#else
    return false;
#endif
}

inline int bitCount(uint64_t bits) {
#if defined(__x86_64__) && defined(__GNUC__)
    if (processorHasPopcnt()) {
        uint64_t count;
        __asm__("popcnt %1, %0" : "=r"(count) : "r"(bits) : "cc");
        return (int)count;
    }
#endif
    bits = bits - ((bits >> 1) & 0x5555555555555555ull);
    bits = (bits & 0x3333333333333333ull) + ((bits >> 2) & 0x3333333333333333ull);
    bits = (bits + (bits >> 4)) & 0x0F0F0F0F0F0F0F0Full;
    return (int)((bits * 0x0101010101010101ull) >> 56);
}

class BitReader {
public:
    BitReader(const uint8_t *data, size_t size) : data_(data), bits_(size * 8) {}

    // An unsigned field of 0 to 64 bits.
    uint64_t u(unsigned width) {
        if (width > bits_ - position_ || overrun_) {
            overrun_ = true;
            position_ = bits_;
            return 0;
        }
        size_t byte = position_ >> 3;
        unsigned offset = position_ & 7;
        // Most fields fit, with their offset into the first byte, in one
        // eight-byte window that lies inside the payload.
        if (width > 0 && width + offset <= 64 && byte + 8 <= bits_ / 8) {
            position_ += width;
            return (bigEndian64(data_ + byte) << offset) >> (64 - width);
        }
        // A wide field off a byte boundary (an MSM's 64-bit satellite mask)
        // spans nine bytes: two windows instead of nine single bytes.
        if (width > 32 && byte + 16 <= bits_ / 8) {
            uint64_t high = u(width - 32);
            return (high << 32) | u(32);
        }
        uint64_t value = 0;
        while (width > 0) {
            unsigned offset = position_ & 7;
            unsigned take = 8 - offset < width ? 8 - offset : width;
            unsigned byte = data_[position_ >> 3];
            value = (value << take) | ((byte >> (8 - offset - take)) & ((1u << take) - 1));
            position_ += take;
            width -= take;
        }
        return value;
    }

    // A two's-complement field of 1 to 64 bits.
    int64_t s(unsigned width) {
        uint64_t value = u(width);
        if (width > 0 && width < 64 && (value >> (width - 1)) & 1)
            value |= ~0ull << width;
        return (int64_t)value;
    }

    void skip(size_t width) {
        if (width > bits_ - position_)
            overrun_ = true;
        position_ = overrun_ ? bits_ : position_ + width;
    }

    // count bytes of text, taken as they are.
    std::string text(size_t count) {
        if (count * 8 > bits_ - position_) {
            overrun_ = true;
            position_ = bits_;
            return std::string();
        }
        std::string value(count, '\0');
        for (size_t i = 0; i < count; ++i)
            value[i] = (char)u(8);
        return value;
    }

    bool overrun() const { return overrun_; }
    size_t bitsLeft() const { return bits_ - position_; }

private:
    static uint64_t bigEndian64(const uint8_t *at) {
        uint64_t value;
        memcpy(&value, at, sizeof value);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        value = __builtin_bswap64(value);
#endif
        return value;
    }

    const uint8_t *data_;
    size_t bits_;
    size_t position_ = 0;
    bool overrun_ = false;
};

} // namespace analysis

#endif
