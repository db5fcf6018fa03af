// PresentationIntent: how the panel was summoned, which decides the search
// mode it opens in. Raw values are the names below.
#pragma once

#include <array>
#include <optional>
#include <string_view>

#include "app/search/ContentViewModel.h"

namespace pallix {

enum class PresentationIntent { standard, clipboard, emoji, messages, files };

inline constexpr std::array<std::string_view, 5> kPresentationIntentRawValues = {"standard", "clipboard", "emoji",
                                                                                 "messages", "files"};

constexpr std::string_view rawValue(PresentationIntent intent) {
  return kPresentationIntentRawValues[static_cast<size_t>(intent)];
}

inline std::optional<PresentationIntent> presentationIntentFromRaw(std::string_view raw) {
  for (size_t i = 0; i < kPresentationIntentRawValues.size(); ++i) {
    if (kPresentationIntentRawValues[i] == raw) return static_cast<PresentationIntent>(i);
  }
  return std::nullopt;
}

constexpr SearchMode searchModeFor(PresentationIntent intent) {
  switch (intent) {
    case PresentationIntent::standard:
      return SearchMode::standard;
    case PresentationIntent::clipboard:
      return SearchMode::clipboard;
    case PresentationIntent::emoji:
      return SearchMode::emoji;
    case PresentationIntent::messages:
      return SearchMode::messages;
    case PresentationIntent::files:
      return SearchMode::files;
  }
  return SearchMode::standard;
}

}  // namespace pallix
