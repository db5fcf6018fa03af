// `pallix model download`, `cancel`, `list` and `remove bge-m3` as child
// processes against a model download server on 127.0.0.1: a real zip archive
// unpacked by /usr/bin/unzip, a 404, an archive holding another folder, and
// a download cancelled from a second process, a published digest checked,
// an archive whose extraction fails part-way, a second download refused, and
// a downloaded multilingual model chosen with `model use` and searched with.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "app/platform/linux/ChildProcess.h"
#include "core/ContentDigest.h"
#include "testing/TestProcess.h"
#include "tests/integration/sources/LocalHttpServer.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

using namespace std::chrono_literals;
using testing::LocalHttpServer;
using Reply = LocalHttpServer::Reply;

class ModelDownloadCliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists("/usr/bin/unzip")) GTEST_SKIP() << "/usr/bin/unzip is missing (Debian package unzip)";
    if (findInPath("python3").empty()) GTEST_SKIP() << "python3 is needed to write the test archive";
  }
  // A zip archive holding `folder` with a model's files, written by Python's
  // zipfile. `corrupt`: one byte of the stored tensors is flipped, so unzip
  // writes every file and then fails on the checksum.
  std::string archive(const std::string& folder, bool corrupt = false) {
    const std::string path = scratch / (folder + ".zip");
    auto r = testing::runProcess({"python3", "-c",
                                  "import json, struct, sys, zipfile\n"
                                  "header = json.dumps({'w': {'dtype': 'F32', 'shape': [64], "
                                  "'data_offsets': [0, 256]}}).encode()\n"
                                  "tensors = struct.pack('<Q', len(header)) + header + bytes(range(256))\n"
                                  "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
                                  "  z.writestr(sys.argv[2] + '/config.json', '{}')\n"
                                  "  z.writestr(sys.argv[2] + '/sentencepiece.bpe.model', 'tokenizer')\n"
                                  "  z.writestr(sys.argv[2] + '/model.safetensors', tensors)\n"
                                  "if sys.argv[3] == '1':\n"
                                  "  data = bytearray(open(sys.argv[1], 'rb').read())\n"
                                  "  data[data.find(bytes(range(100, 120)))] ^= 0xff\n"
                                  "  open(sys.argv[1], 'wb').write(data)\n",
                                  path, folder, corrupt ? "1" : "0"},
                                 {});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::ifstream in(path, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
  }
  // Serves the archive, and its digest when `published` is given.
  void serve(Reply reply, std::optional<std::string> published = std::nullopt) {
    server = std::make_unique<LocalHttpServer>([reply, published](const LocalHttpServer::Request& request) {
      if (published && request.target == "/pallix/models/bge_m3.mlpackage.zip.sha256") {
        return Reply{200, *published + "  bge_m3.mlpackage.zip\n"};
      }
      return request.target == "/pallix/models/bge_m3.mlpackage.zip" ? reply : Reply{404, "not here"};
    });
    ASSERT_TRUE(server->running());
    const std::string data = home.path() + "/.local/share/Pallix";
    std::filesystem::create_directories(data);
    std::ofstream(data + "/UserDefaults.json")
        << nlohmann::json{{"ModelDownloadManager.baseURL", server->baseURL()}}.dump();
  }
  std::map<std::string, std::string> environment() const {
    return {{"PALLIX_HOME", home.path()}, {"PALLIX_LOG", "off"}};
  }
  testing::ProcessResult pallix(std::vector<std::string> args) {
    args.insert(args.begin(), PALLIX_BINARY);
    return testing::runProcess(args, environment(), 60s);
  }
  nlohmann::json downloadState() {
    auto listed = nlohmann::json::parse(pallix({"model", "list", "--json"}).out, nullptr, false);
    return listed.is_discarded() ? nlohmann::json() : listed["downloadStates"]["bge-m3"];
  }
  std::string models() const { return home.path() + "/.local/share/Pallix/Models"; }

  pallix::testing::TempDir home;
  pallix::testing::TempDir scratchDir;
  std::filesystem::path scratch = scratchDir.path();
  std::unique_ptr<LocalHttpServer> server;
};

