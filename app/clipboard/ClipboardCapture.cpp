#include "app/clipboard/ClipboardCapture.h"

#include <unicode/unistr.h>

#include <algorithm>
#include <cctype>

#include "app/platform/PasteboardTypes.h"
#include "core/ContentDigest.h"
#include "core/Strings.h"

namespace pallix {
namespace {

using Category = PasteboardTypeCategory;

std::string_view trimAll(std::string_view s) {
  auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; };
  while (!s.empty() && space(s.front())) s.remove_prefix(1);
  while (!s.empty() && space(s.back())) s.remove_suffix(1);
  return s;
}

Category categoryOf(const ClipboardRepresentation& r) {
  return representationCategory(r.typeIdentifier, r.data ? std::string_view(*r.data) : std::string_view());
}

std::optional<std::string> finishPrimary(std::string_view text) {
  std::string out = truncateCodePoints(trimAll(text), ClipboardItem::kPrimaryTextLimit);
  out = std::string(trimAll(out));
  if (out.empty()) return std::nullopt;
  return out;
}

bool isHostChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_';
}

std::string decodeEntity(std::string_view name) {
  if (name == "amp") return "&";
  if (name == "lt") return "<";
  if (name == "gt") return ">";
  if (name == "quot") return "\"";
  if (name == "apos" || name == "#39") return "'";
  if (name == "nbsp") return " ";
  if (name.size() > 1 && name[0] == '#') {
    bool hex = name[1] == 'x' || name[1] == 'X';
    std::string digits(name.substr(hex ? 2 : 1));
    if (digits.empty() || digits.size() > 7) return {};
    char32_t cp = static_cast<char32_t>(std::strtoul(digits.c_str(), nullptr, hex ? 16 : 10));
    if (cp == 0 || cp > 0x10FFFF) return {};
    std::string out;
    appendUtf8(out, cp);
    return out;
  }
  return {};
}

}  // namespace

std::string truncateCodePoints(std::string_view text, size_t limit) {
  size_t count = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
      if (count == limit) return std::string(text.substr(0, i));
      ++count;
    }
  }
  return std::string(text);
}

std::string lowercasedForSearch(std::string_view text) {
  std::string out;
  icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())))
      .toLower()
      .toUTF8String(out);
  return out;
}

std::vector<ClipboardRepresentation> extractRepresentations(const PasteboardItem& item) {
  std::vector<ClipboardRepresentation> out;
  int order = 0;
  for (const PasteboardRepresentation& r : item.representations) {
    const int position = order++;
    // An empty representation carries nothing worth keeping.
    if (r.type == kEmojiMarkerType || r.data.empty()) continue;
    ClipboardRepresentation rep;
    rep.typeIdentifier = r.type;
    rep.data = r.data;
    rep.byteCount = static_cast<int64_t>(r.data.size());
    rep.order = position;
    if (pasteboardTypeCategory(r.type) == Category::plainText) rep.stringValue = r.data;
    out.push_back(std::move(rep));
  }
  return out;
}

std::optional<std::string> derivePrimaryText(const std::vector<ClipboardRepresentation>& representations) {
  for (const ClipboardRepresentation& r : representations) {
    if (pasteboardTypeCategory(r.typeIdentifier) != Category::plainText || !r.stringValue) continue;
    if (auto text = finishPrimary(*r.stringValue)) return text;
  }
  for (Category wanted : {Category::rtf, Category::html}) {
    for (const ClipboardRepresentation& r : representations) {
      if (pasteboardTypeCategory(r.typeIdentifier) != wanted || !r.data) continue;
      std::string plain = wanted == Category::rtf ? rtfToPlainText(*r.data) : htmlToPlainText(*r.data);
      if (auto text = finishPrimary(plain)) return text;
    }
  }
  return std::nullopt;
}

