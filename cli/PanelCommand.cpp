// pallix panel: the interactive terminal panel.
#include <unistd.h>

#include <iostream>

#include "app/shell/AppRuntime.h"
#include "cli/Command.h"
#include "cli/IntelligenceDisplay.h"
#include "cli/TerminalPanel.h"

namespace pallix::cli {
namespace {

int runPanel(Args& args) {
  auto mode = args.option("--mode");
  auto rest = args.positionals();
  if (args.failed()) return usageError("panel", args.failure());
  if (!rest.empty()) return usageError("panel", "takes no arguments");
  if (!::isatty(STDIN_FILENO) || !::isatty(STDOUT_FILENO)) {
    printError("panel: needs an interactive terminal", "Use 'pallix search' or 'pallix files' in scripts.");
    return kExitUsage;
  }
  std::optional<SearchMode> initial = mode ? searchModeFromName(*mode) : SearchMode::standard;
  if (!initial) return usageError("panel", "--mode is standard, clipboard, emoji, messages or files");
  auto runtime = AppRuntime::open();
  if (!runtime.ok()) {
    CatalogOpenFailure failure = describeCatalogOpenFailure(runtime.error());
    printError("panel: " + failure.message, failure.hint);
    return kExitUnavailable;
  }
  AppRuntime& rt = *runtime.value();
  TerminalPanel panel(
      *rt.model, rt.mainLoop,
      {SearchMode::standard, SearchMode::files, SearchMode::clipboard, SearchMode::emoji, SearchMode::messages});
  Status modes = rt.attachModeProviders();
  rt.openSemanticSearch();
  if (rt.catalogSize() == 0) {
    panel.setStatusLine("The catalog is empty: run 'pallix index' first.");
  } else if (!modes.ok()) {
    panel.setStatusLine("No clipboard history: " + modes.error().description());
  }
  panel.setFooterProvider([&rt] { return intelligenceLines(rt.intelligence.get()); });
  rt.intelligence->setChangeHandler([&panel] { panel.markDirty(); });
  rt.model->setSearchMode(*initial);
  return panel.run();
}

}  // namespace

PALLIX_COMMAND("panel", "the interactive search panel in the terminal",
               "Usage: pallix panel [--mode standard|files|clipboard|emoji|messages]\n\n"
               "Type to search; Up/Down move the selection; Enter opens it (or copies a calculator answer,\n"
               "pastes a clipboard item, types an emoji, opens a conversation); Tab switches between modes;\n"
               "Ctrl-U clears the field; Escape closes the panel.\n",
               runPanel);

}  // namespace pallix::cli
