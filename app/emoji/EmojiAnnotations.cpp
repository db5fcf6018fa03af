#include "app/emoji/EmojiAnnotations.h"

#include <algorithm>
#include <cstdlib>

#include "app/emoji/EmojiEntryCatalog.h"
#include "core/FileUtil.h"
#include "core/Strings.h"

namespace pallix {
namespace {

std::string unescapeXml(std::string_view text) {
  static constexpr std::pair<std::string_view, char> kEntities[] = {
      {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    bool replaced = false;
    if (text[i] == '&') {
      for (const auto& [entity, c] : kEntities) {
        if (text.substr(i, entity.size()) == entity) {
          out += c;
          i += entity.size();
          replaced = true;
          break;
        }
      }
    }
    if (!replaced) out += text[i++];
  }
  return out;
}

}  // namespace

std::string withoutPresentationSelector(std::string_view text) {
  static constexpr std::string_view kSelector = "\xEF\xB8\x8F";  // U+FE0F
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    if (text.substr(i, kSelector.size()) == kSelector) {
      i += kSelector.size();
    } else {
      out += text[i++];
    }
  }
  return out;
}

EmojiAnnotations parseEmojiAnnotations(std::string_view xml) {
  EmojiAnnotations out;
  static constexpr std::string_view kOpen = "<annotation cp=\"";
  for (size_t at = xml.find(kOpen); at != std::string_view::npos; at = xml.find(kOpen, at + 1)) {
    const size_t cpStart = at + kOpen.size();
    const size_t cpEnd = xml.find('"', cpStart);
    const size_t tagEnd = cpEnd == std::string_view::npos ? cpEnd : xml.find('>', cpEnd);
    const size_t close = tagEnd == std::string_view::npos ? tagEnd : xml.find("</annotation>", tagEnd);
    if (close == std::string_view::npos) break;
    if (xml.substr(cpEnd, tagEnd - cpEnd).find("type=") != std::string_view::npos) continue;
    const std::string emoji = withoutPresentationSelector(unescapeXml(xml.substr(cpStart, cpEnd - cpStart)));
    std::vector<std::string>& phrases = out[emoji];
    for (const std::string& part : splitString(unescapeXml(xml.substr(tagEnd + 1, close - tagEnd - 1)), '|')) {
      std::string phrase = lowercaseEmojiText(trimWhitespace(part));
      if (!phrase.empty() && std::find(phrases.begin(), phrases.end(), phrase) == phrases.end()) {
        phrases.push_back(std::move(phrase));
      }
    }
  }
  return out;
}

std::string emojiAnnotationsDirectory() {
  if (const char* dir = std::getenv("PALLIX_CLDR_ANNOTATIONS"); dir && *dir) return dir;
  return "/usr/share/unicode/cldr/common/annotations";
}

std::vector<std::string> emojiAnnotationFiles(const std::string& directory) {
  std::vector<std::string> names = {"en"};
  for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(variable);
    if (!value || !*value) continue;
    std::string locale(value);
    locale = locale.substr(0, locale.find_first_of(".@"));
    if (locale == "C" || locale == "POSIX") break;
    const std::string language = locale.substr(0, locale.find('_'));
    if (!language.empty() && language != "en") names.push_back(language);
    if (locale != language) names.push_back(locale);
    break;
  }
  std::vector<std::string> files;
  for (const std::string& name : names) {
    const std::string path = directory + "/" + name + ".xml";
    if (fileExists(path) && std::find(files.begin(), files.end(), path) == files.end()) files.push_back(path);
  }
  return files;
}

void addEmojiAnnotations(std::vector<EmojiEntry>& entries, const std::vector<std::string>& files) {
  std::vector<EmojiAnnotations> loaded;
  for (const std::string& file : files) {
    auto text = readRegularFile(file, uint64_t{16} << 20);
    if (text.ok()) loaded.push_back(parseEmojiAnnotations(text.value()));
  }
  if (loaded.empty()) return;
  for (EmojiEntry& entry : entries) {
    const std::string key = withoutPresentationSelector(entry.baseCharacter);
    for (const EmojiAnnotations& annotations : loaded) {
      auto found = annotations.find(key);
      if (found == annotations.end()) continue;
      for (const std::string& phrase : found->second) {
        if (std::find(entry.annotations.begin(), entry.annotations.end(), phrase) == entry.annotations.end()) {
          entry.annotations.push_back(phrase);
        }
      }
    }
  }
}

}  // namespace pallix
