// PanelRequests: what `pallix toggle` and the tests ask a running desktop
// agent over its instance socket, and the one-line JSON answers.
//
//   "toggle"            the panel hot key: hide when showing standard, else show it
//   "toggle <intent>"   show in that mode, or hide when already showing it
//   "panel"             the panel's state, changing nothing
//   "snapshot <path>"   writes the panel as a PNG (only when the agent allows it)
//   "settings snapshot <path>"  the same for the settings window's Status page
//
// Answers: {"visible":true,"intent":"files","frame":[x,y,w,h],"text":"...",
// "chips":["ext:pdf"]} or a refusal.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/platform/PanelSurface.h"
#include "app/shell/PresentationIntent.h"
#include "core/Error.h"

namespace pallix {

inline constexpr const char* kAgentToggleRequest = "toggle";
inline constexpr const char* kAgentPanelStateRequest = "panel";
inline constexpr const char* kAgentSnapshotRequest = "snapshot";
inline constexpr const char* kAgentSettingsSnapshotRequest = "settings snapshot";

struct PanelState {
  bool visible = false;
  PresentationIntent intent = PresentationIntent::standard;
  Rect frame;
  std::string text;                // the search field's text
  std::vector<std::string> chips;  // files mode's filter chips
  std::vector<Rect> chipFrames;    // where they show, on the screen
};

std::string encodeToggleRequest(std::optional<PresentationIntent> intent);
// False when `request` is not a toggle; an intent-less toggle is the standard one.
bool decodeToggleRequest(const std::string& request, PresentationIntent& intent);

std::string encodePanelState(const PanelState& state);
Result<PanelState> decodePanelState(const std::string& line);

}  // namespace pallix
