#include "app/platform/linux/IcsTextRepair.h"

#include <strings.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace pallix {

namespace {

// Content lines with folding undone; line ends may be CRLF or LF alone.
std::vector<std::string> unfoldedLines(std::string_view text) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!lines.empty() && !line.empty() && (line.front() == ' ' || line.front() == '\t')) {
      lines.back().append(line.substr(1));
    } else {
      lines.emplace_back(line);
    }
    at = end + 1;
  }
  return lines;
}

// Where the name and parameters end: the first colon outside double quotes.
size_t valueSeparator(const std::string& line) {
  bool quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '"') quoted = !quoted;
    if (line[i] == ':' && !quoted) return i;
  }
  return std::string::npos;
}

bool nameIs(const std::string& line, size_t nameEnd, const char* name) {
  return nameEnd == std::strlen(name) && strncasecmp(line.c_str(), name, nameEnd) == 0;
}

void unescapeRuleSeparators(std::string& value) {
  std::string out;
  out.reserve(value.size());
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\\' && i + 1 < value.size() && (value[i + 1] == ';' || value[i + 1] == ',')) continue;
    out.push_back(value[i]);
  }
  value = std::move(out);
}

// `NAME;P="zone:value"`: closes the quote before the last colon inside it.
bool closeSwallowingQuote(std::string& line) {
  if (line.empty() || line.back() != '"') return false;
  const size_t open = line.rfind('"', line.size() - 2);
  if (open == std::string::npos) return false;
  const size_t colon = line.rfind(':', line.size() - 2);
  if (colon == std::string::npos || colon < open) return false;
  line = line.substr(0, colon) + "\"" + line.substr(colon, line.size() - 1 - colon);
  return true;
}

}  // namespace

std::string repairIcsText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::string& line : unfoldedLines(text)) {
    size_t separator = valueSeparator(line);
    if (separator == std::string::npos && closeSwallowingQuote(line)) separator = valueSeparator(line);
    if (separator != std::string::npos) {
      const size_t nameEnd = std::min(line.find(';'), separator);
      if (nameIs(line, nameEnd, "RRULE") || nameIs(line, nameEnd, "EXRULE")) {
        std::string value = line.substr(separator + 1);
        unescapeRuleSeparators(value);
        line = line.substr(0, separator + 1) + value;
      }
    }
    out += line;
    out += "\r\n";
  }
  return out;
}

}  // namespace pallix
