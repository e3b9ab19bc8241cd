// The component CRC: reflected CRC-32 (0xEDB88320), register in and out, no
// final complement. Several implementations give the same values; one is
// picked once from the CPU's features.
#pragma once

#include <cstdint>

uint32_t image_crc32(const uint8_t *data, uint32_t length, uint32_t seed);

// The register after zeroBytes zero bytes, without running over them. Since
// image_crc32(A+B, seed) == image_crc32_zeros(image_crc32(A, seed), |B|) ^
// image_crc32(B, 0), a writer can sum a payload before it knows the header
// that goes in front of it.
uint32_t image_crc32_zeros(uint32_t crc, uint64_t zeroBytes);

enum class Crc32Path : uint8_t { Portable, Pclmul, Vpclmul256 };

// Whether this build and this CPU can run a path.
bool crc32_path_available(Crc32Path path);
// Makes image_crc32 use path from now on; false (and no change) when unavailable.
bool crc32_force_path(Crc32Path path);
Crc32Path crc32_active_path();

// The paths themselves, for tests and benchmarks.
uint32_t image_crc32_portable(const uint8_t *data, uint32_t length, uint32_t seed);
#if defined(IMGL_HAVE_X86_CRC)
uint32_t image_crc32_pclmul(const uint8_t *data, uint32_t length, uint32_t seed);
uint32_t image_crc32_vpclmul256(const uint8_t *data, uint32_t length, uint32_t seed);
#endif
