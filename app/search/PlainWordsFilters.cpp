#include "app/search/PlainWordsFilters.h"

#include <algorithm>
#include <array>
#include <optional>
#include <set>

#include "app/search/IndexedItem.h"
#include "app/search/PlainWordsDates.h"
#include "app/search/PlainWordsVocabulary.h"
#include "core/Strings.h"

namespace pallix {

namespace {

using namespace plainwords;

enum class Segment { kept, kind, folder, size, adjective, date, head, topic, filler, word };

struct Item {
  std::string original;
  std::string lower;
  bool kept = false;
};

struct Piece {
  Segment segment = Segment::word;
  size_t begin = 0;
  size_t end = 0;
  std::vector<std::string> filters;
  bool anchored = false;
  bool plural = false;    // kinds
  std::string adjective;  // size adjectives
};

bool isWrapped(std::string_view token, char delimiter) {
  return token.size() >= 3 && token.front() == delimiter && token.back() == delimiter;
}

bool isPowerToken(std::string_view token) {
  if (isWrapped(token, '"') || isWrapped(token, '/')) return true;
  if (startsWith(asciiLowercase(token), "is:")) return true;
  return QueryParser::parseFilter(token).has_value();
}

// "1.5gb": a number and a unit, nothing else.
bool isSizeWord(std::string_view word) {
  size_t i = 0;
  while (i < word.size() && (std::isdigit(static_cast<unsigned char>(word[i])) || word[i] == '.')) ++i;
  const bool letters = std::all_of(word.begin() + static_cast<std::ptrdiff_t>(i), word.end(),
                                   [](char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; });
  return i > 0 && word[i - 1] != '.' && letters && SizeValue::parse(word).has_value();
}

// "madness.mp4", "s01e02": words that only a file name has.
bool looksLikeFileName(std::string_view word) {
  const size_t dot = word.rfind('.');
  if (dot != std::string_view::npos && dot > 0 && dot + 1 < word.size() && word.size() - dot - 1 <= 5) {
    const std::string_view suffix = word.substr(dot + 1);
    const bool alnum = std::all_of(suffix.begin(), suffix.end(), [](char c) {
      return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    });
    const bool letter = std::any_of(suffix.begin(), suffix.end(),
                                    [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); });
    if (alnum && letter && !isSizeWord(word)) return true;
  }
  // Episode tags: s01e02.
  const std::string lower = asciiLowercase(word);
  if (lower.size() >= 4 && lower[0] == 's' && std::isdigit(static_cast<unsigned char>(lower[1]))) {
    const size_t e = lower.find('e', 1);
    if (e != std::string::npos && e + 1 < lower.size() && std::isdigit(static_cast<unsigned char>(lower[e + 1])))
      return true;
  }
  return false;
}

std::string stripPunctuation(std::string word) {
  while (!word.empty() && (word.back() == ',' || word.back() == '?' || word.back() == '!' || word.back() == ';'))
    word.pop_back();
  return word;
}

class Reader {
 public:
  Reader(std::vector<Item> items, const DateContext& context) : items_(std::move(items)), context_(context) {}

  std::vector<Piece> pieces() {
    std::vector<Piece> out;
    size_t i = 0;
    while (i < items_.size()) {
      Piece piece = next(i);
      i = piece.end;
      out.push_back(std::move(piece));
    }
    return out;
  }

 private:
  std::string_view at(size_t i) const {
    return i < items_.size() && !items_[i].kept ? std::string_view(items_[i].lower) : std::string_view();
  }
  // The plain words from `i` up to the next kept token.
  std::vector<std::string> wordsFrom(size_t i) const {
    std::vector<std::string> words;
    for (size_t j = i; j < items_.size() && !items_[j].kept; ++j) words.push_back(items_[j].lower);
    return words;
  }

  Piece next(size_t i) {
    if (items_[i].kept) return {Segment::kept, i, i + 1};
    if (auto date = ledDate(i)) return *date;
    if (auto folder = folderAt(i)) return *folder;
    if (auto size = comparisonAt(i)) return *size;
    if (auto kind = kindAt(i)) return *kind;
    if (auto date = bareDate(i)) return *date;
    const std::string_view word = at(i);
    if (kSizeAdjectives.count(word)) {
      Piece piece{Segment::adjective, i, i + 1};
      piece.adjective = std::string(word);
      return piece;
    }
    if (kHeads.count(word)) return {Segment::head, i, i + 1};
    if (kTopics.count(word)) return {Segment::topic, i, i + 1};
    if (kFillers.count(word) || word.empty()) return {Segment::filler, i, i + 1};
    return {Segment::word, i, i + 1};
  }

