#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>

#include "core/FileUtil.h"
#include "core/UserDefaults.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

class UserDefaultsFileTest : public ::testing::Test {
 protected:
  void writeRaw(const std::string& text) { std::ofstream(path_) << text; }

  testing::TempDir dir_;
  std::string path_ = dir_ / "UserDefaults.json";
};

TEST_F(UserDefaultsFileTest, EveryTypeSurvivesAReloadAndGettersRejectOtherTypes) {
  Date when = dateFromSecondsSince1970(1733400000.25);
  {
    UserDefaults d(path_);
    ASSERT_TRUE(d.set("b", true).ok());
    ASSERT_TRUE(d.set("i", int64_t{1} << 40).ok());
    ASSERT_TRUE(d.set("d", 2.5).ok());
    ASSERT_TRUE(d.set("s", "true").ok());
    ASSERT_TRUE(d.set("a", std::vector<std::string>{"x", "y"}).ok());
    ASSERT_TRUE(d.setDictionary("m", nlohmann::json{{"k", 1}, {"n", {{"deep", "v"}}}}).ok());
    ASSERT_TRUE(d.setDate("t", when).ok());
    ASSERT_TRUE(d.setRaw("mixed", nlohmann::json::array({"a", 1})).ok());
  }
  UserDefaults d(path_);
  EXPECT_FALSE(d.loadError().has_value());
  EXPECT_EQ(d.boolValue("b"), true);
  EXPECT_EQ(d.integerValue("i"), int64_t{1} << 40);
  EXPECT_EQ(d.doubleValue("d"), 2.5);
  EXPECT_EQ(d.stringValue("s"), "true");
  EXPECT_EQ(d.stringArrayValue("a"), (std::vector<std::string>{"x", "y"}));
  EXPECT_EQ(d.dictionaryValue("m")->at("n").at("deep"), "v");
  ASSERT_TRUE(d.dateValue("t").has_value());
  EXPECT_NEAR(secondsSince1970(*d.dateValue("t")), 1733400000.25, 1e-6);
  // The typed getters reject values of other types.
  EXPECT_FALSE(d.boolValue("s").has_value());
  EXPECT_FALSE(d.integerValue("d").has_value());
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

// Two stores over one file stand for two processes: each write changes only
// its own key, so the file always matches a model of every write so far; and
// the writes and removals leave no temporary file behind.
TEST_F(UserDefaultsFileTest, TwoStoresOverOneFileMatchAModelOfEveryWriteAndLeaveNoTemporaryFiles) {
  UserDefaults first(path_);
  UserDefaults second(path_);
  std::map<std::string, int64_t> model;
  std::mt19937 random(7);
  for (int i = 0; i < 120; ++i) {
    UserDefaults& writer = random() % 2 ? first : second;
    std::string key = "k" + std::to_string(random() % 40);
    if (random() % 4 == 0) {
      ASSERT_TRUE(writer.remove(key).ok());
      model.erase(key);
    } else {
      ASSERT_TRUE(writer.set(key, int64_t{i}).ok());
      model[key] = i;
    }
  }
  UserDefaults reader(path_);
  std::map<std::string, int64_t> stored;
  for (const auto& key : reader.keys()) stored[key] = reader.integerValue(key).value_or(-1);
  EXPECT_EQ(stored, model);
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) files.push_back(entry.path().filename());
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{"UserDefaults.json", "UserDefaults.json.lock"}));
}

TEST_F(UserDefaultsFileTest, ReloadReportsWhatAnotherWriterChanged) {
  UserDefaults mine(path_);
  ASSERT_TRUE(mine.set("kept", "same").ok());
  ASSERT_TRUE(mine.set("changed", int64_t{1}).ok());
  ASSERT_TRUE(mine.set("removed", true).ok());
  UserDefaults other(path_);
  ASSERT_TRUE(other.set("changed", int64_t{2}).ok());
  ASSERT_TRUE(other.remove("removed").ok());
  ASSERT_TRUE(other.set("added", 0.5).ok());
  auto changed = mine.reload();
  ASSERT_TRUE(changed.ok());
  std::sort(changed.value().begin(), changed.value().end());
  EXPECT_EQ(changed.value(), (std::vector<std::string>{"added", "changed", "removed"}));
  EXPECT_EQ(mine.integerValue("changed"), 2);
  EXPECT_FALSE(mine.contains("removed"));
  EXPECT_TRUE(mine.reload().value().empty());

  // A file damaged in between keeps the known values, on reload and on write.
  writeRaw("{ not json");
  EXPECT_FALSE(mine.reload().ok());
  EXPECT_EQ(mine.stringValue("kept"), "same");
  ASSERT_TRUE(mine.set("after", true).ok());
  EXPECT_TRUE(fileExists(path_ + ".corrupt"));
  UserDefaults reloaded(path_);
  EXPECT_EQ(reloaded.stringValue("kept"), "same");
  EXPECT_EQ(reloaded.boolValue("after"), true);
}

