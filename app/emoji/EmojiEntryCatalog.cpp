#include "app/emoji/EmojiEntryCatalog.h"

#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>

#include "app/emoji/EmojiAnnotations.h"
#include "core/FileUtil.h"
#include "core/Logger.h"
#include "core/Strings.h"
#include "core/Telemetry.h"

#ifndef PALLIX_SOURCE_RESOURCES_DIR
#define PALLIX_SOURCE_RESOURCES_DIR ""
#endif

namespace pallix {
namespace {

// The built-in list: a few dozen common emoji in the resource's record form.
constexpr const char* kFallbackEmojis = R"JSON({"emojis":[
{"code":["1F600"],"emoji":"😀","name":"grinning face","category":"Smileys & Emotion","subcategory":"face-smiling"},
{"code":["1F602"],"emoji":"😂","name":"face with tears of joy","category":"Smileys & Emotion","subcategory":"face-smiling"},
{"code":["1F609"],"emoji":"😉","name":"winking face","category":"Smileys & Emotion","subcategory":"face-smiling"},
{"code":["1F60D"],"emoji":"😍","name":"smiling face with heart-eyes","category":"Smileys & Emotion","subcategory":"face-affection"},
{"code":["1F914"],"emoji":"🤔","name":"thinking face","category":"Smileys & Emotion","subcategory":"face-hand"},
{"code":["1F622"],"emoji":"😢","name":"crying face","category":"Smileys & Emotion","subcategory":"face-concerned"},
{"code":["1F4A9"],"emoji":"💩","name":"pile of poo","category":"Smileys & Emotion","subcategory":"face-costume"},
{"code":["2764","FE0F"],"emoji":"❤️","name":"red heart","category":"Smileys & Emotion","subcategory":"heart"},
{"code":["1F4AF"],"emoji":"💯","name":"hundred points","category":"Smileys & Emotion","subcategory":"emotion"},
{"code":["1F44B"],"emoji":"👋","name":"waving hand","category":"People & Body","subcategory":"hand-fingers-open"},
{"code":["1F44B","1F3FB"],"emoji":"👋🏻","name":"waving hand: light skin tone","category":"People & Body","subcategory":"hand-fingers-open"},
{"code":["1F44B","1F3FC"],"emoji":"👋🏼","name":"waving hand: medium-light skin tone","category":"People & Body","subcategory":"hand-fingers-open"},
{"code":["1F44B","1F3FD"],"emoji":"👋🏽","name":"waving hand: medium skin tone","category":"People & Body","subcategory":"hand-fingers-open"},
{"code":["1F44B","1F3FE"],"emoji":"👋🏾","name":"waving hand: medium-dark skin tone","category":"People & Body","subcategory":"hand-fingers-open"},
{"code":["1F44B","1F3FF"],"emoji":"👋🏿","name":"waving hand: dark skin tone","category":"People & Body","subcategory":"hand-fingers-open"},
{"code":["1F44D"],"emoji":"👍","name":"thumbs up","category":"People & Body","subcategory":"hand-fingers-closed"},
{"code":["1F44D","1F3FB"],"emoji":"👍🏻","name":"thumbs up: light skin tone","category":"People & Body","subcategory":"hand-fingers-closed"},
{"code":["1F44D","1F3FC"],"emoji":"👍🏼","name":"thumbs up: medium-light skin tone","category":"People & Body","subcategory":"hand-fingers-closed"},
{"code":["1F44D","1F3FD"],"emoji":"👍🏽","name":"thumbs up: medium skin tone","category":"People & Body","subcategory":"hand-fingers-closed"},
{"code":["1F44D","1F3FE"],"emoji":"👍🏾","name":"thumbs up: medium-dark skin tone","category":"People & Body","subcategory":"hand-fingers-closed"},
{"code":["1F44D","1F3FF"],"emoji":"👍🏿","name":"thumbs up: dark skin tone","category":"People & Body","subcategory":"hand-fingers-closed"},
{"code":["1F44E"],"emoji":"👎","name":"thumbs down","category":"People & Body","subcategory":"hand-fingers-closed"},
{"code":["1F44F"],"emoji":"👏","name":"clapping hands","category":"People & Body","subcategory":"hands"},
{"code":["1F64F"],"emoji":"🙏","name":"folded hands","category":"People & Body","subcategory":"hands"},
{"code":["1F440"],"emoji":"👀","name":"eyes","category":"People & Body","subcategory":"body-parts"},
{"code":["1F468","200D","1F469","200D","1F467","200D","1F466"],"emoji":"👨‍👩‍👧‍👦","name":"family: man, woman, girl, boy","category":"People & Body","subcategory":"family"},
{"code":["1F436"],"emoji":"🐶","name":"dog face","category":"Animals & Nature","subcategory":"animal-mammal"},
{"code":["1F431"],"emoji":"🐱","name":"cat face","category":"Animals & Nature","subcategory":"animal-mammal"},
{"code":["1F355"],"emoji":"🍕","name":"pizza","category":"Food & Drink","subcategory":"food-prepared"},
{"code":["1F382"],"emoji":"🎂","name":"birthday cake","category":"Food & Drink","subcategory":"food-sweet"},
{"code":["2615"],"emoji":"☕","name":"hot beverage","category":"Food & Drink","subcategory":"drink"},
{"code":["1F680"],"emoji":"🚀","name":"rocket","category":"Travel & Places","subcategory":"transport-air"},
{"code":["2600","FE0F"],"emoji":"☀️","name":"sun","category":"Travel & Places","subcategory":"sky & weather"},
{"code":["2B50"],"emoji":"⭐","name":"star","category":"Travel & Places","subcategory":"sky & weather"},
{"code":["1F525"],"emoji":"🔥","name":"fire","category":"Travel & Places","subcategory":"sky & weather"},
{"code":["2728"],"emoji":"✨","name":"sparkles","category":"Activities","subcategory":"event"},
{"code":["1F389"],"emoji":"🎉","name":"party popper","category":"Activities","subcategory":"event"},
{"code":["1F4A1"],"emoji":"💡","name":"light bulb","category":"Objects","subcategory":"light & video"},
{"code":["26A0","FE0F"],"emoji":"⚠️","name":"warning","category":"Symbols","subcategory":"warning"},
{"code":["2705"],"emoji":"✅","name":"check mark button","category":"Symbols","subcategory":"other-symbol"},
{"code":["274C"],"emoji":"❌","name":"cross mark","category":"Symbols","subcategory":"other-symbol"},
{"code":["1F1E8","1F1E6"],"emoji":"🇨🇦","name":"flag: Canada","category":"Flags","subcategory":"country-flag"},
{"code":["1F1EF","1F1F5"],"emoji":"🇯🇵","name":"flag: Japan","category":"Flags","subcategory":"country-flag"}]})JSON";

