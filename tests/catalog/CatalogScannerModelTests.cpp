#include <gtest/gtest.h>

#include <filesystem>

#include "CatalogTestSupport.h"
#include "app/search/CatalogScanner.h"

namespace pallix {
namespace {

std::map<std::string, testing::RandomTree::Entry> scanned(const std::vector<IndexCandidate>& files) {
  std::map<std::string, testing::RandomTree::Entry> out;
  for (const IndexCandidate& c : files) {
    EXPECT_EQ(out.count(c.canonicalPath), 0u) << "listed twice: " << c.canonicalPath;
    out[c.canonicalPath] = {c.itemType == IndexedItem::ItemType::folder, c.sizeBytes};
  }
  return out;
}

// A scratch home scanned with the standard rules and no desktop entries.
class CatalogScannerTest : public ::testing::Test {
 protected:
  testing::TempDir scratch_;
  FileExclusionFilter filter_;
  CatalogScanner scanner_{filter_, scratch_.path(), nullptr};
};

TEST_F(CatalogScannerTest, CandidatesCarryNamesExtensionsAndCategories) {
  std::string root = scratch_.dir("Documents");
  scratch_.file("Documents/Report.Final.PDF", "12345");
  scratch_.dir("Documents/my.project");
  scratch_.file("Documents/Makefile", "");
  ScanResult result = scanner_.scan(ScanDirectories{{}, {root}});
  std::map<std::string, IndexCandidate> byName;
  for (const auto& c : result.files) byName[c.name] = c;
  ASSERT_EQ(byName.size(), 3u);
  const IndexCandidate& report = byName.at("Report.Final");
  EXPECT_EQ(report.fileExtension, std::optional<std::string>("pdf"));
  EXPECT_EQ(report.fileCategory, IndexedItem::FileCategory::document);
  EXPECT_EQ(report.sizeBytes, 5);
  EXPECT_TRUE(report.modifiedDate);
  const IndexCandidate& folder = byName.at("my");
  EXPECT_EQ(folder.itemType, IndexedItem::ItemType::folder);
  EXPECT_FALSE(folder.fileExtension);
  EXPECT_EQ(byName.at("Makefile").fileCategory, IndexedItem::FileCategory::other);
}

TEST_F(CatalogScannerTest, RulesApplyBelowTheChosenFolderOnly) {
  scratch_.file("work/build/inside.txt");
  scratch_.file("work/build/tmp/skipped.txt");
  ScanResult result = scanner_.scan(ScanDirectories{{}, {scratch_.path() + "/work/build", scratch_.path() + "/nope"}});
  ASSERT_EQ(result.files.size(), 1u);
  EXPECT_EQ(result.files[0].name, "inside");
  EXPECT_EQ(result.failedDirectories, std::vector<std::string>{scratch_.path() + "/nope"});
}

TEST_F(CatalogScannerTest, FoldersListedTwiceOrThroughLinksAreWalkedOnce) {
  scratch_.file("Documents/sub/a.txt");
  scratch_.file("Documents-old/b.txt");
  std::filesystem::create_directory_symlink(scratch_.path() + "/Documents", scratch_.path() + "/Docs");
  const std::string docs = scratch_.path() + "/Documents";
  ScanResult result = scanner_.scan(ScanDirectories{
      {}, {docs + "/sub", scratch_.path() + "/Documents-old", scratch_.path() + "/Docs", docs + "/", docs + "/sub"}});
  EXPECT_TRUE(result.failedDirectories.empty());
  EXPECT_EQ(scanned(result.files).size(), 3u);  // sub, sub/a.txt and b.txt, each once
  for (const IndexCandidate& c : result.files) EXPECT_EQ(c.canonicalPath.find("/Docs/"), std::string::npos);
}

// Links are never followed; one stands for its target only where a walk
// lists that target anyway, so nothing is listed twice or as a tiny file.
TEST_F(CatalogScannerTest, SymbolicLinksStandForTargetsInsideIndexedFolders) {
  const std::string docs = scratch_.dir("Documents");
  const std::string other = scratch_.dir("Other");
  scratch_.file("Documents/real.txt", "12345");
  scratch_.file("Documents/.hidden/key.txt");
  scratch_.file("Other/elsewhere.txt");
  scratch_.file("Outside/secret.txt");
  const std::map<std::string, std::string> links = {
      {"Documents/to-real.txt", docs + "/real.txt"},
      {"Documents/to-other.txt", other + "/elsewhere.txt"},
      {"Documents/to-outside.txt", scratch_.path() + "/Outside/secret.txt"},
      {"Documents/to-outside-dir", scratch_.path() + "/Outside"},
      {"Documents/to-hidden.txt", docs + "/.hidden/key.txt"},
      {"Documents/to-own-folder", docs},
      {"Documents/dangling.txt", scratch_.path() + "/nothing"},
  };
  for (const auto& [link, target] : links) std::filesystem::create_symlink(target, scratch_.path() + "/" + link);
  const ScanDirectories directories{{}, {docs, other}};
  std::map<std::string, testing::RandomTree::Entry> got = scanned(scanner_.scan(directories).files);
  const std::map<std::string, testing::RandomTree::Entry> expected = {{docs + "/real.txt", {false, 5}},
                                                                      {other + "/elsewhere.txt", {false, 1}}};
  EXPECT_EQ(got, expected);
  // An incremental look at a link finds its target or nothing.
  for (const auto& [link, target] : links) {
    PathExamination exam = scanner_.examine(scratch_.path() + "/" + link, directories, true);
    const bool listed = expected.count(target) != 0;
    EXPECT_EQ(exam.candidate.has_value(), listed) << link;
    if (exam.candidate) {
      EXPECT_EQ(exam.candidate->canonicalPath, target);
    }
    EXPECT_TRUE(exam.descendants.empty()) << link;
  }

  // Relative links, read as the kernel reads them: through a linked folder
  // "jump/../real.txt" is not Documents/real.txt.
  scratch_.file("Other/deep/x.txt");
  scratch_.file("Other/real.txt", "1234567");
  std::filesystem::create_directory(docs + "/sub");
  for (const auto& [link, target] : std::map<std::string, std::string>{{"Documents/sub/up.txt", "../real.txt"},
                                                                       {"Documents/same.txt", "./real.txt"},
                                                                       {"Documents/jump", other + "/deep"},
                                                                       {"Documents/trick.txt", "jump/../real.txt"}}) {
    std::filesystem::create_symlink(target, scratch_.path() + "/" + link);
  }
  got = scanned(scanner_.scan(directories).files);
  EXPECT_EQ(got, (std::map<std::string, testing::RandomTree::Entry>{{docs + "/real.txt", {false, 5}},
                                                                    {docs + "/sub", {true, 0}},
                                                                    {other + "/deep", {true, 0}},
                                                                    {other + "/deep/x.txt", {false, 1}},
                                                                    {other + "/elsewhere.txt", {false, 1}},
                                                                    {other + "/real.txt", {false, 7}}}));
}

TEST_F(CatalogScannerTest, FilesOfSandboxedApplicationsNameTheirOwner) {
  struct Case {
    const char* path;
    std::optional<std::string> owner;
  };
  const std::vector<Case> cases = {
      {"/home/u/.var/app/org.gimp.GIMP/config/gimprc", "org.gimp.GIMP"},
      {"/home/u/.local/share/flatpak/app/org.gnome.Maps/current/files/bin/maps", "org.gnome.Maps"},
      {"/var/lib/flatpak/app/com.spotify.Client/x86_64", "com.spotify.Client"},
      {"/snap/firefox/4259/usr/lib/firefox", "firefox"},
      {"/home/u/snap/firefox/common/cache", "firefox"},
      {"/home/u/.var/app/org.gimp.GIMP", std::nullopt},  // the application's own folder
      {"/home/u/.var/app", std::nullopt},
      {"/home/u/Documents/snap/notes.txt", std::nullopt},
      {"/home/user2/snap/firefox/x", std::nullopt},
      {"/var/lib/flatpak/runtime/org.gnome.Platform/x", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(owningApplicationIdentifier(c.path, "/home/u/"), c.owner) << c.path;

  scratch_.file("snap/spotify/common/song.ogg");
  for (const IndexCandidate& c : scanner_.scan(ScanDirectories{{}, {scratch_.path() + "/snap"}}).files) {
    EXPECT_EQ(c.parentBundleIdentifier, c.name == "spotify" ? std::nullopt : std::optional<std::string>("spotify"));
  }
}

TEST(CatalogScannerModelTest, SignatureTracksEveryCataloguedField) {
  IndexCandidate a;
  a.canonicalPath = "/a";
  a.name = "a";
  IndexCandidate b = a;
  b.canonicalPath = "/b";
  std::vector<IndexCandidate> apps, files = {b, a};
  std::vector<IndexCandidate> files2 = {a, b};
  const std::string base = CatalogScanner::signature(apps, files);
  EXPECT_EQ(base, CatalogScanner::signature(apps, files2));  // order-independent
  std::vector<std::function<void(IndexCandidate&)>> edits = {
      [](IndexCandidate& c) { c.name = "z"; },
      [](IndexCandidate& c) { c.sizeBytes = 1; },
      [](IndexCandidate& c) { c.modifiedDate = Date{} + std::chrono::seconds(1); },
      [](IndexCandidate& c) { c.createdDate = Date{}; },
      [](IndexCandidate& c) { c.itemType = IndexedItem::ItemType::folder; },
      [](IndexCandidate& c) { c.fileExtension = "x"; },
      [](IndexCandidate& c) { c.bundleIdentifier = "id"; },
      [](IndexCandidate& c) { c.version = "1"; },
      [](IndexCandidate& c) { c.domainPriority = 2; },
      [](IndexCandidate& c) { c.fileCategory = IndexedItem::FileCategory::code; },
  };
  for (auto& edit : edits) {
    std::vector<IndexCandidate> changed = {a, b};
    edit(changed[0]);
    EXPECT_NE(CatalogScanner::signature(apps, changed), base);
  }
  std::vector<IndexCandidate> fewer = {a};
  EXPECT_NE(CatalogScanner::signature(apps, fewer), base);
  // The same candidate as an app or as a file is a different snapshot.
  std::vector<IndexCandidate> asApps = {a, b}, none;
  EXPECT_NE(CatalogScanner::signature(asApps, none), base);
}

TEST(CatalogScannerModelTest, AppCopiesArePreferredByPriorityThenModificationInAStrictOrder) {
  auto app = [](const std::string& path, int64_t priority, std::optional<int> mtime) {
    IndexCandidate c;
    c.canonicalPath = path;
    c.itemType = IndexedItem::ItemType::app;
    c.bundleIdentifier = "com.example.Tool";
    c.domainPriority = priority;
    if (mtime) c.modifiedDate = Date{} + std::chrono::seconds(*mtime);
    return c;
  };
  // The higher priority wins, whichever comes first; at the same priority the
  // later modification; identical ones are not preferred.
  std::vector<IndexCandidate> apps = {app("/home/u/Applications/Tool.app", 2, 50), app("/Applications/Tool.app", 4, 1)};
  CatalogScanner::reduceApps(apps);
  EXPECT_EQ(apps, std::vector<IndexCandidate>{app("/Applications/Tool.app", 4, 1)});
  IndexCandidate older = app("/opt/a/Tool.app", 1, 10), newer = app("/opt/b/Tool.app", 1, 20);
  EXPECT_TRUE(newer.isPreferred(older));
  EXPECT_FALSE(older.isPreferred(newer));
  EXPECT_FALSE(older.isPreferred(older));
  // Preference is a strict order: never both ways.
  std::mt19937 rng(4);
  for (int i = 0; i < 500; ++i) {
    IndexCandidate x =
        app("/p/" + std::to_string(rng() % 3), rng() % 3, rng() % 2 ? std::optional<int>(rng() % 3) : std::nullopt);
    IndexCandidate y =
        app("/p/" + std::to_string(rng() % 3), rng() % 3, rng() % 2 ? std::optional<int>(rng() % 3) : std::nullopt);
    EXPECT_FALSE(x.isPreferred(y) && y.isPreferred(x));
  }
}

TEST(CatalogScannerModelTest, DomainPriorityFollowsLocation) {
  EXPECT_EQ(appDomainPriority("/System/Applications/Mail.app", "/home/u"), 5);
  EXPECT_EQ(appDomainPriority("/System/Cryptexes/App/System/Applications/Safari.app", "/home/u"), 5);
  EXPECT_EQ(appDomainPriority("/Applications/Utilities/Term.app", "/home/u"), 4);
  EXPECT_EQ(appDomainPriority("/System/Library/CoreServices/Finder.app", "/home/u"), 3);
  EXPECT_EQ(appDomainPriority("/home/u/Applications/Tool.app", "/home/u"), 2);
  EXPECT_EQ(appDomainPriority("/ApplicationsOld/Tool.app", "/home/u"), 1);
}

TEST_F(CatalogScannerTest, BundlesAndNestedBundles) {
  auto plist = [](const std::string& id, const std::string& name) {
    return "<plist><dict><key>CFBundleIdentifier</key><string>" + id + "</string><key>CFBundleName</key><string>" +
           name + "</string></dict></plist>";
  };
  std::string apps = scratch_.dir("Applications");
  scratch_.file("Applications/Xcode.app/Contents/Info.plist", plist("com.apple.dt.Xcode", "Xcode"));
  scratch_.file("Applications/Xcode.app/Contents/Applications/Instruments.app/Contents/Info.plist",
                plist("com.apple.Instruments", "Instruments"));
  scratch_.file("Applications/Xcode.app/Contents/Frameworks/Hidden.app/Contents/Info.plist", plist("h", "Hidden"));
  scratch_.file("Applications/Other.app/Contents/Info.plist", plist("com.example.Other", "Other"));
  scratch_.file("Applications/Other.app/Contents/Helper.app/Contents/Info.plist", plist("com.example.Helper", "H"));
  scratch_.file("Applications/Utilities/NoPlist.app/readme", "");
  ScanResult result = scanner_.scan(ScanDirectories{{apps}, {}});
  std::map<std::string, IndexCandidate> byName;
  for (const auto& c : result.apps) byName[c.name] = c;
  ASSERT_EQ(byName.size(), 4u) << ::testing::PrintToString(result.apps.size());
  EXPECT_EQ(byName.at("Instruments").parentBundleIdentifier, std::optional<std::string>("com.apple.dt.Xcode"));
  EXPECT_EQ(byName.count("Hidden"), 0u);
  EXPECT_EQ(byName.count("H"), 0u);
  EXPECT_TRUE(byName.count("NoPlist"));
  EXPECT_EQ(byName.at("Other").domainPriority, 2);  // below the home "Applications"
}

TEST_F(CatalogScannerTest, DesktopEntriesHonourPrecedenceAndHiding) {
  testing::FixedEntrySource source;
  source.dirs = {{scratch_.dir("user/applications"), 5}, {scratch_.dir("system/applications"), 3}};
  scratch_.file("system/applications/org.example.Editor.desktop", "Name=Editor\n");
  scratch_.file("user/applications/org.example.Editor.desktop", "Name=My Editor\n");
  scratch_.file("system/applications/org.example.Gone.desktop", "Name=Gone\n");
  scratch_.file("user/applications/org.example.Gone.desktop", "Name=Gone\nHidden=true\n");
  scratch_.file("system/applications/org.example.Quiet.desktop", "Name=Quiet\nNoDisplay=true\n");
  scratch_.file("system/applications/kde/org.example.Sub.desktop", "Name=Sub\n");
  scratch_.file("system/applications/broken.desktop", "garbage\n");
  CatalogScanner scanner(filter_, scratch_.path(), &source);
  ScanResult result = scanner.scan(ScanDirectories{});
  std::map<std::string, IndexCandidate> byId;
  for (const auto& c : result.apps) byId[*c.bundleIdentifier] = c;
  ASSERT_EQ(byId.size(), 2u);
  EXPECT_EQ(byId.at("org.example.Editor.desktop").name, "My Editor");
  EXPECT_EQ(byId.at("org.example.Editor.desktop").domainPriority, 5);
  EXPECT_EQ(byId.at("org.example.Editor.desktop").canonicalPath,
            scratch_.path() + "/user/applications/org.example.Editor.desktop");
  EXPECT_EQ(byId.at("kde-org.example.Sub.desktop").name, "Sub");
}

}  // namespace
}  // namespace pallix
