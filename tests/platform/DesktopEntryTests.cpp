#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <tuple>

#include "app/platform/DesktopEntry.h"
#include "tests/platform/ScopedEnvironment.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

using testing::TempDir;

std::string dataPath(const std::string& relative) {
  const char* root = std::getenv("PALLIX_TEST_DATA");
  return std::string(root ? root : "tests/data") + "/platform/" + relative;
}

Result<DesktopEntry> parseText(const TempDir& tmp, const std::string& text) {
  return parseDesktopEntry(tmp.write("entry.desktop", text), "entry.desktop");
}

Result<DesktopEntry> parseInMemory(const std::string& text) {
  return parseDesktopEntryText(text, "/mem/entry.desktop", "entry.desktop");
}

// --- Hand-checked files -------------------------------------------------------

TEST(DesktopEntryParsing, ReadsHandCheckedApplicationEntries) {
  auto entry =
      parseDesktopEntry(dataPath("applications/org.example.Calculator.desktop"), "org.example.Calculator.desktop");
  ASSERT_TRUE(entry.ok()) << entry.error().description();
  EXPECT_EQ(entry->id, "org.example.Calculator.desktop");
  EXPECT_EQ(entry->genericName, "Scientific Calculator");
  EXPECT_EQ(entry->tryExec, "example-calculator");
  EXPECT_EQ(entry->version, "46.1");
  EXPECT_EQ(entry->categories, (std::vector<std::string>{"GNOME", "GTK", "Utility", "Calculator"}));
  EXPECT_EQ(entry->keywords, (std::vector<std::string>{"calculation", "arithmetic", "scientific", "financial"}));
  EXPECT_FALSE(entry->workingDirectory.has_value());
  // NoDisplay=true belongs to the action group, not to the application.
  EXPECT_FALSE(entry->noDisplay);

  // Spaces around "=", Windows line endings and a working directory.
  auto okular = parseDesktopEntry(dataPath("applications/kde/okular.desktop"), "kde-okular.desktop");
  ASSERT_TRUE(okular.ok()) << okular.error().description();
  EXPECT_EQ(std::tuple(okular->name, okular->workingDirectory, okular->version, okular->comment),
            std::tuple("Okular", std::optional<std::string>("/home/user/Documents"), std::nullopt, std::nullopt));
  auto crlf = parseDesktopEntry(dataPath("applications/crlf.desktop"), "crlf.desktop");
  ASSERT_TRUE(crlf.ok()) << crlf.error().description();
  EXPECT_EQ(std::tuple(crlf->name, crlf->exec), std::tuple("Windows Line Endings", "wle"));
}

// Escapes decode in strings and lists; comments, localised keys, repeated
// keys and other groups leave the entry alone.
TEST(DesktopEntryParsing, DecodesEscapesAndIgnoresCommentsLocalisedKeysAndOtherGroups) {
  auto entry = parseInMemory(
      "# leading comment\n\n"
      "[Desktop Entry]\n"
      "Name[fr]=Fichiers\n"
      "Name[sr@latin]=Datoteke\n"
      "  # indented comment\n"
      "Name=Tab\\there\n"
      "Name=Second Name Is Ignored\n"
      "Comment=a\\sb\\nc\\rd\\\\e\\qf\\\n"
      "Keywords=one\\;two;three\\sfour;;\n"
      "Categories=;;\n"
      "Type=Link\n"
      "[Desktop Action x]\n"
      "Name=Action\n"
      "junk line in another group\n");
  ASSERT_TRUE(entry.ok()) << entry.error().description();
  EXPECT_EQ(entry->name, "Tab\there");
  // Unknown escapes and a trailing backslash are kept as written.
  EXPECT_EQ(entry->comment, "a b\nc\rd\\e\\qf\\");
  EXPECT_EQ(entry->keywords, (std::vector<std::string>{"one;two", "three four"}));
  EXPECT_TRUE(entry->categories.empty());
  EXPECT_EQ(entry->type, "Link");
}

TEST(DesktopEntryParsing, ReadsBooleans) {
  for (auto [text, on] :
       {std::pair{"NoDisplay=true\nHidden=1\nTerminal=true\n", true}, {"NoDisplay=false\nHidden=0\n", false}}) {
    auto entry = parseInMemory(std::string("[Desktop Entry]\nName=A\n") + text);
    ASSERT_TRUE(entry.ok()) << text;
    EXPECT_EQ(std::tuple(entry->noDisplay, entry->hidden, entry->terminal), std::tuple(on, on, on)) << text;
  }
}

