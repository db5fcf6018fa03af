#include "app/platform/VCard.h"

#include <cstdint>

#include "app/platform/CharsetConversion.h"
#include "core/Strings.h"

namespace pallix {
namespace {

struct Parameter {
  std::string name;  // upper case; "TYPE" for the bare values of vCard 2.1
  std::string value;
};

struct ContentLine {
  int lineNumber = 0;
  std::string name;  // upper case, group removed
  std::vector<Parameter> parameters;
  std::string value;           // UTF-8 once parsed
  std::string charsetProblem;  // a named charset that could not be used, or ""

  std::string parameterValue(std::string_view parameterName) const {
    for (const Parameter& p : parameters) {
      if (p.name == parameterName) return p.value;
    }
    return {};
  }

  bool hasParameter(std::string_view parameterName, std::string_view value) const {
    for (const Parameter& p : parameters) {
      if (p.name != parameterName) continue;
      for (const std::string& v : splitString(p.value, ',')) {
        if (asciiLowercase(v) == asciiLowercase(value)) return true;
      }
    }
    return false;
  }
};

std::string upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

// Splits `text` at `separator` outside double quotes.
std::vector<std::string> splitOutsideQuotes(std::string_view text, char separator) {
  std::vector<std::string> out(1);
  bool quoted = false;
  for (char c : text) {
    if (c == '"') {
      quoted = !quoted;
      continue;
    }
    if (c == separator && !quoted) {
      out.emplace_back();
      continue;
    }
    out.back().push_back(c);
  }
  return out;
}

// Splits a structured value (N, ORG) at unescaped ';'; escapes are kept for unescape().
std::vector<std::string> splitComponents(std::string_view value) {
  std::vector<std::string> out(1);
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\\' && i + 1 < value.size()) {
      out.back().push_back(value[i]);
      out.back().push_back(value[++i]);
    } else if (value[i] == ';') {
      out.emplace_back();
    } else {
      out.back().push_back(value[i]);
    }
  }
  return out;
}

std::string unescape(std::string_view value) {
  std::string out;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '\\' || i + 1 == value.size()) {
      out.push_back(value[i]);
      continue;
    }
    char next = value[++i];
    out.push_back(next == 'n' || next == 'N' ? '\n' : next);
  }
  return out;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string decodeQuotedPrintable(std::string_view value) {
  std::string out;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '=' && i + 2 < value.size() && hexDigit(value[i + 1]) >= 0 && hexDigit(value[i + 2]) >= 0) {
      out.push_back(static_cast<char>(hexDigit(value[i + 1]) * 16 + hexDigit(value[i + 2])));
      i += 2;
    } else {
      out.push_back(value[i]);
    }
  }
  return out;
}

bool isQuotedPrintable(std::string_view logicalLine) {
  size_t colon = logicalLine.find(':');
  return upper(logicalLine.substr(0, colon)).find("QUOTED-PRINTABLE") != std::string::npos;
}

struct LogicalLine {
  int number;
  std::string text;
};

// Joins folded lines (and quoted-printable soft breaks) into logical lines.
std::vector<LogicalLine> unfold(std::string_view text) {
  if (startsWith(text, "\xEF\xBB\xBF")) text.remove_prefix(3);
  std::vector<LogicalLine> lines;
  int number = 0;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    std::string_view physical =
        text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (!physical.empty() && physical.back() == '\r') physical.remove_suffix(1);
    ++number;
    bool softBreak = !lines.empty() && !lines.back().text.empty() && lines.back().text.back() == '=' &&
                     isQuotedPrintable(lines.back().text);
    if (softBreak) {
      lines.back().text.pop_back();
      lines.back().text.append(physical);
    } else if (!physical.empty() && (physical[0] == ' ' || physical[0] == '\t') && !lines.empty()) {
      lines.back().text.append(physical.substr(1));
    } else if (!physical.empty()) {
      lines.push_back({number, std::string(physical)});
    }
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return lines;
}