struct RawEntry {
  std::vector<std::string> code;
  std::string emoji, name, category, subcategory;
};

std::optional<EmojiSkinTone> toneOf(const RawEntry& raw, bool& mixed) {
  std::optional<EmojiSkinTone> tone;
  mixed = false;
  for (const std::string& code : raw.code) {
    auto t = skinToneFromRawValue(code);
    if (!t) continue;
    if (tone && *tone != *t) mixed = true;
    tone = t;
  }
  return tone;
}

void addTokens(std::set<std::string>& keywords, std::string_view text) {
  for (std::string& token : tokenizeEmojiText(text)) keywords.insert(std::move(token));
}

}  // namespace

std::string lowercaseEmojiText(std::string_view text) {
  std::string out;
  icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())))
      .toLower()
      .toUTF8String(out);
  return out;
}

std::vector<std::string> tokenizeEmojiText(std::string_view text) {
  std::vector<std::string> tokens;
  std::string current;
  icu::UnicodeString lower =
      icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size()))).toLower();
  for (int32_t i = 0; i < lower.length();) {
    UChar32 c = lower.char32At(i);
    i += U16_LENGTH(c);
    if (u_isalnum(c)) {
      appendUtf8(current, static_cast<char32_t>(c));
    } else if (!current.empty()) {
      tokens.push_back(std::move(current));
      current.clear();
    }
  }
  if (!current.empty()) tokens.push_back(std::move(current));
  return tokens;
}

Error EmojiEntryCatalog::error(CatalogError code, const std::string& cause) {
  switch (code) {
    case CatalogError::missingResource:
      return Error(kErrorDomain, 1, "Emojis.json could not be found in the application bundle.");
    case CatalogError::emptyCatalog:
      return Error(kErrorDomain, 2, "Emojis.json did not contain any emoji entries.");
    case CatalogError::invalidResource:
      break;
  }
  return Error(kErrorDomain, 3, "Emojis.json could not be decoded: " + cause);
}

std::string EmojiEntryCatalog::resourcePath() {
  std::vector<std::string> candidates;
  if (const char* env = std::getenv("PALLIX_RESOURCES"); env && *env) candidates.push_back(env);
  std::error_code ec;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    candidates.push_back((exe.parent_path() / "../../resources").lexically_normal().string());
    candidates.push_back((exe.parent_path() / "../share/pallix/resources").lexically_normal().string());
  }
  if (*PALLIX_SOURCE_RESOURCES_DIR) candidates.push_back(PALLIX_SOURCE_RESOURCES_DIR);
  for (const std::string& dir : candidates) {
    if (fileExists(dir + "/Emojis.json")) return dir + "/Emojis.json";
  }
  return "";
}

