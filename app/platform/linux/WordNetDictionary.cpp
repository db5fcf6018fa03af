#include "app/platform/linux/WordNetDictionary.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wn.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "core/FileUtil.h"
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

// "gloss; "example"; "example"" -> "gloss". The gloss itself may open with a
// domain in parentheses ("(American football) a play..."), which stays.
std::string gloss(std::string_view defn) {
  std::string text(defn);
  size_t examples = text.find("; \"");
  if (examples != std::string::npos) text.resize(examples);
  return std::string(trimWhitespace(text));
}

// One index file ("index.noun") mapped into memory: lines "lemma pos synset_cnt p_cnt [ptr...]
// sense_cnt tagsense_cnt offset...", sorted by lemma. Searching it in memory saves the two system
// calls per probe that the library's own binary search makes.
struct IndexFile {
  const char* data = nullptr;
  size_t size = 0;

  // The line of `lemma`, if any.
  std::optional<std::string_view> find(std::string_view lemma) const {
    size_t lo = 0, hi = size;
    while (lo < hi) {
      const size_t mid = lo + (hi - lo) / 2;
      const void* back = mid == 0 ? nullptr : ::memrchr(data, '\n', mid);
      const size_t start = back ? static_cast<size_t>(static_cast<const char*>(back) - data) + 1 : 0;
      const void* newline = std::memchr(data + start, '\n', size - start);
      const size_t end = newline ? static_cast<size_t>(static_cast<const char*>(newline) - data) : size;
      std::string_view line(data + start, end - start);
      const std::string_view key = line.substr(0, line.find(' '));
      if (key == lemma && !line.empty() && line.front() != ' ') return line;
      if (line.empty() || line.front() == ' ' || key < lemma) {
        lo = end + 1;
      } else {
        hi = start;
      }
    }
    return std::nullopt;
  }
};

IndexFile mapIndex(const std::string& path) {
  IndexFile file;
  auto opened = openRegularFile(path, O_RDONLY);
  if (!opened.ok()) return file;
  const int fd = opened.value();
  struct stat st {};
  if (::fstat(fd, &st) == 0 && st.st_size > 0) {
    void* mapped = ::mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    if (mapped != MAP_FAILED) {
      file.data = static_cast<const char*>(mapped);
      file.size = static_cast<size_t>(st.st_size);
    }
  }
  ::close(fd);
  return file;
}

// The index, data and exception files by part of speech, mapped once (they stay mapped for the process).
struct PartFiles {
  IndexFile index;       // index.noun
  IndexFile data;        // data.noun: "offset ... | gloss" lines at the offsets the index names
  IndexFile exceptions;  // noun.exc: "inflected base..." lines, sorted
};
const PartFiles& partFiles(int pos) {
  static const std::array<PartFiles, 5> files = [] {
    const char* dir = std::getenv("WNSEARCHDIR");
    const std::string root = std::string(dir && *dir ? dir : "/usr/share/wordnet") + "/";
    std::array<PartFiles, 5> all{};
    const char* names[] = {"", "noun", "verb", "adj", "adv"};
    for (int p : {NOUN, VERB, ADJ, ADV}) {
      all[static_cast<size_t>(p)] = PartFiles{mapIndex(root + "index." + names[p]), mapIndex(root + "data." + names[p]),
                                              mapIndex(root + names[p] + ".exc")};
    }
    return all;
  }();
  return files[static_cast<size_t>(pos)];
}

// The gloss of the synset at `offset` in a data file.
std::optional<std::string> glossAt(const IndexFile& data, long offset) {
  if (offset < 0 || static_cast<size_t>(offset) >= data.size) return std::nullopt;
  std::string_view rest(data.data + offset, data.size - static_cast<size_t>(offset));
  rest = rest.substr(0, rest.find('\n'));
  const size_t bar = rest.find(" | ");
  if (bar == std::string_view::npos) return std::nullopt;
  return std::string(rest.substr(bar + 3));
}

// WordNet's detachment rules (morph.c): an inflected ending and what replaces it.
struct Detachment {
  std::string_view ending;
  std::string_view replacement;
};
const std::vector<Detachment>& detachments(int pos) {
  static const std::vector<Detachment> noun = {{"s", ""},      {"ses", "s"},   {"xes", "x"},   {"zes", "z"},
                                               {"ches", "ch"}, {"shes", "sh"}, {"men", "man"}, {"ies", "y"}};
  static const std::vector<Detachment> verb = {{"s", ""},   {"ies", "y"}, {"es", "e"},  {"es", ""},
                                               {"ed", "e"}, {"ed", ""},   {"ing", "e"}, {"ing", ""}};
  static const std::vector<Detachment> adjective = {{"er", ""}, {"est", ""}, {"er", "e"}, {"est", "e"}};
  static const std::vector<Detachment> none;
  return pos == NOUN ? noun : pos == VERB ? verb : pos == ADJ ? adjective : none;
}

