// The model download manager over a fake HTTP client and a fake unzip in
// virtual time: states, signals, messages, cancellation (also from another
// process), deletion.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "SimilaritySearchKit/TransformerSafetensors.h"
#include "app/semantic/ModelDownloadManager.h"
#include "core/ContentDigest.h"
#include "tests/sources/SourcesTestSupport.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

using namespace testing_support;
using Kind = DownloadState::Kind;
using pallix::testing::TempDir;
namespace fs = std::filesystem;

std::string tensorBytes() {
  return SafetensorsFile::serialize({{"embeddings.weight", TensorData{{4, 2}, std::vector<float>(8, 0.5f)}}});
}

// Writes a model package into `folder`; model.safetensors keeps only its
// first `tensorLength` bytes when given (what a full disk leaves).
void writePackage(const fs::path& folder, std::optional<size_t> tensorLength = std::nullopt) {
  fs::create_directories(folder);
  std::ofstream(folder / "config.json") << R"({"model_type": "xlm-roberta"})";
  std::ofstream(folder / "sentencepiece.bpe.model") << "a tokenizer model";
  const std::string tensors = tensorBytes();
  std::ofstream(folder / "model.safetensors", std::ios::binary)
      << tensors.substr(0, tensorLength.value_or(tensors.size()));
}

// Plays /usr/bin/unzip: records the argv and creates what the archive would hold.
class FakeUnzip final : public CommandRunner {
 public:
  Status launchDetached(const std::vector<std::string>&, const LaunchOptions&) override { return okStatus(); }
  Result<CommandOutput> run(const std::vector<std::string>& argv, Duration) override {
    calls.push_back(argv);
    if (!folder.empty()) writePackage(argv.back() + "/" + folder, tensorLength);
    return CommandOutput{exitStatus, "", exitStatus == 50 ? "error: disk full" : ""};
  }
  std::optional<std::string> findExecutable(const std::string& p) const override { return p; }
  std::vector<std::vector<std::string>> calls;
  std::string folder = "bge_m3.mlpackage";
  std::optional<size_t> tensorLength;
  int exitStatus = 0;
};

class ModelDownloadManagerTest : public SourcesFixture {
 protected:
  std::unique_ptr<ModelDownloadManager> make(std::optional<std::string> base = "http://127.0.0.1:9") {
    auto m = std::make_unique<ModelDownloadManager>(ModelDownloadManager::Dependencies{
        models, base, http, unzip, env.mainRunner(), env.makeRunner("unzip"), static_cast<int>(::getpid())});
    m->setObserver([this](EmbeddingModel, const DownloadState& s) { states.push_back(s.kind); });
    return m;
  }
  std::vector<std::string> signals() {
    std::vector<std::string> out;
    for (const auto& n : telemetry.sink().names()) {
      if (n.rfind("Intelligence.model", 0) == 0) out.push_back(n);
    }
    return out;
  }
  TempDir home;
  std::string models = home / "Models";
  std::shared_ptr<FakeUnzip> unzip = std::make_shared<FakeUnzip>();
  std::vector<Kind> states;
};

TEST_F(ModelDownloadManagerTest, DownloadExtractsIntoTheModelsDirectory) {
  route(*http, {status(".sha256", 404), ok("/pallix/models/bge_m3.mlpackage.zip", "PK archive bytes")});
  auto manager = make();
  ASSERT_TRUE(manager->downloadModel(EmbeddingModel::bgeM3).ok());
  EXPECT_EQ(manager->state(EmbeddingModel::bgeM3).kind, Kind::downloading);
  settle();
  EXPECT_EQ(http->urls(), (std::vector<std::string>{"http://127.0.0.1:9/pallix/models/bge_m3.mlpackage.zip",
                                                    "http://127.0.0.1:9/pallix/models/bge_m3.mlpackage.zip.sha256"}));
  ASSERT_EQ(unzip->calls.size(), 1u);
  const auto& argv = unzip->calls[0];
  ASSERT_EQ(argv.size(), 6u);
  EXPECT_EQ((std::vector<std::string>{argv[0], argv[1], argv[2], argv[4]}),
            (std::vector<std::string>{"/usr/bin/unzip", "-o", "-q", "-d"}));
  EXPECT_EQ(fs::path(argv[5]).parent_path(), fs::path(models)) << "unpacked beside the package: " << argv[5];
  EXPECT_FALSE(fs::exists(argv[5])) << "the staging folder is gone";
  EXPECT_EQ(manager->state(EmbeddingModel::bgeM3), DownloadState::downloaded());
  EXPECT_TRUE(manager->isModelDownloaded(EmbeddingModel::bgeM3));
  EXPECT_FALSE(fs::exists(argv[3])) << "the downloaded archive is removed";
  EXPECT_EQ(signals(),
            (std::vector<std::string>{"Intelligence.modelDownloadStarted", "Intelligence.modelDownloadCompleted"}));
  EXPECT_EQ(telemetry.sink().named("Intelligence.modelDownloadStarted")[0].parameters.at("model"), "bge-m3");

  ASSERT_TRUE(manager->deleteModel(EmbeddingModel::bgeM3).ok());
  EXPECT_FALSE(manager->isModelDownloaded(EmbeddingModel::bgeM3));
  EXPECT_EQ(signals().back(), "Intelligence.modelDeleted");
  EXPECT_EQ(states.back(), Kind::notDownloaded);
}

