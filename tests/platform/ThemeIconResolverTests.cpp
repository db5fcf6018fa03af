#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <random>

#include "app/platform/linux/ThemeIconResolver.h"
#include "tests/platform/ScopedEnvironment.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

using testing::ScopedEnv;
using testing::TempDir;

// A small theme tree:
//   user/Mine     (inherits Parent)  16x16/apps fixed, 48x48/apps threshold 48
//   system/Mine   (the same theme's second base folder) scalable/apps 8..512
//   system/Parent                    32x32/apps fixed
//   system/hicolor                   48x48/apps fixed
//   pixmaps/
class ThemeIconResolverTest : public ::testing::Test {
 protected:
  ThemeIconResolverTest() {
    tmp_.write("user/Mine/index.theme",
               "[Icon Theme]\nName=Mine\nInherits=Parent\n"
               "Directories=16x16/apps,48x48/apps,scalable/apps,broken\n\n"
               "[16x16/apps]\nSize=16\nType=Fixed\n\n"
               "[48x48/apps]\nSize=48\nType=Threshold\nThreshold=4\n\n"
               "[scalable/apps]\nSize=64\nType=Scalable\nMinSize=8\nMaxSize=512\n\n"
               "[broken]\nSize=big\n");
    tmp_.mkdir("system/Mine/scalable/apps");
    tmp_.write("system/Parent/index.theme",
               "[Icon Theme]\nName=Parent\nDirectories=32x32/apps\n[32x32/apps]\nSize=32\nType=Fixed\n");
    tmp_.write("system/hicolor/index.theme",
               "[Icon Theme]\nName=Hicolor\nDirectories=48x48/apps,256x256/apps\n"
               "[48x48/apps]\nSize=48\nType=Fixed\n[256x256/apps]\nSize=256\nType=Fixed\n");
    tmp_.mkdir("pixmaps");
  }

  ThemeIconResolver resolver(const std::string& theme = "Mine") {
    return ThemeIconResolver({theme, {tmp_ / "user", tmp_ / "system"}, {tmp_ / "pixmaps"}});
  }

  std::string icon(const std::string& relative) { return tmp_.write(relative, "icon"); }

  TempDir tmp_;
};

