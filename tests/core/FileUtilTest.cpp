// Reading files Pallix did not write: FIFOs, devices, folders and files past
// their reader's bound are refused at once, never read.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>

#include "core/FileUtil.h"
#include "core/Strings.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

using std::chrono::seconds;

// Runs `read` on another thread so a read that blocks fails the test instead
// of hanging it; the thread is left behind only in that failing case.
template <typename Read>
auto withinSeconds(Read read) {
  auto future = std::async(std::launch::async, read);
  EXPECT_EQ(future.wait_for(seconds(5)), std::future_status::ready) << "the read blocked";
  if (future.wait_for(seconds(0)) != std::future_status::ready) std::abort();
  return future.get();
}

class FileUtilReadTest : public ::testing::Test {
 protected:
  testing::TempDir dir_;
};

TEST_F(FileUtilReadTest, AFifoIsRefusedWithoutWaitingForAWriter) {
  const std::string fifo = dir_ / "x.desktop";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  auto read = withinSeconds([&] { return readFileToString(fifo); });
  ASSERT_FALSE(read.ok());
  EXPECT_TRUE(isFileError(read.error(), FileErrorCode::notRegularFile));
  EXPECT_NE(read.error().description().find("is a FIFO"), std::string::npos) << read.error().description();
  EXPECT_NE(read.error().description().find(fifo), std::string::npos);
}

TEST_F(FileUtilReadTest, ALinkToAnEndlessDeviceIsRefusedBeforeReadingAByte) {
  const std::string link = dir_ / "zero.desktop";
  std::filesystem::create_symlink("/dev/zero", link);
  auto read = withinSeconds([&] { return readRegularFile(link, 1 << 20); });
  ASSERT_FALSE(read.ok());
  EXPECT_TRUE(isFileError(read.error(), FileErrorCode::notRegularFile));
  EXPECT_NE(read.error().description().find("character device"), std::string::npos);
}

TEST_F(FileUtilReadTest, AFolderIsRefusedAsNotARegularFile) {
  auto read = readFileToString(dir_.path());
  ASSERT_FALSE(read.ok());
  EXPECT_TRUE(isFileError(read.error(), FileErrorCode::notRegularFile));
}

TEST_F(FileUtilReadTest, AFileLargerThanTheBoundIsRefusedAndOneAtTheBoundIsRead) {
  const std::string path = dir_.write("big.ics", std::string(1000, 'a'));
  auto refused = readRegularFile(path, 999);
  ASSERT_FALSE(refused.ok());
  EXPECT_TRUE(isFileError(refused.error(), FileErrorCode::tooLarge));
  EXPECT_NE(refused.error().description().find("999 bytes"), std::string::npos);
  auto read = readRegularFile(path, 1000);
  ASSERT_TRUE(read.ok());
  EXPECT_EQ(read.value(), std::string(1000, 'a'));
}

TEST_F(FileUtilReadTest, AMissingFileIsAPosixErrorNamingThePath) {
  auto read = readFileToString(dir_ / "absent");
  ASSERT_FALSE(read.ok());
  EXPECT_EQ(read.error().domain(), "POSIX");
  EXPECT_EQ(read.error().code(), ENOENT);
}

TEST_F(FileUtilReadTest, TheOpenedRegularFileReadsBlockingAgain) {
  const std::string path = dir_.write("entry.desktop", "[Desktop Entry]\n");
  auto fd = openRegularFile(path, O_RDONLY);
  ASSERT_TRUE(fd.ok());
  EXPECT_EQ(::fcntl(fd.value(), F_GETFL) & O_NONBLOCK, 0);
  EXPECT_NE(::fcntl(fd.value(), F_GETFD) & FD_CLOEXEC, 0);
  ::close(fd.value());
}

TEST_F(FileUtilReadTest, DatabaseCheckRefusesASpecialFileInPlaceOfTheStoreOrItsJournal) {
  const std::string store = dir_ / "Pallix.sqlite";
  EXPECT_TRUE(checkDatabaseFiles(store).ok());  // nothing there yet
  dir_.write("Pallix.sqlite", "");
  EXPECT_TRUE(checkDatabaseFiles(store).ok());
  ASSERT_EQ(::mkfifo((store + "-wal").c_str(), 0600), 0);
  auto checked = checkDatabaseFiles(store);
  ASSERT_FALSE(checked.ok());
  EXPECT_NE(checked.error().description().find("Pallix.sqlite-wal is a FIFO"), std::string::npos);
}

TEST_F(FileUtilReadTest, TighteningMakesOldWideFilesAndFoldersPrivateAndLeavesLinkTargetsAlone) {
  const std::string outside = dir_.write("outside/shared.txt", "x");
  ::chmod(outside.c_str(), 0644);
  const std::string file = dir_.write("data/Calendars/work.ics", "x");
  ::chmod(file.c_str(), 0644);
  ::chmod((dir_ / "data/Calendars").c_str(), 0755);
  std::filesystem::create_symlink(outside, dir_ / "data/link");
  ASSERT_TRUE(tightenPermissions(dir_ / "data").ok());
  struct stat st;
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  ASSERT_EQ(::stat((dir_ / "data/Calendars").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  ASSERT_EQ(::stat(outside.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST(Utf8Test, WellFormedTextPassesAndEveryMalformedShapeFails) {
  EXPECT_TRUE(isValidUtf8(""));
  EXPECT_TRUE(isValidUtf8("café ✓ 𝄞"));
  EXPECT_FALSE(isValidUtf8("caf\xe9"));           // Latin-1
  EXPECT_FALSE(isValidUtf8("\xc3"));              // cut short
  EXPECT_FALSE(isValidUtf8("\xc0\xaf"));          // overlong
  EXPECT_FALSE(isValidUtf8("\xe0\x80\xaf"));      // overlong, three bytes
  EXPECT_FALSE(isValidUtf8("\xed\xa0\x80"));      // a surrogate
  EXPECT_FALSE(isValidUtf8("\xf4\x90\x80\x80"));  // above U+10FFFF
  EXPECT_FALSE(isValidUtf8("\xff\n"));
  EXPECT_FALSE(isValidUtf8("\xe2\x9c"));  // a three-byte character cut after two
}

}  // namespace
}  // namespace pallix