// --- Locales ----------------------------------------------------------------------

TEST(DesktopLocaleTest, ParsesMessagesLocalesIntoFallbackOrder) {
  const std::pair<const char*, std::vector<std::string>> cases[] = {
      {"de_DE.UTF-8@euro", {"de_DE@euro", "de_DE", "de@euro", "de"}},
      {"sr@latin", {"sr@latin", "sr"}},
      {"pt_BR", {"pt_BR", "pt"}},
      {"fr.ISO-8859-1", {"fr"}},
      {"C", {}},
      {"C.UTF-8", {}},
      {"POSIX", {}},
      {"", {}},
  };
  for (const auto& [value, candidates] : cases) {
    EXPECT_EQ(DesktopLocale::parse(value).candidates(), candidates) << value;
  }
}

TEST(DesktopLocaleTest, EnvironmentPrefersLcAllThenLcMessagesThenLang) {
  testing::ScopedEnv all("LC_ALL", nullptr), messages("LC_MESSAGES", nullptr), lang("LANG", nullptr);
  const std::tuple<const char*, const char*, const char*, const char*> cases[] = {
      {"fr_FR.UTF-8", "de_DE", "es_ES", "fr"}, {"", "de_DE", "es_ES", "de"}, {"", "", "es_ES", "es"}, {"", "", "", ""}};
  for (const auto& [allValue, messagesValue, langValue, expected] : cases) {
    all.set(allValue);
    messages.set(messagesValue);
    lang.set(langValue);
    EXPECT_EQ(DesktopLocale::fromEnvironment().lang, expected) << allValue << "|" << messagesValue << "|" << langValue;
  }
}

TEST(DesktopEntryParsing, ReadsLocalizedNamesGenericNamesAndKeywordsForTheLocale) {
  const std::string text =
      "[Desktop Entry]\nName=Calculator\nName[de]=Rechner\nName[de_CH]=Taschenrechner\nName[sr@latin]=Kalkulator\n"
      "Name[fr]=\nGenericName=Scientific Calculator\nGenericName[de]=Wissenschaftlicher Rechner\n"
      "Keywords=calculation;math;\nKeywords[de]=Rechnen;Mathematik;\n";
  struct Case {
    const char* locale;
    const char* name;
    const char* genericName;
    std::vector<std::string> keywords;
  };
  const Case cases[] = {
      {"", "Calculator", "Scientific Calculator", {"calculation", "math"}},
      {"de_DE.UTF-8", "Rechner", "Wissenschaftlicher Rechner", {"Rechnen", "Mathematik"}},
      {"de_CH@euro", "Taschenrechner", "Wissenschaftlicher Rechner", {"Rechnen", "Mathematik"}},
      {"sr_RS@latin", "Kalkulator", "Scientific Calculator", {"calculation", "math"}},
      {"fr_FR", "Calculator", "Scientific Calculator", {"calculation", "math"}},  // empty translation
  };
  for (const Case& c : cases) {
    auto entry = parseDesktopEntryText(text, "/mem/calc.desktop", "calc.desktop", DesktopLocale::parse(c.locale));
    ASSERT_TRUE(entry.ok()) << entry.error().description();
    EXPECT_EQ(entry->name, c.name) << c.locale;
    EXPECT_EQ(entry->untranslatedName, "Calculator") << c.locale;
    EXPECT_EQ(entry->genericName, c.genericName) << c.locale;
    EXPECT_EQ(entry->keywords, c.keywords) << c.locale;
  }
}

TEST(DesktopEntryTryExec, NamesAnInstalledProgramByPathOrOnTheSearchPath) {
  TempDir tmp;
  const std::string bin = tmp.mkdir("bin");
  ::chmod(tmp.write("bin/tool", "#!/bin/sh\n").c_str(), 0755);
  ::chmod(tmp.write("bin/plain", "text").c_str(), 0644);
  tmp.mkdir("bin/folder");
  const std::tuple<std::optional<std::string>, std::string, bool> cases[] = {
      {std::nullopt, "", true},
      {"", "", true},
      {bin + "/tool", "", true},
      {bin + "/plain", bin, false},
      {bin + "/missing", bin, false},
      {"tool", bin, true},
      {"tool", "/nonexistent::" + bin, true},
      {"tool", "", false},
      {"tool", "/nonexistent", false},
      {"plain", bin, false},
      {"folder", bin, false},
  };
  for (const auto& [tryExec, searchPath, installed] : cases) {
    DesktopEntry entry;
    entry.tryExec = tryExec;
    EXPECT_EQ(isTryExecInstalled(entry, searchPath), installed) << tryExec.value_or("<none>") << " in " << searchPath;
  }
}

