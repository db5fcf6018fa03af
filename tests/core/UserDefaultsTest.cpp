#include "core/UserDefaults.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "core/FileUtil.h"

namespace pallix {
namespace {

class UserDefaultsFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("pallix-defaults-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    path_ = (dir_ / "UserDefaults.json").string();
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  void writeRaw(const std::string& text) { std::ofstream(path_) << text; }

  std::filesystem::path dir_;
  std::string path_;
};

TEST_F(UserDefaultsFileTest, EveryTypeSurvivesAReload) {
  Date when = dateFromSecondsSince1970(1733400000.25);
  {
    UserDefaults d(path_);
    ASSERT_TRUE(d.set("b", true).ok());
    ASSERT_TRUE(d.set("i", int64_t{1} << 40).ok());
    ASSERT_TRUE(d.set("d", 2.5).ok());
    ASSERT_TRUE(d.set("s", "text").ok());
    ASSERT_TRUE(d.set("a", std::vector<std::string>{"x", "y"}).ok());
    ASSERT_TRUE(d.setDictionary("m", nlohmann::json{{"k", 1}, {"n", {{"deep", "v"}}}}).ok());
    ASSERT_TRUE(d.setDate("t", when).ok());
  }
  UserDefaults d(path_);
  EXPECT_FALSE(d.loadError().has_value());
  EXPECT_EQ(d.boolValue("b"), true);
  EXPECT_EQ(d.integerValue("i"), int64_t{1} << 40);
  EXPECT_EQ(d.doubleValue("d"), 2.5);
  EXPECT_EQ(d.stringValue("s"), "text");
  EXPECT_EQ(d.stringArrayValue("a"), (std::vector<std::string>{"x", "y"}));
  EXPECT_EQ(d.dictionaryValue("m")->at("n").at("deep"), "v");
  ASSERT_TRUE(d.dateValue("t").has_value());
  EXPECT_NEAR(secondsSince1970(*d.dateValue("t")), 1733400000.25, 1e-6);
}

TEST_F(UserDefaultsFileTest, TypedGettersRejectOtherTypes) {
  UserDefaults d(path_);
  ASSERT_TRUE(d.set("s", "true").ok());
  ASSERT_TRUE(d.set("d", 1.5).ok());
  ASSERT_TRUE(d.setRaw("mixed", nlohmann::json::array({"a", 1})).ok());
  ASSERT_TRUE(d.setDate("t", Date{}).ok());
  EXPECT_FALSE(d.boolValue("s").has_value());
  EXPECT_FALSE(d.integerValue("d").has_value());
  EXPECT_EQ(d.doubleValue("d"), 1.5);
  EXPECT_FALSE(d.stringArrayValue("mixed").has_value());
  EXPECT_FALSE(d.dictionaryValue("t").has_value());  // A date is not a dictionary.
  EXPECT_FALSE(d.dateValue("s").has_value());
  EXPECT_FALSE(d.stringValue("absent").has_value());
}

TEST_F(UserDefaultsFileTest, CorruptFileIsSetAsideAndTheStoreStartsFresh) {
  // Truncated JSON, a non-object, binary noise and an empty file.
  for (const char* garbage : {"{\"a\": tru", "[1,2,3]", "\x01\x02\xff noise", ""}) {
    writeRaw(garbage);
    UserDefaults d(path_);
    ASSERT_TRUE(d.loadError().has_value()) << garbage;
    EXPECT_NE(d.loadError()->description().find("start fresh"), std::string::npos);
    EXPECT_TRUE(d.keys().empty());
    EXPECT_TRUE(fileExists(path_ + ".corrupt"));
    // The store keeps working and rewrites a valid file.
    ASSERT_TRUE(d.set("k", int64_t{3}).ok());
    UserDefaults reloaded(path_);
    EXPECT_FALSE(reloaded.loadError().has_value());
    EXPECT_EQ(reloaded.integerValue("k"), 3);
    std::filesystem::remove(path_);
  }
}

TEST_F(UserDefaultsFileTest, RemoveAndWritesLeaveNoTemporaryFiles) {
  UserDefaults d(path_);
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(d.set(std::string("k").append(std::to_string(i)), int64_t{i}).ok());
  ASSERT_TRUE(d.remove("k3").ok());
  ASSERT_TRUE(d.remove("never-there").ok());
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
    (void)entry;
    ++files;
  }
  EXPECT_EQ(files, 1);
  UserDefaults reloaded(path_);
  EXPECT_FALSE(reloaded.contains("k3"));
  EXPECT_EQ(reloaded.keys().size(), 19u);
}

TEST(UserDefaultsMemoryTest, InMemoryStoreNeverTouchesDisk) {
  UserDefaults d;
  EXPECT_TRUE(d.path().empty());
  ASSERT_TRUE(d.set("x", false).ok());
  EXPECT_EQ(d.boolValue("x"), false);
}

}  // namespace
}  // namespace pallix
