// The download part of `pallix model`: download, cancel, the download
// states that `list` shows, and removing a downloaded package. The manager
// (app/semantic/ModelDownloadManager) does the work; these parse and print.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace pallix::cli {

int downloadModelCommand(const std::vector<std::string>& rest, bool json);
int cancelModelDownloadCommand(const std::vector<std::string>& rest, bool json);
// One line per model ("bge-m3  downloading 42%") for `pallix model list`.
std::vector<std::string> modelDownloadStateLines();
// {"bge-small": {"state": "downloaded"}, "bge-m3": {"state": "downloading", "progress": 0.42}}
nlohmann::json modelDownloadStatesJson();
// True when `name` is a model's raw value ("bge-m3") whose downloaded package exists; removes it.
bool removeDownloadedModel(const std::string& name, int& exitCode);

}  // namespace pallix::cli
