// PlainWordsFilters: file queries in plain words ("pdfs from last week",
// "big videos", "presentations about the budget") read as the power query
// they mean (ext:pdf modified:lastweek, type:video size:>100mb, ...) plus the
// words left for the name.
//
// A small grammar over words: kinds of file (the categories type: knows and
// common extensions), sizes (big, tiny, over 2gb), dates (PlainWordsDates),
// folders (in the downloads folder), topics (about, named) and filler words.
// A phrase only compiles when the words are unambiguous: each filter phrase
// is anchored (a plural kind, a date after from/in/since/changed/..., a size
// before a kind or a comparison) and the words left are a name query (none,
// the words before a plural kind, or the words of a topic). A text that looks
// like a file name ("march madness.mp4") or has no filter phrase is a name
// search. Anything between reads both ways: the name as typed first, then
// the filters. Power-query tokens in the text (ext:pdf, "phrase", /re/,
// NOT ext:tmp) are kept as typed and anchor the words around them, so the
// panel's chips and the words typed after them read as one query.
//
// English only: the query analyzers have no other language yet.
//
// A pure value reader: now, the calendar and the time zone come in a
// DateContext. Any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "app/search/QueryParser.h"

namespace pallix {

struct PlainWordsQuery {
  enum class Reading {
    name,     // nothing compiled: search the text as typed
    filters,  // search compiled()
    both,     // exact names of the text as typed first, then compiled()
  };
  Reading reading = Reading::name;
  std::string typed;
  // Power-query tokens of the text, as typed and in order.
  std::vector<std::string> kept;
  // The filters the words compiled to: kinds, folders, sizes, dates.
  std::vector<std::string> filters;
  // The words left for the name, as typed.
  std::vector<std::string> words;

  // kept, filters and words as one power query.
  std::string compiled() const;
  // kept and filters: what the panel shows as chips.
  std::vector<std::string> chips() const;
  friend bool operator==(const PlainWordsQuery&, const PlainWordsQuery&) = default;
};

class PlainWordsFilters {
 public:
  static PlainWordsQuery read(std::string_view text, const DateContext& context);
};

}  // namespace pallix