bool isValidClipboardLink(std::string_view url) {
  if (url.size() > 2048) return false;
  std::string lower = asciiLowercase(url);
  size_t hostStart;
  if (startsWith(lower, "https://")) {
    hostStart = 8;
  } else if (startsWith(lower, "http://")) {
    hostStart = 7;
  } else {
    return false;
  }
  for (char c : url) {
    if (static_cast<unsigned char>(c) <= ' ' || c == '"' || c == '<' || c == '>' || c == '\\') return false;
  }
  size_t hostEnd = lower.find_first_of("/?#", hostStart);
  std::string_view authority =
      std::string_view(lower).substr(hostStart, hostEnd == std::string::npos ? std::string::npos : hostEnd - hostStart);
  if (size_t at = authority.rfind('@'); at != std::string_view::npos) authority.remove_prefix(at + 1);
  if (!authority.empty() && authority.front() == '[') return authority.find(']') != std::string_view::npos;
  std::string_view host = authority.substr(0, authority.find(':'));
  if (host.empty() || host.front() == '.' || host.back() == '.' || host.front() == '-') return false;
  if (!std::all_of(host.begin(), host.end(), isHostChar)) return false;
  return host == "localhost" || host.find('.') != std::string_view::npos;
}

std::optional<std::string> detectLink(std::string_view text) {
  std::string lower = asciiLowercase(text);
  size_t best = std::string::npos;
  bool bare = false;
  for (const char* prefix : {"https://", "http://", "www."}) {
    size_t at = 0;
    while ((at = lower.find(prefix, at)) != std::string::npos) {
      // A link starts a word: "xwww." is not one.
      if (at == 0 || !std::isalnum(static_cast<unsigned char>(lower[at - 1]))) break;
      ++at;
    }
    if (at != std::string::npos && at < best) {
      best = at;
      bare = prefix[0] == 'w';
    }
  }
  if (best == std::string::npos) return std::nullopt;
  size_t end = best;
  while (end < text.size() && !std::isspace(static_cast<unsigned char>(text[end])) && text[end] != '<' &&
         text[end] != '>' && text[end] != '"') {
    ++end;
  }
  std::string_view candidate = text.substr(best, end - best);
  while (!candidate.empty() && std::string_view(".,;:!?)]}'").find(candidate.back()) != std::string_view::npos) {
    // A closing parenthesis belongs to the link when it opened one inside.
    if (candidate.back() == ')' && candidate.find('(') != std::string_view::npos) break;
    candidate.remove_suffix(1);
  }
  std::string url = bare ? "http://" + std::string(candidate) : std::string(candidate);
  if (!isValidClipboardLink(url)) return std::nullopt;
  return url;
}

std::optional<std::string> deriveURL(const std::vector<ClipboardRepresentation>& representations,
                                     const std::optional<std::string>& primaryText) {
  for (const ClipboardRepresentation& r : representations) {
    if (categoryOf(r) != Category::url || !r.data) continue;
    for (const std::string& line : splitString(*r.data, '\n')) {
      std::string_view uri = trimAll(line);
      if (uri.empty() || uri.front() == '#') continue;
      if (isValidClipboardLink(uri)) return std::string(uri);
      break;
    }
  }
  if (primaryText) return detectLink(*primaryText);
  return std::nullopt;
}

std::optional<std::string> computeHash(const std::vector<ClipboardRepresentation>& representations) {
  if (representations.empty()) return std::nullopt;
  std::vector<const ClipboardRepresentation*> sorted;
  for (const ClipboardRepresentation& r : representations) sorted.push_back(&r);
  std::sort(sorted.begin(), sorted.end(), [](const auto* a, const auto* b) {
    if (a->typeIdentifier != b->typeIdentifier) return a->typeIdentifier < b->typeIdentifier;
    return a->order < b->order;
  });
  Sha256 digest;
  for (const ClipboardRepresentation* r : sorted) {
    const std::string& bytes = r->data ? *r->data : r->stringValue ? *r->stringValue : std::string();
    const std::string header = r->typeIdentifier + '\0' + std::to_string(bytes.size()) + '\0';
    digest.update(header);
    digest.update(bytes);
  }
  return digest.finishHex();
}

ClipboardContentKind determineContentKind(const std::vector<ClipboardRepresentation>& representations,
                                          const std::optional<std::string>& detectedURL,
                                          const std::optional<std::string>& primaryText) {
  if (detectedURL) return ClipboardContentKind::link;
  auto any = [&](Category wanted) {
    return std::any_of(representations.begin(), representations.end(),
                       [&](const ClipboardRepresentation& r) { return categoryOf(r) == wanted; });
  };
  if (any(Category::image)) return ClipboardContentKind::image;
  if (any(Category::fileURL)) return ClipboardContentKind::file;
  if (any(Category::rtf) || any(Category::html)) return ClipboardContentKind::richText;
  if (primaryText) return ClipboardContentKind::text;
  return ClipboardContentKind::unknown;
}

