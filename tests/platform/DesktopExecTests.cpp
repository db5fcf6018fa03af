#include <gtest/gtest.h>

#include <random>

#include "app/platform/DesktopExec.h"

namespace pallix {
namespace {

using Args = std::vector<std::string>;

Args split(const std::string& exec) {
  auto result = splitDesktopExec(exec);
  EXPECT_TRUE(result.ok()) << exec << ": " << result.error().description();
  return result.ok() ? result.value() : Args{};
}

Args expand(const std::string& exec, const DesktopExecContext& context = {}) {
  auto result = expandDesktopExec(exec, context);
  EXPECT_TRUE(result.ok()) << exec << ": " << result.error().description();
  return result.ok() ? result.value() : Args{};
}

// --- Splitting ---------------------------------------------------------------------

// Unquoted blanks separate; double quotes keep blanks and decode their escapes
// (a backslash before any other character is kept); shell-style single quotes
// and backslashes are accepted too.
TEST(DesktopExecSplitting, SplitsOnUnquotedBlanksAndHonoursQuotesAndEscapes) {
  const std::pair<const char*, Args> cases[] = {
      {"app", {"app"}},
      {"  app   -a\t-b\n-c  ", {"app", "-a", "-b", "-c"}},
      {"\"/opt/My App/run\" --x", {"/opt/My App/run", "--x"}},
      {R"(sh -c "echo \"hi\" \`x\` \$HOME \\")", {"sh", "-c", "echo \"hi\" `x` $HOME \\"}},
      {R"("a\nb")", {"a\\nb"}},
      {R"(app "" end)", {"app", "", "end"}},
      {R"(pre"quoted part"post)", {"prequoted partpost"}},
      {"app 'two words' it\\'s a\\ b", {"app", "two words", "it's", "a b"}},
      {"app 'no \\escapes \"here\"'", {"app", "no \\escapes \"here\""}},
      {"app trailing\\", {"app", "trailing\\"}},
  };
  for (const auto& [exec, expected] : cases) EXPECT_EQ(split(exec), expected) << exec;
}

// Unterminated quotes and empty lines do not split; a line whose program is
// empty or only field codes does not expand.
TEST(DesktopExecSplitting, RejectsUnterminatedQuotesEmptyLinesAndLinesWithoutAProgram) {
  for (const char* bad : {"app \"open", "app 'open", "\"\\\"", "", "   \t"}) {
    auto result = splitDesktopExec(bad);
    ASSERT_FALSE(result.ok()) << bad;
    EXPECT_EQ(result.error().domain(), "DesktopExecError");
    EXPECT_FALSE(expandDesktopExec(bad, {}).ok()) << bad;
  }
  EXPECT_NE(splitDesktopExec("app \"open").error().description().find("Unterminated double quote"), std::string::npos);
  EXPECT_FALSE(expandDesktopExec("%f %U", {}).ok());
  EXPECT_FALSE(expandDesktopExec("\"\" arg", {}).ok());
}

// --- Field codes -----------------------------------------------------------------

DesktopExecContext contextWith(std::vector<std::string> targets) {
  DesktopExecContext c;
  c.targets = std::move(targets);
  c.icon = "org.example.Viewer";
  c.name = "Example Viewer";
  c.desktopFilePath = "/usr/share/applications/org.example.Viewer.desktop";
  return c;
}

TEST(DesktopExecFieldCodes, ExpandsEachCodeForTheTargets) {
  const Args local = {"/home/u/a b.txt", "file:///home/u/c%20d.txt", "https://example.com/x?y=1"};
  const struct {
    Args targets;
    std::string exec;
    Args expected;
  } cases[] = {
      // Files and URLs; with only a web URL %f finds no local file and disappears.
      {local, "viewer %f", {"viewer", "/home/u/a b.txt"}},
      {local, "viewer %F", {"viewer", "/home/u/a b.txt", "/home/u/c d.txt"}},
      {local, "viewer %u", {"viewer", "/home/u/a b.txt"}},
      {local, "viewer %U --end", {"viewer", local[0], local[1], local[2], "--end"}},
      {{"https://example.com"}, "viewer %f", {"viewer"}},
      {{"https://example.com"}, "viewer %F", {"viewer"}},
      {{"https://example.com"}, "viewer %u", {"viewer", "https://example.com"}},
      // File codes without targets are dropped.
      {{}, "viewer %f %F %u %U", {"viewer"}},
      {{}, "viewer --open=%f", {"viewer", "--open="}},
      // Embedded codes expand in place, quoted arguments too.
      {{"/a", "/b"}, "viewer --file=%f --name=%c", {"viewer", "--file=/a", "--name=Example Viewer"}},
      {{"/a", "/b"}, "viewer --files=%F --urls=%U", {"viewer", "--files=/a", "--urls=/a"}},
      {{"/a", "/b"}, "viewer x%iy", {"viewer", "xy"}},
      {{},
       "viewer %i --title %c %k",
       {"viewer", "--icon", "org.example.Viewer", "--title", "Example Viewer",
        "/usr/share/applications/org.example.Viewer.desktop"}},
      {{"/a", "/b"}, "viewer \"%f\" \"--title=%c\"", {"viewer", "/a", "--title=Example Viewer"}},
      // Percent literals, deprecated and unknown codes.
      {{"/a"}, "printf %%s 100%% %%f", {"printf", "%s", "100%", "%f"}},
      {{"/a"}, "app %%", {"app", "%"}},
      {{"/a"}, "app 50%", {"app", "50%"}},
      {{"/a"}, "app %d %D %n %N %v %m %x %Z", {"app"}},
      {{"/a"}, "app a%db", {"app", "ab"}},
      {{"/a"}, "app \"\" %f", {"app", "", "/a"}},
  };
  for (const auto& c : cases) EXPECT_EQ(expand(c.exec, contextWith(c.targets)), c.expected) << c.exec;
}