bool parseContentLine(const LogicalLine& line, ContentLine& out) {
  bool quoted = false;
  size_t colon = std::string::npos;
  for (size_t i = 0; i < line.text.size(); ++i) {
    if (line.text[i] == '"') quoted = !quoted;
    if (line.text[i] == ':' && !quoted) {
      colon = i;
      break;
    }
  }
  if (colon == std::string::npos) return false;
  std::vector<std::string> pieces = splitOutsideQuotes(std::string_view(line.text).substr(0, colon), ';');
  std::string name = pieces[0];
  if (size_t dot = name.rfind('.'); dot != std::string::npos) name = name.substr(dot + 1);
  out.lineNumber = line.number;
  out.name = upper(trimWhitespace(name));
  out.parameters.clear();
  for (size_t i = 1; i < pieces.size(); ++i) {
    size_t eq = pieces[i].find('=');
    if (eq == std::string::npos) {
      out.parameters.push_back({"TYPE", pieces[i]});
    } else {
      out.parameters.push_back({upper(trimWhitespace(pieces[i].substr(0, eq))), pieces[i].substr(eq + 1)});
    }
  }
  out.value = line.text.substr(colon + 1);
  if (out.hasParameter("ENCODING", "QUOTED-PRINTABLE") || out.hasParameter("TYPE", "QUOTED-PRINTABLE")) {
    out.value = decodeQuotedPrintable(out.value);
  }
  // Inline photos are binary. Everything else is text, read in its CHARSET
  // only now: quoted-printable hides the bytes, and a multi-byte character
  // may end in a byte that looks like a backslash (Shift_JIS "ソ" is 83 5C),
  // so splitting and unescaping must wait for UTF-8.
  out.charsetProblem.clear();
  if (out.name != "PHOTO") {
    std::string charset = out.parameterValue("CHARSET");
    ConvertedText text = convertToUtf8(out.value, charset);
    if (text.fellBack) {
      out.charsetProblem = "line " + std::to_string(line.number) + ": " + out.name + " is not text in charset " +
                           inQuotes(charset) + "; read as " + text.readAs;
    }
    out.value = std::move(text.utf8);
  }
  return true;
}

std::string labelOf(const ContentLine& line) {
  std::vector<std::string> labels;
  for (const Parameter& p : line.parameters) {
    if (p.name != "TYPE") continue;
    for (const std::string& v : splitString(p.value, ',')) {
      std::string lower = asciiLowercase(trimWhitespace(v));
      if (lower.empty() || lower == "voice" || lower == "pref" || lower == "internet" || lower == "quoted-printable" ||
          lower.rfind("charset", 0) == 0) {
        continue;
      }
      labels.push_back(lower);
    }
  }
  return joinStrings(labels, ",");
}

std::string component(const std::vector<std::string>& parts, size_t index) {
  return index < parts.size() ? std::string(trimWhitespace(unescape(parts[index]))) : std::string();
}

// Applies one property to the card; returns a problem text or "".
std::string apply(const ContentLine& line, ContactRecord& card) {
  const std::string& n = line.name;
  if (n == "FN") {
    card.formattedName = trimWhitespace(unescape(line.value));
  } else if (n == "N") {
    auto parts = splitComponents(line.value);
    card.familyName = component(parts, 0);
    card.givenName = component(parts, 1);
    card.middleName = component(parts, 2);
    card.namePrefix = component(parts, 3);
    card.nameSuffix = component(parts, 4);
  } else if (n == "NICKNAME") {
    card.nickname = trimWhitespace(splitString(unescape(line.value), ',').front());
  } else if (n == "ORG") {
    auto parts = splitComponents(line.value);
    card.organizationName = component(parts, 0);
    card.departmentName = component(parts, 1);
  } else if (n == "TEL") {
    std::string value(trimWhitespace(unescape(line.value)));
    if (asciiLowercase(value.substr(0, 4)) == "tel:") value = value.substr(4);
    if (!value.empty()) card.phoneNumbers.push_back({labelOf(line), value});
  } else if (n == "EMAIL") {
    std::string value(trimWhitespace(unescape(line.value)));
    if (asciiLowercase(value.substr(0, 7)) == "mailto:") value = value.substr(7);
    if (!value.empty()) card.emailAddresses.push_back({labelOf(line), value});
  } else if (n == "URL") {
    std::string value(trimWhitespace(unescape(line.value)));
    if (!value.empty()) card.urlAddresses.push_back(value);
  } else if (n == "UID") {
    card.identifier = trimWhitespace(unescape(line.value));
  } else if (n == "PHOTO") {
    std::string_view value = trimWhitespace(line.value);
    std::optional<std::string_view> encoded;
    if (asciiLowercase(value.substr(0, 5)) == "data:") {
      size_t marker = asciiLowercase(value).find(";base64,");
      if (marker == std::string::npos) return "line " + std::to_string(line.lineNumber) + ": photo is not base64";
      encoded = value.substr(marker + 8);
    } else if (line.hasParameter("ENCODING", "b") || line.hasParameter("ENCODING", "base64") ||
               line.hasParameter("TYPE", "base64")) {
      encoded = value;
    }
    if (!encoded) return "";  // a photo by reference (URL) is not fetched
    auto bytes = decodeBase64(*encoded);
    if (!bytes || bytes->empty()) return "line " + std::to_string(line.lineNumber) + ": photo is not valid base64";
    card.thumbnailImageData = std::move(*bytes);
  }
  return "";
}

