// ImageHeader: an image's format and size in pixels, read from the first
// bytes of a PNG, JPEG or GIF file without decoding it. Pure functions,
// thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace pallix {

struct ImageHeader {
  std::string format;  // "PNG", "JPEG", "GIF"
  uint32_t width = 0;
  uint32_t height = 0;
  friend bool operator==(const ImageHeader&, const ImageHeader&) = default;
};

// nullopt for other formats and for headers that are truncated, corrupt or
// claim an empty or absurd size (either side 0 or above kMaxImageSide).
std::optional<ImageHeader> readImageHeader(std::string_view bytes);
inline constexpr uint32_t kMaxImageSide = 1u << 20;

// "PNG" for "image/png", the subtype upper-cased otherwise ("image/webp"
// gives "WEBP"); empty for types that are not images.
std::string imageFormatForType(std::string_view mimeType);

}  // namespace pallix
