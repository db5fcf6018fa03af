#include <gtest/gtest.h>

#include <random>

#include "CatalogTestSupport.h"
#include "app/search/AppBundleReader.h"

namespace pallix {
namespace {

const char* kInfoPlist = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict>
  <key>CFBundleIdentifier</key><string>com.example.Editor</string>
  <key>CFBundleName</key><string>Editor</string>
  <key>CFBundleDisplayName</key><string>Editor Pro</string>
  <key>CFBundleShortVersionString</key><string>2.1</string>
  <key>CFBundleVersion</key><string>2100</string>
</dict></plist>)";

TEST(AppBundleReaderTest, ReadsContentsOrFlatInfoPlist) {
  testing::TempDir scratch;
  scratch.file("Editor.app/Contents/Info.plist", kInfoPlist);
  auto info = readAppBundle(scratch.path() + "/Editor.app");
  ASSERT_TRUE(info.ok()) << info.error().description();
  EXPECT_EQ(info->bundleIdentifier, std::optional<std::string>("com.example.Editor"));
  EXPECT_EQ(info->nameForBundleAt(scratch.path() + "/Editor.app"), "Editor Pro");
  EXPECT_EQ(info->shortVersionString, std::optional<std::string>("2.1"));
  EXPECT_EQ(info->bundleVersion, std::optional<std::string>("2100"));

  scratch.file("Flat.app/Info.plist",
               "<plist><dict><key>CFBundleName</key><string>Flat</string><key>CFBundleIdentifier</key>"
               "<integer>5</integer></dict></plist>");
  auto flat = readAppBundle(scratch.path() + "/Flat.app");
  ASSERT_TRUE(flat.ok());
  EXPECT_FALSE(flat->bundleIdentifier);  // not a string
  EXPECT_EQ(flat->nameForBundleAt(scratch.path() + "/Flat.app"), "Flat");
  EXPECT_EQ(AppBundleInfo{}.nameForBundleAt("/Applications/Some Tool.app/"), "Some Tool");
}

TEST(AppBundleReaderTest, CorruptPlistsFailWithAMessage) {
  EXPECT_FALSE(parseInfoPlist("", "x").ok());
  EXPECT_TRUE(testing::failsWith(parseInfoPlist("<plist><array><string>a</string></array></plist>", "/p/Info.plist"),
                                 "/p/Info.plist"));
  EXPECT_FALSE(readAppBundle("/nonexistent/None.app").ok());
  // Truncations and byte flips of a valid plist, XML and binary-looking.
  std::mt19937 rng(9);
  std::string valid = kInfoPlist;
  for (int round = 0; round < 300; ++round) {
    std::string data = valid.substr(0, rng() % valid.size());
    if (round % 2) {
      data = valid;
      for (int i = 0; i < 5; ++i) data[rng() % data.size()] = static_cast<char>(rng());
    }
    if (round % 7 == 0) data = "bplist00" + data;
    auto parsed = parseInfoPlist(data, "fuzz");
    if (parsed.ok()) SUCCEED();
  }
}

}  // namespace
}  // namespace pallix
