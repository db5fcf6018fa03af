// pallix toggle: shows or hides the panel of the running desktop agent, as
// its hot keys do. For desktops where the agent cannot grab keys itself
// (Wayland), bind this command to a shortcut in the desktop's settings.
#include <iostream>

#include "app/platform/linux/LockFileSingleInstance.h"
#include "app/platform/linux/SocketOwnership.h"
#include "app/shell/PanelRequests.h"
#include "cli/Command.h"

namespace pallix::cli {
namespace {

int runToggle(Args& args) {
  bool json = args.flag("--json");
  auto mode = args.option("--mode");
  auto rest = args.positionals();
  if (args.failed()) return usageError("toggle", args.failure());
  if (!rest.empty()) return usageError("toggle", "takes no arguments");
  PresentationIntent intent = PresentationIntent::standard;
  if (mode) {
    auto parsed = presentationIntentFromRaw(*mode);
    if (!parsed) return usageError("toggle", "--mode takes standard, clipboard, emoji, messages or files");
    intent = *parsed;
  }
  DataDirectories dirs = DataDirectories::fromEnvironment();
  auto reply = LockFileSingleInstance::request(
      dirs.socketPath(),
      encodeToggleRequest(intent == PresentationIntent::standard ? std::nullopt
                                                                 : std::optional<PresentationIntent>(intent)),
      AgentRequestOptions{.answerLimit = seconds(10)});
  if (!reply.ok()) {
    if (reply.error().domain() == kSingleInstanceErrorDomain && reply.error().code() == kNobodyListens) {
      printError("the Pallix desktop agent is not running (" + reply.error().description() + ")",
                 "Start it with 'pallix-desktop', then try again.");
    } else {
      printError("toggle: " + reply.error().description(), "Resume or restart 'pallix-desktop', then try again.");
    }
    return kExitUnavailable;
  }
  auto state = decodePanelState(reply.value());
  if (!state.ok()) {
    printError("toggle: " + state.error().description(),
               "Is the agent 'pallix daemon'? Only 'pallix-desktop' has a panel.");
    return kExitUnavailable;
  }
  if (json) {
    printJson(nlohmann::json::parse(reply.value()));
  } else if (state->visible) {
    std::cout << "Panel shown (" << rawValue(state->intent) << ").\n";
  } else {
    std::cout << "Panel hidden.\n";
  }
  return kExitOk;
}

}  // namespace

PALLIX_COMMAND("toggle", "show or hide the desktop panel",
               "Usage: pallix toggle [--mode clipboard|emoji|messages|files] [--json]\n\n"
               "Asks the running desktop agent (pallix-desktop) to show its panel, or to hide it when it\n"
               "already shows that mode, as its hot keys do. Bind it to a shortcut where the agent cannot\n"
               "grab keys itself (Wayland). Exit status 3 when no desktop agent runs.\n",
               runToggle);

}  // namespace pallix::cli
