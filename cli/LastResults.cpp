#include "cli/LastResults.h"

#include <nlohmann/json.hpp>

#include "core/FileUtil.h"
#include "core/Strings.h"

namespace pallix::cli {
namespace {

constexpr const char* kLastResultsFile = "/LastResults.json";

// JSON holds only UTF-8, while a path may hold any byte: the path is also
// kept as hexadecimal bytes ("pathBytes"), which `pallix open` reads back exactly.

}  // namespace

Status saveLastResults(const DataDirectories& dirs, const std::vector<LastResult>& results) {
  nlohmann::json list = nlohmann::json::array();
  for (const auto& r : results) {
    list.push_back({{"kind", r.kind},
                    {"path", r.path},
                    {"pathBytes", toHex(r.path)},
                    {"name", r.name},
                    {"bundleIdentifier", r.bundleIdentifier},
                    {"matchType", r.matchType}});
  }
  PALLIX_RETURN_IF_ERROR(createDirectories(dirs.cache));
  return replaceFile(dirs.cache + kLastResultsFile, list.dump(2, ' ', false, nlohmann::json::error_handler_t::replace));
}

Result<std::vector<LastResult>> loadLastResults(const DataDirectories& dirs) {
  auto text = readFileToString(dirs.cache + kLastResultsFile);
  if (!text.ok()) return Error::make("No earlier results: run 'pallix search TEXT' or 'pallix files QUERY' first");
  nlohmann::json list = nlohmann::json::parse(text.value(), nullptr, false);
  if (list.is_discarded() || !list.is_array()) {
    return Error::make("The saved results are unreadable: run the search again");
  }
  std::vector<LastResult> out;
  for (const auto& r : list) {
    if (!r.is_object()) continue;
    out.push_back({r.value("kind", ""), r.value("path", ""), r.value("name", ""), r.value("bundleIdentifier", ""),
                   r.value("matchType", "")});
    if (auto exact = fromHex(r.value("pathBytes", ""))) {
      if (!exact->empty()) out.back().path = *exact;
    }
  }
  return out;
}

}  // namespace pallix::cli