TEST_F(ModelDownloadManagerTest, FailuresEndInFailedWithTheirMessageAndOneSignal) {
  struct Case {
    const char* name;
    Route reply;
    std::string folder;
    int exitStatus;
    std::string message;
    const char* signal;
  };
  const std::vector<Case> cases = {
      {"404", status("/pallix/", 404), "bge_m3.mlpackage", 0, "Server returned status 404",
       "Intelligence.modelDownloadFailed"},
      {"unzip fails", ok("/pallix/", "x"), "", 9, "Failed to extract model (exit code 9)",
       "Intelligence.modelExtractionFailed"},
      {"archive with another folder", ok("/pallix/", "x"), "bge-m3-v2", 0,
       "Model extraction failed - file not found after extraction", "Intelligence.modelExtractionFailed"},
      {"network",
       {"/pallix/", Result<HttpResponse>(httpError(HttpErrorCode::connectionFailed, "Could not connect"))},
       "",
       0,
       "Could not connect",
       "Intelligence.modelDownloadFailed"},
  };
  for (const Case& c : cases) {
    telemetry.sink().clear();
    route(*http, {status(".sha256", 404), c.reply});
    unzip->folder = c.folder;
    unzip->exitStatus = c.exitStatus;
    fs::remove_all(models);
    auto manager = make();
    ASSERT_TRUE(manager->downloadModel(EmbeddingModel::bgeM3).ok());
    settle();
    EXPECT_EQ(manager->state(EmbeddingModel::bgeM3), DownloadState::failed(c.message)) << c.name;
    EXPECT_EQ(telemetry.sink().count(c.signal), 1u) << c.name;
    EXPECT_EQ(signals().size(), 2u) << c.name << ": started and one failure";
  }
}

// A digest published beside the archive must match it; a page that is no
// digest is refused rather than ignored.
TEST_F(ModelDownloadManagerTest, APublishedDigestMustMatchTheArchive) {
  const std::string bytes = "PK archive bytes";
  const std::string digest = sha256Hex(bytes);
  std::string shouting = digest;
  for (char& c : shouting) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  struct Case {
    const char* name;
    std::string published;
    std::optional<std::string> message;  // none: installed
  };
  const std::vector<Case> cases = {
      {"bare digest", digest, std::nullopt},
      {"sha256sum line, upper case", shouting + "  bge_m3.mlpackage.zip\n", std::nullopt},
      {"another digest", sha256Hex("other bytes"),
       "The downloaded model is damaged: its SHA-256 is " + digest + ", the server published " +
           sha256Hex("other bytes")},
      {"not a digest", "<html>moved</html>", "The server's checksum for the model is not a SHA-256 digest"},
  };
  for (const Case& c : cases) {
    telemetry.sink().clear();
    fs::remove_all(models);
    route(*http, {ok(".sha256", c.published), ok("/pallix/", bytes)});
    auto manager = make();
    ASSERT_TRUE(manager->downloadModel(EmbeddingModel::bgeM3).ok());
    settle();
    if (!c.message) {
      EXPECT_EQ(manager->state(EmbeddingModel::bgeM3), DownloadState::downloaded()) << c.name;
      continue;
    }
    EXPECT_EQ(manager->state(EmbeddingModel::bgeM3), DownloadState::failed(*c.message)) << c.name;
    EXPECT_EQ(telemetry.sink().count("Intelligence.modelDownloadFailed"), 1u) << c.name;
    EXPECT_FALSE(manager->isModelDownloaded(EmbeddingModel::bgeM3)) << c.name << ": nothing was unpacked";
  }
}