// A write re-reads the file first and so takes in what another process
// changed meanwhile; the next reload still reports those keys, and never the
// process's own.
TEST_F(UserDefaultsFileTest, ReloadReportsWhatAWriteTookInButNotTheWritersOwnKeys) {
  UserDefaults mine(path_);
  ASSERT_TRUE(mine.set("gone", true).ok());
  ASSERT_TRUE(mine.set("contested", int64_t{1}).ok());
  UserDefaults other(path_);
  ASSERT_TRUE(other.set("theirs", "new").ok());
  ASSERT_TRUE(other.remove("gone").ok());
  ASSERT_TRUE(other.set("contested", int64_t{2}).ok());
  ASSERT_TRUE(mine.set("contested", int64_t{3}).ok());  // overwrites theirs
  ASSERT_TRUE(mine.set("own", int64_t{4}).ok());
  EXPECT_EQ(mine.stringValue("theirs"), "new");
  auto changed = mine.reload();
  ASSERT_TRUE(changed.ok());
  EXPECT_EQ(changed.value(), (std::vector<std::string>{"gone", "theirs"}));
  EXPECT_TRUE(mine.reload().value().empty());
  ASSERT_TRUE(mine.set("own", int64_t{5}).ok());
  EXPECT_TRUE(mine.reload().value().empty());
}

TEST_F(UserDefaultsFileTest, FilesAndFoldersArePrivateWhateverTheUmask) {
  const mode_t previous = ::umask(0);
  UserDefaults d(dir_ / "new/UserDefaults.json");
  Status written = d.set("k", true);
  ::umask(previous);
  ASSERT_TRUE(written.ok());
  auto mode = [](const std::string& p) { return std::filesystem::status(p).permissions(); };
  using std::filesystem::perms;
  EXPECT_EQ(mode(dir_ / "new"), perms::owner_all);
  EXPECT_EQ(mode(dir_ / "new/UserDefaults.json"), perms::owner_read | perms::owner_write);
  EXPECT_EQ(mode(dir_ / "new/UserDefaults.json.lock"), perms::owner_read | perms::owner_write);
}

TEST_F(UserDefaultsFileTest, TextThatIsNotUtf8RoundTripsByteForByteThroughTheFile) {
  const std::string latin1 = "/home/u/caf\xe9";
  const std::string cut = "\xe2\x9c";
  {
    UserDefaults d(path_);
    ASSERT_TRUE(d.set("folders", std::vector<std::string>{latin1, "/plain", cut}).ok());
    ASSERT_TRUE(d.set("name", latin1).ok());
    ASSERT_TRUE(d.setDictionary("nested", nlohmann::json{{"inner", {{"path", latin1}}}}).ok());
  }
  // The file is JSON that any reader parses.
  auto text = readFileToString(path_);
  ASSERT_TRUE(text.ok());
  nlohmann::json file = nlohmann::json::parse(text.value());
  EXPECT_EQ(file["name"], (nlohmann::json{{"$bytes", "L2hvbWUvdS9jYWbp"}}));
  EXPECT_EQ(file["folders"][1], "/plain");
  UserDefaults d(path_);
  EXPECT_FALSE(d.loadError().has_value());
  EXPECT_EQ(d.stringValue("name"), latin1);
  EXPECT_EQ(d.stringArrayValue("folders"), (std::vector<std::string>{latin1, "/plain", cut}));
  EXPECT_EQ(d.dictionaryValue("nested")->at("inner").at("path"), latin1);
  // A rewrite of another key keeps them.
  ASSERT_TRUE(d.set("other", true).ok());
  UserDefaults again(path_);
  EXPECT_EQ(again.stringValue("name"), latin1);
  EXPECT_EQ(UserDefaults::storedForm(nlohmann::json(latin1)).value(), file["name"]);
}

TEST_F(UserDefaultsFileTest, EveryByteValueRoundTrips) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  for (size_t length : {0u, 1u, 2u, 3u, 4u, 255u, 256u}) {
    const std::string value = all.substr(all.size() - length);
    ASSERT_TRUE(UserDefaults(path_).set("k", value).ok());
    EXPECT_EQ(UserDefaults(path_).stringValue("k"), value) << length;
  }
}

TEST_F(UserDefaultsFileTest, AKeyThatIsNotUtf8IsRefusedAndNothingChanges) {
  UserDefaults d(path_);
  ASSERT_TRUE(d.set("kept", int64_t{1}).ok());
  auto before = readFileToString(path_);
  Status refused = d.set("caf\xe9", "x");
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().code(), static_cast<int>(UserDefaultsErrorCode::keyNotUtf8));
  EXPECT_NE(refused.error().description().find("not UTF-8"), std::string::npos);
  EXPECT_FALSE(d.contains("caf\xe9"));
  EXPECT_EQ(readFileToString(path_).value(), before.value());
}

