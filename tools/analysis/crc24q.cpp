#include "crc24q.h"

#if defined(__x86_64__)
#include <immintrin.h>
#define VELTO_CRC_FOLDING 1
#endif

namespace analysis {

namespace {

// The 24-bit register lives in the top three bytes of a 32-bit word: the
// checksum becomes a 32-bit one over the polynomial times x^8, whose low
// 33 bits without the x^32 term are 0x864CFB00. Four input bytes can then
// be folded into the register at once.
const uint32_t kShiftedPolynomial = 0x864CFB00u;

// entry[k][b]: the register after byte b followed by k zero bytes.
// Sixteen slices (16 KiB of tables, well inside a level-1 cache) take
// sixteen independent lookups per step, which the processor overlaps.
const int kSlices = 16;

struct SliceTables {
    uint32_t entry[kSlices][256];

    SliceTables() {
        for (uint32_t byte = 0; byte < 256; ++byte) {
            uint32_t crc = byte << 24;
            for (int bit = 0; bit < 8; ++bit)
                crc = (crc & 0x80000000u) ? (crc << 1) ^ kShiftedPolynomial : crc << 1;
            entry[0][byte] = crc;
        }
        for (int k = 1; k < kSlices; ++k)
            for (int byte = 0; byte < 256; ++byte) {
                uint32_t previous = entry[k - 1][byte];
                entry[k][byte] = (previous << 8) ^ entry[0][previous >> 24];
            }
    }
};

const SliceTables &tables() {
    static const SliceTables built;
    return built;
}

uint32_t bigEndian32(const uint8_t *at) {
    return ((uint32_t)at[0] << 24) | ((uint32_t)at[1] << 16) | ((uint32_t)at[2] << 8) | at[3];
}

// The four table lookups of one 32-bit word that is followed by `after`
// more bytes of the step.
inline uint32_t sliceWord(const SliceTables &t, uint32_t word, int after) {
    return t.entry[after + 3][word >> 24] ^ t.entry[after + 2][(word >> 16) & 0xFF] ^
           t.entry[after + 1][(word >> 8) & 0xFF] ^ t.entry[after][word & 0xFF];
}

// Continues the register over size bytes, sixteen at a time, then one by one.
uint32_t sliced(uint32_t crc, const uint8_t *data, size_t size) {
    const SliceTables &t = tables();
    while (size >= 16) {
        crc = sliceWord(t, bigEndian32(data) ^ crc, 12) ^ sliceWord(t, bigEndian32(data + 4), 8) ^
              sliceWord(t, bigEndian32(data + 8), 4) ^ sliceWord(t, bigEndian32(data + 12), 0);
        data += 16;
        size -= 16;
    }
    while (size-- > 0)
        crc = (crc << 8) ^ t.entry[0][(crc >> 24) ^ *data++];
    return crc;
}

#ifdef VELTO_CRC_FOLDING

// x^n modulo the 33-bit polynomial: what a bit n places before the end of
// the data contributes to the register.
uint64_t xToThePowerModPolynomial(int n) {
    uint64_t value = 1;
    for (int i = 0; i < n; ++i) {
        value <<= 1;
        if (value & 0x100000000ull)
            value ^= 0x100000000ull | kShiftedPolynomial;
    }
    return value;
}

// Carry-less multiplication folds sixteen bytes per step: a 128-bit
// remainder R (its first bit the highest) that is followed by 128 more bits
// is worth R.high * x^192 + R.low * x^128, and those powers are reduced
// beforehand. What is left at the end, 16 bytes, goes through the tables.
__attribute__((target("pclmul,ssse3"))) uint32_t folded(const uint8_t *data, size_t size) {
    static const uint64_t high = xToThePowerModPolynomial(192);
    static const uint64_t low = xToThePowerModPolynomial(128);
    const __m128i constants = _mm_set_epi64x((long long)high, (long long)low);
    const __m128i reverse = _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    __m128i remainder = _mm_shuffle_epi8(_mm_loadu_si128((const __m128i *)data), reverse);
    data += 16;
    size -= 16;
    while (size >= 16) {
        __m128i next = _mm_shuffle_epi8(_mm_loadu_si128((const __m128i *)data), reverse);
        remainder = _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(remainder, constants, 0x11),
                                                _mm_clmulepi64_si128(remainder, constants, 0x00)),
                                  next);
        data += 16;
        size -= 16;
    }
    uint8_t left[16];
    _mm_storeu_si128((__m128i *)left, _mm_shuffle_epi8(remainder, reverse));
    return sliced(sliced(0, left, 16), data, size);
}

bool canFold() {
    static const bool can = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("ssse3");
    return can;
}

// Below this, setting up the folding costs more than it saves.
const size_t kFoldFrom = 64;

#endif

} // namespace

uint32_t crc24q(const uint8_t *data, size_t size) {
#ifdef VELTO_CRC_FOLDING
    if (size >= kFoldFrom && canFold())
        return folded(data, size) >> 8;
#endif
    return sliced(0, data, size) >> 8;
}

uint32_t crc24qBytewise(const uint8_t *data, size_t size) {
    const SliceTables &t = tables();
    uint32_t crc = 0;
    for (size_t i = 0; i < size; ++i)
        crc = (crc << 8) ^ t.entry[0][(crc >> 24) ^ data[i]];
    return crc >> 8;
}

} // namespace analysis