TEST_F(ModelDownloadManagerTest, WithoutAServerTheMessageSaysWhatToSet) {
  auto manager = make(std::nullopt);
  ASSERT_TRUE(manager->downloadModel(EmbeddingModel::bgeM3).ok());
  settle();
  const DownloadState state = manager->state(EmbeddingModel::bgeM3);
  EXPECT_EQ(state.kind, Kind::failed);
  EXPECT_NE(state.message.find(ModelDownloadManager::kBaseURLKey), std::string::npos) << state.message;
  EXPECT_TRUE(http->urls().empty());
}

TEST_F(ModelDownloadManagerTest, CancellingReturnsToNotDownloadedWithoutAFailure) {
  route(*http, {silent("/pallix/")});
  auto manager = make();
  ASSERT_TRUE(manager->downloadModel(EmbeddingModel::bgeM3).ok());
  env.advanceBy(std::chrono::seconds(3));
  manager->cancelDownload(EmbeddingModel::bgeM3);
  settle();
  EXPECT_EQ(manager->state(EmbeddingModel::bgeM3), DownloadState::notDownloaded());
  EXPECT_EQ(signals(),
            (std::vector<std::string>{"Intelligence.modelDownloadStarted", "Intelligence.modelDownloadCancelled"}));
  EXPECT_EQ(http->pendingCount(), 0u) << "the transfer was abandoned";
}

// A second manager over the same folder stands for `pallix model list` run
// while another process downloads (the command-line tests cancel it from
// there), or after that process is gone.
TEST_F(ModelDownloadManagerTest, AnotherProcessSeesTheDownloadAndAnOrphanedOneAsInterrupted) {
  route(*http, {silent("/pallix/")});
  auto downloading = make();
  ASSERT_TRUE(downloading->downloadModel(EmbeddingModel::bgeM3).ok());
  env.advanceBy(std::chrono::seconds(1));
  auto other = make();
  EXPECT_EQ(other->state(EmbeddingModel::bgeM3).kind, Kind::downloading);
  EXPECT_FALSE(other->isDownloadingHere(EmbeddingModel::bgeM3));
  downloading.reset();  // its state file stays behind
  const nlohmann::json orphan = {{"state", "downloading"}, {"progress", 0.25}, {"pid", 999999999}};
  std::ofstream(models + "/.bge_m3.mlpackage.download.json") << orphan.dump();
  other->refreshStates();
  EXPECT_EQ(other->state(EmbeddingModel::bgeM3), DownloadState::failed("The download was interrupted"))
      << "the process that downloaded is gone";
}

// unzip runs out of space part-way: it has written the package folder and a
// cut-short model.safetensors, and exits 50. That is a failure here, in a
// manager opened afterwards (`pallix model list`), and a retry installs.
TEST_F(ModelDownloadManagerTest, AFullDiskDuringExtractionIsAFailureThatCanBeRetried) {
  route(*http, {status(".sha256", 404), ok("/pallix/", "PK archive bytes")});
  unzip->exitStatus = 50;
  unzip->tensorLength = 20;
  auto manager = make();
  ASSERT_TRUE(manager->downloadModel(EmbeddingModel::bgeM3).ok());
  settle();
  const DownloadState failed = DownloadState::failed("Failed to extract model (exit code 50)");
  EXPECT_EQ(manager->state(EmbeddingModel::bgeM3), failed);
  EXPECT_FALSE(manager->isModelDownloaded(EmbeddingModel::bgeM3));
  EXPECT_FALSE(fs::exists(manager->packagePath(EmbeddingModel::bgeM3))) << "nothing half-written is in place";
  EXPECT_EQ(make()->state(EmbeddingModel::bgeM3), failed) << "as another process sees it";

  unzip->exitStatus = 0;
  unzip->tensorLength.reset();
  ASSERT_TRUE(manager->downloadModel(EmbeddingModel::bgeM3).ok());
  settle();
  EXPECT_EQ(manager->state(EmbeddingModel::bgeM3), DownloadState::downloaded());
  EXPECT_EQ(make()->state(EmbeddingModel::bgeM3), DownloadState::downloaded());
  EXPECT_EQ(telemetry.sink().count("Intelligence.modelExtractionFailed"), 1u);
  EXPECT_EQ(telemetry.sink().count("Intelligence.modelDownloadCompleted"), 1u);
}

