#include <cstdio>
#include <iostream>

#include "PallixRouter/PallixRouter.h"
#include "cli/Command.h"
#include "core/Strings.h"

namespace pallix::cli {
namespace {

// `pallix route TEXT`: which intelligence sources the router picks for TEXT.
int runRoute(Args& args) {
  const bool json = args.flag("--json");
  const std::optional<std::string> bundle = args.option("--resources");
  const std::vector<std::string> words = args.positionals();
  if (args.failed()) return usageError("route", args.failure());
  if (words.empty()) return usageError("route", "needs a search text, e.g. pallix route 'weather in oslo'");
  const std::string text = joinStrings(words, " ");

  auto router = router::PallixRouter::create(bundle, router::PallixRouter::defaultSequenceLength);
  if (!router.ok()) {
    printError("the router could not be built: " + router.error().description() + " (" + router.error().domain() + " " +
                   std::to_string(router.error().code()) + ")",
               "Set PALLIX_RESOURCES to the folder holding router/ (vocab.txt, calibration.json and "
               "PallixRouter.pallixpackage), or pass --resources DIR.");
    return kExitUnavailable;
  }
  auto decision = (*router)->routeDetailed(text, RouteOptions::defaults());
  if (!decision.ok()) {
    printError("routing failed: " + decision.error().description());
    return exitStatusFor(decision.error());
  }
  const RouteResult& result = decision->result;
  const char* decidedBy = decision->decidedByShortcut ? "shortcut" : "classifier";
  if (json) {
    nlohmann::json selected = nlohmann::json::array();
    nlohmann::json probabilities = nlohmann::json::object();
    for (DataSource s : kAllRouterDataSources) {
      if (result.selected.count(s)) selected.push_back(routerDataSourceRawValue(s));
      if (auto it = result.probabilities.find(s); it != result.probabilities.end()) {
        probabilities[routerDataSourceRawValue(s)] = it->second;
      }
    }
    printJson({{"query", text},
               {"selected", selected},
               {"probabilities", probabilities},
               {"latencyMs", result.latencyMs},
               {"decidedBy", decidedBy}});
    return kExitOk;
  }
  std::string names;
  for (DataSource s : kAllRouterDataSources) {
    if (result.selected.count(s)) names += (names.empty() ? "" : ", ") + std::string(routerDataSourceRawValue(s));
  }
  std::cout << "selected: " << (names.empty() ? "(none)" : names) << "  [" << decidedBy << ", " << result.latencyMs
            << " ms]\n";
  for (DataSource s : kAllRouterDataSources) {
    auto it = result.probabilities.find(s);
    if (it == result.probabilities.end()) continue;
    char line[64];
    std::snprintf(line, sizeof line, "  %-10s %.4f%s\n", routerDataSourceRawValue(s), it->second,
                  result.selected.count(s) ? "  *" : "");
    std::cout << line;
  }
  return kExitOk;
}

}  // namespace

PALLIX_COMMAND("route", "show which intelligence sources the query router picks for a text",
               "Usage: pallix route TEXT... [--json] [--resources DIR]\n\n"
               "Routes TEXT as the search panel does: the lexical shortcut first, else the\n"
               "calibrated classifier. Prints the selected sources (maps, weather, dictionary,\n"
               "knowledge, messages, files), the six probabilities, the time taken and whether\n"
               "the shortcut or the classifier decided. The first run compiles the model into\n"
               "the cache directory (PallixRouterCompiled); later runs reuse it.\n\n"
               "Options:\n"
               "  --json           print selected, probabilities, latencyMs and decidedBy as JSON\n"
               "  --resources DIR  a router resource folder instead of the bundled one\n\n"
               "Exit status: 0 routed, 1 routing failed, 2 usage error, 3 router resources missing.\n",
               runRoute);

}  // namespace pallix::cli
