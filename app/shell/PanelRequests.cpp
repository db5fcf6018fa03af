#include "app/shell/PanelRequests.h"

#include <algorithm>
#include <nlohmann/json.hpp>

namespace pallix {

std::string encodeToggleRequest(std::optional<PresentationIntent> intent) {
  std::string out = kAgentToggleRequest;
  if (intent) out += " " + std::string(rawValue(*intent));
  return out;
}

bool decodeToggleRequest(const std::string& request, PresentationIntent& intent) {
  const std::string prefix = kAgentToggleRequest;
  if (request == prefix) {
    intent = PresentationIntent::standard;
    return true;
  }
  if (request.rfind(prefix + " ", 0) != 0) return false;
  auto parsed = presentationIntentFromRaw(request.substr(prefix.size() + 1));
  if (!parsed) return false;
  intent = *parsed;
  return true;
}

std::string encodePanelState(const PanelState& state) {
  nlohmann::json out = {{"visible", state.visible},
                        {"intent", std::string(rawValue(state.intent))},
                        {"frame", {state.frame.x, state.frame.y, state.frame.width, state.frame.height}},
                        {"text", state.text},
                        {"chips", state.chips}};
  nlohmann::json chipFrames = nlohmann::json::array();
  for (const Rect& r : state.chipFrames) chipFrames.push_back({r.x, r.y, r.width, r.height});
  out["chipFrames"] = std::move(chipFrames);
  return out.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

Result<PanelState> decodePanelState(const std::string& line) {
  auto json = nlohmann::json::parse(line, nullptr, false);
  if (!json.is_object()) return Error::make("the agent's answer is not JSON: \"" + line.substr(0, 80) + "\"");
  if (json.contains("refused") && json["refused"].is_string()) {
    return Error::make("the agent refused: " + json["refused"].get<std::string>());
  }
  auto visible = json.find("visible");
  auto intent = json.find("intent");
  auto frame = json.find("frame");
  if (visible == json.end() || !visible->is_boolean() || intent == json.end() || !intent->is_string() ||
      frame == json.end() || !frame->is_array() || frame->size() != 4) {
    return Error::make("the agent's answer is not a panel state: \"" + line.substr(0, 80) + "\"");
  }
  auto parsed = presentationIntentFromRaw(intent->get<std::string>());
  if (!parsed) return Error::make("the agent named an unknown mode " + intent->dump());
  PanelState state;
  state.visible = visible->get<bool>();
  state.intent = *parsed;
  state.frame = {(*frame)[0].get<double>(), (*frame)[1].get<double>(), (*frame)[2].get<double>(),
                 (*frame)[3].get<double>()};
  // Absent from the answers of older agents.
  if (auto text = json.find("text"); text != json.end() && text->is_string()) state.text = text->get<std::string>();
  if (auto chips = json.find("chips"); chips != json.end() && chips->is_array()) {
    for (const auto& chip : *chips) {
      if (chip.is_string()) state.chips.push_back(chip.get<std::string>());
    }
  }
  if (auto frames = json.find("chipFrames"); frames != json.end() && frames->is_array()) {
    for (const auto& f : *frames) {
      if (f.is_array() && f.size() == 4 && std::all_of(f.begin(), f.end(), [](const auto& v) { return v.is_number(); }))
        state.chipFrames.push_back({f[0].get<double>(), f[1].get<double>(), f[2].get<double>(), f[3].get<double>()});
    }
  }
  return state;
}

}  // namespace pallix
