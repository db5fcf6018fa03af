// `pallix vectors`: build, search and inspect similarity index files
// (NAME.mmap item files and NAME.hnsw graph files) from the command line.
// Works on given vectors only; no embedding model is loaded.
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "SimilaritySearchKit/Console.h"
#include "SimilaritySearchKit/HNSWIndex.h"
#include "SimilaritySearchKit/MMapStore.h"
#include "SimilaritySearchKit/SimilarityIndex.h"
#include "cli/Command.h"
#include "cli/Display.h"
#include "core/FileUtil.h"
#include "core/Strings.h"

namespace pallix::cli {
namespace {

constexpr const char* kUsage =
    "Usage:\n"
    "  pallix vectors build ITEMS.jsonl DIR NAME\n"
    "  pallix vectors search DIR NAME --vector JSON_ARRAY [--top K] [--json]\n"
    "  pallix vectors inspect FILE [--json]\n"
    "\n"
    "build    reads one JSON object per line ({\"id\": ..., \"text\": ..., \"embedding\": [numbers],\n"
    "         \"metadata\": {string: string}}), builds a similarity index and saves DIR/NAME.mmap\n"
    "         and DIR/NAME.hnsw. Bad lines are reported with their line number and skipped;\n"
    "         the exit status is then 1.\n"
    "search   loads DIR/NAME.mmap (and its graph, rebuilt when missing or stale) and prints the\n"
    "         K (default 5) best items for the query vector with their scores.\n"
    "inspect  describes an item file (header, count, dimension, identifiers) or a graph file\n"
    "         (header, nodes and links per layer; checked against NAME.mmap beside it when present).\n";

// The CLI has vectors, not texts: the "model" returns an all-zero vector of the right length.
class GivenVectorsOnly final : public EmbeddingProvider {
 public:
  explicit GivenVectorsOnly(int dimension) : dimension_(dimension) {}
  Result<std::vector<float>> encode(const std::string&) override {
    return std::vector<float>(std::size_t(dimension_), 0.0f);
  }
  int dimension() const override { return dimension_; }

 private:
  int dimension_;
};

// Routes the engine's printed lines to stderr (stdout stays clean for results).
class EngineLinesToStderr {
 public:
  EngineLinesToStderr() {
    previous_ = simkit::setLineHandler([](const std::string& line) { std::cerr << line << "\n"; });
  }
  ~EngineLinesToStderr() { simkit::setLineHandler(previous_); }

