// Everything Pallix writes under its home is private (files 0600, folders
// 0700) although the user's umask is 022; files an older build left wider
// are tightened.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "core/FileUtil.h"
#include "tests/integration/hostile/HostilePallix.h"

namespace pallix {
namespace {

namespace fs = std::filesystem;
using testing::HostileHome;

// The children inherit this process's umask.
class Umask022 {
 public:
  Umask022() : previous_(::umask(022)) {}
  ~Umask022() { ::umask(previous_); }

 private:
  mode_t previous_;
};

// Every file and folder under `root` whose mode is not 0600 (files) or 0700
// (folders), with its mode.
std::vector<std::string> widerThanPrivate(const std::string& root) {
  std::vector<std::string> wide;
  std::error_code ec;
  if (!fs::exists(root, ec)) return wide;
  for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    struct stat st;
    if (::lstat(it->path().c_str(), &st) != 0 || S_ISLNK(st.st_mode)) continue;
    const mode_t wanted = S_ISDIR(st.st_mode) ? 0700 : 0600;
    if ((st.st_mode & 07777) != wanted) {
      char mode[8];
      std::snprintf(mode, sizeof(mode), "%04o", st.st_mode & 07777);
      wide.push_back(it->path().string() + " " + mode);
    }
  }
  return wide;
}

TEST(PermissionsTest, EverythingTheCommandsWriteIsPrivateUnderUmask022) {
  Umask022 umask;
  HostileHome home;
  const std::string docs = home.dir().mkdir("docs");
  home.dir().write("docs/garden.txt", "Notes about the garden and the roses.\n");
  home.dir().write(".local/share/applications/kestrel.desktop",
                   "[Desktop Entry]\nType=Application\nName=Kestrel\nExec=/bin/true\n");
  const std::string vcf = home.dir().write("incoming/people.vcf",
                                           "BEGIN:VCARD\nVERSION:3.0\nFN:Ada Lovelace\n"
                                           "TEL:+44 20 7946 0000\nEND:VCARD\n");
  ::chmod(vcf.c_str(), 0644);
  const std::string ics =
      home.dir().write("incoming/recurring.ics", *readFileToString(testing::testData() + "/calendar/recurring.ics"));
  ::chmod(ics.c_str(), 0644);

  for (const std::vector<std::string>& command : {
           std::vector<std::string>{"folders", "add", docs},
           std::vector<std::string>{"index"},
           std::vector<std::string>{"files", "garden"},
           std::vector<std::string>{"model", "install", testing::testData() + "/embeddings/tiny_bert"},
           std::vector<std::string>{"semantic", "index", "--folder", docs},
           std::vector<std::string>{"semantic", "search", "garden"},
           std::vector<std::string>{"calendar", "import", ics},
           std::vector<std::string>{"contacts", "import", vcf},
           std::vector<std::string>{"defaults", "write", "--force", "Test.key", "1"},
       }) {
    auto r = home.run(command);
    ASSERT_EQ(r.exitCode, 0) << "pallix " << command[0] << " " << (command.size() > 1 ? command[1] : "") << ": "
                             << r.err;
  }
  EXPECT_TRUE(fs::exists(home.data() + "/SemanticIndex.lock"));
  EXPECT_TRUE(fs::exists(home.data() + "/Calendars"));
  EXPECT_TRUE(fs::exists(home.data() + "/Models"));
  EXPECT_EQ(widerThanPrivate(home.data()), std::vector<std::string>{});
  EXPECT_EQ(widerThanPrivate(home / ".cache/Pallix"), std::vector<std::string>{});
}

TEST(PermissionsTest, FilesAnOlderBuildLeftWideAreMadePrivateWhenTheCatalogIsWritten) {
  Umask022 umask;
  HostileHome home;
  const std::string old = home.dir().write(".local/share/Pallix/Calendars/old.ics", "x");
  ::chmod(old.c_str(), 0644);
  ::chmod((home.data() + "/Calendars").c_str(), 0755);
  const std::string oldIndex = home.dir().write(".local/share/Pallix/FileChunks.mmap.lz", "x");
  ::chmod(oldIndex.c_str(), 0644);
  const std::string oldCache = home.dir().write(".cache/Pallix/router/compiled.bin", "x");
  ::chmod(oldCache.c_str(), 0644);
  auto r = home.run({"index"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(widerThanPrivate(home.data()), std::vector<std::string>{});
  EXPECT_EQ(widerThanPrivate(home / ".cache/Pallix"), std::vector<std::string>{});
}

TEST(PermissionsTest, AnAppLaunchedThroughPallixGetsTheUsersOwnUmask) {
  Umask022 umask;
  HostileHome home;
  const std::string probe = home / "launched-umask";
  home.dir().write(".local/share/applications/umask-probe.desktop",
                   "[Desktop Entry]\nType=Application\nName=Umask Probe\nExec=/bin/sh -c \"umask > " + probe + "\"\n");
  ASSERT_EQ(home.run({"index"}).exitCode, 0);
  auto launched = home.run({"search", "umask probe", "--open", "1"});
  ASSERT_EQ(launched.exitCode, 0) << launched.out << launched.err;
  ASSERT_TRUE(testing::pollUntil([&] { return readFileToString(probe).valueOr("").find('\n') != std::string::npos; }))
      << "the app did not run";
  EXPECT_EQ(readFileToString(probe).valueOr(""), "0022\n");
}

}  // namespace
}  // namespace pallix
