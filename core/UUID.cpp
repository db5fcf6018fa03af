#include "core/UUID.h"

#include <mutex>
#include <random>

namespace pallix {

UUID UUID::random() {
  static std::mutex mutex;
  static std::mt19937_64 engine{std::random_device{}()};
  UUID u;
  {
    std::lock_guard<std::mutex> lock(mutex);
    uint64_t a = engine(), b = engine();
    for (int i = 0; i < 8; ++i) {
      u.bytes_[i] = static_cast<uint8_t>(a >> (8 * i));
      u.bytes_[8 + i] = static_cast<uint8_t>(b >> (8 * i));
    }
  }
  u.bytes_[6] = static_cast<uint8_t>((u.bytes_[6] & 0x0F) | 0x40);
  u.bytes_[8] = static_cast<uint8_t>((u.bytes_[8] & 0x3F) | 0x80);
  return u;
}

std::string UUID::string() const {
  static const char* kHex = "0123456789ABCDEF";
  std::string out;
  out.reserve(36);
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
    out += kHex[bytes_[i] >> 4];
    out += kHex[bytes_[i] & 15];
  }
  return out;
}

std::optional<UUID> UUID::parse(const std::string& text) {
  if (text.size() != 36) return std::nullopt;
  UUID u;
  int byte = 0;
  for (size_t i = 0; i < text.size();) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') return std::nullopt;
      ++i;
      continue;
    }
    auto nibble = [](char c) -> int {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      if (c >= 'A' && c <= 'F') return c - 'A' + 10;
      return -1;
    };
    int hi = nibble(text[i]), lo = nibble(text[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    u.bytes_[byte++] = static_cast<uint8_t>(hi * 16 + lo);
    i += 2;
  }
  return u;
}

bool UUID::isNil() const {
  for (uint8_t b : bytes_) {
    if (b) return false;
  }
  return true;
}

}  // namespace pallix