 private:
  simkit::LineHandler previous_;
};

Result<IndexItem> parseItemLine(const std::string& line) {
  nlohmann::json j;
  try {
    j = nlohmann::json::parse(line);
  } catch (const std::exception& e) {
    return Error::make(std::string("not valid JSON: ") + e.what());
  }
  if (!j.is_object()) return Error::make("expected a JSON object");
  IndexItem item;
  auto id = j.find("id");
  if (id == j.end() || !id->is_string()) return Error::make("\"id\" must be a string");
  item.id = id->get<std::string>();
  auto text = j.find("text");
  if (text != j.end()) {
    if (!text->is_string()) return Error::make("\"text\" must be a string");
    item.text = text->get<std::string>();
  }
  auto embedding = j.find("embedding");
  if (embedding == j.end() || !embedding->is_array()) return Error::make("\"embedding\" must be an array of numbers");
  for (const auto& x : *embedding) {
    if (!x.is_number()) return Error::make("\"embedding\" must be an array of numbers");
    item.embedding.push_back(x.get<float>());
  }
  if (item.embedding.empty()) return Error::make("\"embedding\" is empty");
  auto metadata = j.find("metadata");
  if (metadata != j.end() && !metadata->is_null()) {
    if (!metadata->is_object()) return Error::make("\"metadata\" must be an object of strings");
    for (const auto& [key, value] : metadata->items()) {
      if (!value.is_string()) return Error::make("metadata " + inQuotes(key) + " must be a string");
      item.metadata[key] = value.get<std::string>();
    }
  }
  return item;
}

int runBuild(const std::vector<std::string>& rest) {
  if (rest.size() != 4) return usageError("vectors", "build takes ITEMS.jsonl DIR NAME");
  const std::string& input = rest[1];
  const std::string& dir = rest[2];
  const std::string& name = rest[3];
  auto text = readFileToString(input);
  if (!text.ok()) {
    printError(text.error().description(), "check the path of the JSON-lines file");
    return exitStatusFor(text.error());
  }
  std::istringstream in(text.value());
  std::vector<IndexItem> items;
  std::set<std::string> ids;
  std::string line;
  int64_t lineNumber = 0, bad = 0;
  while (std::getline(in, line)) {
    ++lineNumber;
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    auto item = parseItemLine(line);
    std::string problem;
    if (!item.ok()) {
      problem = item.error().description();
    } else if (!items.empty() && item->embedding.size() != items[0].embedding.size()) {
      problem = "embedding has " + std::to_string(item->embedding.size()) + " components, expected " +
                std::to_string(items[0].embedding.size());
    } else if (!ids.insert(item->id).second) {
      problem = "duplicate id " + inQuotes(item->id);
    }
    if (!problem.empty()) {
      std::cerr << input << ":" << lineNumber << ": " << problem << "\n";
      ++bad;
      continue;
    }
    items.push_back(std::move(item).value());
  }
  const int dimension = items.empty() ? 0 : int(items[0].embedding.size());
  EngineLinesToStderr route;
  SimilarityIndex index(name, std::make_shared<GivenVectorsOnly>(dimension));
  index.addItems(items, [&](const AddItemsProgress& p) {
    if (p.current % 1000 == 0 || p.current == p.total) {
      printProgress("indexing " + std::to_string(p.current) + "/" + std::to_string(p.total));
    }
  });
  clearProgress();
  auto saved = index.saveIndex(dir, name);
  if (!saved.ok()) {
    printError("cannot save the index: " + saved.error().description(), "check that " + dir + " is writable");
    return exitStatusFor(saved.error());
  }
  std::cout << "Indexed " << items.size() << " items of dimension " << dimension << " into "
            << printable(saved.value());
  if (bad > 0) std::cout << " (" << bad << " bad line" << (bad == 1 ? "" : "s") << " skipped)";
  std::cout << "\n";
  return bad > 0 ? kExitFailure : kExitOk;
}

int runSearch(const std::vector<std::string>& rest, const std::optional<std::string>& vectorText,
              std::optional<long long> top, bool json) {
  if (rest.size() != 3) return usageError("vectors", "search takes DIR NAME --vector JSON_ARRAY");
  if (!vectorText) return usageError("vectors", "search needs --vector JSON_ARRAY");
  if (top && *top < 1) return usageError("vectors", "--top must be at least 1");
  std::vector<float> query;
  try {
    auto j = nlohmann::json::parse(*vectorText);
    if (!j.is_array() || j.empty()) throw std::runtime_error("expected a non-empty array");
    for (const auto& x : j) {
      if (!x.is_number()) throw std::runtime_error("expected numbers only");
      query.push_back(x.get<float>());
    }
  } catch (const std::exception& e) {
    return usageError("vectors", std::string("--vector is not a JSON array of numbers: ") + e.what());
  }
  const std::string& dir = rest[1];
  const std::string& name = rest[2];
  if (!fileExists((std::filesystem::path(dir) / (name + ".mmap")).string())) {
    printError("no index " + name + " in " + dir, "build one with: pallix vectors build ITEMS.jsonl DIR NAME");
    return kExitUnavailable;
  }
  EngineLinesToStderr route;
  SimilarityIndex index(name, std::make_shared<GivenVectorsOnly>(int(query.size())));
  auto loaded = index.loadIndex(dir, name);
  if (!loaded.ok()) {
    printError(loaded.error().description(), "rebuild the index with: pallix vectors build");
    return exitStatusFor(loaded.error());
  }
  if (!loaded->empty() && loaded->front().embedding.size() != query.size()) {
    return usageError("vectors", "the query has " + std::to_string(query.size()) + " components, the index has " +
                                     std::to_string(loaded->front().embedding.size()));
  }
  auto results = index.searchByVector(query, top ? std::optional<int>(int(*top)) : std::nullopt);
  if (json) {
    nlohmann::json out = nlohmann::json::array();
    for (const auto& r : results) {
      out.push_back({{"id", r.id}, {"score", r.score}, {"text", r.text}, {"metadata", r.metadata}});
    }
    printJson(out);
  } else {
    int rank = 0;
    for (const auto& r : results) {
      std::printf("%2d. %s score %.4f\n", ++rank, printableColumn(r.id, 24).c_str(), double(r.score));
      if (!r.text.empty())
        std::cout << "    " << printable(r.text.size() > 100 ? r.text.substr(0, 100) + "..." : r.text) << "\n";
      for (const auto& [key, value] : r.metadata)
        std::cout << "    " << printable(key) << " = " << printable(value) << "\n";
    }
    if (results.empty()) std::cout << "No results.\n";
  }
  return results.empty() ? kExitFailure : kExitOk;
}

int inspectItems(const std::string& path, const std::string& data, bool json) {
  auto header = MMapStore::decodeHeader(data);
  auto items = header.ok() ? MMapStore::decode(data) : Result<std::vector<IndexItem>>(header.error());
  if (!items.ok()) {
    printError(path + ": " + items.error().description());
    return exitStatusFor(items.error());
  }
  const MMapHeader& h = header.value();
  if (json) {
    nlohmann::json ids = nlohmann::json::array();
    for (const auto& item : items.value()) ids.push_back(item.id);
    printJson({{"kind", "items"},
               {"path", path},
               {"bytes", data.size()},
               {"version", h.version},
               {"count", h.count},
               {"dimension", h.dimension},
               {"idsOffset", h.idsOffset},
               {"metadataOffset", h.metadataOffset},
               {"textOffset", h.textOffset},
               {"ids", ids}});
    return kExitOk;
  }
  std::cout << printable(path) << ": similarity item file, " << data.size() << " bytes\n"
            << "  version          " << h.version << "\n"
            << "  items            " << h.count << "\n"
            << "  dimension        " << h.dimension << "\n"
            << "  ids offset       " << h.idsOffset << "\n"
            << "  metadata offset  " << h.metadataOffset << "\n"
            << "  text offset      " << h.textOffset << "\n";
  const std::size_t shown = std::min<std::size_t>(items->size(), 20);
  for (std::size_t i = 0; i < shown; ++i) std::cout << "  [" << i << "] " << printable((*items)[i].id) << "\n";
  if (items->size() > shown) std::cout << "  ... and " << items->size() - shown << " more\n";
  return kExitOk;
}

int inspectGraph(const std::string& path, const std::string& data, bool json) {
  auto info = HNSWIndex::inspectImage(data);
  if (!info.ok()) {
    printError(path + ": " + info.error().description());
    return exitStatusFor(info.error());
  }
  // With the item file beside it, check that the graph loads for those items.
  std::string checkedWith;
  const auto itemsPath = std::filesystem::path(path).replace_extension(".mmap").string();
  if (itemsPath != path && fileExists(itemsPath)) {
    MMapStore store;
    auto items = store.loadIndex(itemsPath);
    if (!items.ok()) {
      printError(itemsPath + ": " + items.error().description());
      return exitStatusFor(items.error());
    }
    HNSWIndex graph;
    Status loaded = graph.deserialize(data, items.value());
    if (!loaded.ok()) {
      printError(path + ": " + loaded.error().description());
      return exitStatusFor(loaded.error());
    }
    checkedWith = itemsPath;
  }
  const HNSWImageInfo& g = info.value();
  if (json) {
    nlohmann::json layers = nlohmann::json::array();
    for (std::size_t l = 0; l < g.nodesPerLayer.size(); ++l) {
      layers.push_back({{"layer", l}, {"nodes", g.nodesPerLayer[l]}, {"links", g.linksPerLayer[l]}});
    }
    printJson({{"kind", "graph"},
               {"path", path},
               {"bytes", data.size()},
               {"nodes", g.nodeCount},
               {"maxLevel", g.maxLevel},
               {"entryPoint", g.entryPoint},
               {"M", g.M},
               {"efSearch", g.efSearch},
               {"layers", layers},
               {"outOfRangeLinks", g.outOfRangeLinks},
               {"nodesWithoutLists", g.nodesWithoutLists},
               {"trailingBytes", g.trailingBytes},
               {"checkedWith", checkedWith}});
    return kExitOk;
  }
  std::cout << printable(path) << ": HNSW graph file, " << data.size() << " bytes\n"
            << "  nodes        " << g.nodeCount << "\n"
            << "  max level    " << g.maxLevel << "\n"
            << "  entry point  " << g.entryPoint << "\n"
            << "  M            " << g.M << "\n"
            << "  efSearch     " << g.efSearch << "\n";
  for (std::size_t l = 0; l < g.nodesPerLayer.size(); ++l) {
    std::cout << "  layer " << l << ": " << g.nodesPerLayer[l] << " nodes, " << g.linksPerLayer[l] << " links";
    if (g.nodesPerLayer[l] > 0)
      std::printf(" (%.1f per node)", double(g.linksPerLayer[l]) / double(g.nodesPerLayer[l]));
    std::cout << "\n";
  }
  if (g.outOfRangeLinks > 0) std::cout << "  out-of-range links: " << g.outOfRangeLinks << "\n";
  if (g.trailingBytes > 0) std::cout << "  trailing bytes (ignored): " << g.trailingBytes << "\n";
  if (!checkedWith.empty()) std::cout << "  loads with the items of " << printable(checkedWith) << "\n";
  return kExitOk;
}

int runInspect(const std::vector<std::string>& rest, bool json) {
  if (rest.size() != 2) return usageError("vectors", "inspect takes FILE");
  const std::string& path = rest[1];
  auto data = readFileToString(path);
  if (!data.ok()) {
    printError(data.error().description());
    return exitStatusFor(data.error());
  }
  const std::string extension = std::filesystem::path(path).extension().string();
  const bool items = extension == ".mmap" || (extension != ".hnsw" && data->compare(0, 4, "SKST") == 0);
  return items ? inspectItems(path, data.value(), json) : inspectGraph(path, data.value(), json);
}

int runVectors(Args& args) {
  const bool json = args.flag("--json");
  const auto vector = args.option("--vector");
  const auto top = args.intOption("--top");
  auto rest = args.positionals();
  if (args.failed()) return usageError("vectors", args.failure());
  if (rest.empty()) return usageError("vectors", "expected build, search or inspect");
  if (rest[0] == "build") return runBuild(rest);
  if (rest[0] == "search") return runSearch(rest, vector, top, json);
  if (rest[0] == "inspect") return runInspect(rest, json);
  return usageError("vectors", "unknown subcommand " + inQuotes(rest[0]));
}

}  // namespace

PALLIX_COMMAND("vectors", "build, search and inspect similarity index files", kUsage, runVectors);

}  // namespace pallix::cli
