// Emoji records: EmojiSkinTone, EmojiEntry (one emoji of the picker with its
// tone variants) and EmojiSearchMatch. Plain values; no thread affinity.
#pragma once

#include <array>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pallix {

// The raw value is the modifier's code point text.
enum class EmojiSkinTone { light, mediumLight, medium, mediumDark, dark };
inline constexpr std::array<EmojiSkinTone, 5> kAllSkinTones = {EmojiSkinTone::light, EmojiSkinTone::mediumLight,
                                                               EmojiSkinTone::medium, EmojiSkinTone::mediumDark,
                                                               EmojiSkinTone::dark};
const char* skinToneRawValue(EmojiSkinTone tone);  // "1F3FB" ... "1F3FF"
const char* skinToneName(EmojiSkinTone tone);      // "light" ... "dark"
std::optional<EmojiSkinTone> skinToneFromRawValue(std::string_view raw);
std::optional<EmojiSkinTone> skinToneFromName(std::string_view name);
char32_t skinToneScalar(EmojiSkinTone tone);  // U+1F3FB ... U+1F3FF
// `text` without any of the five tone modifiers.
std::string removeSkinToneScalars(std::string_view text);

struct EmojiEntry {
  std::string id;         // the base character
  std::string character;  // what is shown and inserted
  std::string shortName;
  std::vector<std::string> keywords;  // lower-case, sorted, unique
  // The words people use for it (CLDR annotations, lower-case, the user's
  // language after English); empty without the annotation files.
  std::vector<std::string> annotations;
  std::string category;
  std::string subcategory;
  std::string baseCharacter;
  std::map<EmojiSkinTone, std::string> skinToneVariants;
  // Lower-cased short name, kept for scoring.
  std::string lowercasedShortName;

  // The entry showing the variant of `tone` when it has one.
  EmojiEntry withPreferredSkinTone(std::optional<EmojiSkinTone> tone) const;
  friend bool operator==(const EmojiEntry&, const EmojiEntry&) = default;
};

struct EmojiSearchMatch {
  EmojiEntry entry;
  bool isRecent = false;
  int score = 0;
};

}  // namespace pallix
