// SHA-256 (FIPS 180-4), for reporting the bytes of uploaded files.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace kvhost {

class Sha256 {
 public:
  Sha256() noexcept;
  void Update(const void* data, size_t size) noexcept;
  // The digest of everything added; the object is spent afterwards.
  std::array<uint8_t, 32> Final() noexcept;

 private:
  void Block(const uint8_t* block) noexcept;

  std::array<uint32_t, 8> state_;
  std::array<uint8_t, 64> buffer_{};
  size_t buffered_ = 0;
  uint64_t length_ = 0;  // bytes added so far
};

// The digest of size bytes at data, as 64 lowercase hexadecimal digits.
std::string Sha256Hex(const void* data, size_t size);

}  // namespace kvhost
