// WordNetDictionary: the offline dictionary over Debian's WordNet
// ("wordnet-base" data, "wordnet-dev" library). A definition lists each sense
// on its own line, numbered, with its part of speech: "1. (noun) good luck in
// making unexpected and fortunate discoveries". As in WordNet's own
// overview, a word's base forms are looked up beside its own entries
// ("teeth" shows the noun teeth and the noun tooth, labelled "(noun,
// tooth)"), and the index is asked for its other spellings ("look up" finds
// the noun "lookup").
//
// The index, data and exception files of /usr/share/wordnet (or
// $WNSEARCHDIR) are mapped into memory and searched there, in their documented
// format (wndb(5)), with WordNet's own detachment rules: a look-up makes no
// system call. The library's morphology is the fallback for what the rules do
// not cover.
//
// Threading: the WordNet library keeps global state; every call takes one
// process-wide lock, and callers run look-ups on one serial executor anyway
// (DictionaryDataSource).
#pragma once

#include <optional>
#include <string>

#include "app/platform/DictionaryService.h"

namespace pallix {

class WordNetDictionary final : public DictionaryService {
 public:
  static constexpr int kMaxSenses = 8;

  bool isAvailable() const override;
  std::optional<std::string> definition(const std::string& term) override;
};

}  // namespace pallix
