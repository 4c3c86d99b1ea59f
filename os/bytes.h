// Little-endian reads of file and OS data: what Windows stores, whatever
// the host's byte order.
#pragma once

#include <cstdint>

namespace purgato {

inline std::uint16_t readLe16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

inline std::uint32_t readLe32(const unsigned char* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

}  // namespace purgato
