// FileExclusionFilter: which paths are never catalogued or content-indexed
// (hidden files, build and dependency folders, secrets, object code, keys and
// databases), which extensions may have their text indexed, and .gitignore
// files compiled into ICU regular expressions.
//
// One instance is shared by the catalog scan and the content indexer. The
// rule sets are immutable after construction; the .gitignore cache is guarded
// by a mutex, so every member is safe to call from any thread.
#pragma once

#include <unicode/regex.h>

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "core/Logger.h"

namespace pallix {

struct GitignorePattern {
  // The cleaned line: without "!", leading "/" and trailing "/".
  std::string pattern;
  bool isNegated = false;
  bool isDirectoryOnly = false;
  bool isAnchored = false;
  // The expression source, e.g. "^build($|/)".
  std::string expression;
  // Compiled once; a RegexPattern is immutable and shareable across threads
  // (each match creates its own matcher).
  std::shared_ptr<const icu::RegexPattern> regex;

  // True when the expression finds a match in `relativePath` (a path relative
  // to the .gitignore's directory, "/"-separated).
  bool matches(std::string_view relativePath) const;
};

class FileExclusionFilter {
 public:
  FileExclusionFilter();

  // The rules in order: hidden last component, excluded extension, excluded
  // base name, any excluded directory component.
  bool shouldExclude(std::string_view path) const;
  // The first three rules plus the directory-name rule for this one
  // component; for walkers that already checked every ancestor.
  bool shouldExcludeComponent(std::string_view name, bool isDirectory) const;
  // True when a walker must not enter a folder of this name: hidden (dotfiles
  // and keys such as ".ssh" live there) or a listed directory name. A folder
  // rejected only by the extension or base-name rule ("auth", "data.db") is
  // left out itself, but its contents are filtered one by one.
  bool prunesFolder(std::string_view name) const;
  // Rule 4 alone for a single component (lowercased comparison).
  bool isExcludedDirectoryName(std::string_view name) const;
  // True when text content with this extension (any case) may be indexed.
  bool isSupportedTextExtension(std::string_view extension) const;

  // The patterns of `directory`/.gitignore, cached per directory. nullopt
  // when the file cannot be read (logged "Failed to read .gitignore at ...").
  std::optional<std::vector<GitignorePattern>> loadGitignore(const std::string& directory);
  void clearGitignoreCache();

  // Compiles one .gitignore line; nullopt for blanks, comments and lines
  // whose expression does not compile.
  static std::optional<GitignorePattern> compileGitignoreLine(std::string_view line);
  // The expression a cleaned pattern becomes (without compiling it).
  static std::string gitignoreExpression(std::string_view pattern, bool anchored);

  const std::unordered_set<std::string>& excludedDirectoryNames() const { return excludedDirectoryNames_; }
  const std::unordered_set<std::string>& excludedExtensions() const { return excludedExtensions_; }
  const std::unordered_set<std::string>& excludedFilenames() const { return excludedFilenames_; }
  const std::unordered_set<std::string>& supportedTextExtensions() const { return supportedTextExtensions_; }

 private:
  bool isExcludedLeaf(std::string_view name) const;

  std::unordered_set<std::string> excludedDirectoryNames_;
  std::unordered_set<std::string> excludedExtensions_;
  std::unordered_set<std::string> excludedFilenames_;
  std::unordered_set<std::string> supportedTextExtensions_;
  Logger logger_{"FileExclusionFilter"};

  std::mutex cacheMutex_;
  std::map<std::string, std::vector<GitignorePattern>> gitignoreCache_;
};

}  // namespace pallix
