#include "app/search/FileExclusionFilter.h"

#include "core/FileUtil.h"
#include "core/Strings.h"

namespace pallix {

namespace {

// Lowercases ASCII into `buffer`; names longer than the buffer are not in any
// rule set (all entries are short), which the callers rely on.
constexpr size_t kMaxRuleLength = 32;

bool lowerInto(std::string_view in, char (&buffer)[kMaxRuleLength], std::string_view& out) {
  if (in.size() > kMaxRuleLength) return false;
  for (size_t i = 0; i < in.size(); ++i) {
    char c = in[i];
    buffer[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  out = std::string_view(buffer, in.size());
  return true;
}

// A heterogeneous-free lookup: the sets are small, so a temporary string per
// lookup is avoided by reusing a thread-local key.
bool setContains(const std::unordered_set<std::string>& set, std::string_view key) {
  thread_local std::string probe;
  probe.assign(key.data(), key.size());
  return set.count(probe) != 0;
}

// The extension as path APIs see it: after the last ".", unless the dot is the
// first character.
std::string_view extensionOf(std::string_view name) {
  size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return {};
  return name.substr(dot + 1);
}

std::string_view stemOf(std::string_view name) {
  size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return name;
  return name.substr(0, dot);
}

}  // namespace

bool GitignorePattern::matches(std::string_view relativePath) const {
  if (!regex) return false;
  UErrorCode status = U_ZERO_ERROR;
  icu::UnicodeString text =
      icu::UnicodeString::fromUTF8(icu::StringPiece(relativePath.data(), static_cast<int32_t>(relativePath.size())));
  std::unique_ptr<icu::RegexMatcher> matcher(regex->matcher(text, status));
  if (U_FAILURE(status) || !matcher) return false;
  bool found = matcher->find(status);
  return U_SUCCESS(status) && found;
}

FileExclusionFilter::FileExclusionFilter()
    : excludedDirectoryNames_{".git",    ".svn",        ".hg",         ".bzr",          "node_modules", ".npm",
                              ".yarn",   ".pnpm-store", "__pycache__", ".pytest_cache", ".tox",         ".mypy_cache",
                              ".venv",   "venv",        "env",         ".eggs",         ".egg-info",    "vendor",
                              ".bundle", "pods",        "carthage",    "deriveddata",   ".build",       "build",
                              "dist",    "out",         "target",      ".next",         ".nuxt",        ".idea",
                              ".vscode", ".vs",         ".cache",      "caches",        ".tmp",         "tmp",
                              "temp",    "coverage",    ".nyc_output", ".gradle"},
      excludedExtensions_{"o",      "obj",     "xcuserstate", "xcscheme",   "pem",       "key", "p12",
                          "pfx",    "cer",     "crt",         "der",        "keystore",  "jks", "keychain",
                          "sqlite", "sqlite3", "db",          "sqlite-shm", "sqlite-wal"},
      excludedFilenames_{"credentials", "secrets",     "password",   "passwords",   "api_key",    "apikey",
                         "api-key",     "private_key", "privatekey", "private-key", "secret_key", "secretkey",
                         "secret-key",  "auth",        "oauth",      "token",       "tokens",     "id_rsa",
                         "id_dsa",      "id_ecdsa",    "id_ed25519"},
      supportedTextExtensions_{"txt",
                               "text",
                               "log",
                               "md",
                               "markdown",
                               "rst",
                               "adoc",
                               "org",
                               "swift",
                               "m",
                               "mm",
                               "h",
                               "js",
                               "jsx",
                               "ts",
                               "tsx",
                               "mjs",
                               "cjs",
                               "html",
                               "htm",
                               "css",
                               "scss",
                               "sass",
                               "less",
                               "vue",
                               "svelte",
                               "py",
                               "pyi",
                               "pyw",
                               "rb",
                               "erb",
                               "rake",
                               "gemspec",
                               "go",
                               "rs",
                               "java",
                               "kt",
                               "kts",
                               "scala",
                               "groovy",
                               "c",
                               "cpp",
                               "cc",
                               "cxx",
                               "hpp",
                               "hh",
                               "cs",
                               "php",
                               "sh",
                               "bash",
                               "zsh",
                               "fish",
                               "ps1",
                               "json",
                               "yaml",
                               "yml",
                               "toml",
                               "ini",
                               "cfg",
                               "conf",
                               "xml",
                               "plist",
                               "entitlements",
                               "sql",
                               "graphql",
                               "gql",
                               "dockerfile",
                               "makefile",
                               "cmake",
                               "gitignore",
                               "gitattributes",
                               "editorconfig"} {}

bool FileExclusionFilter::isExcludedLeaf(std::string_view name) const {
  if (!name.empty() && name.front() == '.') return true;
  char buffer[kMaxRuleLength];
  std::string_view lower;
  std::string_view extension = extensionOf(name);
  if (!extension.empty() && lowerInto(extension, buffer, lower) && setContains(excludedExtensions_, lower)) return true;
  if (lowerInto(stemOf(name), buffer, lower) && setContains(excludedFilenames_, lower)) return true;
  return false;
}

bool FileExclusionFilter::isExcludedDirectoryName(std::string_view name) const {
  char buffer[kMaxRuleLength];
  std::string_view lower;
  return lowerInto(name, buffer, lower) && setContains(excludedDirectoryNames_, lower);
}

bool FileExclusionFilter::shouldExcludeComponent(std::string_view name, bool) const {
  return isExcludedLeaf(name) || isExcludedDirectoryName(name);
}

bool FileExclusionFilter::prunesFolder(std::string_view name) const {
  return (!name.empty() && name.front() == '.') || isExcludedDirectoryName(name);
}

bool FileExclusionFilter::shouldExclude(std::string_view path) const {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  size_t slash = path.rfind('/');
  std::string_view last = slash == std::string_view::npos ? path : path.substr(slash + 1);
  if (isExcludedLeaf(last)) return true;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    if (end > start && isExcludedDirectoryName(path.substr(start, end - start))) return true;
    start = end + 1;
  }
  return false;
}

bool FileExclusionFilter::isSupportedTextExtension(std::string_view extension) const {
  char buffer[kMaxRuleLength];
  std::string_view lower;
  return lowerInto(extension, buffer, lower) && setContains(supportedTextExtensions_, lower);
}

std::string FileExclusionFilter::gitignoreExpression(std::string_view pattern, bool anchored) {
  std::string escaped;
  for (char c : pattern) {
    if (std::string_view(".+^${}()|[]\\").find(c) != std::string_view::npos) escaped.push_back('\\');
    escaped.push_back(c);
  }
  std::string withPlaceholder;
  for (size_t i = 0; i < escaped.size(); ++i) {
    if (escaped[i] == '*' && i + 1 < escaped.size() && escaped[i + 1] == '*') {
      withPlaceholder += "<<<DOUBLESTAR>>>";
      ++i;
    } else {
      withPlaceholder.push_back(escaped[i]);
    }
  }
  std::string body;
  for (char c : withPlaceholder) {
    if (c == '*') {
      body += "[^/]*";
    } else {
      body.push_back(c);
    }
  }
  std::string expanded;
  const std::string placeholder = "<<<DOUBLESTAR>>>";
  for (size_t i = 0; i < body.size();) {
    if (body.compare(i, placeholder.size(), placeholder) == 0) {
      expanded += ".*";
      i += placeholder.size();
    } else {
      expanded.push_back(body[i]);
      ++i;
    }
  }
  std::string out;
  for (char c : expanded) {
    if (c == '?') {
      out += "[^/]";
    } else {
      out.push_back(c);
    }
  }
  return std::string(anchored ? "^" : "(^|/)") + out + "($|/)";
}

std::optional<GitignorePattern> FileExclusionFilter::compileGitignoreLine(std::string_view line) {
  std::string_view text = trimWhitespace(line);
  if (text.empty() || text.front() == '#') return std::nullopt;
  GitignorePattern pattern;
  if (text.front() == '!') {
    pattern.isNegated = true;
    text.remove_prefix(1);
  }
  if (!text.empty() && text.back() == '/') {
    pattern.isDirectoryOnly = true;
    text.remove_suffix(1);
  }
  if (!text.empty() && text.front() == '/') {
    pattern.isAnchored = true;
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  pattern.pattern = std::string(text);
  pattern.expression = gitignoreExpression(text, pattern.isAnchored);
  UErrorCode status = U_ZERO_ERROR;
  UParseError parseError;
  icu::UnicodeString source = icu::UnicodeString::fromUTF8(pattern.expression);
  std::unique_ptr<icu::RegexPattern> compiled(icu::RegexPattern::compile(source, 0, parseError, status));
  if (U_FAILURE(status) || !compiled) return std::nullopt;
  pattern.regex = std::shared_ptr<const icu::RegexPattern>(compiled.release());
  return pattern;
}

std::optional<std::vector<GitignorePattern>> FileExclusionFilter::loadGitignore(const std::string& directory) {
  {
    std::lock_guard<std::mutex> lock(cacheMutex_);
    auto it = gitignoreCache_.find(directory);
    if (it != gitignoreCache_.end()) return it->second;
  }
  std::string path = directory + "/.gitignore";
  auto contents = readRegularFile(path, uint64_t{16} << 20);  // real ones take kilobytes
  if (!contents.ok()) {
    logger_.error("Failed to read .gitignore at %s: %s", path.c_str(), contents.error().description().c_str());
    return std::nullopt;
  }
  std::vector<GitignorePattern> patterns;
  for (const std::string& line : splitString(contents.value(), '\n')) {
    if (auto pattern = compileGitignoreLine(line)) patterns.push_back(std::move(*pattern));
  }
  std::lock_guard<std::mutex> lock(cacheMutex_);
  auto [it, inserted] = gitignoreCache_.emplace(directory, std::move(patterns));
  return it->second;
}

void FileExclusionFilter::clearGitignoreCache() {
  std::lock_guard<std::mutex> lock(cacheMutex_);
  gitignoreCache_.clear();
}

}  // namespace pallix
