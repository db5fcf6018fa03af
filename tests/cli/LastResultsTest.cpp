// `pallix open N`: the saved results and their activation through the
// search session, against a real catalog store and a recording workspace.
#include <gtest/gtest.h>

#include "app/search/CatalogSchema.h"
#include "app/search/SearchProviders.h"
#include "cli/ResultActivation.h"
#include "testing/RecordingWorkspace.h"
#include "testing/VirtualTime.h"
#include "tests/support/TempDir.h"

namespace pallix::cli {
namespace {

class LastResultsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto opened = PersistentStore::open(":memory:", catalogMigrationSteps());
    ASSERT_TRUE(opened.ok()) << opened.error().description();
    store = std::move(opened.value());
    catalog = std::make_unique<CatalogStore>(*store);
    session.setAppSearch(std::make_shared<CatalogAppSearchProvider>(*store));
    session.setWorkspace(workspace);
    IndexedItem app;
    app.itemTypeRaw = "app";
    app.path = "/usr/share/applications/calc.desktop";
    app.name = app.searchName = "calc";
    app.bundleIdentifier = "calc.desktop";
    ASSERT_TRUE(catalog->save(app).ok());
    IndexedItem file = IndexedItem::file("/home/u/README.FHS", "README", "fhs", 3, {}, {}, {}, {});
    ASSERT_TRUE(catalog->save(file).ok());
  }

  std::optional<Date> lastUsed(const std::string& path) { return catalog->fetchByPath(path).value()->lastUsed; }

  VirtualTimeEnvironment env;
  std::unique_ptr<PersistentStore> store;
  std::unique_ptr<CatalogStore> catalog;
  std::shared_ptr<RecordingWorkspace> workspace = std::make_shared<RecordingWorkspace>();
  ContentViewModel session{env.mainRunner(), env.makeRunner("search")};
};

TEST_F(LastResultsTest, SavedResultsRoundTrip) {
  testing::TempDir dir;
  DataDirectories dirs;
  dirs.cache = dir / "cache";
  EXPECT_FALSE(loadLastResults(dirs).ok());
  const std::vector<LastResult> saved = {{"app", "/a/x.desktop", "X", "x.desktop", ""},
                                         {"file", "/h/n\nl\xff.txt", "n\nl\xff.txt", "", "prefix"}};
  ASSERT_TRUE(saveLastResults(dirs, saved).ok());
  auto loaded = loadLastResults(dirs);
  ASSERT_TRUE(loaded.ok());
  ASSERT_EQ(loaded->size(), 2u);
  EXPECT_EQ((*loaded)[1].path, "/h/n\nl\xff.txt");  // Exact, although JSON holds only UTF-8.
  EXPECT_EQ((*loaded)[1].matchType, "prefix");
}

// Only launching an application records its last use in the catalog;
// reveals and files leave it alone.
TEST_F(LastResultsTest, ActivationOpensRevealsOrLaunchesAndOnlyLaunchingRecordsLastUse) {
  using Action = RecordingWorkspace::Action;
  env.advanceBy(std::chrono::hours(5));
  const LastResult app{"app", "/usr/share/applications/calc.desktop", "calc", "calc.desktop", ""};
  const LastResult file{"file", "/home/u/README.FHS", "README.FHS", "", "exact"};
  const struct {
    LastResult result;
    bool reveal;
    RecordingWorkspace::Request request;
  } cases[] = {
      {app, true, {Action::revealInFileManager, app.path, ""}},
      {file, false, {Action::openFile, file.path, ""}},
      {file, true, {Action::revealInFileManager, file.path, ""}},
      {app, false, {Action::launchApplication, app.path, "calc.desktop"}},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(activateLastResult(session, workspace, *catalog, c.result, c.reveal).ok()) << c.result.path;
    EXPECT_EQ(workspace->requests().back(), c.request) << c.result.path;
    const bool launched = c.request.action == Action::launchApplication;
    EXPECT_EQ(lastUsed(c.result.path), launched ? std::optional(env.clock().wallNow()) : std::nullopt) << c.result.path;
  }
  EXPECT_EQ(workspace->requests().size(), std::size(cases));
}

TEST_F(LastResultsTest, FailuresQuoteTheirCause) {
  const LastResult gone{"file", "/home/u/gone.txt", "gone.txt", "", ""};
  auto missing = activateLastResult(session, workspace, *catalog, gone, false);
  EXPECT_TRUE(testing::failsWith(missing, "no longer in the catalog"));
  EXPECT_TRUE(workspace->requests().empty());

  workspace->failWith(Error("LinuxWorkspace", 2, "no program for calc.desktop"));
  const LastResult app{"app", "/usr/share/applications/calc.desktop", "calc", "", ""};
  EXPECT_TRUE(
      testing::failsWith(activateLastResult(session, workspace, *catalog, app, false), "no program for calc.desktop"));
  EXPECT_FALSE(lastUsed(app.path).has_value());
}

}  // namespace
}  // namespace pallix::cli
