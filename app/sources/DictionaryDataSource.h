// DictionaryDataSource: definitions from the offline dictionary (identifier
// `dictionary`). It takes the term out of texts such as "define serendipity",
// "serendipity def" or "what does ubiquitous mean" and answers the
// dictionary's plain-text definition, one sense per line.
//
// Threading: the VCRDataSource calls and resolveLookupCandidate run on the
// main runner (the candidate rules are pure text work). Look-ups run on
// `lookupRunner`, one serial executor shared by every user of the dictionary
// service, because WordNet keeps global state; answers hop back to the main
// runner.
#pragma once

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "app/intelligence/DataSource.h"
#include "app/platform/DictionaryService.h"

namespace pallix {

class DictionaryDataSource final : public DictionarySource {
 public:
  static constexpr size_t kMaximumCandidateLength = 42;  // characters

  struct Token {
    std::string raw;         // as typed, surrounding punctuation removed
    std::string normalized;  // folded and lowercased
  };

  static const std::set<std::string, std::less<>>& dictionaryKeywords();  // "def", "definition"
  static const std::set<std::string, std::less<>>& fillerTokens();        // the 28 words skipped around a term

  DictionaryDataSource(std::shared_ptr<DictionaryService> service, TaskRunnerPtr lookupRunner,
                       TaskRunnerPtr mainRunner);
  ~DictionaryDataSource() override;

  VCRDataSourceIdentifier identifier() const override { return VCRDataSourceIdentifier::dictionary; }
  bool shouldHandle(const std::string& query) override;
  void performSearch(const std::string& query, SearchCompletion completion) override;
  void cancelActiveQuery() override { inFlight_.cancel(); }
  void reset() override { inFlight_.cancel(); }
  bool resolvesLookupCandidate(const std::string& text) override {
    return resolveLookupCandidate(text, false).has_value();
  }

  // The term to look up in `text`: the phrase before the keyword, else the
  // one after it, else (only with `allowFallback`) the text's non-filler words.
  std::optional<std::string> resolveLookupCandidate(std::string_view text, bool allowFallback) const;
  // Looks `term` up on the calling thread (tests, benchmarks, the command line).
  std::optional<DictionaryEntry> lookUp(const std::string& term);
  // The term as typed, then its folded form; the first definition left after normalizing.
  static std::optional<DictionaryEntry> lookUpIn(DictionaryService& service, const std::string& term);

  static std::vector<Token> tokenize(std::string_view text);
  // Letters with inner apostrophes, hyphens or dots, and spaces; at most 42 characters.
  static bool isValidLookupPhrase(std::string_view phrase);
  // Trimmed non-empty lines joined by newlines; nullopt when nothing is left.
  static std::optional<std::string> normalizeDefinition(std::string_view text);

 private:
  std::shared_ptr<DictionaryService> service_;
  TaskRunnerPtr lookupRunner_;
  TaskRunnerPtr main_;
  TaskHandle inFlight_;
};

}  // namespace pallix