// --- Corrupt files ----------------------------------------------------------------

void expectError(const Result<DesktopEntry>& result, const std::string& fragment) {
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().domain(), "DesktopEntryError");
  EXPECT_NE(result.error().description().find(fragment), std::string::npos) << result.error().description();
}

TEST(DesktopEntryCorruption, ReportsEachKindOfDamageClearly) {
  TempDir tmp;
  expectError(parseDesktopEntry(tmp / "absent.desktop", "absent.desktop"), "absent.desktop");
  expectError(parseDesktopEntry(dataPath("applications/broken-missing-name.desktop"), "x"), "has no Name");
  expectError(parseDesktopEntry(dataPath("applications/broken-garbage.desktop"), "x"), "line 4");
  expectError(parseText(tmp, ""), "no [Desktop Entry] group");
  expectError(parseText(tmp, "[Other]\nName=A\n"), "no [Desktop Entry] group");
  expectError(parseText(tmp, "Name=A\n[Desktop Entry]\nName=A\n"), "before the first group");
  expectError(parseText(tmp, "[Desktop Entry\nName=A\n"), "unterminated group header");
  expectError(parseText(tmp, "[Desktop Entry]\nName=A\n[Desktop Entry]\nName=B\n"), "duplicate");
  expectError(parseText(tmp, "[Desktop Entry]\nName=A\nBad Key=1\n"), "invalid key");
  expectError(parseText(tmp, "[Desktop Entry]\nName=A\n=value\n"), "invalid key");
  expectError(parseText(tmp, "[Desktop Entry]\nName=\n"), "has no Name");
  expectError(parseText(tmp, "[Desktop Entry]\nName=A\nTerminal=yes\n"), "Terminal must be true or false");
  expectError(parseText(tmp, "[Desktop Entry]\nName=\xC3\x28\n"), "not valid UTF-8");
  expectError(parseText(tmp, "[Desktop Entry]\nName=\xED\xA0\x80\n"), "not valid UTF-8");  // surrogate
  expectError(parseText(tmp, "[Desktop Entry]\nName=\xC0\xAF\n"), "not valid UTF-8");      // overlong
  expectError(parseText(tmp, "[Desktop Entry]\nName=Big\nComment=" + std::string(2 << 20, 'x') + "\n"), "too large");
  // Special files are refused without a read that would block or never end.
  const std::string fifo = tmp / "fifo.desktop";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  expectError(parseDesktopEntry(fifo, "fifo.desktop"), "is a FIFO");
  std::filesystem::create_symlink("/dev/zero", tmp / "zero.desktop");
  expectError(parseDesktopEntry(tmp / "zero.desktop", "zero.desktop"), "is a character device");
  expectError(parseText(tmp, std::string("\x7f"
                                         "ELF\x02\x01\x01\0\0\0",
                                         10)),
              "line 1");
}

// --- Randomized round trips and mutations -----------------------------------------

// Escapes a value the way a desktop-file writer would.
std::string escapeValue(const std::string& value, bool list) {
  static const std::string kControls = "\n\t\r\\", kLetters = "ntr\\";
  std::string out;
  for (char c : value) {
    if (size_t i = kControls.find(c); i != std::string::npos) {
      out += {'\\', kLetters[i]};
    } else if (c == ' ') {
      out += out.empty() ? "\\s" : " ";
    } else {
      out += c == ';' && list ? std::string("\\;") : std::string(1, c);
    }
  }
  if (!out.empty() && out.back() == ' ') out.replace(out.size() - 1, 1, "\\s");
  return out;
}

std::string randomText(std::mt19937& rng, bool nonEmpty) {
  static const std::vector<std::string> pieces = {
      "a",  "Z", "9", " ", "\t", "\n", "\\", ";", "=", "[", "]", "#", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80",
      "%U", "-"};
  std::uniform_int_distribution<size_t> length(nonEmpty ? 1 : 0, 12);
  std::uniform_int_distribution<size_t> pick(0, pieces.size() - 1);
  std::string out;
  size_t n = length(rng);
  for (size_t i = 0; i < n; ++i) out += pieces[pick(rng)];
  return out;
}

