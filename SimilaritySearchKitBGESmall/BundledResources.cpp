#include "SimilaritySearchKitBGESmall/BundledResources.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

#ifndef PALLIX_SOURCE_RESOURCES_DIR
#define PALLIX_SOURCE_RESOURCES_DIR ""
#endif

namespace pallix {

Result<std::string> findBundledResource(const std::string& name) {
  std::vector<std::string> candidates;
  if (const char* env = std::getenv("PALLIX_RESOURCES"); env && *env) candidates.push_back(env);
  std::error_code ec;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    candidates.push_back((exe.parent_path() / "../../resources").lexically_normal().string());
    candidates.push_back((exe.parent_path() / "../share/pallix/resources").lexically_normal().string());
  }
  if (*PALLIX_SOURCE_RESOURCES_DIR) candidates.push_back(PALLIX_SOURCE_RESOURCES_DIR);
  std::string searched;
  for (const auto& dir : candidates) {
    std::string path = dir + "/" + name;
    if (std::filesystem::is_regular_file(path, ec)) return path;
    searched += (searched.empty() ? "" : ", ") + dir;
  }
  return Error("BundledResourcesError", 1,
               "resource \"" + name + "\" not found (looked in " + searched +
                   "); set PALLIX_RESOURCES to the folder "
                   "that holds it");
}

Result<std::string> bundledVocabularyPath() {
  return findBundledResource("bert_tokenizer_vocab.txt");
}

}  // namespace pallix
