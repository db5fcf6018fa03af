// UUID: random (version 4) identifiers for sessions, snapshots and handlers.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace pallix {

class UUID {
 public:
  UUID() = default;  // The nil UUID.
  static UUID random();
  static std::optional<UUID> parse(const std::string& text);

  // Upper-case canonical form, "E621E1F8-C36C-495A-93FC-0C247A3E6E5F".
  std::string string() const;
  bool isNil() const;
  const std::array<uint8_t, 16>& bytes() const { return bytes_; }

  friend bool operator==(const UUID&, const UUID&) = default;
  friend auto operator<=>(const UUID&, const UUID&) = default;

 private:
  std::array<uint8_t, 16> bytes_{};
};

}  // namespace pallix

template <>
struct std::hash<pallix::UUID> {
  size_t operator()(const pallix::UUID& u) const noexcept {
    size_t h = 0;
    for (uint8_t b : u.bytes()) h = h * 131 + b;
    return h;
  }
};
