#include "app/sources/DictionaryDataSource.h"

#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include "app/intelligence/IntelligenceText.h"
#include "app/intelligence/SourceSelectionRules.h"
#include "core/Logger.h"
#include "core/Strings.h"

namespace pallix {

namespace {

bool isEdgePunctuation(UChar32 c) {
  return u_ispunct(c) || c == '`' || c == '^' || c == '|' || c == '<' || c == '>' || c == '=' || c == '+' || c == '$' ||
         c == '~';
}

// Removes punctuation at both ends of a word ("serendipity?" -> "serendipity").
std::string stripEdgePunctuation(const std::string& word) {
  icu::UnicodeString u = icu::UnicodeString::fromUTF8(word);
  int32_t begin = 0, end = u.length();
  while (begin < end && isEdgePunctuation(u.char32At(begin))) begin = u.moveIndex32(begin, 1);
  while (end > begin) {
    int32_t previous = u.moveIndex32(end, -1);
    if (!isEdgePunctuation(u.char32At(previous))) break;
    end = previous;
  }
  std::string out;
  u.tempSubStringBetween(begin, end).toUTF8String(out);
  return out;
}

std::string lowercase(const std::string& text) {
  icu::UnicodeString u = icu::UnicodeString::fromUTF8(text);
  u.toLower(icu::Locale::getRoot());
  std::string out;
  u.toUTF8String(out);
  return out;
}

std::string joinRaw(const std::vector<DictionaryDataSource::Token>& tokens) {
  std::string out;
  for (const auto& t : tokens) out += (out.empty() ? "" : " ") + t.raw;
  return out;
}

}  // namespace

const std::set<std::string, std::less<>>& DictionaryDataSource::dictionaryKeywords() {
  static const std::set<std::string, std::less<>> keywords = {"def", "definition"};
  return keywords;
}

const std::set<std::string, std::less<>>& DictionaryDataSource::fillerTokens() {
  static const std::set<std::string, std::less<>> fillers = {
      "a",    "an",   "and", "are",  "define", "definition", "definitions", "def", "does", "do",
      "for",  "in",   "is",  "it",   "mean",   "meaning",    "means",       "of",  "on",   "the",
      "this", "that", "to",  "what", "whats",  "what's",     "word",        "term"};
  return fillers;
}

DictionaryDataSource::DictionaryDataSource(std::shared_ptr<DictionaryService> service, TaskRunnerPtr lookupRunner,
                                           TaskRunnerPtr mainRunner)
    : service_(std::move(service)), lookupRunner_(std::move(lookupRunner)), main_(std::move(mainRunner)) {}

DictionaryDataSource::~DictionaryDataSource() {
  inFlight_.cancel();
}

bool DictionaryDataSource::shouldHandle(const std::string& query) {
  return SourceSelectionRules::matchesDictionaryTrigger(query);
}

std::vector<DictionaryDataSource::Token> DictionaryDataSource::tokenize(std::string_view text) {
  std::vector<Token> tokens;
  for (const std::string& piece : intelligence::splitWhitespace(text)) {
    std::string raw = intelligence::replaceAll(stripEdgePunctuation(piece), "\u2019", "'");
    if (raw.empty()) continue;
    tokens.push_back(Token{raw, intelligence::foldAndLowercase(raw)});
  }
  return tokens;
}

bool DictionaryDataSource::isValidLookupPhrase(std::string_view phrase) {
  if (phrase.empty()) return false;
  icu::UnicodeString u =
      icu::UnicodeString::fromUTF8(icu::StringPiece(phrase.data(), static_cast<int32_t>(phrase.size())));
  if (u.countChar32() > static_cast<int32_t>(kMaximumCandidateLength)) return false;
  bool previousWasLetter = false;
  bool sawLetter = false;
  for (int32_t i = 0; i < u.length(); i = u.moveIndex32(i, 1)) {
    const UChar32 c = u.char32At(i);
    if (u_isalpha(c) || u_getCombiningClass(c) != 0 || u_charType(c) == U_NON_SPACING_MARK) {
      previousWasLetter = true;
      sawLetter = true;
    } else if ((c == '\'' || c == '-' || c == '.') && previousWasLetter) {
      previousWasLetter = false;
    } else if (c == ' ' && previousWasLetter) {
      previousWasLetter = false;
    } else {
      return false;
    }
  }
  return sawLetter && previousWasLetter;
}

std::optional<std::string> DictionaryDataSource::resolveLookupCandidate(std::string_view text,
                                                                        bool allowFallback) const {
  const std::string trimmedText = intelligence::trimmed(text);
  if (trimmedText.empty()) return std::nullopt;
  const std::vector<Token> tokens = tokenize(trimmedText);
  auto phrase = [&](size_t begin, size_t end) -> std::optional<std::string> {
    std::vector<Token> kept;
    for (size_t i = begin; i < end; ++i) {
      if (!fillerTokens().count(tokens[i].normalized)) kept.push_back(tokens[i]);
    }
    std::string joined = joinRaw(kept);
    if (isValidLookupPhrase(joined)) return joined;
    return std::nullopt;
  };
  for (size_t k = 0; k < tokens.size(); ++k) {
    if (!dictionaryKeywords().count(tokens[k].normalized)) continue;
    if (auto before = phrase(0, k)) return before;
    if (auto after = phrase(k + 1, tokens.size())) return after;
    break;
  }
  if (!allowFallback) return std::nullopt;
  return phrase(0, tokens.size());
}

std::optional<std::string> DictionaryDataSource::normalizeDefinition(std::string_view text) {
  std::vector<std::string> lines;
  for (const std::string& line : splitString(std::string(text), '\n')) {
    std::string t = intelligence::trimmed(line);
    if (!t.empty()) lines.push_back(std::move(t));
  }
  if (lines.empty()) return std::nullopt;
  return joinStrings(lines, "\n");
}

std::optional<DictionaryEntry> DictionaryDataSource::lookUp(const std::string& term) {
  return service_ ? lookUpIn(*service_, term) : std::nullopt;
}

std::optional<DictionaryEntry> DictionaryDataSource::lookUpIn(DictionaryService& service, const std::string& term) {
  std::vector<std::string> variants = {lowercase(term)};
  const std::string folded = intelligence::foldAndLowercase(term);
  if (folded != variants.front()) variants.push_back(folded);
  for (const std::string& variant : variants) {
    auto text = service.definition(variant);
    if (!text) continue;
    if (auto definition = normalizeDefinition(*text)) return DictionaryEntry{term, *definition};
    Logger("DictionaryDataSource").debug("Dictionary definition empty after normalization term=\"%s\"", term.c_str());
  }
  return std::nullopt;
}

void DictionaryDataSource::performSearch(const std::string& query, SearchCompletion completion) {
  inFlight_.cancel();
  auto term = resolveLookupCandidate(query, true);
  if (!term) {
    completion(std::nullopt);
    return;
  }
  TaskHandle handle = TaskHandle::make();
  inFlight_ = handle;
  if (!service_) {
    completion(std::nullopt);
    return;
  }
  lookupRunner_->post(
      [service = service_, handle, term = *term, main = main_, completion = std::move(completion)]() mutable {
        if (handle.isCancelled()) return;
        auto entry = lookUpIn(*service, term);
        main->post([handle, entry = std::move(entry), completion = std::move(completion)]() mutable {
          if (handle.isCancelled()) return;
          completion(entry ? std::optional<VCRDataSourceResult>(*entry) : std::nullopt);
        });
      });
}

}  // namespace pallix
