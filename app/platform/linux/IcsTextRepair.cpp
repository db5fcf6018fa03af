#include "app/platform/linux/IcsTextRepair.h"

#include <strings.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace pallix {

namespace {

// Content lines with folding undone; line ends may be CRLF or LF alone. Blank lines carry nothing and are
// left out.
std::vector<std::string> unfoldedLines(std::string_view text) {
  std::vector<std::string> lines;
  for (size_t at = 0, end = 0; at < text.size(); at = end + 1) {
    end = std::min(text.find('\n', at), text.size());
    std::string_view line = text.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;
    if (!lines.empty() && (line.front() == ' ' || line.front() == '\t')) {
      lines.back().append(line.substr(1));
    } else {
      lines.emplace_back(line);
    }
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

// No backslash belongs in a recurrence rule: they come from text escaping ("\\;", "\\,").
void dropBackslashes(std::string& value) {
  value.erase(std::remove(value.begin(), value.end(), '\\'), value.end());
}

// `NAME;P="zone:value"`: closes the quote before the last colon inside it.
bool closeSwallowingQuote(std::string& line) {
  if (line.size() < 2 || line.back() != '"') return false;
  const size_t open = line.rfind('"', line.size() - 2);
  if (open == std::string::npos) return false;
  const size_t colon = line.rfind(':', line.size() - 2);
  if (colon == std::string::npos || colon < open) return false;
  line = line.substr(0, colon) + "\"" + line.substr(colon, line.size() - 1 - colon);
  return true;
}

bool isDateTimeProperty(const std::string& line, size_t nameEnd) {
  for (const char* name : {"DTSTART", "DTEND", "DUE", "RECURRENCE-ID", "EXDATE", "RDATE"}) {
    if (nameIs(line, nameEnd, name)) return true;
  }
  return false;
}

bool digits(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "20260317T0700" and "20260317T0700Z" gain their seconds; other values are kept.
void addMissingSeconds(std::string& value) {
  std::string out;
  size_t at = 0;
  while (at <= value.size()) {
    size_t end = value.find(',', at);
    if (end == std::string::npos) end = value.size();
    std::string item = value.substr(at, end - at);
    const bool utc = !item.empty() && (item.back() == 'Z' || item.back() == 'z');
    const std::string_view body = std::string_view(item).substr(0, item.size() - (utc ? 1 : 0));
    if (body.size() == 13 && body[8] == 'T' && digits(body.substr(0, 8)) && digits(body.substr(9))) {
      item = std::string(body) + "00" + (utc ? "Z" : "");
    }
    out += (at == 0 ? "" : ",") + item;
    at = end + 1;
  }
  value = std::move(out);
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
        dropBackslashes(value);
        line = line.substr(0, separator + 1) + value;
      } else if (isDateTimeProperty(line, nameEnd)) {
        std::string value = line.substr(separator + 1);
        addMissingSeconds(value);
        line = line.substr(0, separator + 1) + value;
      }
    }
    out += line;
    out += "\r\n";
  }
  return out;
}

}  // namespace pallix
