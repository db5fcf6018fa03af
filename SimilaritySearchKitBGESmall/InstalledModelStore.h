// InstalledModelStore: the embedding models installed under the models
// directory (DataDirectories::modelsDirectory()), one folder per model.
//
// install() validates that a user-supplied model directory loads and embeds,
// copies its files into a hidden temporary folder beside the destination and
// renames it into place, so an interrupted install never leaves a
// half-written model. Used from the CLI and from settings; not thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/Error.h"

namespace pallix {

struct InstalledModel {
  std::string name;  // Folder name ("bge_small_en").
  std::string path;
  uint64_t sizeOnDisk = 0;  // Bytes of all files in the folder.
  bool loads = false;
  std::string loadError;  // Why it does not load, when it does not.
  int dimension = 0;      // From config.json, 0 when unreadable.
  int layers = 0;
};

class InstalledModelStore {
 public:
  // The files copied from a model directory; the first two are required.
  static const std::vector<std::string>& modelFiles();

  explicit InstalledModelStore(std::string modelsDirectory) : modelsDirectory_(std::move(modelsDirectory)) {}

  const std::string& modelsDirectory() const { return modelsDirectory_; }

  // Checks that `sourceDirectory` loads and embeds a test sentence, then
  // installs it as `name`, replacing an earlier install of that name.
  Result<InstalledModel> install(const std::string& sourceDirectory, const std::string& name = "bge_small_en");
  // Every installed model, by name; loading each one tells whether it works.
  Result<std::vector<InstalledModel>> list() const;
  Result<InstalledModel> inspect(const std::string& name) const;
  Status remove(const std::string& name);

  // Loads the directory (a bge-small folder, or the multilingual package when
  // it holds sentencepiece.bpe.model) and embeds "Test sentence"; the error
  // says what is wrong.
  static Status validateModelDirectory(const std::string& directory);

 private:
  std::string modelsDirectory_;
};

}  // namespace pallix