// The spellings of `word` WordNet's index may hold it under (wnsearch(3WN)):
// as written, with underscores as hyphens, hyphens as underscores, without
// either, and without periods ("look_up" also finds "lookup").
std::vector<std::string> indexSpellings(const std::string& word) {
  std::vector<std::string> spellings = {word};
  auto add = [&](std::string s) {
    if (!s.empty() && std::find(spellings.begin(), spellings.end(), s) == spellings.end()) spellings.push_back(s);
  };
  auto mapped = [&](char from, char to) {
    std::string s = word;
    std::replace(s.begin(), s.end(), from, to);
    return s;
  };
  auto without = [&](std::string_view chars) {
    std::string s = word;
    std::erase_if(s, [&](char c) { return chars.find(c) != std::string_view::npos; });
    return s;
  };
  add(mapped('_', '-'));
  add(mapped('-', '_'));
  add(without("_-"));
  add(without("."));
  return spellings;
}

// The base forms of `word` in the part of speech, as morphy(7WN) finds them:
// the entries of its exception list when it has one, else what each
// detachment rule yields that the index holds. The word itself is left out.
std::vector<std::string> baseForms(const std::string& word, int pos) {
  const PartFiles& files = partFiles(pos);
  std::vector<std::string> bases;
  auto add = [&](std::string base) {
    if (base.empty() || base == word || !files.index.find(base)) return;
    if (std::find(bases.begin(), bases.end(), base) == bases.end()) bases.push_back(std::move(base));
  };
  if (auto line = files.exceptions.find(word)) {
    std::string_view rest = line->substr(std::min(line->size(), line->find(' ') + 1));
    while (!rest.empty()) {
      const size_t space = rest.find(' ');
      add(std::string(rest.substr(0, space)));
      if (space == std::string_view::npos) break;
      rest.remove_prefix(space + 1);
    }
    return bases;
  }
  for (const Detachment& d : detachments(pos)) {
    if (word.size() <= d.ending.size() || word.compare(word.size() - d.ending.size(), d.ending.size(), d.ending) != 0) {
      continue;
    }
    add(word.substr(0, word.size() - d.ending.size()) + std::string(d.replacement));
  }
  return bases;
}

// The synset offsets of an index line, most frequent sense first.
std::vector<long> offsetsOf(std::string_view line) {
  std::vector<std::string_view> fields;
  for (size_t at = 0; at < line.size();) {
    size_t next = line.find(' ', at);
    if (next == std::string_view::npos) next = line.size();
    if (next > at) fields.push_back(line.substr(at, next - at));
    at = next + 1;
  }
  std::vector<long> offsets;
  if (fields.size() < 4) return offsets;
  const long synsets = std::strtol(std::string(fields[2]).c_str(), nullptr, 10);
  const long pointers = std::strtol(std::string(fields[3]).c_str(), nullptr, 10);
  const size_t first = 4 + static_cast<size_t>(std::max(0L, pointers)) + 2;
  for (size_t i = first; i < fields.size() && offsets.size() < static_cast<size_t>(std::max(0L, synsets)); ++i) {
    offsets.push_back(std::strtol(std::string(fields[i]).c_str(), nullptr, 10));
  }
  return offsets;
}

}  // namespace

bool WordNetDictionary::isAvailable() const {
  std::lock_guard<std::mutex> lock(wordNetMutex());
  return initialized();
}

std::optional<std::string> WordNetDictionary::definition(const std::string& term) {
  std::lock_guard<std::mutex> lock(wordNetMutex());
  if (!initialized() || term.empty() || term.size() > 128) return std::nullopt;
  std::string word = asciiLowercase(std::string(trimWhitespace(term)));
  for (char& c : word) {
    if (c == ' ') c = '_';
  }
  // As WordNet's own overview: for each part of speech the word's own
  // entries, then its base forms ("teeth" is a noun and the plural of
  // "tooth"; "lying" a noun and a form of "lie"). A sense reached twice (ax,
  // axe) is shown once; only the senses shown are read from the data files.
  std::vector<std::string> lines;
  std::vector<std::pair<int, long>> seen;
  auto collect = [&](int pos, const std::string& lemma, bool own) {
    auto line = partFiles(pos).index.find(lemma);
    if (!line) return false;
    for (long offset : offsetsOf(*line)) {
      if (static_cast<int>(lines.size()) >= kMaxSenses) break;
      if (std::find(seen.begin(), seen.end(), std::pair(pos, offset)) != seen.end()) continue;
      seen.emplace_back(pos, offset);
      auto defn = glossAt(partFiles(pos).data, offset);
      std::string text = defn ? gloss(*defn) : std::string();
      if (text.empty()) continue;
      std::string label = posName(pos);
      if (!own) {
        std::string shown = lemma;
        std::replace(shown.begin(), shown.end(), '_', ' ');
        label += ", " + shown;
      }
      lines.push_back(std::to_string(lines.size() + 1) + ". (" + label + ") " + text);
    }
    return true;
  };
  for (int pos : {NOUN, VERB, ADJ, ADV}) {
    bool found = false;
    for (const std::string& spelling : indexSpellings(word)) found = collect(pos, spelling, spelling == word) || found;
    for (const std::string& base : baseForms(word, pos)) found = collect(pos, base, false) || found;
    if (!found) {
      // The library's morphology knows more (collocations, hyphenation); it is slower.
      std::vector<char> buffer(word.begin(), word.end());
      buffer.push_back('\0');
      if (char* base = morphstr(buffer.data(), pos); base && word != base) collect(pos, base, false);
    }
  }
  if (lines.empty()) return std::nullopt;
  return joinStrings(lines, "\n");
}

}  // namespace pallix
