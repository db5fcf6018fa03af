#include "core/TerminalText.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <iterator>
#include <map>

#include "core/Strings.h"

namespace pallix {
namespace {

// Decodes the character at `i`, advancing `i`; negative for a byte sequence
// that is not UTF-8 (then `i` has moved past the whole ill-formed sequence).
UChar32 nextCodePoint(std::string_view text, int32_t& i) {
  UChar32 c = 0;
  U8_NEXT(reinterpret_cast<const uint8_t*>(text.data()), i, static_cast<int32_t>(text.size()), c);
  return c;
}

void appendHexByte(std::string& out, unsigned char byte) {
  out += stringPrintf("\\x%02x", byte);
}

const char* namedControl(UChar32 c) {
  switch (c) {
    case 0x07:
      return "\\a";
    case 0x08:
      return "\\b";
    case 0x09:
      return "\\t";
    case 0x0A:
      return "\\n";
    case 0x0B:
      return "\\v";
    case 0x0C:
      return "\\f";
    case 0x0D:
      return "\\r";
    case 0x1B:
      return "\\e";
    default:
      return nullptr;
  }
}

// Characters a terminal or a bidirectional layout acts on although they are
// not C0: C1 controls, line and paragraph separators, and the marks,
// embeddings, overrides and isolates that reorder a name on screen.
bool needsUnicodeEscape(UChar32 c) {
  return (c >= 0x80 && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F || c == 0x2028 || c == 0x2029 ||
         (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

int codePointWidth(UChar32 c) {
  if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) return 0;
  // The soft hyphen is a format character that terminals draw.
  if (c == 0x00AD) return 1;
  const int8_t type = u_charType(c);
  if (type == U_NON_SPACING_MARK || type == U_ENCLOSING_MARK || type == U_FORMAT_CHAR) return 0;
  // Hangul medial vowels and final consonants join the preceding syllable.
  if (c >= 0x1160 && c <= 0x11FF) return 0;
  const int32_t eastAsian = u_getIntPropertyValue(c, UCHAR_EAST_ASIAN_WIDTH);
  return eastAsian == U_EA_WIDE || eastAsian == U_EA_FULLWIDTH ? 2 : 1;
}

}  // namespace

std::string escapeForTerminal(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  int32_t i = 0;
  const auto length = static_cast<int32_t>(text.size());
  while (i < length) {
    const int32_t start = i;
    const UChar32 c = nextCodePoint(text, i);
    if (c < 0) {
      for (int32_t b = start; b < i; ++b) appendHexByte(out, static_cast<unsigned char>(text[b]));
    } else if (c < 0x20 || c == 0x7F) {
      const char* name = namedControl(c);
      if (name) {
        out += name;
      } else {
        appendHexByte(out, static_cast<unsigned char>(c));
      }
    } else if (needsUnicodeEscape(c)) {
      out += stringPrintf("\\u{%x}", static_cast<unsigned>(c));
    } else {
      out.append(text.substr(static_cast<size_t>(start), static_cast<size_t>(i - start)));
    }
  }
  return out;
}

int displayWidth(std::string_view text) {
  int width = 0;
  int32_t i = 0;
  while (i < static_cast<int32_t>(text.size())) {
    const UChar32 c = nextCodePoint(text, i);
    width += c < 0 ? 1 : codePointWidth(c);
  }
  return width;
}

std::string padToDisplayWidth(std::string_view text, int width) {
  std::string out(text);
  const int shown = displayWidth(text);
  if (shown < width) out.append(static_cast<size_t>(width - shown), ' ');
  return out;
}

std::string truncateToDisplayWidth(std::string_view text, int width) {
  if (width <= 0) return "";
  if (displayWidth(text) <= width) return std::string(text);
  // Room for the "~" that marks the cut.
  const int budget = width - 1;
  int used = 0;
  int32_t i = 0;
  int32_t keep = 0;
  while (i < static_cast<int32_t>(text.size())) {
    const UChar32 c = nextCodePoint(text, i);
    const int w = c < 0 ? 1 : codePointWidth(c);
    if (used + w > budget) break;
    used += w;
    keep = i;
  }
  return std::string(text.substr(0, static_cast<size_t>(keep))) + "~";
}

std::vector<std::string> distinguishingParents(const std::vector<std::string>& names,
                                               const std::vector<std::string>& paths) {
  std::vector<std::string> out(paths.size());
  std::map<std::string, std::vector<size_t>> byName;
  for (size_t i = 0; i < names.size() && i < paths.size(); ++i) byName[names[i]].push_back(i);
  // Parent folders of each path, nearest first.
  auto parentsOf = [](const std::string& path) {
    std::vector<std::string> parts;
    for (const std::string& part : splitString(path, '/')) {
      if (!part.empty()) parts.push_back(part);
    }
    if (!parts.empty()) parts.pop_back();
    return std::vector<std::string>(parts.rbegin(), parts.rend());
  };
  for (const auto& [name, members] : byName) {
    if (members.size() < 2) continue;
    std::vector<std::vector<std::string>> parents;
    for (size_t m : members) parents.push_back(parentsOf(paths[m]));
    // The last `k` parents of entry `a`, or all of them when it has fewer.
    auto tail = [&](size_t a, size_t k) {
      const auto& p = parents[a];
      return std::vector<std::string>(p.begin(), p.begin() + static_cast<std::ptrdiff_t>(std::min(k, p.size())));
    };
    auto uniqueAt = [&](size_t a, size_t k) {
      for (size_t b = 0; b < members.size(); ++b) {
        if (b != a && tail(a, k) == tail(b, k)) return false;
      }
      return true;
    };
    for (size_t a = 0; a < members.size(); ++a) {
      size_t k = 1;
      while (k < parents[a].size() && !uniqueAt(a, k)) ++k;
      // A path whose every folder is needed (or that has none) is shown from the root.
      const bool fromRoot = parents[a].empty() || !uniqueAt(a, k);
      std::vector<std::string> shown = tail(a, k);
      std::string label = fromRoot ? "/" : "";
      for (auto it = shown.rbegin(); it != shown.rend(); ++it) {
        label += *it;
        if (std::next(it) != shown.rend()) label += "/";
      }
      out[members[a]] = label;
    }
  }
  return out;
}

}  // namespace pallix
