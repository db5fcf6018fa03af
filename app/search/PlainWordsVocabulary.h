// PlainWordsVocabulary: the English words the plain-words grammar
// (PlainWordsFilters) knows: kinds of file, extensions that name their
// files, folders, filler and topic words, the verbs before a date and the
// size adjectives with what they mean for each kind of file. Another
// language gets tables of its own here once the query analyzers have it.
//
// Constant tables, safe to read from any thread.
#pragma once

#include <array>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/search/QueryParser.h"

namespace pallix::plainwords {

// A kind of file named by words: "pdfs", "slide decks", "mp3 files".
struct KindEntry {
  std::vector<std::string> words;  // lowercased
  std::string filter;
  bool plural;
};
// Longest match first is the caller's rule.
const std::vector<KindEntry>& kindTable();

// Extensions that name their files ("mp3s", "png files"). Words that are
// also everyday English (key, pages, numbers, raw) are left out.
extern const std::array<std::string_view, 56> kExtensionWords;
// Folders named without the word "folder": "pdfs in downloads".
extern const std::array<std::string_view, 8> kFolderNames;
extern const std::set<std::string_view> kFillers;
// Nouns for files in general: "big files", "files from today".
extern const std::set<std::string_view> kHeads;
// Words after which come the words of the name: "about the budget".
extern const std::set<std::string_view> kTopics;
extern const std::set<std::string_view> kPronouns;
// Verbs before a date; the second says whether they date a file's creation.
extern const std::vector<std::pair<std::string_view, bool>> kDateVerbs;
extern const std::set<std::string_view> kSizeAdjectives;

// The size filter an adjective of kSizeAdjectives means for a kind of file
// ("big" is over 100 MB for a video, over 10 MB for a photo).
std::string adjectiveFilter(std::string_view adjective, std::optional<FileCategory> category);
// The category of a kind's filter (type:video, ext:pdf,...).
std::optional<FileCategory> categoryOf(const std::string& kindFilter);

}  // namespace pallix::plainwords
