// AgentRequests: what short-lived commands ask the running agent over its
// instance socket, and the wire form of the answers (one JSON line each).
//
// "index": run one full scan now and answer with its summary. `pallix index`
// asks this instead of writing the catalog beside the agent.
// "folders": apply the settings file now (a command just edited the catalog
// folders) and answer with the file folders the catalog then keeps current.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/search/IndexingService.h"
#include "core/Error.h"

namespace pallix {

inline constexpr const char* kAgentIndexRequest = "index";
inline constexpr const char* kAgentFoldersRequest = "folders";

std::string encodeScanSummary(const FullScanSummary& summary);
// The summary of an "index" answer; fails on a line that is not one (or that
// reports a refused request).
Result<FullScanSummary> decodeScanSummary(const std::string& line);
std::string encodeWatchedFolders(const std::vector<std::string>& folders);
// The folders of a "folders" answer; fails on a line that is not one.
Result<std::vector<std::string>> decodeWatchedFolders(const std::string& line);
// The answer to a request the agent cannot serve.
std::string encodeRequestRefusal(const std::string& why);

}  // namespace pallix
