// Little-endian field access for the byte images the tests build and edit.
// Out-of-range access throws std::out_of_range: a fixture that edits a
// field it does not have is a bug in the test, not a silent no-op.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace purgato {

inline void checkRange(const std::vector<std::uint8_t>& bytes, std::size_t offset, std::size_t count) {
  if (offset > bytes.size() || count > bytes.size() - offset)
    throw std::out_of_range("field at " + std::to_string(offset) + " outside " + std::to_string(bytes.size()) +
                            " bytes");
}

inline void putLe16(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint16_t value) {
  checkRange(bytes, offset, 2);
  bytes[offset] = std::uint8_t(value);
  bytes[offset + 1] = std::uint8_t(value >> 8);
}

inline void putLe32(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint32_t value) {
  checkRange(bytes, offset, 4);
  for (int i = 0; i < 4; ++i) bytes[offset + i] = std::uint8_t(value >> (8 * i));
}

inline std::uint16_t getLe16(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
  checkRange(bytes, offset, 2);
  return std::uint16_t(bytes[offset] | (bytes[offset + 1] << 8));
}

inline std::uint32_t getLe32(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
  checkRange(bytes, offset, 4);
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | bytes[offset + i];
  return value;
}

// Copies `data` over bytes[offset...], growing nothing.
inline void putBytes(std::vector<std::uint8_t>& bytes, std::size_t offset, const std::uint8_t* data,
                     std::size_t count) {
  checkRange(bytes, offset, count);
  for (std::size_t i = 0; i < count; ++i) bytes[offset + i] = data[i];
}

}  // namespace purgato
