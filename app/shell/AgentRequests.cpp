#include "app/shell/AgentRequests.h"

namespace pallix {

std::string encodeScanSummary(const FullScanSummary& summary) {
  nlohmann::json out = {{"apps", summary.appCount},       {"files", summary.fileCount},
                        {"folders", summary.folderCount}, {"elapsedSeconds", summary.elapsedSeconds},
                        {"mutated", summary.mutated},     {"unchanged", summary.unchanged},
                        {"inserted", summary.inserted},   {"updated", summary.updated},
                        {"deleted", summary.deleted}};
  if (summary.error) {
    out["error"] = {{"domain", summary.error->domain()},
                    {"code", summary.error->code()},
                    {"description", summary.error->description()}};
  }
  // Error descriptions quote file names, which need not be UTF-8.
  return out.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

Result<FullScanSummary> decodeScanSummary(const std::string& line) {
  nlohmann::json in = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
  if (in.is_discarded() || !in.is_object()) {
    return Error("AgentRequestError", 1, "The Pallix agent answered something unreadable: " + line.substr(0, 80));
  }
  if (in.contains("refused")) {
    return Error("AgentRequestError", 2, "The Pallix agent refused: " + in.value("refused", std::string()));
  }
  FullScanSummary summary;
  summary.appCount = in.value("apps", size_t{0});
  summary.fileCount = in.value("files", size_t{0});
  summary.folderCount = in.value("folders", size_t{0});
  summary.elapsedSeconds = in.value("elapsedSeconds", 0.0);
  summary.mutated = in.value("mutated", false);
  summary.unchanged = in.value("unchanged", false);
  summary.inserted = in.value("inserted", size_t{0});
  summary.updated = in.value("updated", size_t{0});
  summary.deleted = in.value("deleted", size_t{0});
  if (auto error = in.find("error"); error != in.end() && error->is_object()) {
    summary.error = Error(error->value("domain", std::string("Pallix")), error->value("code", 1),
                          error->value("description", std::string()));
  }
  return summary;
}

}  // namespace pallix
