#include "app/emoji/EmojiEntry.h"

namespace pallix {

const char* skinToneRawValue(EmojiSkinTone tone) {
  static const char* kRaw[] = {"1F3FB", "1F3FC", "1F3FD", "1F3FE", "1F3FF"};
  return kRaw[static_cast<int>(tone)];
}

const char* skinToneName(EmojiSkinTone tone) {
  static const char* kNames[] = {"light", "mediumLight", "medium", "mediumDark", "dark"};
  return kNames[static_cast<int>(tone)];
}

std::optional<EmojiSkinTone> skinToneFromRawValue(std::string_view raw) {
  for (EmojiSkinTone tone : kAllSkinTones) {
    if (raw == skinToneRawValue(tone)) return tone;
  }
  return std::nullopt;
}

std::optional<EmojiSkinTone> skinToneFromName(std::string_view name) {
  for (EmojiSkinTone tone : kAllSkinTones) {
    if (name == skinToneName(tone)) return tone;
  }
  return std::nullopt;
}

char32_t skinToneScalar(EmojiSkinTone tone) {
  return U'\U0001F3FB' + static_cast<char32_t>(tone);
}

std::string removeSkinToneScalars(std::string_view text) {
  // The modifiers U+1F3FB..U+1F3FF are F0 9F 8F BB..BF in UTF-8.
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (i + 3 < text.size() && static_cast<unsigned char>(text[i]) == 0xF0 &&
        static_cast<unsigned char>(text[i + 1]) == 0x9F && static_cast<unsigned char>(text[i + 2]) == 0x8F &&
        static_cast<unsigned char>(text[i + 3]) >= 0xBB && static_cast<unsigned char>(text[i + 3]) <= 0xBF) {
      i += 3;
      continue;
    }
    out.push_back(text[i]);
  }
  return out;
}

EmojiEntry EmojiEntry::withPreferredSkinTone(std::optional<EmojiSkinTone> tone) const {
  EmojiEntry entry = *this;
  if (!tone) return entry;
  if (auto it = skinToneVariants.find(*tone); it != skinToneVariants.end()) entry.character = it->second;
  return entry;
}

}  // namespace pallix