TEST_F(ThemeIconResolverTest, ResolvesByDirectorySizeFormatAndThemeOrder) {
  for (const char* relative :
       {"user/Mine/16x16/apps/viewer.png", "user/Mine/48x48/apps/viewer.png", "system/Mine/scalable/apps/viewer.svg",
        "user/Mine/16x16/apps/editor.png", "user/Mine/48x48/apps/editor.png", "user/Mine/16x16/apps/multi.xpm",
        "user/Mine/16x16/apps/multi.svg", "user/Mine/16x16/apps/other.png", "user/Mine/16x16/apps/other.svg",
        "user/Mine/16x16/apps/shared.png", "system/Parent/32x32/apps/shared.png",
        "system/Parent/32x32/apps/inherited.png", "system/hicolor/256x256/apps/fallback.png", "pixmaps/legacy.xpm"}) {
    icon(relative);
  }
  const struct {
    const char* name;
    int size;
    const char* found;  // relative to the temporary folder
  } cases[] = {
      // A matching directory in the theme's order, the threshold included; then the scalable folder.
      {"viewer", 16, "user/Mine/16x16/apps/viewer.png"},
      {"viewer", 48, "user/Mine/48x48/apps/viewer.png"},
      {"viewer", 44, "user/Mine/48x48/apps/viewer.png"},
      {"viewer", 52, "user/Mine/48x48/apps/viewer.png"},
      {"viewer", 53, "system/Mine/scalable/apps/viewer.svg"},
      {"viewer", 256, "system/Mine/scalable/apps/viewer.svg"},
      // Without a match the closest size: distance 8 vs 20, then 18 vs 10 (threshold range 44..52).
      {"editor", 24, "user/Mine/16x16/apps/editor.png"},
      {"editor", 34, "user/Mine/48x48/apps/editor.png"},
      {"editor", 1024, "user/Mine/48x48/apps/editor.png"},
      // PNG, then SVG, then XPM.
      {"multi", 16, "user/Mine/16x16/apps/multi.svg"},
      {"other", 16, "user/Mine/16x16/apps/other.png"},
      // The theme's own icon of the wrong size beats a parent's exact size; then parents, hicolor, pixmaps.
      {"shared", 32, "user/Mine/16x16/apps/shared.png"},
      {"inherited", 64, "system/Parent/32x32/apps/inherited.png"},
      {"fallback", 64, "system/hicolor/256x256/apps/fallback.png"},
      {"legacy", 64, "pixmaps/legacy.xpm"},
      {"nowhere", 64, nullptr},
      // A name may carry its extension, but never a path of its own.
      {"other.png", 16, "user/Mine/16x16/apps/other.png"},
      {"../user/Mine/16x16/apps/other", 16, nullptr},
      {"", 16, nullptr},
  };
  auto r = resolver();
  for (const auto& c : cases) {
    EXPECT_EQ(r.resolve(c.name, c.size), c.found ? std::optional(tmp_ / c.found) : std::nullopt)
        << c.name << " at " << c.size;
  }
  std::string absolute = tmp_.write("elsewhere/app.png", "x");
  EXPECT_EQ(r.resolve(absolute, 64), absolute);
  EXPECT_EQ(r.resolve(tmp_ / "elsewhere/missing.png", 64), std::nullopt);
  EXPECT_EQ(r.resolve(tmp_ / "elsewhere", 64), std::nullopt);

  // Answers are cached per name and size.
  std::filesystem::remove(tmp_ / "user/Mine/16x16/apps/viewer.png");
  EXPECT_EQ(r.resolve("viewer", 16), tmp_ / "user/Mine/16x16/apps/viewer.png");
  EXPECT_EQ(resolver().resolve("viewer", 16), tmp_ / "system/Mine/scalable/apps/viewer.svg");
}

TEST_F(ThemeIconResolverTest, UnknownThemesInheritanceCyclesAndCorruptIndexFilesAreHarmless) {
  std::string hicolor = icon("system/hicolor/48x48/apps/common.png");
  tmp_.write("system/LoopA/index.theme", "[Icon Theme]\nInherits=LoopB\nDirectories=\n");
  tmp_.write("system/LoopB/index.theme", "[Icon Theme]\nInherits=LoopA,hicolor\nDirectories=\n");
  tmp_.write("system/Garbage/index.theme",
             std::string("\0\xff[[[\n=\n[Icon Theme\nDirectories=,,x\n[x]\nSize=-3\n", 42));
  for (const char* theme : {"NoSuchTheme", "LoopA", "Garbage"}) {
    EXPECT_EQ(resolver(theme).resolve("common", 48), hicolor) << theme;
  }
  EXPECT_EQ(resolver("LoopA").resolve("absent", 48), std::nullopt);
}

TEST_F(ThemeIconResolverTest, FilesGetGenericIconsThatFallBackToAPlainDocument) {
  std::string generic = icon("system/hicolor/48x48/apps/text-x-generic.png");
  std::string image = icon("system/hicolor/48x48/apps/image-x-generic.png");
  auto r = resolver();
  EXPECT_EQ(r.iconNameForFile("/home/u/Projects", true), "folder");
  const std::pair<const char*, const char*> files[] = {
      {"/a/notes.TXT", "text-x-generic"},
      {"/a/run.sh", "text-x-script"},
      {"/a/photo.JPEG", "image-x-generic"},
      {"/a/backup.tar.gz", "package-x-generic"},
      {"/a/paper.pdf", "application-pdf"},
      {"/a/letter.docx", "x-office-document"},
      {"/a/blob.xyz123", "application-x-generic"},
      {"/a/.bashrc", "text-x-generic"},
      {"/a/README", "text-x-generic"},
      {"/a.dir/Makefile", "text-x-generic"},
  };
  for (auto [path, name] : files) EXPECT_EQ(r.iconNameForFile(path, false), name) << path;
  EXPECT_EQ(r.resolve("image-x-generic", 48), image);
  EXPECT_EQ(r.resolve("x-office-spreadsheet", 48), generic);
  EXPECT_EQ(r.resolve(r.iconNameForFile("/a/b.unknownext", false), 48), generic);
  EXPECT_EQ(r.resolve("org.example.App", 48), std::nullopt);  // application names do not fall back
}

