// What must hold for any bytes given to the archived-text extraction and
// clean-up; shared by the libFuzzer target and the randomized unit test.
// Returns "" when everything holds, else what failed.
#pragma once

#include <string>
#include <string_view>

#include "app/messages/MessageText.h"

namespace pallix::testing {

inline std::string checkArchivedTextInvariants(std::string_view bytes) {
  // Counting and cutting accept any bytes, even invalid UTF-8.
  size_t count = characterCount(bytes);
  if (count > bytes.size()) return "more characters than bytes";
  if (prefixCharacters(bytes, count).size() != bytes.size()) return "a prefix of every character is not the whole";
  if (prefixCharacters(bytes, 1).size() > bytes.size()) return "a prefix longer than its text";

  auto extracted = extractTextFromBinary(bytes);
  if (!extracted) return "";
  const std::string& run = *extracted;
  if (bytes.find(run) == std::string_view::npos) return "the extracted text is not a run of the input";
  if (characterCount(run) < 2) return "fewer than 2 characters";
  if (trimWhitespaceAndNewlines(run).size() != run.size()) return "not trimmed";
  for (unsigned char c : run) {
    if ((c < 32 && c != 9 && c != 10 && c != 13) || c == 127) return "a control byte inside the text";
  }
  auto cleaned = sanitizeExtractedText(run);
  if (cleaned && (cleaned->empty() || trimWhitespaceAndNewlines(*cleaned).size() != cleaned->size())) {
    return "clean-up left untrimmed or empty text";
  }
  return "";
}

}  // namespace pallix::testing