Result<std::vector<EmojiEntry>> EmojiEntryCatalog::parseCatalog(const std::string& text) {
  nlohmann::json json = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (json.is_discarded()) return error(CatalogError::invalidResource, "not JSON");
  auto list = json.is_object() ? json.find("emojis") : json.end();
  if (!json.is_object() || list == json.end() || !list->is_array()) {
    return error(CatalogError::invalidResource, "no \"emojis\" array");
  }
  std::vector<RawEntry> raws;
  for (const nlohmann::json& e : *list) {
    RawEntry raw;
    auto str = [&](const char* key, std::string& out) {
      auto it = e.find(key);
      if (it == e.end() || !it->is_string()) return false;
      out = it->get<std::string>();
      return true;
    };
    if (!e.is_object() || !str("emoji", raw.emoji) || !str("name", raw.name)) {
      return error(CatalogError::invalidResource, "an entry lacks \"emoji\" or \"name\"");
    }
    str("category", raw.category);
    str("subcategory", raw.subcategory);
    if (auto codes = e.find("code"); codes != e.end() && codes->is_array()) {
      for (const auto& c : *codes) {
        if (c.is_string()) raw.code.push_back(c.get<std::string>());
      }
    }
    raws.push_back(std::move(raw));
  }

  // Groups by base character, in order of first appearance.
  struct Group {
    const RawEntry* base = nullptr;
    std::map<EmojiSkinTone, std::string> variants;
  };
  std::vector<std::string> order;
  std::map<std::string, Group> groups;
  for (const RawEntry& raw : raws) {
    std::string base = removeSkinToneScalars(raw.emoji);
    auto [it, inserted] = groups.try_emplace(base);
    if (inserted) order.push_back(base);
    bool mixed = false;
    if (auto tone = toneOf(raw, mixed)) {
      // Variants mixing two tones have no single tone to stand for.
      if (!mixed) it->second.variants.try_emplace(*tone, raw.emoji);
    } else if (!it->second.base) {
      it->second.base = &raw;
    }
  }
  std::vector<EmojiEntry> entries;
  for (const std::string& baseCharacter : order) {
    const Group& group = groups[baseCharacter];
    if (!group.base) continue;  // tone variants whose base is missing
    const RawEntry& raw = *group.base;
    EmojiEntry entry;
    entry.id = baseCharacter;
    entry.character = raw.emoji;
    entry.baseCharacter = baseCharacter;
    entry.shortName = std::string(trimWhitespace(raw.name));
    entry.lowercasedShortName = lowercaseEmojiText(entry.shortName);
    entry.category = raw.category;
    entry.subcategory = raw.subcategory;
    entry.skinToneVariants = group.variants;
    std::set<std::string> keywords = {lowercaseEmojiText(raw.name), lowercaseEmojiText(raw.category),
                                      lowercaseEmojiText(raw.subcategory), lowercaseEmojiText(raw.emoji),
                                      lowercaseEmojiText(baseCharacter)};
    for (const std::string& code : raw.code) keywords.insert(lowercaseEmojiText(code));
    addTokens(keywords, raw.name);
    addTokens(keywords, raw.category);
    addTokens(keywords, raw.subcategory);
    addTokens(keywords, entry.shortName);
    keywords.erase("");
    entry.keywords.assign(keywords.begin(), keywords.end());
    entries.push_back(std::move(entry));
  }
  if (entries.empty()) return error(CatalogError::emptyCatalog);
  return entries;
}

Result<std::vector<EmojiEntry>> EmojiEntryCatalog::loadCatalog(const std::string& path) {
  if (path.empty() || !fileExists(path)) return error(CatalogError::missingResource);
  PALLIX_ASSIGN_OR_RETURN(std::string text, readRegularFile(path, uint64_t{64} << 20));
  return parseCatalog(text);
}

const std::vector<EmojiEntry>& EmojiEntryCatalog::fallbackCatalog() {
  static const std::vector<EmojiEntry> fallback = parseCatalog(kFallbackEmojis).value();
  return fallback;
}

std::vector<EmojiEntry> EmojiEntryCatalog::loadOrFallback(const std::string& path) {
  auto loaded = loadCatalog(path);
  if (loaded.ok()) return std::move(loaded).value();
  static const Logger log("EmojiCatalog");
  log.error("Pallix.EmojiCatalog: Failed to load Emojis.json - %s", loaded.error().description().c_str());
  TelemetryService::signal("EmojiEntryCatalog.loadFailed");
  return fallbackCatalog();
}

const std::vector<EmojiEntry>& EmojiEntryCatalog::defaultCatalog() {
  static const std::vector<EmojiEntry> catalog = [] {
    std::vector<EmojiEntry> entries = loadOrFallback(resourcePath());
    addEmojiAnnotations(entries, emojiAnnotationFiles(emojiAnnotationsDirectory()));
    return entries;
  }();
  return catalog;
}

}  // namespace pallix