bool namesSomething(const ContactRecord& card) {
  return formattedFullName(card).has_value() || !card.phoneNumbers.empty() || !card.emailAddresses.empty();
}

}  // namespace

std::optional<std::string> decodeBase64(std::string_view text) {
  std::string out;
  uint32_t buffer = 0;
  int bits = 0;
  bool padding = false;
  for (char c : text) {
    int v;
    if (c >= 'A' && c <= 'Z') {
      v = c - 'A';
    } else if (c >= 'a' && c <= 'z') {
      v = c - 'a' + 26;
    } else if (c >= '0' && c <= '9') {
      v = c - '0' + 52;
    } else if (c == '+') {
      v = 62;
    } else if (c == '/') {
      v = 63;
    } else if (c == '=') {
      padding = true;
      continue;
    } else if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      continue;
    } else {
      return std::nullopt;
    }
    if (padding) return std::nullopt;  // data after padding
    buffer = (buffer << 6) | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>((buffer >> bits) & 0xFF));
    }
  }
  return out;
}

std::string encodeBase64(std::string_view bytes) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t chunk = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
    if (i + 1 < bytes.size()) chunk |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
    if (i + 2 < bytes.size()) chunk |= static_cast<unsigned char>(bytes[i + 2]);
    out.push_back(kAlphabet[(chunk >> 18) & 63]);
    out.push_back(kAlphabet[(chunk >> 12) & 63]);
    out.push_back(i + 1 < bytes.size() ? kAlphabet[(chunk >> 6) & 63] : '=');
    out.push_back(i + 2 < bytes.size() ? kAlphabet[chunk & 63] : '=');
  }
  return out;
}

VCardParseResult parseVCards(std::string_view text, const std::string& sourceName) {
  VCardParseResult result;
  std::optional<ContactRecord> card;
  int cardStart = 0;
  int nestedDepth = 0;
  int index = 0;
  for (const LogicalLine& logical : unfold(text)) {
    ContentLine line;
    if (!parseContentLine(logical, line)) {
      if (card) result.problems.push_back("line " + std::to_string(logical.number) + ": no ':' in the line");
      continue;
    }
    std::string value = upper(trimWhitespace(line.value));
    if (line.name == "BEGIN" && value == "VCARD") {
      if (card) {
        ++nestedDepth;  // an embedded card (AGENT) belongs to its parent; skipped
        continue;
      }
      card.emplace();
      cardStart = line.lineNumber;
      continue;
    }
    if (!card) continue;
    if (line.name == "END" && value == "VCARD") {
      if (nestedDepth > 0) {
        --nestedDepth;
        continue;
      }
      ++index;
      if (card->identifier.empty()) card->identifier = sourceName + "#" + std::to_string(index);
      if (namesSomething(*card)) {
        result.contacts.push_back(std::move(*card));
      } else {
        result.problems.push_back("card at line " + std::to_string(cardStart) + " has no name, phone or e-mail");
      }
      card.reset();
      continue;
    }
    if (nestedDepth > 0) continue;
    if (!line.charsetProblem.empty()) result.problems.push_back(line.charsetProblem);
    std::string problem = apply(line, *card);
    if (!problem.empty()) result.problems.push_back(std::move(problem));
  }
  if (card) {
    // A truncated file keeps what its last card already says.
    result.problems.push_back("card at line " + std::to_string(cardStart) + " is not terminated (no END:VCARD)");
    if (card->identifier.empty()) card->identifier = sourceName + "#" + std::to_string(index + 1);
    if (namesSomething(*card)) result.contacts.push_back(std::move(*card));
  }
  return result;
}

}  // namespace pallix
