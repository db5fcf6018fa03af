#include "cli/Display.h"

#include <cstdlib>

#include "cli/Command.h"
#include "core/TerminalText.h"

namespace pallix::cli {

std::string printable(std::string_view text) {
  return escapeForTerminal(text);
}

std::string printableColumn(std::string_view text, int width) {
  return padToDisplayWidth(escapeForTerminal(text), width);
}

std::string displayName(const IndexedItem& item) {
  if (item.itemType() == IndexedItem::ItemType::app) return item.name;
  std::string_view path = item.path;
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  const size_t slash = path.rfind('/');
  std::string_view last = slash == std::string_view::npos ? path : path.substr(slash + 1);
  return last.empty() ? item.name : std::string(last);
}

std::vector<std::string> displayNames(const std::vector<IndexedItem>& items) {
  std::vector<std::string> names, paths;
  for (const IndexedItem& item : items) {
    names.push_back(displayName(item));
    // Apps of one name usually sit in one folder; their entry file tells them apart.
    paths.push_back(item.itemType() == IndexedItem::ItemType::app ? item.path + "/-" : item.path);
  }
  std::vector<std::string> parents = distinguishingParents(names, paths);
  for (size_t i = 0; i < names.size(); ++i) {
    if (!parents[i].empty()) names[i] += " (" + parents[i] + ")";
  }
  return names;
}

bool reasonsShown() {
  return stdoutIsTerminal();
}

bool colourWanted() {
  const char* noColour = std::getenv("NO_COLOR");
  return !noColour || !*noColour;
}

namespace {

constexpr const char* kDim = "\033[2m";
constexpr const char* kBold = "\033[22;1m";  // bold ends dim on most terminals
constexpr const char* kPlain = "\033[0m";

// `text` escaped, its `spans` (byte runs of `text`) set off by `on` and
// followed by `off`.
std::string withSpans(std::string_view text, const std::vector<TextSpan>& spans, const std::string& on,
                      const std::string& off) {
  std::string out;
  size_t at = 0;
  for (const TextSpan& span : spans) {
    if (span.byteStart < at || span.byteStart + span.byteLength > text.size()) continue;
    out += printable(text.substr(at, span.byteStart - at));
    out += on + printable(text.substr(span.byteStart, span.byteLength)) + off;
    at = span.byteStart + span.byteLength;
  }
  return out + printable(text.substr(at));
}

}  // namespace

std::string reasonLine(const MatchReason& reason, bool colour) {
  if (reason.empty()) return "";
  if (!colour) return printable(reason.text);
  return kDim + withSpans(reason.text, reason.highlights, kBold, std::string(kPlain) + kDim) + kPlain;
}

std::string withHighlights(std::string_view text, const std::vector<TextSpan>& highlights, bool colour) {
  return colour ? withSpans(text, highlights, kBold, kPlain) : printable(text);
}

std::string pathWithReason(std::string_view path, const MatchReason& reason, bool colour) {
  std::string_view rest = reason.text;
  std::vector<TextSpan> restSpans = reason.highlights;
  std::vector<TextSpan> nameSpans;
  const std::string_view name = rest.substr(0, reason.nameBytes);
  const bool nameEndsPath =
      reason.nameBytes > 0 && path.size() >= name.size() && path.substr(path.size() - name.size()) == name;
  if (nameEndsPath) {
    const size_t shift = path.size() - name.size();
    restSpans.clear();
    size_t skip = name.size();
    constexpr std::string_view kSeparator = " \u00B7 ";
    if (rest.substr(skip, kSeparator.size()) == kSeparator) skip += kSeparator.size();
    for (TextSpan span : reason.highlights) {
      if (span.byteStart < name.size()) {
        nameSpans.push_back({span.byteStart + shift, std::min(span.byteLength, name.size() - span.byteStart), 0, 0});
      } else if (span.byteStart >= skip) {
        span.byteStart -= skip;
        restSpans.push_back(span);
      }
    }
    rest.remove_prefix(skip);
  }
  if (!colour) return printable(path) + (rest.empty() ? "" : "  " + printable(rest));
  std::string out = withSpans(path, nameSpans, kBold, kPlain);
  if (!rest.empty())
    out += std::string("  ") + kDim + withSpans(rest, restSpans, kBold, std::string(kPlain) + kDim) + kPlain;
  return out;
}

}  // namespace pallix::cli