  // [pronoun] [verb] [preposition] DATE, with a verb or a preposition.
  std::optional<Piece> ledDate(size_t i) const {
    size_t j = i;
    bool created = false;
    bool verb = false;
    while (kPronouns.count(at(j))) ++j;
    const bool pronouns = j > i;
    if (at(j) == "worked" && at(j + 1) == "on") {
      verb = true;
      j += 2;
    }
    for (const auto& [word, creation] : kDateVerbs) {
      if (!verb && at(j) == word) {
        verb = true;
        created = creation;
        ++j;
      }
    }
    if (pronouns && !verb) return std::nullopt;
    DateLead lead = DateLead::during;
    bool preposition = true;
    const std::string_view p = at(j);
    if (p == "from" || p == "in" || p == "during" || p == "on" || p == "of" || p == "within") {
      ++j;
    } else if (p == "since") {
      lead = DateLead::since;
      ++j;
    } else if (p == "before") {
      lead = DateLead::before;
      ++j;
    } else if (p == "after") {
      lead = DateLead::after;
      ++j;
    } else {
      preposition = false;
    }
    if (!verb && !preposition) return std::nullopt;
    const std::vector<std::string> words = wordsFrom(j);
    auto match = PlainWordsDates::read(words, context_);
    if (!match) return std::nullopt;
    std::vector<std::string> filters = PlainWordsDates::filters(match->span, lead, created);
    if (filters.empty()) return std::nullopt;
    Piece piece{Segment::date, i, j + match->words, std::move(filters), true};
    return piece;
  }

  std::optional<Piece> bareDate(size_t i) const {
    const std::vector<std::string> words = wordsFrom(i);
    auto match = PlainWordsDates::read(words, context_);
    if (!match || match->needsLead) return std::nullopt;
    return Piece{Segment::date, i, i + match->words, PlainWordsDates::filters(match->span, DateLead::during, false)};
  }

  // "in the downloads folder", "in folder invoices", "on the desktop"
  std::optional<Piece> folderAt(size_t i) const {
    if (at(i) != "in" && at(i) != "on" && at(i) != "inside") return std::nullopt;
    size_t j = i + 1;
    const bool folderWord = at(j) == "folder" || at(j) == "directory" || at(j) == "dir";
    if (folderWord && !at(j + 1).empty()) {
      return Piece{Segment::folder, i, j + 2, {"in:" + std::string(at(j + 1))}, true};
    }
    if (at(j) == "the" || at(j) == "my") ++j;
    const std::string_view name = at(j);
    if (name.empty()) return std::nullopt;
    const std::string_view after = at(j + 1);
    if (after == "folder" || after == "directory" || after == "dir") {
      return Piece{Segment::folder, i, j + 2, {"in:" + std::string(name)}, true};
    }
    if (std::find(kFolderNames.begin(), kFolderNames.end(), name) != kFolderNames.end()) {
      return Piece{Segment::folder, i, j + 1, {"in:" + std::string(name)}, true};
    }
    return std::nullopt;
  }

  // "over 2gb", "larger than 500 mb", "at most 10kb"
  std::optional<Piece> comparisonAt(size_t i) const {
    size_t j = i;
    if (at(j) == "size" || at(j) == "sized") ++j;
    const std::string_view a = at(j);
    const std::string_view b = at(j + 1);
    std::string_view op;
    size_t words = 0;
    if (a == "over" || a == "above") {
      op = ">", words = 1;
    } else if (a == "under" || a == "below") {
      op = "<", words = 1;
    } else if (b == "than" && (a == "more" || a == "larger" || a == "bigger" || a == "greater")) {
      op = ">", words = 2;
    } else if (b == "than" && (a == "less" || a == "smaller")) {
      op = "<", words = 2;
    } else if (a == "at" && b == "least") {
      op = ">=", words = 2;
    } else if (a == "at" && b == "most") {
      op = "<=", words = 2;
    } else {
      return std::nullopt;
    }
    j += words;
    std::string amount(at(j));
    size_t used = 1;
    if (!amount.empty() && !at(j + 1).empty() && std::isdigit(static_cast<unsigned char>(amount.back()))) {
      if (SizeValue::parse(amount + std::string(at(j + 1)))) {
        amount += std::string(at(j + 1));
        used = 2;
      }
    }
    auto size = SizeValue::parse(amount);
    if (amount.empty() || !size || std::isdigit(static_cast<unsigned char>(amount.back()))) return std::nullopt;
    return Piece{Segment::size, i, j + used, {"size:" + std::string(op) + shortUnits(amount)}, true};
  }

