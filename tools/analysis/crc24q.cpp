#include "crc24q.h"

namespace analysis {

namespace {

// The 24-bit register lives in the top three bytes of a 32-bit word, so that
// the polynomial (without its x^24 term) is 0x864CFB shifted up by eight and
// four input bytes can be folded into the register at once.
const uint32_t kShiftedPolynomial = 0x864CFB00u;

// entry[k][b]: the register after byte b followed by k zero bytes.
struct SliceTables {
    uint32_t entry[8][256];

    SliceTables() {
        for (uint32_t byte = 0; byte < 256; ++byte) {
            uint32_t crc = byte << 24;
            for (int bit = 0; bit < 8; ++bit)
                crc = (crc & 0x80000000u) ? (crc << 1) ^ kShiftedPolynomial : crc << 1;
            entry[0][byte] = crc;
        }
        for (int k = 1; k < 8; ++k)
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

} // namespace

uint32_t crc24q(const uint8_t *data, size_t size) {
    const SliceTables &t = tables();
    uint32_t crc = 0;
    while (size >= 8) {
        uint32_t high = bigEndian32(data) ^ crc;
        uint32_t low = bigEndian32(data + 4);
        crc = t.entry[7][high >> 24] ^ t.entry[6][(high >> 16) & 0xFF] ^
              t.entry[5][(high >> 8) & 0xFF] ^ t.entry[4][high & 0xFF] ^
              t.entry[3][low >> 24] ^ t.entry[2][(low >> 16) & 0xFF] ^
              t.entry[1][(low >> 8) & 0xFF] ^ t.entry[0][low & 0xFF];
        data += 8;
        size -= 8;
    }
    while (size-- > 0)
        crc = (crc << 8) ^ t.entry[0][(crc >> 24) ^ *data++];
    return crc >> 8;
}

uint32_t crc24qBytewise(const uint8_t *data, size_t size) {
    const SliceTables &t = tables();
    uint32_t crc = 0;
    for (size_t i = 0; i < size; ++i)
        crc = (crc << 8) ^ t.entry[0][(crc >> 24) ^ data[i]];
    return crc >> 8;
}

} // namespace analysis
