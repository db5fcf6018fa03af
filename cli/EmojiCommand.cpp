// pallix emoji: the emoji picker from the command line: search, pick
// (type into the focused window, or copy), and the preferred skin tone.
#include <iostream>

#include "app/emoji/EmojiPicker.h"
#include "app/platform/DataDirectories.h"
#include "app/platform/linux/DetachedPasteboard.h"
#include "app/platform/linux/LinuxDesktop.h"
#include "cli/Command.h"
#include "cli/Display.h"
#include "core/RunLoop.h"
#include "core/Strings.h"

namespace pallix::cli {
namespace {

struct EmojiContext {
  DataDirectories dirs = DataDirectories::fromEnvironment();
  UserDefaults defaults{dirs.defaultsPath()};
  std::shared_ptr<RunLoop> loop = RunLoop::create();
  std::unique_ptr<EmojiPicker> picker;

  explicit EmojiContext(std::shared_ptr<TextInput> input = nullptr, std::shared_ptr<Pasteboard> pasteboard = nullptr) {
    picker = std::make_unique<EmojiPicker>(std::make_shared<EmojiSearchService>(),
                                           std::make_shared<EmojiUsageStore>(defaults),
                                           std::make_shared<EmojiInsertionController>(input, pasteboard), loop, loop);
  }
};

int runPick(const std::string& wanted) {
  std::shared_ptr<Pasteboard> pasteboard;
  const char* display = std::getenv("DISPLAY");
  if (display && *display) {
    pasteboard = std::make_shared<DetachedPasteboard>(DetachedPasteboard::pallixServerCommand());
  } else if (auto made = makeDesktopPasteboard(DataDirectories::fromEnvironment()); made.ok()) {
    pasteboard = made.value();
  }
  EmojiContext ctx(makeDesktopTextInput(), pasteboard);
  auto outcome = ctx.picker->pick(wanted);
  if (!outcome) {
    printError("emoji pick: no emoji " + inQuotes(wanted),
               "Find one with: pallix emoji NAME (e.g. pallix emoji heart)");
    return kExitFailure;
  }
  switch (outcome->outcome) {
    case EmojiInsertionOutcome::typed:
      std::cout << "Typed " << outcome->character << " into the focused window.\n";
      return kExitOk;
    case EmojiInsertionOutcome::copied:
      std::cout << outcome->message << "\n";
      return kExitOk;
    case EmojiInsertionOutcome::typingFailed:
    case EmojiInsertionOutcome::copyFailed:
      printError("emoji pick: " + outcome->message,
                 pasteboard ? "" : "Run it inside a desktop session (X11, or Wayland with wtype or wl-clipboard).");
      return pasteboard ? kExitFailure : kExitUnavailable;
  }
  return kExitFailure;
}

int runTone(const std::string& name) {
  std::optional<EmojiSkinTone> tone;
  if (name != "none") {
    tone = skinToneFromName(name);
    if (!tone) return usageError("emoji", "tone is one of light, mediumLight, medium, mediumDark, dark or none");
  }
  EmojiContext ctx;
  Status set = ctx.picker->setPreferredSkinTone(tone);
  if (!set.ok()) {
    printError("emoji tone: " + set.error().description());
    return exitStatusFor(set.error());
  }
  std::cout << (tone ? "Emoji with skin tones are shown " + name + "." : std::string("No preferred skin tone."))
            << "\n";
  return kExitOk;
}

int runEmoji(Args& args) {
  const bool json = args.flag("--json");
  const auto limit = args.intOption("--limit");
  auto words = args.positionals();
  if (args.failed()) return usageError("emoji", args.failure());
  if (!words.empty() && words[0] == "pick") {
    if (words.size() != 2) return usageError("emoji", "pick needs one emoji or id");
    return runPick(words[1]);
  }
  if (!words.empty() && words[0] == "tone") {
    if (words.size() != 2)
      return usageError("emoji", "tone needs one of light, mediumLight, medium, mediumDark, dark, none");
    return runTone(words[1]);
  }
  if (limit && *limit < 0) return usageError("emoji", "--limit must not be negative");
  const std::string query = joinStrings(words, " ");
  EmojiContext ctx;
  auto matches = ctx.picker->searchNow(query, limit ? std::optional<int>(static_cast<int>(*limit)) : 20);
  if (json) {
    nlohmann::json out = nlohmann::json::array();
    for (const EmojiSearchMatch& m : matches) {
      out.push_back({{"id", m.entry.id},
                     {"character", m.entry.character},
                     {"shortName", m.entry.shortName},
                     {"score", m.score},
                     {"isRecent", m.isRecent}});
    }
    printJson(out);
  } else {
    for (const EmojiSearchMatch& m : matches) {
      std::cout << m.entry.character << "  " << printable(m.entry.shortName) << (m.isRecent ? "  (recent)" : "")
                << "\n";
    }
    if (matches.empty()) std::cout << "No emoji matches " << printable(inQuotes(query)) << ".\n";
  }
  return matches.empty() ? kExitFailure : kExitOk;
}

}  // namespace

PALLIX_COMMAND("emoji", "find an emoji, pick it (type or copy), set the skin tone",
               "Usage: pallix emoji QUERY... [--limit N] [--json]\n"
               "       pallix emoji pick ID_OR_CHARACTER\n"
               "       pallix emoji tone light|mediumLight|medium|mediumDark|dark|none\n\n"
               "QUERY      emoji by name and keyword, your frequent and recent picks first (20 by default;\n"
               "           no query lists the recents, then the catalog)\n"
               "pick       types the emoji into the focused window (X11 XTest through libxdo, or wtype on\n"
               "           Wayland); where typing is not possible it is put on the clipboard instead (the\n"
               "           clipboard history leaves it out). Typed picks count towards the recents.\n"
               "tone       the skin tone shown and inserted for emoji that have tones\n\n"
               "--json prints id, character, shortName, score and isRecent.\n"
               "Exit status: 0 ok, 1 nothing found or failed, 2 usage, 3 no desktop session.\n",
               runEmoji);

}  // namespace pallix::cli