TEST(DesktopExecFieldCodes, CodesOfAMissingIconOrNameDisappear) {
  auto c = contextWith({});
  c.icon.reset();
  EXPECT_EQ(expand("viewer %i -x", c), (Args{"viewer", "-x"}));
  c.name.clear();
  EXPECT_EQ(expand("viewer %c", c), (Args{"viewer"}));
}

// --- Randomized round trips ----------------------------------------------------------

// Quotes `arg` the way a desktop-file writer must: in double quotes, with
// '"', '`', '$' and '\' escaped and '%' doubled.
std::string quoteArgument(const std::string& arg) {
  std::string out = "\"";
  for (char c : arg) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') out += '\\';
    if (c == '%') out += '%';
    out += c;
  }
  return out + "\"";
}

TEST(DesktopExecFuzz, QuotedRandomArgumentsSurviveSplitAndExpand) {
  std::mt19937 rng(42);
  const std::string alphabet = "ab Z9 \t\"'`$\\%;|&<>*?#()~=-_/.\xC3\xA9";
  for (int round = 0; round < 500; ++round) {
    Args args{"prog"};
    for (int n = static_cast<int>(rng() % 5); n > 0; --n) {
      std::string arg;
      for (int k = static_cast<int>(rng() % 10); k > 0; --k) arg += alphabet[rng() % alphabet.size()];
      args.push_back(arg);
    }
    std::string exec;
    for (const auto& a : args) exec += (exec.empty() ? "" : (rng() % 2 ? " " : " \t ")) + quoteArgument(a);
    auto result = expandDesktopExec(exec, {});
    ASSERT_TRUE(result.ok()) << exec;
    EXPECT_EQ(result.value(), args) << exec;
  }
}

TEST(DesktopExecFuzz, RandomLinesNeverCrash) {
  std::mt19937 rng(9);
  const std::string alphabet = "a \"'\\%fFuUick%";
  for (int round = 0; round < 3000; ++round) {
    std::string exec;
    for (int k = static_cast<int>(rng() % 16); k > 0; --k) exec += alphabet[rng() % alphabet.size()];
    auto result = expandDesktopExec(exec, contextWith({"/x", "https://y"}));
    if (result.ok()) {
      ASSERT_FALSE(result->empty());
      EXPECT_FALSE(result->front().empty()) << exec;
    } else {
      EXPECT_FALSE(result.error().description().empty());
    }
  }
}

// --- File URLs --------------------------------------------------------------------------

TEST(FileURLs, ConvertsBothWays) {
  EXPECT_EQ(fileURLFromPath("/home/u/a b/It's 100%.txt"), "file:///home/u/a%20b/It%27s%20100%25.txt");
  EXPECT_EQ(fileURLFromPath("/\xC3\xA9"), "file:///%C3%A9");
  EXPECT_EQ(localPathFromFileURL("file:///home/u/a%20b"), "/home/u/a b");
  EXPECT_EQ(localPathFromFileURL("FILE://localhost/tmp/x"), "/tmp/x");
  EXPECT_EQ(localPathFromFileURL("file:///tmp/x?query#frag"), "/tmp/x");
  EXPECT_EQ(localPathFromFileURL("file://otherhost/tmp/x"), std::nullopt);
  EXPECT_EQ(localPathFromFileURL("file:///bad%2"), std::nullopt);
  EXPECT_EQ(localPathFromFileURL("file:///bad%zz"), std::nullopt);
  EXPECT_EQ(localPathFromFileURL("file:///nul%00"), std::nullopt);
  EXPECT_EQ(localPathFromFileURL("https://example.com/a"), std::nullopt);
  EXPECT_EQ(localPathFromFileURL("/plain/path"), std::nullopt);
}

TEST(FileURLs, RandomPathsRoundTrip) {
  std::mt19937 rng(3);
  for (int round = 0; round < 1000; ++round) {
    std::string path = "/";
    for (int k = static_cast<int>(rng() % 20); k > 0; --k) path += static_cast<char>(1 + rng() % 255);
    std::string url = fileURLFromPath(path);
    EXPECT_EQ(url.find_first_of(" '\"\\?#"), std::string::npos) << url;
    auto back = localPathFromFileURL(url);
    ASSERT_TRUE(back.has_value()) << url;
    EXPECT_EQ(*back, path);
  }
}

}  // namespace
}  // namespace pallix
