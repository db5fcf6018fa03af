// AgentRequests: what short-lived commands ask the running agent over its
// instance socket, and the wire form of the answers (one JSON line each).
//
// "index": run one full scan now and answer with its summary. `pallix index`
// asks this instead of writing the catalog beside the agent.
// "folders": apply the settings file now (a command just edited the catalog
// folders) and answer with the file folders the catalog then keeps current.
// "semantic index": run a full pass of the semantic file index (after the
// pass in progress) and answer at once with the requested pass; "semantic
// pass ID" answers with that pass as it stands, which a command asks every
// moment to show its progress until it is done.
// "messages index" and "messages pass ID": the same for a catch-up pass of
// the message index (`pallix messages index`).
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/platform/RequestLineReader.h"
#include "app/search/IndexingService.h"
#include "app/shell/SemanticLifecycle.h"
#include "core/Error.h"

namespace pallix {

inline constexpr const char* kAgentIndexRequest = "index";
inline constexpr const char* kAgentFoldersRequest = "folders";
inline constexpr const char* kAgentSemanticIndexRequest = "semantic index";
inline constexpr const char* kAgentSemanticPassRequestPrefix = "semantic pass ";
inline constexpr const char* kAgentMessagesIndexRequest = "messages index";
inline constexpr const char* kAgentMessagesPassRequestPrefix = "messages pass ";

// A requested pass as the agent reports it, with the indexer's progress
// while it runs.
struct SemanticPassReport {
  SemanticLifecycle::RequestedFilePass pass;
  int64_t totalFiles = 0;
  int64_t indexedFiles = 0;
};

std::string encodeScanSummary(const FullScanSummary& summary);
// The summary of an "index" answer; fails on a line that is not one (or that
// reports a refused request).
Result<FullScanSummary> decodeScanSummary(const std::string& line);
std::string encodeWatchedFolders(const std::vector<std::string>& folders);
// The folders of a "folders" answer; fails on a line that is not one.
Result<std::vector<std::string>> decodeWatchedFolders(const std::string& line);
std::string encodeSemanticPassReport(const SemanticPassReport& report);
Result<SemanticPassReport> decodeSemanticPassReport(const std::string& line);

// A requested message catch-up as the agent reports it, with the indexer's
// progress while it runs.
struct MessagePassReport {
  SemanticLifecycle::RequestedMessagePass pass;
  int64_t totalMessages = 0;
  int64_t processedMessages = 0;
};

std::string encodeMessagePassReport(const MessagePassReport& report);
Result<MessagePassReport> decodeMessagePassReport(const std::string& line);

}  // namespace pallix