  // "100 megabytes" written as "100mb".
  static std::string shortUnits(const std::string& amount) {
    size_t unit = 0;
    while (unit < amount.size() && (std::isdigit(static_cast<unsigned char>(amount[unit])) || amount[unit] == '.'))
      ++unit;
    const std::string name = amount.substr(unit);
    static const std::vector<std::pair<std::string_view, std::string_view>> kUnits = {
        {"bytes", "b"}, {"k", "kb"},         {"kilobytes", "kb"}, {"m", "mb"},        {"megabytes", "mb"},
        {"g", "gb"},    {"gigabytes", "gb"}, {"t", "tb"},         {"terabytes", "tb"}};
    for (const auto& [from, to] : kUnits) {
      if (name == from) return amount.substr(0, unit) + std::string(to);
    }
    return amount;
  }

  std::optional<Piece> kindAt(size_t i) const {
    const KindEntry* best = nullptr;
    size_t bestWords = 0;
    for (const KindEntry& entry : kindTable()) {
      const std::vector<std::string>& words = entry.words;
      bool matches = true;
      for (size_t k = 0; k < words.size() && matches; ++k) matches = at(i + k) == words[k];
      if (matches && words.size() > bestWords) {
        best = &entry;
        bestWords = words.size();
      }
    }
    std::string filter;
    bool plural = false;
    size_t end = i;
    if (best) {
      filter = best->filter;
      plural = best->plural;
      end = i + bestWords;
    } else {
      std::string_view word = at(i);
      bool pluralWord = false;
      if (std::find(kExtensionWords.begin(), kExtensionWords.end(), word) == kExtensionWords.end() && word.size() > 2 &&
          word.back() == 's') {
        word.remove_suffix(1);
        pluralWord = true;
      }
      if (std::find(kExtensionWords.begin(), kExtensionWords.end(), word) == kExtensionWords.end()) return std::nullopt;
      filter = "ext:" + std::string(word);
      plural = pluralWord;
      end = i + 1;
    }
    // "pdf files", "video file"
    if (!plural && (at(end) == "files" || at(end) == "file")) {
      plural = true;
      ++end;
    }
    return Piece{Segment::kind, i, end, {filter}, plural, plural};
  }

  std::vector<Item> items_;
  const DateContext& context_;
};

}  // namespace

std::string PlainWordsQuery::compiled() const {
  std::vector<std::string> all = chips();
  all.insert(all.end(), words.begin(), words.end());
  return joinStrings(all, " ");
}

std::vector<std::string> PlainWordsQuery::chips() const {
  std::vector<std::string> all = kept;
  all.insert(all.end(), filters.begin(), filters.end());
  return all;
}