std::string rtfToPlainText(std::string_view rtf) {
  std::string out;
  // Groups whose text is not document text: destinations ({\*...}) and tables.
  std::vector<bool> skipping{false};
  for (size_t i = 0; i < rtf.size();) {
    char c = rtf[i];
    if (c == '{') {
      bool skip = skipping.back();
      std::string_view rest = rtf.substr(i + 1);
      for (const char* destination : {"\\*", "\\fonttbl", "\\colortbl", "\\stylesheet", "\\info", "\\pict"}) {
        if (startsWith(rest, destination)) skip = true;
      }
      skipping.push_back(skip);
      ++i;
      continue;
    }
    if (c == '}') {
      if (skipping.size() > 1) skipping.pop_back();
      ++i;
      continue;
    }
    if (c == '\\' && i + 1 < rtf.size()) {
      char next = rtf[i + 1];
      if (next == '\\' || next == '{' || next == '}') {
        if (!skipping.back()) out.push_back(next);
        i += 2;
        continue;
      }
      if (next == '\'' && i + 3 < rtf.size()) {
        if (!skipping.back()) {
          appendUtf8(out, static_cast<char32_t>(std::strtoul(std::string(rtf.substr(i + 2, 2)).c_str(), nullptr, 16)));
        }
        i += 4;
        continue;
      }
      size_t j = i + 1;
      while (j < rtf.size() && std::isalpha(static_cast<unsigned char>(rtf[j]))) ++j;
      std::string_view word = rtf.substr(i + 1, j - i - 1);
      size_t numberStart = j;
      if (j < rtf.size() && (rtf[j] == '-' || std::isdigit(static_cast<unsigned char>(rtf[j])))) ++j;
      while (j < rtf.size() && std::isdigit(static_cast<unsigned char>(rtf[j]))) ++j;
      std::string number(rtf.substr(numberStart, j - numberStart));
      if (j < rtf.size() && rtf[j] == ' ') ++j;
      if (!skipping.back()) {
        if (word == "par" || word == "line") out.push_back('\n');
        if (word == "tab") out.push_back('\t');
        if (word == "u" && !number.empty()) {
          long cp = std::strtol(number.c_str(), nullptr, 10);
          if (cp < 0) cp += 65536;
          appendUtf8(out, static_cast<char32_t>(cp));
          if (j < rtf.size() && rtf[j] == '?') ++j;  // the ANSI stand-in
        }
      }
      if (word.empty() && j == i + 1) ++j;  // a control symbol such as "\~"
      i = j;
      continue;
    }
    if (!skipping.back() && c != '\r' && c != '\n') out.push_back(c);
    ++i;
  }
  return out;
}

std::string htmlToPlainText(std::string_view html) {
  std::string out;
  for (size_t i = 0; i < html.size();) {
    char c = html[i];
    if (c == '<') {
      size_t close = html.find('>', i);
      if (close == std::string_view::npos) break;
      std::string tag = asciiLowercase(html.substr(i + 1, close - i - 1));
      std::string name = tag.substr(0, tag.find_first_of(" \t\n/"));
      if (name == "script" || name == "style" || name == "head") {
        size_t end = asciiLowercase(html).find("</" + name, close);
        if (end == std::string::npos) break;
        close = html.find('>', end);
        if (close == std::string_view::npos) break;
      } else if (name == "br" || name == "p" || name == "/p" || name == "div" || name == "/div" || name == "li" ||
                 name == "tr" || startsWith(name, "h") || startsWith(name, "/h")) {
        if (!out.empty() && out.back() != '\n') out.push_back('\n');
      }
      i = close + 1;
      continue;
    }
    if (c == '&') {
      size_t semi = html.find(';', i);
      if (semi != std::string_view::npos && semi - i <= 10) {
        std::string decoded = decodeEntity(html.substr(i + 1, semi - i - 1));
        if (!decoded.empty()) {
          out += decoded;
          i = semi + 1;
          continue;
        }
      }
    }
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
    if (!(c == ' ' && !out.empty() && (out.back() == ' ' || out.back() == '\n'))) out.push_back(c);
    ++i;
  }
  return out;
}

}  // namespace pallix
