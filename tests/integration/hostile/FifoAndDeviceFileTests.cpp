// Special files wherever Pallix reads: each command ends promptly, says what
// it refused, and still does the rest of its work.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "tests/integration/hostile/HostilePallix.h"

namespace pallix {
namespace {

namespace fs = std::filesystem;
using testing::HostileHome;

constexpr const char* kEntry = "[Desktop Entry]\nType=Application\nName=Kestrel Notes\nExec=/bin/true\n";

bool finished(const testing::ProcessResult& r) {
  return r.exitCode != -1;
}

class SpecialFilesTest : public ::testing::Test {
 protected:
  HostileHome home;
};

TEST_F(SpecialFilesTest, AFifoAndALinkToDevZeroAmongDesktopEntriesDoNotStopTheScan) {
  home.dir().write(".local/share/applications/kestrel.desktop", kEntry);
  home.fifo(".local/share/applications/x.desktop");
  fs::create_symlink("/dev/zero", home.applications() + "/zero.desktop");
  auto indexed = home.run({"index"});
  ASSERT_TRUE(finished(indexed)) << "pallix index hung on a special desktop entry";
  EXPECT_EQ(indexed.exitCode, 0) << indexed.err;
  EXPECT_NE(indexed.err.find("x.desktop is a FIFO"), std::string::npos) << indexed.err;
  EXPECT_NE(indexed.err.find("zero.desktop is a character device"), std::string::npos) << indexed.err;
  auto found = home.run({"search", "kestrel notes", "--json"});
  ASSERT_TRUE(finished(found));
  EXPECT_NE(found.out.find("Kestrel Notes"), std::string::npos) << found.out << found.err;
}

TEST_F(SpecialFilesTest, FifosAndDeviceLinksInAnIndexedFolderAreCataloguedByNameWithoutBeingRead) {
  home.dir().write("docs/kestrel.conf", "x");
  home.fifo("docs/.gitignore");
  home.fifo("docs/pipe.txt");
  fs::create_symlink("/dev/zero", home / "docs/zero.txt");
  ASSERT_EQ(home.run({"folders", "add", home / "docs"}).exitCode, 0);
  auto indexed = home.run({"index"});
  ASSERT_TRUE(finished(indexed)) << "pallix index hung on a special file in a folder";
  EXPECT_EQ(indexed.exitCode, 0) << indexed.err;
  auto found = home.run({"files", "kestrel.conf"});
  EXPECT_EQ(found.exitCode, 0) << found.err;
  EXPECT_NE(found.out.find("kestrel.conf"), std::string::npos) << found.out;
}

TEST_F(SpecialFilesTest, AFifoInPlaceOfTheCatalogIsNamedAndNothingWaitsForIt) {
  const std::string store = home.fifo(".local/share/Pallix/Pallix.sqlite");
  for (const std::vector<std::string>& command :
       {std::vector<std::string>{"files", "kestrel"}, std::vector<std::string>{"index"},
        std::vector<std::string>{"catalog"}}) {
    auto r = home.run(command);
    ASSERT_TRUE(finished(r)) << "pallix " << command[0] << " hung on a FIFO catalog";
    EXPECT_NE(r.exitCode, 0) << command[0];
    EXPECT_NE(r.err.find("is a FIFO, not a regular file"), std::string::npos) << command[0] << ": " << r.err;
  }
  struct stat st;
  ASSERT_EQ(::lstat(store.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "the FIFO is the user's; it stays";
}

TEST_F(SpecialFilesTest, AFifoAsTheCatalogsJournalIsRefusedToo) {
  home.dir().write("docs/a.txt", "x");
  ASSERT_EQ(home.run({"folders", "add", home / "docs"}).exitCode, 0);
  ASSERT_EQ(home.run({"index"}).exitCode, 0);
  home.fifo(".local/share/Pallix/Pallix.sqlite-wal");
  auto r = home.run({"files", "a.txt"});
  ASSERT_TRUE(finished(r)) << "pallix files hung on a FIFO journal";
  EXPECT_NE(r.err.find("Pallix.sqlite-wal is a FIFO"), std::string::npos) << r.err;
}

TEST_F(SpecialFilesTest, AFifoInPlaceOfTheSettingsIsNamedAndTheCommandsGoOn) {
  home.fifo(".local/share/Pallix/UserDefaults.json");
  auto prefs = home.run({"prefs"});
  ASSERT_TRUE(finished(prefs)) << "pallix prefs hung on a FIFO settings file";
  EXPECT_EQ(prefs.exitCode, 0);
  EXPECT_NE(prefs.err.find("UserDefaults.json is a FIFO"), std::string::npos) << prefs.err;
  auto write = home.run({"defaults", "write", "--force", "Test.key", "1"});
  ASSERT_TRUE(finished(write)) << "pallix defaults write hung on a FIFO settings file";
  EXPECT_EQ(write.exitCode, 1);
  EXPECT_NE(write.err.find("is a FIFO"), std::string::npos) << write.err;
  auto index = home.run({"index"});
  ASSERT_TRUE(finished(index)) << "pallix index hung on a FIFO settings file";
}

TEST_F(SpecialFilesTest, ImportingAFifoOrALinkToDevZeroAsACalendarOrContactsEndsWithAMessage) {
  const std::string fifoIcs = home.fifo("incoming/meetings.ics");
  const std::string zeroVcf = home / "incoming/people.vcf";
  fs::create_symlink("/dev/zero", zeroVcf);
  auto calendar = home.run({"calendar", "import", fifoIcs});
  ASSERT_TRUE(finished(calendar)) << "pallix calendar import hung on a FIFO";
  EXPECT_NE(calendar.exitCode, 0);
  EXPECT_NE(calendar.err.find("is a FIFO"), std::string::npos) << calendar.err;
  auto contacts = home.run({"contacts", "import", zeroVcf});
  ASSERT_TRUE(finished(contacts)) << "pallix contacts import read /dev/zero";
  EXPECT_NE(contacts.exitCode, 0);
  EXPECT_NE(contacts.err.find("character device"), std::string::npos) << contacts.err;
}

TEST_F(SpecialFilesTest, SpecialFilesInTheCalendarsAndContactsFoldersLeaveTheRealOnesReadable) {
  auto imported = home.run({"calendar", "import", testing::testData() + "/calendar/recurring.ics"});
  ASSERT_EQ(imported.exitCode, 0) << imported.err;
  home.fifo(".local/share/Pallix/Calendars/x.ics");
  fs::create_symlink("/dev/zero", home.data() + "/Calendars/zero.ics");
  home.fifo(".local/share/Pallix/Contacts/x.vcf");
  auto upcoming = home.run({"calendar", "upcoming", "--within", "3650d", "--json"});
  ASSERT_TRUE(finished(upcoming)) << "pallix calendar upcoming hung on a special file";
  auto contacts = home.run({"contacts", "list"});
  ASSERT_TRUE(finished(contacts)) << "pallix contacts list hung on a special file";
}

TEST_F(SpecialFilesTest, AFifoInPlaceOfTheSemanticStoreIsRefusedByEveryReader) {
  auto installed = home.run({"model", "install", testing::testData() + "/embeddings/tiny_bert"});
  ASSERT_EQ(installed.exitCode, 0) << installed.err;
  home.dir().write("docs/garden.txt", "Notes about the garden and the roses.\n");
  for (const std::vector<std::string>& command :
       {std::vector<std::string>{"semantic", "status"}, std::vector<std::string>{"semantic", "search", "garden"},
        std::vector<std::string>{"semantic", "index", "--folder", home / "docs"}}) {
    // A reader that recovers sets the damaged store aside: each command meets the FIFOs afresh.
    for (const char* store : {"FileChunks.mmap.lz", "FileChunks.hnsw"}) {
      fs::remove(home.data() + "/" + store);
      home.fifo(std::string(".local/share/Pallix/") + store);
    }
    auto r = home.run(command);
    ASSERT_TRUE(finished(r)) << "pallix semantic " << command[1] << " hung on a FIFO store";
    EXPECT_NE(r.err.find("is a FIFO"), std::string::npos) << command[1] << ": " << r.err;
  }
}

TEST_F(SpecialFilesTest, AFifoAmongTheDocumentsIsSkippedByTheSemanticIndexer) {
  auto installed = home.run({"model", "install", testing::testData() + "/embeddings/tiny_bert"});
  ASSERT_EQ(installed.exitCode, 0) << installed.err;
  home.dir().write("docs/garden.txt", "Notes about the garden and the roses.\n");
  home.fifo("docs/pipe.txt");
  fs::create_symlink("/dev/zero", home / "docs/zero.txt");
  auto indexed = home.run({"semantic", "index", "--folder", home / "docs"});
  ASSERT_TRUE(finished(indexed)) << "pallix semantic index hung on a FIFO document";
  EXPECT_EQ(indexed.exitCode, 0) << indexed.err;
  auto found = home.run({"semantic", "search", "roses in the garden", "--json"});
  ASSERT_TRUE(finished(found));
  EXPECT_NE(found.out.find("garden.txt"), std::string::npos) << found.out << found.err;
}

}  // namespace
}  // namespace pallix