TEST_F(ModelDownloadCliTest, DownloadsUnpacksListsAndRemoves) {
  serve(Reply{200, archive("bge_m3.mlpackage"), false, "application/zip"});
  auto r = pallix({"model", "download", "bge-m3"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(std::filesystem::exists(models() + "/bge_m3.mlpackage/model.safetensors"));
  EXPECT_EQ(downloadState()["state"], "downloaded");
  EXPECT_EQ(pallix({"model", "remove", "bge-m3"}).exitCode, 0);
  EXPECT_FALSE(std::filesystem::exists(models() + "/bge_m3.mlpackage"));
  EXPECT_EQ(downloadState()["state"], "notDownloaded");
}

TEST_F(ModelDownloadCliTest, FailuresSayWhatWentWrong) {
  struct Case {
    const char* name;
    Reply reply;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"404", Reply{404, "missing"}, "Server returned status 404"},
      {"another folder", Reply{200, archive("bge-m3-v2"), false, "application/zip"},
       "Model extraction failed - file not found after extraction"},
      {"not a zip", Reply{200, "plain text", false, "text/plain"}, "Failed to extract model (exit code 9)"},
  };
  for (const Case& c : cases) {
    serve(c.reply);
    auto r = pallix({"model", "download", "bge-m3"});
    EXPECT_EQ(r.exitCode, 1) << c.name;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.name << ": " << r.err;
    auto state = downloadState();
    EXPECT_EQ(state["state"], "failed") << c.name;
    EXPECT_EQ(state["message"], c.message) << c.name;
  }
}

TEST_F(ModelDownloadCliTest, APublishedDigestIsChecked) {
  const std::string zip = archive("bge_m3.mlpackage");
  serve(Reply{200, zip, false, "application/zip"}, std::string(64, '0'));
  auto r = pallix({"model", "download", "bge-m3"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("The downloaded model is damaged: its SHA-256 is " + sha256Hex(zip)), std::string::npos)
      << r.err;
  EXPECT_FALSE(std::filesystem::exists(models() + "/bge_m3.mlpackage"));

  serve(Reply{200, zip, false, "application/zip"}, sha256Hex(zip));
  r = pallix({"model", "download", "bge-m3"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(std::filesystem::exists(models() + "/bge_m3.mlpackage/model.safetensors"));
}

TEST_F(ModelDownloadCliTest, ASecondProcessCancelsTheDownload) {
  serve(Reply{200, "", true});
  testing::BackgroundProcess downloader({PALLIX_BINARY, "model", "download", "bge-m3"}, environment());
  EXPECT_TRUE(testing::pollUntil([&] { return downloadState()["state"] == "downloading"; }, 20s, 20ms));
  auto cancel = pallix({"model", "cancel"});
  EXPECT_EQ(cancel.exitCode, 0) << cancel.err;
  EXPECT_EQ(downloader.waitForExit(20s), 1) << "the downloading process did not stop";
  EXPECT_EQ(downloadState()["state"], "notDownloaded");
  EXPECT_EQ(pallix({"model", "cancel"}).exitCode, 1) << "nothing left to cancel";
}

// unzip writes the package and then fails on a damaged entry (as it does on
// a full disk): the download failed, `list` says so, and it can be retried.
TEST_F(ModelDownloadCliTest, AFailedExtractionIsNotDownloadedAndCanBeRetried) {
  serve(Reply{200, archive("bge_m3.mlpackage", /*corrupt=*/true), false, "application/zip"});
  auto r = pallix({"model", "download", "bge-m3"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("Failed to extract model (exit code 2)"), std::string::npos) << r.err;
  EXPECT_EQ(downloadState()["state"], "failed");
  EXPECT_FALSE(std::filesystem::exists(models() + "/bge_m3.mlpackage"));

  serve(Reply{200, archive("bge_m3.mlpackage"), false, "application/zip"});
  r = pallix({"model", "download", "bge-m3"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out.find("already downloaded"), std::string::npos) << r.out;
  EXPECT_EQ(downloadState()["state"], "downloaded");
  r = pallix({"model", "download", "bge-m3"});
  EXPECT_NE(r.out.find("bge-m3 is already downloaded"), std::string::npos) << r.out;
}

TEST_F(ModelDownloadCliTest, ASecondDownloadIsRefusedWhileTheFirstRuns) {
  serve(Reply{200, "", true});
  testing::BackgroundProcess downloader({PALLIX_BINARY, "model", "download", "bge-m3"}, environment());
  ASSERT_TRUE(testing::pollUntil([&] { return downloadState()["state"] == "downloading"; }, 20s, 20ms));
  auto second = pallix({"model", "download", "bge-m3"});
  EXPECT_EQ(second.exitCode, 1);
  EXPECT_NE(second.err.find("bge-m3 is already being downloaded by process"), std::string::npos) << second.err;
  EXPECT_EQ(downloadState()["state"], "downloading") << "the first download goes on";
  EXPECT_EQ(pallix({"model", "cancel"}).exitCode, 0);
  EXPECT_EQ(downloader.waitForExit(20s), 1);
}

// A small random-weight multilingual package (XLM-RoBERTa encoder, trained
// SentencePiece tokenizer) zipped as the server offers bge-m3.
std::string multilingualArchive(const std::filesystem::path& scratch) {
  const std::filesystem::path package = scratch / "m3" / "bge_m3.mlpackage";
  std::filesystem::create_directories(package);
  const std::string script = PALLIX_SOURCE_ROOT "/tests/embeddings/multilingual_reference.py";
  for (std::vector<std::string> args :
       {std::vector<std::string>{"tokenizer", package.string()},
        std::vector<std::string>{"encoder", package.string(), "cls", "11", "-", "1000", "520"}}) {
    args.insert(args.begin(), {"/usr/bin/python3", script});
    auto r = testing::runProcess(args, {});
    EXPECT_EQ(r.exitCode, 0) << r.err << " (needs python3-sentencepiece and python3-numpy)";
  }
  const std::string zip = (scratch / "m3.zip").string();
  auto r = testing::runProcess({"/usr/bin/python3", "-c",
                                "import os, sys, zipfile\n"
                                "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
                                "  for name in ('config.json', 'model.safetensors', 'sentencepiece.bpe.model'):\n"
                                "    z.write(os.path.join(sys.argv[2], name), 'bge_m3.mlpackage/' + name)\n",
                                zip, package.string()},
                               {});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  std::ifstream in(zip, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

TEST_F(ModelDownloadCliTest, ADownloadedMultilingualModelIsUsedForSemanticSearch) {
  auto refused = pallix({"model", "use", "bge-m3"});
  EXPECT_EQ(refused.exitCode, 3);
  EXPECT_NE(refused.err.find("bge-m3 is not downloaded"), std::string::npos) << refused.err;

  serve(Reply{200, multilingualArchive(scratch), false, "application/zip"});
  auto downloaded = pallix({"model", "download", "bge-m3"});
  ASSERT_EQ(downloaded.exitCode, 0) << downloaded.err;
  auto status = [&] { return nlohmann::json::parse(pallix({"semantic", "status", "--json"}).out, nullptr, false); };
  EXPECT_EQ(status()["modelInstalled"], false) << "bge-small, the default, is not installed here";

  auto used = pallix({"model", "use", "bge-m3"});
  ASSERT_EQ(used.exitCode, 0) << used.err;
  EXPECT_NE(used.out.find("Semantic search now uses bge-m3"), std::string::npos) << used.out;
  const nlohmann::json listed = nlohmann::json::parse(pallix({"model", "list", "--json"}).out);
  EXPECT_EQ(listed["selectedModel"], "bge-m3");
  ASSERT_EQ(listed["models"].size(), 1u) << listed.dump();
  EXPECT_EQ(listed["models"][0]["name"], "bge_m3.mlpackage");
  EXPECT_EQ(listed["models"][0]["loads"], true) << listed.dump();
  EXPECT_EQ(listed["models"][0]["dimension"], 32);
  EXPECT_EQ(status()["modelInstalled"], true);

  const std::string docs = scratch / "docs";
  std::filesystem::create_directories(docs);
  std::ofstream(docs + "/reunion.txt")
      << "Les notes de la réunion de la semaine dernière sont dans le dossier partagé.";
  std::ofstream(docs + "/fox.txt") << "Быстрая коричневая лиса прыгает через ленивую собаку.";
  auto indexed = pallix({"semantic", "index", "--folder", docs});
  ASSERT_EQ(indexed.exitCode, 0) << indexed.err;
  EXPECT_EQ(status()["files"]["chunkCount"], 2) << status().dump();
  auto found = pallix({"semantic", "search", "Быстрая коричневая лиса прыгает через ленивую собаку."});
  ASSERT_EQ(found.exitCode, 0) << found.err;
  EXPECT_NE(found.out.find("fox.txt"), std::string::npos) << found.out;
  const auto first = found.out.find("fox.txt"), other = found.out.find("reunion.txt");
  EXPECT_TRUE(other == std::string::npos || first < other) << "the identical text ranks first: " << found.out;

  EXPECT_EQ(pallix({"model", "use", "bge-small"}).exitCode, 0);
  EXPECT_EQ(status()["modelInstalled"], false);
}

}  // namespace
}  // namespace pallix
