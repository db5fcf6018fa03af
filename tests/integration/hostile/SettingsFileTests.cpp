// Settings that are not UTF-8 or nest deeply, through `pallix folders` and
// `pallix defaults`: bytes come back exactly, a deep file is refused with a
// message and kept.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "core/FileUtil.h"
#include "core/Strings.h"
#include "tests/integration/hostile/HostilePallix.h"

namespace pallix {
namespace {

using testing::HostileHome;

constexpr const char* kFoldersKey = "IndexingService.fileDirectories";

// Standard base64 with padding, as the settings file documents it.
std::string fromBase64(const std::string& text) {
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  uint32_t bits = 0;
  int count = 0;
  for (char c : text) {
    if (c == '=') break;
    bits = (bits << 6) | static_cast<uint32_t>(alphabet.find(c));
    if ((count += 6) >= 8) out += static_cast<char>((bits >> (count -= 8)) & 0xFF);
  }
  return out;
}

class SettingsFileTest : public ::testing::Test {
 protected:
  std::string settingsPath() const { return home.data() + "/UserDefaults.json"; }
  HostileHome home;
};

TEST_F(SettingsFileTest, AFolderWithALatin1NameIsAddedListedIndexedAndRemovedByItsOwnBytes) {
  const std::string folder = home.dir().mkdir("caf\xe9");
  home.dir().write("caf\xe9/kestrel.conf", "x");
  auto added = home.run({"folders", "add", folder});
  ASSERT_EQ(added.exitCode, 0) << added.err;
  EXPECT_NE(added.out.find("caf\\xe9"), std::string::npos) << added.out;  // escaped for the terminal

  // The file holds the bytes in the documented escaped form.
  auto stored = home.run({"defaults", "read", kFoldersKey, "--json"});
  ASSERT_EQ(stored.exitCode, 0) << stored.err;
  nlohmann::json value = nlohmann::json::parse(stored.out);
  ASSERT_TRUE(value.is_array()) << stored.out;
  ASSERT_EQ(value.size(), 1u) << stored.out;
  ASSERT_TRUE(value[0].is_object()) << stored.out;
  EXPECT_EQ(fromBase64(value[0].at("$bytes")), folder);

  auto indexed = home.run({"index"});
  ASSERT_EQ(indexed.exitCode, 0) << indexed.err;
  auto found = home.run({"files", "kestrel.conf"});
  ASSERT_EQ(found.exitCode, 0) << found.err;
  EXPECT_NE(found.out.find("caf\\xe9/kestrel.conf"), std::string::npos) << found.out;

  // JSON holds only UTF-8: the text shows U+FFFD, and "pathBytes" the exact bytes.
  auto listed = home.run({"folders", "list", "--json"});
  ASSERT_EQ(listed.exitCode, 0) << listed.err;
  nlohmann::json folders = nlohmann::json::parse(listed.out);
  ASSERT_EQ(folders.size(), 1u) << listed.out;
  EXPECT_EQ(fromHex(folders[0].at("pathBytes").get<std::string>()), folder);
  EXPECT_NE(folders[0].at("path").get<std::string>().find("caf\xef\xbf\xbd"), std::string::npos);
  auto foundJson = home.run({"files", "kestrel.conf", "--json"});
  ASSERT_EQ(foundJson.exitCode, 0) << foundJson.err;
  nlohmann::json files = nlohmann::json::parse(foundJson.out).at("files");
  ASSERT_EQ(files.size(), 1u) << foundJson.out;
  EXPECT_EQ(fromHex(files[0].at("pathBytes").get<std::string>()), folder + "/kestrel.conf");

  // Removing it matches the stored bytes with the given ones.
  auto removed = home.run({"folders", "remove", folder});
  ASSERT_EQ(removed.exitCode, 0) << removed.err;
  auto after = home.run({"defaults", "read", kFoldersKey, "--json"});
  EXPECT_EQ(nlohmann::json::parse(after.out), nlohmann::json::array()) << after.out;
}

TEST_F(SettingsFileTest, AForcedValueThatIsNotUtf8IsStoredAndReadBackExactly) {
  auto written = home.run({"defaults", "write", "--force", "Test.name", "caf\xe9"});
  ASSERT_EQ(written.exitCode, 0) << written.err;
  auto json = home.run({"defaults", "read", "Test.name", "--json"});
  ASSERT_EQ(json.exitCode, 0) << json.err;
  EXPECT_EQ(nlohmann::json::parse(json.out), (nlohmann::json{{"$bytes", "Y2Fm6Q=="}}));
  auto human = home.run({"defaults", "read", "Test.name"});
  EXPECT_EQ(human.out, "caf\\xe9\n");
  // Other writes keep it.
  ASSERT_EQ(home.run({"defaults", "write", "--force", "Test.other", "1"}).exitCode, 0);
  EXPECT_EQ(home.run({"defaults", "read", "Test.name", "--json"}).out, json.out);
}

TEST_F(SettingsFileTest, AKeyThatIsNotUtf8IsRefusedWithAMessage) {
  auto written = home.run({"defaults", "write", "--force", "Test.caf\xe9", "1"});
  ASSERT_NE(written.exitCode, -1);
  EXPECT_EQ(written.exitCode, 1);
  EXPECT_NE(written.err.find("not UTF-8"), std::string::npos) << written.err;
}

TEST_F(SettingsFileTest, ASettingsFileNested50000DeepIsRefusedWithAMessageAndKeptAsItIs) {
  const std::string deep = "{\"a\": " + std::string(50000, '[') + std::string(50000, ']') + "}\n";
  home.dir().write(".local/share/Pallix/UserDefaults.json", deep);
  auto index = home.run({"index"});
  ASSERT_NE(index.exitCode, -1);
  EXPECT_LT(index.exitCode, 128) << "pallix index crashed: " << index.err;
  EXPECT_NE(index.err.find("nests deeper than 64 levels"), std::string::npos) << index.err;
  auto write = home.run({"defaults", "write", "--force", "Test.key", "1"});
  ASSERT_NE(write.exitCode, -1);
  EXPECT_EQ(write.exitCode, 1) << write.err;
  EXPECT_NE(write.err.find("nests deeper than 64 levels"), std::string::npos) << write.err;
  auto read = home.run({"defaults", "read"});
  EXPECT_LT(read.exitCode, 128) << read.err;
  EXPECT_EQ(readFileToString(settingsPath()).valueOr(""), deep);
  EXPECT_FALSE(fileExists(settingsPath() + ".corrupt"));
}

}  // namespace
}  // namespace pallix