TEST_F(UserDefaultsFileTest, ADeeplyNestedFileIsRefusedWithAMessageAndLeftAsItIs) {
  const std::string deep = "{\"a\": " + std::string(50000, '[') + std::string(50000, ']') + "}";
  writeRaw(deep);
  UserDefaults d(path_);
  ASSERT_TRUE(d.loadError().has_value());
  EXPECT_EQ(d.loadError()->code(), static_cast<int>(UserDefaultsErrorCode::tooDeep));
  EXPECT_NE(d.loadError()->description().find("nests deeper than 64 levels"), std::string::npos);
  Status write = d.set("k", true);
  EXPECT_FALSE(write.ok());
  EXPECT_FALSE(d.reload().ok());
  EXPECT_EQ(readFileToString(path_).value(), deep);
  EXPECT_FALSE(fileExists(path_ + ".corrupt"));
}

TEST_F(UserDefaultsFileTest, NestingUpToTheBoundIsKeptAndBracketsInStringsDoNotCount) {
  // The top object and 63 arrays: 64 levels.
  const std::string atBound = "{\"a\": " + std::string(63, '[') + std::string(63, ']') + ", \"s\": \"[[[[{{{{\\\"\"}";
  writeRaw(atBound);
  UserDefaults d(path_);
  EXPECT_FALSE(d.loadError().has_value()) << d.loadError()->description();
  EXPECT_EQ(d.stringValue("s"), "[[[[{{{{\"");
  // One level more is refused by the setter, before it reaches the file.
  nlohmann::json value = nlohmann::json::array();
  for (int i = 0; i < 63; ++i) value = nlohmann::json::array({value});
  Status tooDeep = d.setRaw("deep", value);
  ASSERT_FALSE(tooDeep.ok());
  EXPECT_EQ(tooDeep.error().code(), static_cast<int>(UserDefaultsErrorCode::tooDeep));
  EXPECT_FALSE(d.contains("deep"));
}

TEST_F(UserDefaultsFileTest, AFifoInPlaceOfTheFileIsRefusedAtOnce) {
  ASSERT_EQ(::mkfifo(path_.c_str(), 0600), 0);
  UserDefaults d(path_);
  ASSERT_TRUE(d.loadError().has_value());
  EXPECT_NE(d.loadError()->description().find("FIFO"), std::string::npos);
  EXPECT_FALSE(d.set("k", true).ok());
}

// Random byte strings (mostly not UTF-8) and random nestings of them, written
// by two stores over one file, always read back as a model of the writes says.
TEST_F(UserDefaultsFileTest, RandomBytesInValuesMatchAModelAfterEveryReload) {
  std::mt19937 random(22);
  auto bytes = [&] {
    std::string out(random() % 12, '\0');
    for (char& c : out) c = static_cast<char>(random() % 256);
    return out;
  };
  UserDefaults first(path_);
  UserDefaults second(path_);
  std::map<std::string, nlohmann::json> model;
  for (int i = 0; i < 200; ++i) {
    const std::string key = "k" + std::to_string(random() % 25);
    nlohmann::json value = bytes();
    for (int depth = random() % 4; depth > 0; --depth) {
      value = random() % 2 ? nlohmann::json::array({value, bytes()}) : nlohmann::json{{"v", value}};
    }
    ASSERT_TRUE((random() % 2 ? first : second).setRaw(key, value).ok()) << i;
    model[key] = value;
    if (i % 20 == 0) {
      ASSERT_TRUE(first.reload().ok());
      ASSERT_TRUE(second.reload().ok());
    }
  }
  UserDefaults reader(path_);
  ASSERT_FALSE(reader.loadError().has_value());
  std::map<std::string, nlohmann::json> stored;
  for (const auto& key : reader.keys()) stored[key] = *reader.rawValue(key);
  EXPECT_TRUE(stored == model);
}

// Mutated settings files (bytes flipped, brackets inserted) never crash the
// reader: each one loads or is refused with a message.
TEST_F(UserDefaultsFileTest, MutatedFilesLoadOrAreRefusedWithAMessage) {
  std::mt19937 random(23);
  const std::string valid = R"({"a": [1, {"b": "c"}], "s": "x\u00e9", "d": {"$date": 5}, "y": {"$bytes": "/w=="}})";
  for (int i = 0; i < 300; ++i) {
    std::string text = valid;
    for (int edits = 1 + random() % 4; edits > 0; --edits) {
      const size_t at = random() % (text.size() + 1);
      switch (random() % 3) {
        case 0:
          if (at < text.size()) text[at] = static_cast<char>(random() % 256);
          break;
        case 1:
          text.insert(at, std::string(random() % 100, random() % 2 ? '[' : '{'));
          break;
        default:
          text.erase(at, random() % 5);
      }
    }
    std::filesystem::remove(path_ + ".corrupt");
    writeRaw(text);
    UserDefaults d(path_);
    if (d.loadError()) {
      EXPECT_FALSE(d.loadError()->description().empty());
    }
  }
}

}  // namespace
}  // namespace pallix
