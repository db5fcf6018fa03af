#include "app/platform/linux/WordNetDictionary.h"

#include <wn.h>

#include <mutex>
#include <vector>

#include "core/Strings.h"

namespace pallix {

namespace {

std::mutex& wordNetMutex() {
  static std::mutex mutex;
  return mutex;
}

// Opens the data files once; false when they are missing.
bool initialized() {
  static const bool ok = wninit() == 0;
  return ok;
}

const char* posName(int pos) {
  switch (pos) {
    case NOUN:
      return "noun";
    case VERB:
      return "verb";
    case ADJ:
      return "adjective";
    default:
      return "adverb";
  }
}

// "(gloss; "example"; "example")" -> "gloss".
std::string gloss(const char* defn) {
  std::string text = defn ? defn : "";
  if (!text.empty() && text.front() == '(') text.erase(0, 1);
  size_t examples = text.find("; \"");
  if (examples != std::string::npos) text.resize(examples);
  if (!text.empty() && text.back() == ')') text.pop_back();
  return std::string(trimWhitespace(text));
}

SynsetPtr senses(std::string word, int pos) {
  std::vector<char> buffer(word.begin(), word.end());
  buffer.push_back('\0');
  return findtheinfo_ds(buffer.data(), pos, SYNS, ALLSENSES);
}

}  // namespace

bool WordNetDictionary::isAvailable() const {
  std::lock_guard<std::mutex> lock(wordNetMutex());
  return initialized();
}

std::optional<std::string> WordNetDictionary::definition(const std::string& term) {
  std::lock_guard<std::mutex> lock(wordNetMutex());
  if (!initialized() || term.empty() || term.size() > 128) return std::nullopt;
  std::string word = term;
  for (char& c : word) {
    if (c == ' ') c = '_';
  }
  std::vector<std::string> lines;
  for (int pos : {NOUN, VERB, ADJ, ADV}) {
    SynsetPtr found = senses(word, pos);
    if (!found) {
      std::vector<char> buffer(word.begin(), word.end());
      buffer.push_back('\0');
      if (char* base = morphstr(buffer.data(), pos)) found = senses(base, pos);
    }
    for (SynsetPtr s = found; s && static_cast<int>(lines.size()) < kMaxSenses; s = s->nextss) {
      std::string text = gloss(s->defn);
      if (text.empty()) continue;
      lines.push_back(std::to_string(lines.size() + 1) + ". (" + posName(pos) + ") " + text);
    }
    if (found) free_syns(found);
  }
  if (lines.empty()) return std::nullopt;
  return joinStrings(lines, "\n");
}

}  // namespace pallix
