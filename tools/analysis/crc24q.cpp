#include "crc24q.h"

#include <string.h>

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
constexpr uint32_t kShiftedPolynomial = 0x864CFB00u;

// entry[k][b]: the register after byte b followed by k zero bytes.
// Sixteen slices (16 KiB of tables, well inside a level-1 cache) take
// sixteen independent lookups per step, which the processor overlaps.
// They are built by the compiler: a table built at run time would cost a
// check on every call whether it has been built yet.
constexpr int kSlices = 16;

struct SliceTables {
    uint32_t entry[kSlices][256];
};

constexpr SliceTables buildSliceTables() {
    SliceTables t = {};
    for (uint32_t byte = 0; byte < 256; ++byte) {
        uint32_t crc = byte << 24;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x80000000u) ? (crc << 1) ^ kShiftedPolynomial : crc << 1;
        t.entry[0][byte] = crc;
    }
    for (int k = 1; k < kSlices; ++k)
        for (int byte = 0; byte < 256; ++byte) {
            uint32_t previous = t.entry[k - 1][byte];
            t.entry[k][byte] = (previous << 8) ^ t.entry[0][previous >> 24];
        }
    return t;
}

constexpr SliceTables kSliceTables = buildSliceTables();

const SliceTables &tables() { return kSliceTables; }

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
constexpr uint64_t xToThePowerModPolynomial(int n) {
    uint64_t value = 1;
    for (int i = 0; i < n; ++i) {
        value <<= 1;
        if (value & 0x100000000ull)
            value ^= 0x100000000ull | kShiftedPolynomial;
    }
    return value;
}

// A 128-bit remainder R (its first bit the highest) that is followed by n
// more bits is worth R.high * x^(n+64) + R.low * x^n: carry-less
// multiplications by those powers, reduced beforehand, fold it forward.
__attribute__((target("pclmul,ssse3"))) inline __m128i foldForward(__m128i remainder,
                                                                   __m128i powers) {
    return _mm_xor_si128(_mm_clmulepi64_si128(remainder, powers, 0x11),
                         _mm_clmulepi64_si128(remainder, powers, 0x00));
}

__attribute__((target("pclmul,ssse3"))) inline __m128i loadBlock(const uint8_t *data) {
    const __m128i reverse = _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    return _mm_shuffle_epi8(_mm_loadu_si128((const __m128i *)data), reverse);
}

// The block of the first `head` bytes behind 16 - head zero bytes, in the
// order of loadBlock: one shuffle of the first 16 bytes (the data holds at
// least 32) moves the bytes and clears the rest.
struct HeadShuffles {
    uint8_t mask[17][16];
};

constexpr HeadShuffles headShuffles() {
    HeadShuffles shuffles = {};
    for (int head = 1; head <= 16; ++head)
        for (int lane = 0; lane < 16; ++lane) {
            // Lane k of the result is byte 15 - k of the padded block,
            // which is data byte 15 - k - (16 - head), or a zero.
            int from = 15 - lane - (16 - head);
            shuffles.mask[head][lane] = from >= 0 ? (uint8_t)from : 0x80;
        }
    return shuffles;
}

constexpr HeadShuffles kHeadShuffles = headShuffles();

__attribute__((target("pclmul,ssse3"))) inline __m128i loadHead(const uint8_t *data, size_t head) {
    return _mm_shuffle_epi8(_mm_loadu_si128((const __m128i *)data),
                            _mm_loadu_si128((const __m128i *)kHeadShuffles.mask[head]));
}

// Sixteen bytes per block. The checksum starts from 0, so zero bytes in
// front of the data change nothing: the first block is the data's first
// size % 16 bytes behind zeros, and every later block is whole. Two
// remainders, of the even and of the odd blocks, each jump two blocks per
// step: the processor works on both at once, where one alone would wait
// for each multiplication. What is left at the end, 16 bytes, goes through
// the tables.
constexpr uint64_t kOneBlockHigh = xToThePowerModPolynomial(192);
constexpr uint64_t kOneBlockLow = xToThePowerModPolynomial(128);
constexpr uint64_t kTwoBlocksHigh = xToThePowerModPolynomial(320);
constexpr uint64_t kTwoBlocksLow = xToThePowerModPolynomial(256);

__attribute__((target("pclmul,ssse3"))) uint32_t folded(const uint8_t *data, size_t size) {
    const __m128i oneBlock = _mm_set_epi64x((long long)kOneBlockHigh, (long long)kOneBlockLow);
    const __m128i twoBlocks = _mm_set_epi64x((long long)kTwoBlocksHigh, (long long)kTwoBlocksLow);
    size_t head = size % 16 == 0 ? 16 : size % 16;
    __m128i remainder = loadHead(data, head);
    data += head;
    size -= head;
    if (size >= 16) {
        __m128i odd = loadBlock(data);
        data += 16;
        size -= 16;
        for (; size >= 32; data += 32, size -= 32) {
            remainder = _mm_xor_si128(foldForward(remainder, twoBlocks), loadBlock(data));
            odd = _mm_xor_si128(foldForward(odd, twoBlocks), loadBlock(data + 16));
        }
        remainder = _mm_xor_si128(foldForward(remainder, oneBlock), odd);
    }
    if (size >= 16)
        remainder = _mm_xor_si128(foldForward(remainder, oneBlock), loadBlock(data));
    uint8_t left[16];
    const __m128i reverse = _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    _mm_storeu_si128((__m128i *)left, _mm_shuffle_epi8(remainder, reverse));
    return sliced(0, left, 16);
}

bool canFold() {
    static const bool can = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("ssse3");
    return can;
}

// Below this, setting up the folding costs more than it saves.
const size_t kFoldFrom = 32;

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
