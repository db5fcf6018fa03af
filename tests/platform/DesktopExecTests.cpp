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

TEST(DesktopExecSplitting, SeparatesOnUnquotedBlanks) {
  EXPECT_EQ(split("app"), (Args{"app"}));
  EXPECT_EQ(split("  app   -a\t-b\n-c  "), (Args{"app", "-a", "-b", "-c"}));
}

TEST(DesktopExecSplitting, DoubleQuotesKeepBlanksAndDecodeTheirEscapes) {
  EXPECT_EQ(split("\"/opt/My App/run\" --x"), (Args{"/opt/My App/run", "--x"}));
  EXPECT_EQ(split(R"(sh -c "echo \"hi\" \`x\` \$HOME \\")"), (Args{"sh", "-c", "echo \"hi\" `x` $HOME \\"}));
  // A backslash before any other character is kept.
  EXPECT_EQ(split(R"("a\nb")"), (Args{"a\\nb"}));
  EXPECT_EQ(split(R"(app "" end)"), (Args{"app", "", "end"}));
  EXPECT_EQ(split(R"(pre"quoted part"post)"), (Args{"prequoted partpost"}));
}

TEST(DesktopExecSplitting, AcceptsShellStyleSingleQuotesAndBackslashes) {
  EXPECT_EQ(split("app 'two words' it\\'s a\\ b"), (Args{"app", "two words", "it's", "a b"}));
  EXPECT_EQ(split("app 'no \\escapes \"here\"'"), (Args{"app", "no \\escapes \"here\""}));
  EXPECT_EQ(split("app trailing\\"), (Args{"app", "trailing\\"}));
}

TEST(DesktopExecSplitting, RejectsUnterminatedQuotesAndEmptyLines) {
  for (const char* bad : {"app \"open", "app 'open", "\"\\\"", "", "   \t"}) {
    auto result = splitDesktopExec(bad);
    ASSERT_FALSE(result.ok()) << bad;
    EXPECT_EQ(result.error().domain(), "DesktopExecError");
  }
  EXPECT_NE(splitDesktopExec("app \"open").error().description().find("Unterminated double quote"), std::string::npos);
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

TEST(DesktopExecFieldCodes, ExpandsFilesAndUrls) {
  auto c = contextWith({"/home/u/a b.txt", "file:///home/u/c%20d.txt", "https://example.com/x?y=1"});
  EXPECT_EQ(expand("viewer %f", c), (Args{"viewer", "/home/u/a b.txt"}));
  EXPECT_EQ(expand("viewer %F", c), (Args{"viewer", "/home/u/a b.txt", "/home/u/c d.txt"}));
  EXPECT_EQ(expand("viewer %u", c), (Args{"viewer", "/home/u/a b.txt"}));
  EXPECT_EQ(expand("viewer %U --end", c),
            (Args{"viewer", "/home/u/a b.txt", "file:///home/u/c%20d.txt", "https://example.com/x?y=1", "--end"}));
  // Only a web URL: %f finds no local file and disappears.
  auto web = contextWith({"https://example.com"});
  EXPECT_EQ(expand("viewer %f", web), (Args{"viewer"}));
  EXPECT_EQ(expand("viewer %F", web), (Args{"viewer"}));
  EXPECT_EQ(expand("viewer %u", web), (Args{"viewer", "https://example.com"}));
}

TEST(DesktopExecFieldCodes, DropsFileCodesWithoutTargets) {
  auto c = contextWith({});
  EXPECT_EQ(expand("viewer %f %F %u %U", c), (Args{"viewer"}));
  EXPECT_EQ(expand("viewer --open=%f", c), (Args{"viewer", "--open="}));
}

TEST(DesktopExecFieldCodes, ExpandsIconNameAndLocation) {
  auto c = contextWith({});
  EXPECT_EQ(expand("viewer %i --title %c %k", c),
            (Args{"viewer", "--icon", "org.example.Viewer", "--title", "Example Viewer",
                  "/usr/share/applications/org.example.Viewer.desktop"}));
  c.icon.reset();
  EXPECT_EQ(expand("viewer %i -x", c), (Args{"viewer", "-x"}));
  c.name.clear();
  EXPECT_EQ(expand("viewer %c", c), (Args{"viewer"}));
}

TEST(DesktopExecFieldCodes, EmbeddedCodesExpandInPlace) {
  auto c = contextWith({"/a", "/b"});
  EXPECT_EQ(expand("viewer --file=%f --name=%c", c), (Args{"viewer", "--file=/a", "--name=Example Viewer"}));
  EXPECT_EQ(expand("viewer --files=%F --urls=%U", c), (Args{"viewer", "--files=/a", "--urls=/a"}));
  EXPECT_EQ(expand("viewer x%iy", c), (Args{"viewer", "xy"}));
  // Quoted arguments are expanded too.
  EXPECT_EQ(expand("viewer \"%f\" \"--title=%c\"", c), (Args{"viewer", "/a", "--title=Example Viewer"}));
}

TEST(DesktopExecFieldCodes, PercentLiteralsDeprecatedAndUnknownCodes) {
  auto c = contextWith({"/a"});
  EXPECT_EQ(expand("printf %%s 100%% %%f", c), (Args{"printf", "%s", "100%", "%f"}));
  EXPECT_EQ(expand("app %%", c), (Args{"app", "%"}));
  EXPECT_EQ(expand("app 50%", c), (Args{"app", "50%"}));
  EXPECT_EQ(expand("app %d %D %n %N %v %m %x %Z", c), (Args{"app"}));
  EXPECT_EQ(expand("app a%db", c), (Args{"app", "ab"}));
  EXPECT_EQ(expand("app \"\" %f", c), (Args{"app", "", "/a"}));
}

TEST(DesktopExecFieldCodes, TypicalExecLines) {
  auto c = contextWith({"/home/u/Report 2024.pdf"});
  EXPECT_EQ(
      expand("env GDK_BACKEND=x11 \"/opt/Some App/bin/app\" --name=%c %U", c),
      (Args{"env", "GDK_BACKEND=x11", "/opt/Some App/bin/app", "--name=Example Viewer", "/home/u/Report 2024.pdf"}));
  EXPECT_EQ(expand("/usr/bin/flatpak run --branch=stable --arch=x86_64 --command=viewer --file-forwarding "
                   "org.example.Viewer @@ %F @@",
                   c),
            (Args{"/usr/bin/flatpak", "run", "--branch=stable", "--arch=x86_64", "--command=viewer",
                  "--file-forwarding", "org.example.Viewer", "@@", "/home/u/Report 2024.pdf", "@@"}));
  EXPECT_EQ(expand("sh -c \"exec viewer \\\"\\$@\\\"\" sh %F", c),
            (Args{"sh", "-c", "exec viewer \"$@\"", "sh", "/home/u/Report 2024.pdf"}));
}

TEST(DesktopExecFieldCodes, FailsWhenNoProgramRemains) {
  EXPECT_FALSE(expandDesktopExec("%f %U", contextWith({})).ok());
  EXPECT_FALSE(expandDesktopExec("\"\" arg", contextWith({})).ok());
  EXPECT_FALSE(expandDesktopExec("app \"unterminated", contextWith({})).ok());
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
