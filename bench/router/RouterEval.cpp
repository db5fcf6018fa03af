// router_eval: per-source scores of the router (shortcut + classifier) and of
// the coordinator's fallback rules on a labelled query file (JSON lines
// {"text", "labels"}; by default the held-out split in tests/data/router).
// F1 is the positive class's; macro-F1 averages the positive and negative
// classes' F1. The fallback's dictionary candidate test is taken as always
// resolving, which can only favour the fallback.
// Usage: router_eval [FILE] [--resources DIR] [--errors]  (--errors lists the misrouted queries)
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>

#include "PallixRouter/PallixRouter.h"
#include "app/intelligence/SourceSelectionRules.h"

using namespace pallix;

#ifndef PALLIX_ROUTER_SOURCE_ROOT
#define PALLIX_ROUTER_SOURCE_ROOT "."
#endif

namespace {

struct Counts {
  int tp = 0, fp = 0, fn = 0, tn = 0;
  void add(bool predicted, bool gold) {
    tp += predicted && gold;
    fp += predicted && !gold;
    fn += !predicted && gold;
    tn += !predicted && !gold;
  }
  double f1() const { return tp == 0 ? 0.0 : 2.0 * tp / (2.0 * tp + fp + fn); }
  double negativeF1() const { return tn == 0 ? 0.0 : 2.0 * tn / (2.0 * tn + fp + fn); }
  double macroF1() const { return 0.5 * (f1() + negativeF1()); }
};

}  // namespace

int main(int argc, char** argv) {
  std::string file = std::string(PALLIX_ROUTER_SOURCE_ROOT) + "/tests/data/router/heldout.jsonl";
  std::optional<std::string> resources;
  bool listErrors = false;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--resources") && i + 1 < argc)
      resources = argv[++i];
    else if (!std::strcmp(argv[i], "--errors"))
      listErrors = true;
    else
      file = argv[i];
  }
  char cacheTemplate[] = "/tmp/router-eval-XXXXXX";
  const char* cache = ::mkdtemp(cacheTemplate);
  auto router = router::PallixRouter::create(resources, 128, std::string(cache ? cache : "/tmp"));
  if (!router.ok()) {
    std::fprintf(stderr, "router_eval: %s\n", router.error().description().c_str());
    return 1;
  }
  WeatherQueryAnalyzer analyzer;
  SourceSelectionContext context;
  context.isEnabled = [](VCRDataSourceIdentifier) { return true; };
  context.weatherAnalyzer = &analyzer;
  context.addressDetector = [](const std::string&) { return false; };
  context.dictionaryResolvesCandidate = [](const std::string&) { return true; };

  std::map<DataSource, Counts> routed, classifier, fallback;
  std::ifstream in(file);
  std::string line;
  int rows = 0, byShortcut = 0;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    nlohmann::json row;
    try {
      row = nlohmann::json::parse(line);
    } catch (const nlohmann::json::exception& e) {
      std::fprintf(stderr, "router_eval: bad line %d: %s\n", rows + 1, e.what());
      return 1;
    }
    const std::string text = row.at("text");
    std::set<DataSource> gold;
    for (const auto& l : row.at("labels")) gold.insert(*routerDataSourceFromRawValue(l.get<std::string>()));
    auto decision = (*router)->routeDetailed(text, RouteOptions::defaults());
    auto logits = (*router)->predictLogits(text);
    if (!decision.ok() || !logits.ok()) return 1;
    byShortcut += decision->decidedByShortcut;
    auto classified = router::Decision::selectedSources(router::Decision::probabilities(*logits, (*router)->calib()),
                                                        (*router)->calib(), RouteOptions::defaults());
    std::set<DataSource> rules;
    for (auto id : SourceSelectionRules::fallbackIdentifiers(text, context)) {
      for (DataSource s : kAllRouterDataSources) {
        if (identifierForRouterSource(s) == id) rules.insert(s);
      }
    }
    if (listErrors && decision->result.selected != gold) {
      auto names = [](const std::set<DataSource>& set) {
        std::string out;
        for (DataSource s : set) out += (out.empty() ? "" : ",") + std::string(routerDataSourceRawValue(s));
        return out.empty() ? std::string("-") : out;
      };
      std::printf("%-12s -> %-20s %s%s\n", names(gold).c_str(), names(decision->result.selected).c_str(), text.c_str(),
                  decision->decidedByShortcut ? "  (shortcut)" : "");
    }
    for (DataSource s : kAllRouterDataSources) {
      routed[s].add(decision->result.selected.count(s), gold.count(s));
      classifier[s].add(classified.count(s), gold.count(s));
      fallback[s].add(rules.count(s), gold.count(s));
    }
    ++rows;
  }
  std::printf("router_eval: %s: %d queries, %d settled by the shortcut\n", file.c_str(), rows, byShortcut);
  std::printf("%-11s %8s | %9s %9s | %9s %9s | %9s %9s\n", "source", "support", "route F1", "macro-F1", "cls F1",
              "macro-F1", "rules F1", "macro-F1");
  double meanRouted = 0, meanClassifier = 0, meanFallback = 0;
  for (DataSource s : kAllRouterDataSources) {
    std::printf("%-11s %8d | %9.4f %9.4f | %9.4f %9.4f | %9.4f %9.4f\n", routerDataSourceRawValue(s),
                routed[s].tp + routed[s].fn, routed[s].f1(), routed[s].macroF1(), classifier[s].f1(),
                classifier[s].macroF1(), fallback[s].f1(), fallback[s].macroF1());
    meanRouted += routed[s].f1() / 6;
    meanClassifier += classifier[s].f1() / 6;
    meanFallback += fallback[s].f1() / 6;
  }
  std::printf("%-11s %8s | %9.4f %9s | %9.4f %9s | %9.4f\n", "mean F1", "", meanRouted, "", meanClassifier, "",
              meanFallback);
  if (cache) std::filesystem::remove_all(cache);
  return 0;
}