TEST(DesktopEntryFuzz, RandomEntriesRoundTripThroughEscaping) {
  std::mt19937 rng(20261205);
  for (int round = 0; round < 300; ++round) {
    std::string name = randomText(rng, true);
    std::string comment = randomText(rng, false);
    std::vector<std::string> keywords;
    std::uniform_int_distribution<int> count(0, 4);
    for (int i = count(rng); i > 0; --i) keywords.push_back(randomText(rng, true));
    std::string text = "[Desktop Entry]\nName=" + escapeValue(name, false) + "\n";
    text += "Comment=" + escapeValue(comment, false) + "\n";
    text += "Keywords=";
    for (const auto& k : keywords) text += escapeValue(k, true) + ";";
    text += "\n";

    auto entry = parseInMemory(text);
    ASSERT_TRUE(entry.ok()) << entry.error().description() << "\n" << text;
    EXPECT_EQ(entry->name, name) << text;
    EXPECT_EQ(entry->comment.value_or("<none>"), comment) << text;
    EXPECT_EQ(entry->keywords, keywords) << text;
  }
}

TEST(DesktopEntryFuzz, MutatedFilesNeverCrashAndExplainFailures) {
  std::string original =
      "[Desktop Entry]\nType=Application\nName=Mutant\nExec=mutant %F\nKeywords=a;b\\;c;\n"
      "Categories=X;Y;\nTerminal=false\n[Desktop Action z]\nName=Z\n";
  std::mt19937 rng(7);
  int failures = 0;
  for (int round = 0; round < 2000; ++round) {
    std::string text = original;
    std::uniform_int_distribution<int> edits(1, 6);
    for (int e = edits(rng); e > 0; --e) {
      size_t at = rng() % (text.size() + 1);
      const auto kind = rng() % 3;  // insert, erase or replace
      if (kind == 0) {
        text.insert(at, 1, static_cast<char>(rng() % 256));
      } else if (at < text.size() && kind == 1) {
        text.erase(at, 1 + rng() % 8);
      } else if (at < text.size()) {
        text[at] = "[]=\\;\n#\x80 "[rng() % 10];
      }
    }
    auto entry = parseInMemory(text);
    if (!entry.ok()) {
      ++failures;
      EXPECT_NE(entry.error().description().find("entry.desktop"), std::string::npos) << entry.error().description();
    } else {
      EXPECT_FALSE(entry->name.empty());
    }
  }
  EXPECT_GT(failures, 0);
}

// --- Application directories --------------------------------------------------------

// The directories in precedence order; an entry's priority is that of the
// directory holding it (subfolders included), 1 outside them.
TEST(DesktopApplicationDirectories, OrdersByPrecedenceAndEntriesTakeTheirDirectorysPriority) {
  DataDirectories dirs = DataDirectories::forHome("/tmp/fakehome");
  dirs.systemDataDirs = {"/opt/custom/share", "/usr/share/", "/var/lib/flatpak/exports/share", "/usr/local/share"};
  std::vector<std::pair<std::string, int>> got;
  for (const auto& d : desktopApplicationDirectories(dirs)) {
    got.emplace_back(d.path, d.priority);
    EXPECT_EQ(desktopEntryDomainPriority(d.path + "/sub/a.desktop", dirs), d.priority) << d.path;
  }
  std::vector<std::pair<std::string, int>> expected = {
      {"/tmp/fakehome/.local/share/applications", 5},
      {"/usr/local/share/applications", 4},
      {"/usr/share/applications", 3},
      {"/var/lib/flatpak/exports/share/applications", 2},
      {"/tmp/fakehome/.local/share/flatpak/exports/share/applications", 2},
      {"/var/lib/snapd/desktop/applications", 2},
      {"/opt/custom/share/applications", 1},
  };
  EXPECT_EQ(got, expected);
  EXPECT_EQ(desktopEntryDomainPriority("/usr/share/applicationsX/a.desktop", dirs), 1);
  EXPECT_EQ(desktopEntryDomainPriority("/elsewhere/a.desktop", dirs), 1);
}

TEST(DesktopFileId, JoinsSubfoldersWithDashes) {
  EXPECT_EQ(desktopFileIdForPath("/usr/share/applications", "/usr/share/applications/kde/okular.desktop"),
            "kde-okular.desktop");
  EXPECT_EQ(desktopFileIdForPath("/usr/share/applications/", "/usr/share/applications/org.a.B.desktop"),
            "org.a.B.desktop");
  EXPECT_EQ(desktopFileIdForPath("/usr/share/applications", "/other/x.desktop"), "x.desktop");
}

}  // namespace
}  // namespace pallix
