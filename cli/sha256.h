// SHA-256, for the report's fingerprint of each file before it is changed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace purgato {

class Sha256 {
 public:
  Sha256();
  void update(const void* data, std::size_t size);
  // The digest as 64 lower-case hex digits; the object is spent after it.
  std::string hexDigest();

 private:
  void block(const std::uint8_t* p);
  std::uint32_t state_[8];
  std::uint8_t buffer_[64];
  std::size_t buffered_ = 0;
  std::uint64_t length_ = 0;  // bytes
};

}  // namespace purgato