PlainWordsQuery PlainWordsFilters::read(std::string_view text, const DateContext& context) {
  PlainWordsQuery query;
  query.typed = std::string(trimWhitespace(text));
  const std::vector<std::string> tokens = QueryParser::tokenize(query.typed);
  std::vector<Item> items;
  for (size_t t = 0; t < tokens.size(); ++t) {
    const std::string& token = tokens[t];
    if (asciiLowercase(token) == "not" && t + 1 < tokens.size() && isPowerToken(tokens[t + 1])) {
      items.push_back({token + " " + tokens[t + 1], "", true});
      ++t;
      continue;
    }
    if (isPowerToken(token)) {
      items.push_back({token, "", true});
      continue;
    }
    if (looksLikeFileName(token)) return query;
    items.push_back({token, stripPunctuation(asciiLowercase(token)), false});
  }

  std::vector<Piece> pieces = Reader(items, context).pieces();
  std::vector<std::string> kinds;
  std::vector<std::string> places;
  std::vector<std::string> sizes;
  std::vector<std::string> dates;
  size_t anchored = 0;
  size_t loose = 0;
  size_t heads = 0;
  bool stray = false;
  bool topicWords = false;
  for (size_t p = 0; p < pieces.size(); ++p) {
    Piece& piece = pieces[p];
    switch (piece.segment) {
      case Segment::kept:
        query.kept.push_back(items[piece.begin].original);
        ++anchored;
        break;
      case Segment::kind:
        kinds.push_back(piece.filters.front());
        piece.anchored ? ++anchored : ++loose;
        break;
      case Segment::folder:
        places.insert(places.end(), piece.filters.begin(), piece.filters.end());
        ++anchored;
        break;
      case Segment::size:
        sizes.insert(sizes.end(), piece.filters.begin(), piece.filters.end());
        ++anchored;
        break;
      case Segment::date:
        dates.insert(dates.end(), piece.filters.begin(), piece.filters.end());
        piece.anchored ? ++anchored : ++loose;
        break;
      case Segment::adjective: {
        // Anchored by the kind or head noun it comes before ("big videos", "huge files").
        size_t q = p + 1;
        while (q < pieces.size() && pieces[q].segment == Segment::adjective) ++q;
        piece.anchored =
            q < pieces.size() && (pieces[q].segment == Segment::head ||
                                  (pieces[q].segment == Segment::kind && (pieces[q].plural || pieces[q].anchored)));
        piece.anchored ? ++anchored : ++loose;
        // Before a word it sizes that word, not a file ("tiny house videos").
        if (!piece.anchored && q < pieces.size() && pieces[q].segment == Segment::word) stray = true;
        break;
      }
      case Segment::word: {
        // The words of a topic, and those naming a plural kind ("budget spreadsheets").
        size_t back = p;
        while (back > 0 && (pieces[back - 1].segment == Segment::word || pieces[back - 1].segment == Segment::filler))
          --back;
        const bool topic = back > 0 && pieces[back - 1].segment == Segment::topic;
        size_t q = p + 1;
        while (q < pieces.size() && (pieces[q].segment == Segment::word || pieces[q].segment == Segment::adjective))
          ++q;
        const bool modifier = q < pieces.size() && ((pieces[q].segment == Segment::kind && pieces[q].plural) ||
                                                    pieces[q].segment == Segment::head);
        if (topic) topicWords = true;
        if (!topic && !modifier) stray = true;
        query.words.push_back(items[piece.begin].original);
        break;
      }
      case Segment::topic: {
        // A topic word with no words after it is a word itself ("files on").
        const bool followed =
            p + 1 < pieces.size() && (pieces[p + 1].segment == Segment::word ||
                                      (pieces[p + 1].segment == Segment::filler && p + 2 < pieces.size() &&
                                       pieces[p + 2].segment == Segment::word));
        if (!followed) {
          stray = true;
          query.words.push_back(items[piece.begin].original);
        }
        break;
      }
      case Segment::head:
        ++heads;
        break;
      case Segment::filler:
        break;
    }
  }
  for (const Piece& piece : pieces) {
    if (piece.segment != Segment::adjective) continue;
    std::optional<FileCategory> category = kinds.empty() ? std::nullopt : categoryOf(kinds.front());
    sizes.push_back(adjectiveFilter(piece.adjective, category));
  }
  // A kind named alone in the singular is a word of the name: "pdf" finds
  // pdfguide.txt, as it always did.
  const bool onlyLooseKinds = anchored == 0 && places.empty() && sizes.empty() && dates.empty();
  const bool anyFilter = !kinds.empty() || !places.empty() || !sizes.empty() || !dates.empty();
  if (!anyFilter || onlyLooseKinds) return PlainWordsQuery{PlainWordsQuery::Reading::name, query.typed, {}, {}, {}};

  // Several kinds: one ext: list when they are all extensions; otherwise the
  // words ask for what no file is.
  std::string kind;
  for (const std::string& k : kinds) {
    if (kind.empty()) {
      kind = k;
    } else if (startsWith(kind, "ext:") && startsWith(k, "ext:")) {
      for (const std::string& e : splitString(k.substr(4), ',')) {
        const std::vector<std::string> have = splitString(kind.substr(4), ',');
        if (std::find(have.begin(), have.end(), e) == have.end()) kind += "," + e;
      }
    } else if (k != kind) {
      return PlainWordsQuery{PlainWordsQuery::Reading::name, query.typed, {}, {}, {}};
    }
  }
  if (!kind.empty()) query.filters.push_back(kind);
  query.filters.insert(query.filters.end(), places.begin(), places.end());
  query.filters.insert(query.filters.end(), sizes.begin(), sizes.end());
  query.filters.insert(query.filters.end(), dates.begin(), dates.end());

  const bool unambiguous = !stray && anchored >= 1 && (anchored + loose + heads >= 2 || topicWords);
  query.reading = unambiguous ? PlainWordsQuery::Reading::filters : PlainWordsQuery::Reading::both;
  return query;
}

}  // namespace pallix