// Oracle: a theme of fixed-size directories in random order, with the icon in a
// random subset; the answer must be the first exact match, else the first of
// the closest sizes.
TEST(ThemeIconResolverOracle, RandomFixedThemesMatchABruteForceModel) {
  std::mt19937 rng(11);
  for (int round = 0; round < 20; ++round) {
    TempDir tmp;
    std::vector<int> sizes = {8, 16, 22, 24, 32, 48, 64, 96, 128, 256};
    std::shuffle(sizes.begin(), sizes.end(), rng);
    sizes.resize(2 + rng() % 6);
    std::string index = "[Icon Theme]\nDirectories=";
    for (size_t i = 0; i < sizes.size(); ++i) index += (i ? "," : "") + std::to_string(sizes[i]) + "/apps";
    index += "\n";
    std::vector<bool> present(sizes.size());
    for (size_t i = 0; i < sizes.size(); ++i) {
      index += "[" + std::to_string(sizes[i]) + "/apps]\nSize=" + std::to_string(sizes[i]) + "\nType=Fixed\n";
      present[i] = rng() % 2;
      if (present[i]) tmp.write("base/T/" + std::to_string(sizes[i]) + "/apps/x.png", "");
    }
    tmp.write("base/T/index.theme", index);
    ThemeIconResolver r({"T", {tmp / "base"}, {}});
    for (int query : {1, 8, 20, 23, 40, 64, 100, 200, 300}) {
      std::optional<std::string> expected;
      int best = INT_MAX;
      for (size_t i = 0; i < sizes.size(); ++i) {
        if (!present[i]) continue;
        int distance = std::abs(sizes[i] - query);
        if (distance < best) {
          best = distance;
          expected = tmp / ("base/T/" + std::to_string(sizes[i]) + "/apps/x.png");
        }
      }
      EXPECT_EQ(r.resolve("x", query), expected) << "query " << query << " round " << round;
    }
  }
}

// --- Theme selection ------------------------------------------------------------------

TEST(ThemeIconResolverEnvironment, PicksTheThemeFromEnvironmentThenGtkSettings) {
  TempDir home;
  ScopedEnv pallixHome("PALLIX_HOME", home.path().c_str());
  DataDirectories dirs = DataDirectories::forHome(home.path());
  {
    ScopedEnv theme("PALLIX_ICON_THEME", nullptr);
    EXPECT_EQ(ThemeIconResolver::themeNameFromEnvironment(dirs), "hicolor");
    home.write(".config/gtk-3.0/settings.ini", "[Settings]\ngtk-theme-name=Adwaita\ngtk-icon-theme-name = Papirus\n");
    EXPECT_EQ(ThemeIconResolver::themeNameFromEnvironment(dirs), "Papirus");
    home.write(".config/gtk-4.0/settings.ini", "[Settings]\ngtk-icon-theme-name=\"Breeze\"\n");
    EXPECT_EQ(ThemeIconResolver::themeNameFromEnvironment(dirs), "Breeze");
  }
  ScopedEnv theme("PALLIX_ICON_THEME", "Yaru");
  auto options = ThemeIconResolver::optionsFromEnvironment(dirs);
  EXPECT_EQ(options.themeName, "Yaru");
  ASSERT_GE(options.baseDirectories.size(), 2u);
  EXPECT_EQ(options.baseDirectories[0], home / ".local/share/icons");
  EXPECT_EQ(options.baseDirectories[1], home / ".icons");
}

}  // namespace
}  // namespace pallix
