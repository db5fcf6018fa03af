// AgentRequests: what short-lived commands ask the running agent over its
// instance socket, and the wire form of the answers (one JSON line each).
//
// "index": run one full scan now and answer with its summary. `pallix index`
// asks this instead of writing the catalog beside the agent.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "app/platform/RequestLineReader.h"
#include "app/search/IndexingService.h"
#include "core/Error.h"

namespace pallix {

inline constexpr const char* kAgentIndexRequest = "index";

std::string encodeScanSummary(const FullScanSummary& summary);
// The summary of an "index" answer; fails on a line that is not one (or that
// reports a refused request).
Result<FullScanSummary> decodeScanSummary(const std::string& line);

}  // namespace pallix
