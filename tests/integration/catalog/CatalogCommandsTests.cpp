// `pallix folders` and `pallix index` as a user runs them, over real folders.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <set>

#include "PallixProcess.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

using testing::runPallix;

// The paths of the files and folders in the catalog of `home`.
std::set<std::string> cataloguedPaths(const std::string& home, std::optional<uid_t> uid = {}) {
  testing::ProcessResult listed = runPallix(home, {"catalog", "--json"}, uid);
  EXPECT_EQ(listed.exitCode, 0) << listed.err;
  std::set<std::string> paths;
  nlohmann::json items = nlohmann::json::parse(listed.out, nullptr, false);
  if (!items.is_array()) return paths;
  for (const auto& item : items) {
    if (item.value("itemTypeRaw", "") != "app") paths.insert(item.value("path", ""));
  }
  return paths;
}

// Root reads every folder, so an unreadable one needs the scan to run as
// someone else.
std::optional<uid_t> unprivilegedUser() {
  if (::geteuid() != 0) return ::geteuid();
  if (const struct passwd* nobody = ::getpwnam("nobody")) return nobody->pw_uid;
  return std::nullopt;
}

TEST(CatalogCommandsTest, AFolderThatCannotBeReadKeepsItsRecords) {
  std::optional<uid_t> uid = unprivilegedUser();
  if (!uid) GTEST_SKIP() << "running as root with no unprivileged user: no folder can be made unreadable";
  testing::TempDir home;
  const std::string docs = home.mkdir("Documents");
  home.write("Documents/top.txt", "1");
  home.write("Documents/private/inner.txt", "2");
  std::filesystem::path root(home.path());
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    ASSERT_EQ(::lchown(entry.path().c_str(), *uid, static_cast<gid_t>(-1)), 0);
  }
  ASSERT_EQ(::chown(home.path().c_str(), *uid, static_cast<gid_t>(-1)), 0);
  const std::optional<uid_t> runAs = ::geteuid() == 0 ? uid : std::nullopt;

  ASSERT_EQ(runPallix(home.path(), {"index"}, runAs).exitCode, 0);
  const std::set<std::string> all = {docs + "/top.txt", docs + "/private", docs + "/private/inner.txt"};
  EXPECT_EQ(cataloguedPaths(home.path(), runAs), all);

  ASSERT_EQ(::chmod((docs + "/private").c_str(), 0), 0);
  testing::ProcessResult unreadable = runPallix(home.path(), {"index"}, runAs);
  EXPECT_EQ(unreadable.exitCode, 0) << unreadable.err;
  EXPECT_EQ(cataloguedPaths(home.path(), runAs), all);

  ASSERT_EQ(::chmod((docs + "/private").c_str(), 0755), 0);
  std::filesystem::remove(docs + "/private/inner.txt");
  ASSERT_EQ(runPallix(home.path(), {"index"}, runAs).exitCode, 0);
  EXPECT_EQ(cataloguedPaths(home.path(), runAs), (std::set<std::string>{docs + "/top.txt", docs + "/private"}));
}

TEST(CatalogCommandsTest, DefaultLinkedAndNestedFoldersAreAddedAndWalkedOnce) {
  testing::TempDir home;
  const std::string docs = home.mkdir("Documents");
  home.write("Documents/a.txt", "a");
  home.write("Documents/inner/b.txt", "b");
  std::filesystem::create_directory_symlink(docs, home / "Docs");

  testing::ProcessResult added = runPallix(home.path(), {"folders", "add", docs});  // a default folder
  EXPECT_EQ(added.exitCode, 0) << added.err;
  EXPECT_NE(runPallix(home.path(), {"folders", "add", home / "Docs"}).exitCode, 0);  // the same one, through a link
  EXPECT_EQ(runPallix(home.path(), {"folders", "add", docs + "/inner"}).exitCode, 0);
  testing::ProcessResult listed = runPallix(home.path(), {"folders", "list", "--json"});
  nlohmann::json folders = nlohmann::json::parse(listed.out, nullptr, false);
  ASSERT_TRUE(folders.is_array()) << listed.out;
  EXPECT_EQ(folders.size(), 2u);

  ASSERT_EQ(runPallix(home.path(), {"index"}).exitCode, 0);
  EXPECT_EQ(cataloguedPaths(home.path()),
            (std::set<std::string>{docs + "/a.txt", docs + "/inner", docs + "/inner/b.txt"}));
}

}  // namespace
}  // namespace pallix
