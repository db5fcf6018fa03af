#include "app/views/PanelContentJson.h"

#include <nlohmann/json.hpp>

namespace pallix::views {

std::string panelContentJson(const PanelContent& content) {
  nlohmann::json sections = nlohmann::json::array();
  for (const PanelSection& s : content.sections) {
    nlohmann::json rows = nlohmann::json::array();
    for (const PanelRow& r : s.rows) {
      nlohmann::json row = {{"title", r.title}, {"detail", r.detail}, {"tag", r.tag}, {"selected", r.selected}};
      if (r.media) {
        row["tileImageBytes"] = r.media->tileImage ? r.media->tileImage->size() : 0;
        row["tileIconPath"] = r.media->tileIconPath;
        row["sourceApp"] = r.media->sourceAppIdentifier;
      }
      rows.push_back(std::move(row));
    }
    sections.push_back({{"title", s.title}, {"rows", std::move(rows)}});
  }
  nlohmann::json detail = nullptr;
  if (auto media = selectedDetail(content)) {
    nlohmann::json facts = nlohmann::json::object();
    for (const auto& [label, value] : media->facts) facts[label] = value;
    detail = {{"heading", media->heading},
              {"text", media->text},
              {"imageBytes", media->image ? media->image->size() : 0},
              {"facts", std::move(facts)}};
  }
  return nlohmann::json{{"mode", modeTitle(content.mode)},
                        {"sections", std::move(sections)},
                        {"detail", std::move(detail)},
                        {"emptyText", content.emptyText}}
      .dump();
}

}  // namespace pallix::views
