#include "app/platform/RequestLineReader.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "core/Utf8.h"

namespace pallix {
namespace {

std::string hexByte(unsigned char byte) {
  char out[8];
  std::snprintf(out, sizeof(out), "0x%02x", byte);
  return out;
}

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r';
}

}  // namespace

std::string encodeRequestRefusal(const std::string& why) {
  return nlohmann::json{{"refused", why}}.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::vector<RequestEvent> RequestLineReader::feed(std::string_view bytes) {
  std::vector<RequestEvent> events;
  while (!done_ && !bytes.empty()) {
    const size_t newline = bytes.find('\n');
    const std::string_view piece = bytes.substr(0, newline);
    if (buffer_.size() + piece.size() > maxLineBytes_) {
      done_ = true;
      buffer_.clear();
      events.push_back(
          {RequestEvent::Kind::refusal, "the request is longer than " + std::to_string(maxLineBytes_) + " bytes"});
      break;
    }
    if (newline == std::string_view::npos) {
      buffer_.append(piece);
      break;
    }
    bytes.remove_prefix(newline + 1);
    std::optional<RequestEvent> event;
    if (buffer_.empty()) {
      event = takeLine(piece);
    } else {
      buffer_.append(piece);
      std::string line = std::move(buffer_);
      buffer_.clear();
      event = takeLine(line);
    }
    if (event) events.push_back(std::move(*event));
  }
  return events;
}

std::optional<RequestEvent> RequestLineReader::finish() {
  if (done_ || buffer_.empty()) return std::nullopt;
  const size_t length = buffer_.size();
  buffer_.clear();
  done_ = true;
  return RequestEvent{RequestEvent::Kind::refusal,
                      "the client left after " + std::to_string(length) + " bytes of a request without its newline"};
}

std::optional<RequestEvent> RequestLineReader::takeLine(std::string_view line) {
  ++linesSeen_;
  while (!line.empty() && isBlank(line.front())) line.remove_prefix(1);
  while (!line.empty() && isBlank(line.back())) line.remove_suffix(1);
  if (line.empty()) return std::nullopt;
  const std::string where = linesSeen_ > 1 ? " in line " + std::to_string(linesSeen_) : "";
  if (size_t bad = firstInvalidUtf8Offset(line); bad != std::string_view::npos) {
    return RequestEvent{RequestEvent::Kind::refusal, "the request is not UTF-8 text (byte " +
                                                         hexByte(static_cast<unsigned char>(line[bad])) +
                                                         " at offset " + std::to_string(bad) + where + ")"};
  }
  for (size_t i = 0; i < line.size(); ++i) {
    const auto c = static_cast<unsigned char>(line[i]);
    if ((c < 0x20 && c != '\t') || c == 0x7F) {
      return RequestEvent{RequestEvent::Kind::refusal, "the request holds the control character " + hexByte(c) +
                                                           " at offset " + std::to_string(i) + where};
    }
  }
  return RequestEvent{RequestEvent::Kind::request, std::string(line)};
}

}  // namespace pallix
