// CRC-24Q, the checksum that ends every RTCM 3 frame: polynomial 0x1864CFB,
// initial value 0, most significant bit first, no final inversion.
#ifndef VELTO_ANALYSIS_CRC24Q_H
#define VELTO_ANALYSIS_CRC24Q_H

#include <stddef.h>
#include <stdint.h>

namespace analysis {

// The checksum of size bytes, sixteen bytes per step: by carry-less
// multiplication where the processor has it (x86-64 with PCLMULQDQ), else
// by sixteen table lookups. Every byte of a stream passes through it, so it
// bounds the speed of the analysis.
uint32_t crc24q(const uint8_t *data, size_t size);

// The same checksum, one table lookup per byte: the plain form that the
// fast one is checked and measured against.
uint32_t crc24qBytewise(const uint8_t *data, size_t size);

} // namespace analysis

#endif
