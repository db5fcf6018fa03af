// `pallix embed`: the embedding of a text with the installed small model, or
// (with --tokens) its WordPiece tokens, which need no model.
#include <cstdio>
#include <iostream>

#include "SimilaritySearchKit/BertTokenizer.h"
#include "SimilaritySearchKitBGESmall/BGESmallEmbeddings.h"
#include "SimilaritySearchKitBGESmall/BundledResources.h"
#include "app/platform/DataDirectories.h"
#include "cli/Command.h"
#include "cli/Display.h"
#include "core/Strings.h"

namespace pallix::cli {
namespace {

constexpr const char* kUsage =
    "Usage: pallix embed TEXT... [--json] [--compute-units cpu|cpuGpu|cpuNe|all]\n"
    "       pallix embed --tokens TEXT... [--json]\n\n"
    "Prints the embedding of TEXT (the words are joined with spaces) computed with the installed\n"
    "bge-small model: the L2-normalised [CLS] vector, one value per line (JSON: model, dimension,\n"
    "tokens, embedding). Texts longer than 510 tokens are truncated.\n"
    "--tokens prints the WordPiece tokens and their identifiers instead (JSON: tokens, ids); it\n"
    "needs no model, only the bundled vocabulary (found through PALLIX_RESOURCES or next to pallix).\n"
    "--compute-units chooses the CPU threads: cpu = 1, cpuGpu and cpuNe = half the cores, all = every core\n"
    "(default all).\n\n"
    "Exit status: 0 done, 2 bad arguments, 3 no model installed (install one with 'pallix model install DIR')\n"
    "or the vocabulary is missing.\n";

int printTokens(const std::string& text, bool json) {
  auto path = bundledVocabularyPath();
  if (!path.ok()) {
    printError(path.error().description(), "Point PALLIX_RESOURCES at the resources/ folder of Pallix.");
    return kExitUnavailable;
  }
  auto tokenizer = BertTokenizer::load(path.value());
  if (!tokenizer.ok()) {
    printError(tokenizer.error().description(), "Regenerate it with tools/vocab/make_vocab.py.");
    return kExitUnavailable;
  }
  auto tokens = tokenizer->tokenize(text);
  auto ids = tokenizer->convertTokensToIds(tokens);
  if (json) {
    printJson({{"tokens", tokens}, {"ids", ids}});
    return kExitOk;
  }
  for (size_t i = 0; i < tokens.size(); ++i) std::cout << ids[i] << "\t" << printable(tokens[i]) << "\n";
  return kExitOk;
}

int runEmbed(Args& args) {
  const bool json = args.flag("--json");
  const bool tokensOnly = args.flag("--tokens");
  auto unitsText = args.option("--compute-units");
  auto words = args.positionals();
  if (args.failed()) return usageError("embed", args.failure());
  if (words.empty()) return usageError("embed", "missing TEXT");
  const std::string text = joinStrings(words, " ");
  if (tokensOnly) return printTokens(text, json);

  EmbeddingComputeUnits units = EmbeddingComputeUnits::all;
  if (unitsText) {
    auto parsed = computeUnitsFromRawValue(*unitsText);
    if (!parsed) return usageError("embed", "unknown compute units " + inQuotes(*unitsText));
    units = *parsed;
  }
  DataDirectories dirs = DataDirectories::fromEnvironment();
  printProgress("Loading the embedding model…");
  auto model = BGESmallEmbeddings::create(units, dirs);
  clearProgress();
  if (!model.ok()) {
    printError("semantic features are unavailable: no usable embedding model at " +
                   BGESmallEmbeddings::installedModelDirectory(dirs),
               "Install a bge-small-en model directory (config.json, model.safetensors, vocab.txt) with "
               "'pallix model install DIR'.");
    return kExitUnavailable;
  }
  auto embedding = model.value()->encode(text);
  if (!embedding.ok()) {
    printError("embedding failed: " + embedding.error().description());
    return exitStatusFor(embedding.error());
  }
  if (json) {
    const auto& tokenizer = model.value()->tokenizer();
    printJson({{"model", rawValue(EmbeddingModel::bgeSmall)},
               {"dimension", embedding->size()},
               {"tokens", std::min<size_t>(tokenizer.tokenize(text).size(), 510) + 2},
               {"embedding", embedding.value()}});
    return kExitOk;
  }
  for (float v : embedding.value()) std::printf("%.7g\n", static_cast<double>(v));
  return kExitOk;
}

}  // namespace

PALLIX_COMMAND("embed", "embed a text with the installed model, or show its tokens", kUsage, runEmbed);

}  // namespace pallix::cli
