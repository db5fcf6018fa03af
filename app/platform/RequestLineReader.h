// RequestLineReader: cuts the bytes one client sends on the instance socket
// into request lines, and refuses what no Pallix command sends.
//
// A request is one line of UTF-8 text without control characters (tabs
// aside), at most kMaxRequestBytes long; surrounding blanks and a CR before
// the newline are dropped, and empty lines are skipped. A line that is not
// UTF-8 or holds a control character is refused on its own; a line longer
// than the bound is refused as soon as the bound is passed, and the reader
// then takes nothing more (the connection is to be closed: it cannot be
// followed any further without buffering without end). A refusal's text
// describes the fault without quoting the client's bytes, so it is always
// safe to log and to encode as JSON.
//
// One reader per connection, used by one thread; pure, no system calls.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/Utf8.h"

namespace pallix {

inline constexpr size_t kMaxRequestBytes = 16 * 1024;

struct RequestEvent {
  enum class Kind { request, refusal };
  Kind kind;
  std::string text;  // the request line, or why the client's bytes were refused

  friend bool operator==(const RequestEvent&, const RequestEvent&) = default;
};

class RequestLineReader {
 public:
  explicit RequestLineReader(size_t maxLineBytes = kMaxRequestBytes) : maxLineBytes_(maxLineBytes) {}

  // The requests and refusals that `bytes` complete, in order.
  std::vector<RequestEvent> feed(std::string_view bytes);
  // The client closed its end: the refusal of a line it left unfinished.
  std::optional<RequestEvent> finish();
  // True once a line passed the bound: later bytes are ignored.
  bool done() const { return done_; }
  // Bytes of the unfinished line; never more than the bound.
  size_t buffered() const { return buffer_.size(); }

 private:
  std::optional<RequestEvent> takeLine(std::string_view line);

  size_t maxLineBytes_;
  std::string buffer_;
  size_t linesSeen_ = 0;
  bool done_ = false;
};

// The one-line answer to a request the instance does not serve:
// {"refused": why}. Never throws: bytes of `why` that are not UTF-8 are
// replaced with U+FFFD.
std::string encodeRequestRefusal(const std::string& why);

}  // namespace pallix