// unzip says it succeeded but the package is short: still not downloaded.
TEST_F(ModelDownloadManagerTest, AnExtractionThatEndsShortIsAFailure) {
  route(*http, {status(".sha256", 404), ok("/pallix/", "PK archive bytes")});
  unzip->tensorLength = tensorBytes().size() - 1;
  auto manager = make();
  ASSERT_TRUE(manager->downloadModel(EmbeddingModel::bgeM3).ok());
  settle();
  const DownloadState state = manager->state(EmbeddingModel::bgeM3);
  EXPECT_EQ(state.kind, Kind::failed);
  EXPECT_EQ(state.message, "Model extraction failed - the package is incomplete: model.safetensors is cut short: " +
                               std::to_string(tensorBytes().size() - 1) + " of " +
                               std::to_string(tensorBytes().size()) + " bytes");
  EXPECT_FALSE(make()->isModelDownloaded(EmbeddingModel::bgeM3));
}

// What an earlier failed extraction left in the package's place is not a
// model; a download replaces it.
TEST_F(ModelDownloadManagerTest, AnIncompletePackageInPlaceIsNotDownloadedAndIsReplaced) {
  writePackage(fs::path(models) / "bge_m3.mlpackage", 30);
  auto manager = make();
  EXPECT_EQ(manager->state(EmbeddingModel::bgeM3), DownloadState::notDownloaded());
  route(*http, {status(".sha256", 404), ok("/pallix/", "PK archive bytes")});
  ASSERT_TRUE(manager->downloadModel(EmbeddingModel::bgeM3).ok());
  settle();
  EXPECT_EQ(manager->state(EmbeddingModel::bgeM3), DownloadState::downloaded());
  EXPECT_EQ(fs::file_size(fs::path(models) / "bge_m3.mlpackage/model.safetensors"), tensorBytes().size());
}

// Two managers over one folder stand for two processes.
TEST_F(ModelDownloadManagerTest, ASecondDownloadOfTheModelIsRefusedWhileTheFirstRuns) {
  route(*http, {silent("/pallix/")});
  auto first = make();
  ASSERT_TRUE(first->downloadModel(EmbeddingModel::bgeM3).ok());
  env.advanceBy(std::chrono::seconds(1));
  auto second = make();
  Status refused = second->downloadModel(EmbeddingModel::bgeM3);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().description(), "bge-m3 is already being downloaded by process " +
                                               std::to_string(::getpid()) +
                                               "; wait for that download to finish or cancel it");
  EXPECT_FALSE(second->isDownloadingHere(EmbeddingModel::bgeM3));
  EXPECT_EQ(second->state(EmbeddingModel::bgeM3).kind, Kind::downloading) << "it reports the first one's download";
  EXPECT_EQ(http->urls().size(), 1u) << "no second transfer into the same partial file";
  EXPECT_TRUE(first->isDownloadingHere(EmbeddingModel::bgeM3));

  first->cancelDownload(EmbeddingModel::bgeM3);
  EXPECT_TRUE(second->downloadModel(EmbeddingModel::bgeM3).ok()) << "the lock went with the first download";
  EXPECT_TRUE(second->isDownloadingHere(EmbeddingModel::bgeM3));
}

class ModelPackageTest : public ::testing::Test {
 protected:
  TempDir dir;
  fs::path package = dir / "bge_m3.mlpackage";
};

TEST_F(ModelPackageTest, ACompletePackagePasses) {
  writePackage(package);
  EXPECT_TRUE(verifyModelPackage(package.string()).ok());
}

TEST_F(ModelPackageTest, EveryMissingOrEmptyFileIsNamed) {
  for (const char* file : kModelPackageFiles) {
    fs::remove_all(package);
    writePackage(package);
    fs::remove(package / file);
    Status missing = verifyModelPackage(package.string());
    ASSERT_FALSE(missing.ok()) << file;
    EXPECT_EQ(missing.error().description(), std::string(file) + " is missing or empty");
    std::ofstream(package / file).flush();
    EXPECT_FALSE(verifyModelPackage(package.string()).ok()) << file << " empty";
  }
}

TEST_F(ModelPackageTest, AConfigThatIsNotAnObjectFails) {
  writePackage(package);
  std::ofstream(package / "config.json") << "[1, 2";
  Status bad = verifyModelPackage(package.string());
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().description(), "config.json is not a JSON object");
}

TEST_F(ModelPackageTest, TensorsCutAtEveryLengthOrWithTrailingBytesFail) {
  const std::string tensors = tensorBytes();
  for (size_t length = 1; length < tensors.size(); ++length) {
    writePackage(package, length);
    EXPECT_FALSE(verifyModelPackage(package.string()).ok()) << "cut at " << length;
  }
  writePackage(package);
  std::ofstream(package / "model.safetensors", std::ios::app) << "x";
  Status longer = verifyModelPackage(package.string());
  ASSERT_FALSE(longer.ok());
  EXPECT_NE(longer.error().description().find("longer than its header says"), std::string::npos);
}

}  // namespace
}  // namespace pallix
