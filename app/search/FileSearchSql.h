// FileSearchSql: the store side of FileSearcher. Owned prepared statements
// with bindings, the store conditions equivalent to the in-memory filter
// rules, and the SQL functions those conditions call:
//
//   pallix_lowercase(text)        Unicode lowercase (folder and app filters)
//   pallix_casefold(text)         Unicode case folding (exact phrases)
//   pallix_regexp(pattern, text)  1 when the case-insensitive ICU expression
//                                 from the shared RegexCache finds a match
//
// Internal to app/search. Everything runs on the caller's thread with the
// caller's connection; the functions are registered on a connection the
// first time a statement needs them.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "app/platform/SqliteStatement.h"
#include "app/search/IndexedItem.h"
#include "app/search/QueryParser.h"
#include "core/Error.h"

namespace pallix::filesearch {

using Binding = SqliteStatement::Binding;

// A condition on the row alias `i` equivalent to one in-memory rule (NULL
// counts as false), with the values its placeholders take, in order.
struct StoreCondition {
  std::string sql;
  std::vector<Binding> bindings;
};

// Prepares `sql` on the caller's connection, registering the SQL functions
// above when the connection lacks them, and binds `bindings` to its
// placeholders in order.
Result<SqliteStatement> prepareStatement(sqlite3* db, const std::string& sql,
                                         const std::vector<Binding>& bindings = {});

Error storeError(sqlite3* db, const std::string& what, int code);

// Unicode lowercase (root locale) and full case folding; ASCII fast paths.
std::string lowercase(std::string_view text);
std::string caseFold(std::string_view text);

// The lowercased, non-empty entries of an ext: value.
std::vector<std::string> extensionList(std::string_view value);
// A size filter's decimal byte count.
std::optional<int64_t> parseByteCount(const std::string& value);
// The range a modified:/created: value selects: a relative word's range or
// the calendar day of an absolute date.
std::optional<DateRange> dateFilterRange(const std::string& value, const DateContext& context);

// The store form of a filter; "0" for a value that can match nothing.
StoreCondition storeCondition(const Filter& filter, const DateContext& context);
// The record's name must contain a match of `regex`.
StoreCondition regexCondition(const CompiledRegex& regex);
// The record's path must contain `phrase` under case folding.
StoreCondition phraseCondition(const std::string& phrase);

// `text` as an FTS5 phrase: every character literal.
std::string ftsPhrase(std::string_view text);
// The indexed trigrams that start with `prefix` (one or two characters), at
// most `maxTrigrams` + 1 of them.
Result<std::vector<std::string>> trigramsStartingWith(sqlite3* db, const std::string& prefix, int maxTrigrams);

}  // namespace pallix::filesearch
