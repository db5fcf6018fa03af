// The `pallix` front end as a user meets it: the light commands run in a
// program that loads only what they use; every other command, and a files
// query that opens its result, is handed to the full command set with its
// arguments unchanged; a front end without its commands says what to do.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "testing/TestProcess.h"
#include "tests/support/TempDir.h"

namespace pallix::testing {
namespace {

class FrontEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home.write("docs/kestrel.conf", "x");
    home.mkdir("system-data");
    // xdg-open as the desktop would run it: here it leaves a marker.
    home.write("bin/xdg-open", "#!/bin/sh\nprintf '%s' \"$1\" > \"" + (home / "opened") + "\"\n");
    ::chmod((home / "bin/xdg-open").c_str(), 0755);
    ASSERT_EQ(pallix({"folders", "add", home / "docs"}).exitCode, 0);
    ProcessResult indexed = pallix({"index"});
    ASSERT_EQ(indexed.exitCode, 0) << indexed.err;
  }
  std::map<std::string, std::string> environment() const {
    return {{"PALLIX_HOME", home.path()},
            {"PALLIX_LOG", "off"},
            {"XDG_DATA_DIRS", home / "system-data"},
            {"PATH", home / "bin" + ":/usr/bin:/bin"}};
  }
  ProcessResult pallix(std::vector<std::string> args, const std::string& binary = PALLIX_BINARY) const {
    args.insert(args.begin(), binary);
    return runProcess(args, environment());
  }

  TempDir home;
};

TEST_F(FrontEndTest, LightCommandsLoadNoDesktopNetworkOrModelLibraries) {
  // The dynamic loader lists what a program would load, without running it.
  auto env = environment();
  env["LD_TRACE_LOADED_OBJECTS"] = "1";
  ProcessResult listed = runProcess({PALLIX_BINARY, "--version"}, env);
  ASSERT_EQ(listed.exitCode, 0) << listed.err;
  EXPECT_NE(listed.out.find("libsqlite3"), std::string::npos) << listed.out;
  for (const char* heavy : {"libX11", "libxcb", "libcurl", "libical", "libgio", "libblas", "libopenblas", "libQt",
                            "libwordnet", "libncurses", "libxdo", "libssl"}) {
    EXPECT_EQ(listed.out.find(heavy), std::string::npos) << heavy << " is loaded by the front end:\n" << listed.out;
  }
}

TEST_F(FrontEndTest, TheFullCommandSetOpensBlasOnlyWhenAnEncoderRuns) {
  auto env = environment();
  env["LD_TRACE_LOADED_OBJECTS"] = "1";
  ProcessResult listed = runProcess({PALLIX_COMMANDS_BINARY, "--version"}, env);
  ASSERT_EQ(listed.exitCode, 0) << listed.err;
  EXPECT_NE(listed.out.find("libsqlite3"), std::string::npos) << listed.out;
  EXPECT_EQ(listed.out.find("blas"), std::string::npos) << listed.out;
}

TEST_F(FrontEndTest, EveryOtherCommandIsHandedOnUnchanged) {
  ProcessResult help = pallix({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  for (const char* command : {"daemon", "files", "calc", "clipboard", "semantic"}) {
    EXPECT_NE(help.out.find(std::string("  ") + command), std::string::npos) << command << " missing:\n" << help.out;
  }
  ProcessResult search = pallix({"search", "2+2", "--json"});
  ASSERT_EQ(search.exitCode, 0) << search.err;
  EXPECT_EQ(nlohmann::json::parse(search.out)["query"], "2+2");
  ProcessResult unknown = pallix({"frobnicate"});
  EXPECT_EQ(unknown.exitCode, 2);
  EXPECT_NE(unknown.err.find("unknown command \"frobnicate\""), std::string::npos) << unknown.err;
  EXPECT_NE(pallix({"calc", "--help"}).out.find("Usage: pallix calc"), std::string::npos);
}

TEST_F(FrontEndTest, OpeningAFilesResultReachesTheDesktop) {
  ProcessResult listed = pallix({"files", "kestrel.conf"});
  ASSERT_EQ(listed.exitCode, 0) << listed.err;
  ProcessResult opened = pallix({"files", "kestrel.conf", "--open", "1"});
  ASSERT_EQ(opened.exitCode, 0) << opened.err;
  const std::string marker = home / "opened";
  ASSERT_TRUE(pollUntil([&] { return std::filesystem::exists(marker); }, std::chrono::seconds(10)));
  std::ifstream in(marker);
  std::string target((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(target, home / "docs/kestrel.conf");
}

TEST_F(FrontEndTest, AFrontEndWithoutItsCommandsSaysWhatToDo) {
  const std::string lonely = home / "elsewhere/bin/pallix";
  std::filesystem::create_directories(home / "elsewhere/bin");
  std::filesystem::copy_file(PALLIX_BINARY, lonely);
  EXPECT_EQ(pallix({"--version"}, lonely).exitCode, 0) << "a light command needs nothing else";
  ProcessResult r = pallix({"daemon", "--help"}, lonely);
  EXPECT_EQ(r.exitCode, 3);
  EXPECT_NE(r.err.find("libexec/pallix-commands"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("setup.sh --install"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace pallix::testing
