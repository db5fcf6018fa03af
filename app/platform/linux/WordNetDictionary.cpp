#include "app/platform/linux/WordNetDictionary.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wn.h>

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

// "(gloss; "example"; "example")" -> "gloss".
std::string gloss(const char* defn) {
  std::string text = defn ? defn : "";
  if (!text.empty() && text.front() == '(') text.erase(0, 1);
  size_t examples = text.find("; \"");
  if (examples != std::string::npos) text.resize(examples);
  if (!text.empty() && text.back() == ')') text.pop_back();
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

// The first base form of `word` in the part of speech: its exception entry, else a detachment
// rule whose result is in the index.
std::string baseForm(const std::string& word, int pos) {
  const PartFiles& files = partFiles(pos);
  if (auto line = files.exceptions.find(word)) {
    std::string_view rest = line->substr(line->find(' ') + 1);
    std::string base(rest.substr(0, rest.find(' ')));
    if (!base.empty() && files.index.find(base)) return base;
  }
  for (const Detachment& d : detachments(pos)) {
    if (word.size() <= d.ending.size() || word.compare(word.size() - d.ending.size(), d.ending.size(), d.ending) != 0) {
      continue;
    }
    std::string base = word.substr(0, word.size() - d.ending.size()) + std::string(d.replacement);
    if (files.index.find(base)) return base;
  }
  return {};
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
  std::string word = term;
  for (char& c : word) {
    if (c == ' ') c = '_';
  }
  // Only the senses shown are read from the data files, most frequent first. Base forms
  // ("cats" -> "cat") are asked for only when the word itself is in no part of speech.
  auto collect = [&](const std::array<std::string, 5>& lemmas) {
    std::vector<std::string> lines;
    for (int pos : {NOUN, VERB, ADJ, ADV}) {
      if (lemmas[static_cast<size_t>(pos)].empty()) continue;
      auto line = partFiles(pos).index.find(lemmas[static_cast<size_t>(pos)]);
      if (!line) continue;
      for (long offset : offsetsOf(*line)) {
        if (static_cast<int>(lines.size()) >= kMaxSenses) break;
        auto defn = glossAt(partFiles(pos).data, offset);
        std::string text = defn ? gloss(defn->c_str()) : std::string();
        if (!text.empty()) lines.push_back(std::to_string(lines.size() + 1) + ". (" + posName(pos) + ") " + text);
      }
    }
    return lines;
  };
  std::vector<std::string> lines = collect({word, word, word, word, word});
  if (lines.empty()) {
    std::array<std::string, 5> bases;
    for (int pos : {NOUN, VERB, ADJ, ADV}) bases[static_cast<size_t>(pos)] = baseForm(word, pos);
    lines = collect(bases);
  }
  if (lines.empty()) {
    // The library's morphology knows more (collocations, hyphenation); it is slower.
    std::array<std::string, 5> bases;
    for (int pos : {NOUN, VERB, ADJ, ADV}) {
      std::vector<char> buffer(word.begin(), word.end());
      buffer.push_back('\0');
      if (char* base = morphstr(buffer.data(), pos)) bases[static_cast<size_t>(pos)] = base;
    }
    lines = collect(bases);
  }
  if (lines.empty()) return std::nullopt;
  return joinStrings(lines, "\n");
}

}  // namespace pallix
