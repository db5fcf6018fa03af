#include "app/clipboard/ImageHeader.h"

#include "core/Strings.h"

namespace pallix {
namespace {

uint32_t bigEndian32(std::string_view b, size_t at) {
  return (uint32_t(uint8_t(b[at])) << 24) | (uint32_t(uint8_t(b[at + 1])) << 16) | (uint32_t(uint8_t(b[at + 2])) << 8) |
         uint32_t(uint8_t(b[at + 3]));
}
uint32_t bigEndian16(std::string_view b, size_t at) {
  return (uint32_t(uint8_t(b[at])) << 8) | uint32_t(uint8_t(b[at + 1]));
}
uint32_t littleEndian16(std::string_view b, size_t at) {
  return uint32_t(uint8_t(b[at])) | (uint32_t(uint8_t(b[at + 1])) << 8);
}

std::optional<ImageHeader> sized(const char* format, uint32_t width, uint32_t height) {
  if (width == 0 || height == 0 || width > kMaxImageSide || height > kMaxImageSide) return std::nullopt;
  return ImageHeader{format, width, height};
}

std::optional<ImageHeader> png(std::string_view b) {
  // Signature, then the IHDR chunk: length 13, type, width, height.
  if (b.size() < 24 || b.substr(12, 4) != "IHDR" || bigEndian32(b, 8) != 13) return std::nullopt;
  return sized("PNG", bigEndian32(b, 16), bigEndian32(b, 20));
}

// Walks the markers up to the first start-of-frame, which holds the size.
std::optional<ImageHeader> jpeg(std::string_view b) {
  size_t at = 2;
  while (at + 4 <= b.size()) {
    if (uint8_t(b[at]) != 0xFF) return std::nullopt;
    const uint8_t marker = uint8_t(b[at + 1]);
    if (marker == 0xFF) {  // fill byte
      ++at;
      continue;
    }
    // Markers without a length: TEM, restarts.
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
      at += 2;
      continue;
    }
    if (marker == 0xD9 || marker == 0xDA) return std::nullopt;  // end of image, scan data: no frame came first
    const uint32_t length = bigEndian16(b, at + 2);
    if (length < 2) return std::nullopt;
    const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
    if (frame) {
      // Length, precision, height, width.
      if (length < 7 || at + 9 > b.size()) return std::nullopt;
      return sized("JPEG", bigEndian16(b, at + 7), bigEndian16(b, at + 5));
    }
    at += 2 + length;
  }
  return std::nullopt;
}

std::optional<ImageHeader> gif(std::string_view b) {
  if (b.size() < 10) return std::nullopt;
  return sized("GIF", littleEndian16(b, 6), littleEndian16(b, 8));
}

}  // namespace

std::optional<ImageHeader> readImageHeader(std::string_view b) {
  if (b.substr(0, 8) == std::string_view("\x89PNG\r\n\x1a\n", 8)) return png(b);
  if (b.size() >= 3 && uint8_t(b[0]) == 0xFF && uint8_t(b[1]) == 0xD8 && uint8_t(b[2]) == 0xFF) return jpeg(b);
  if (b.substr(0, 6) == "GIF87a" || b.substr(0, 6) == "GIF89a") return gif(b);
  return std::nullopt;
}

std::string imageFormatForType(std::string_view mimeType) {
  std::string type = asciiLowercase(mimeType);
  type = type.substr(0, type.find(';'));
  if (!startsWith(type, "image/")) return "";
  std::string sub = type.substr(6);
  if (sub == "jpg" || sub == "pjpeg") sub = "jpeg";
  if (sub == "svg+xml") sub = "svg";
  if (sub == "x-icon" || sub == "vnd.microsoft.icon") sub = "ico";
  if (startsWith(sub, "x-")) sub = sub.substr(2);
  for (char& c : sub) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return sub;
}

}  // namespace pallix
