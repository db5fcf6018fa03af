// What must hold for any bytes a client sends to the instance socket; shared
// by the libFuzzer target and the randomized unit test. Returns "" when
// everything holds, else what failed.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "app/platform/RequestLineReader.h"

namespace pallix::testing {

struct ReaderRun {
  std::vector<RequestEvent> events;
  bool overBound = false;  // buffered() passed the bound after some feed
};

// Feeds `bytes` in pieces of the given sizes (cycled), then ends the input.
inline ReaderRun readInPieces(std::string_view bytes, size_t bound, const std::vector<size_t>& pieces) {
  ReaderRun run;
  RequestLineReader reader(bound);
  size_t next = 0;
  while (!bytes.empty()) {
    size_t size = std::min(bytes.size(), std::max<size_t>(1, pieces[next++ % pieces.size()]));
    for (auto& event : reader.feed(bytes.substr(0, size))) run.events.push_back(std::move(event));
    if (reader.buffered() > bound) run.overBound = true;
    bytes.remove_prefix(size);
  }
  if (auto last = reader.finish()) run.events.push_back(std::move(*last));
  return run;
}

// Strict encoding, as a reply or a log line would be made: throws on bytes
// that are not UTF-8.
inline bool encodesStrictly(const std::string& text) {
  try {
    (void)nlohmann::json{{"text", text}}.dump();
    return true;
  } catch (const nlohmann::json::exception&) {
    return false;
  }
}

inline std::string checkRequestReaderInvariants(std::string_view bytes, size_t bound) {
  // Piece sizes taken from the input itself, so that a fuzzer steers them too.
  std::vector<size_t> pieces;
  for (size_t i = 0; i < bytes.size() && pieces.size() < 8; ++i) pieces.push_back(1 + (uint8_t(bytes[i]) % 7));
  if (pieces.empty()) pieces.push_back(1);
  const ReaderRun whole = readInPieces(bytes, bound, {bytes.size() + 1});
  const ReaderRun split = readInPieces(bytes, bound, pieces);
  const ReaderRun bytewise = readInPieces(bytes, bound, {1});
  if (whole.events != split.events || whole.events != bytewise.events) return "the events depend on how bytes arrive";
  if (whole.overBound || split.overBound || bytewise.overBound) return "more than the bound was buffered";
  bool refusedForLength = false;
  for (const RequestEvent& event : whole.events) {
    if (refusedForLength) return "an event after the line that passed the bound";
    if (!encodesStrictly(event.text)) return "an event whose text is not UTF-8";
    if (event.kind == RequestEvent::Kind::refusal) {
      if (event.text.find("longer than") != std::string::npos) refusedForLength = true;
      auto decoded = nlohmann::json::parse(encodeRequestRefusal(event.text), nullptr, false);
      if (!decoded.is_object() || decoded.value("refused", std::string()) != event.text) {
        return "a refusal that does not encode and decode to itself";
      }
      continue;
    }
    const std::string& line = event.text;
    if (line.empty()) return "an empty request";
    if (line.size() > bound) return "a request longer than the bound";
    if (bytes.find(line) == std::string_view::npos) return "a request that is not a run of the input";
    if (line.front() == ' ' || line.back() == ' ' || line.front() == '\t' || line.back() == '\t') {
      return "an untrimmed request";
    }
    for (unsigned char c : line) {
      if ((c < 0x20 && c != '\t') || c == 0x7F) return "a control byte inside a request";
    }
  }
  return "";
}

}  // namespace pallix::testing
