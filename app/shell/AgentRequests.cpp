#include "app/shell/AgentRequests.h"

#include <optional>
#include <utility>

namespace pallix {

std::string encodeScanSummary(const FullScanSummary& summary) {
  nlohmann::json out = {{"apps", summary.appCount},       {"files", summary.fileCount},
                        {"folders", summary.folderCount}, {"elapsedSeconds", summary.elapsedSeconds},
                        {"mutated", summary.mutated},     {"unchanged", summary.unchanged},
                        {"inserted", summary.inserted},   {"updated", summary.updated},
                        {"deleted", summary.deleted}};
  if (summary.error) {
    out["error"] = {{"domain", summary.error->domain()},
                    {"code", summary.error->code()},
                    {"description", summary.error->description()}};
  }
  // Error descriptions quote file names, which need not be UTF-8.
  return out.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

namespace {

// The answer's object, or the error of an unreadable or refused one.
Result<nlohmann::json> decodeAnswer(const std::string& line) {
  nlohmann::json in = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
  if (in.is_discarded() || !in.is_object()) {
    return Error("AgentRequestError", 1, "The Pallix agent answered something unreadable: " + line.substr(0, 80));
  }
  if (in.contains("refused")) {
    return Error("AgentRequestError", 2, "The Pallix agent refused: " + in.value("refused", std::string()));
  }
  return in;
}

}  // namespace

std::string encodeWatchedFolders(const std::vector<std::string>& folders) {
  return nlohmann::json{{"watchedFolders", folders}}.dump();
}

Result<std::vector<std::string>> decodeWatchedFolders(const std::string& line) {
  PALLIX_ASSIGN_OR_RETURN(nlohmann::json in, decodeAnswer(line));
  auto folders = in.find("watchedFolders");
  if (folders == in.end() || !folders->is_array()) {
    return Error("AgentRequestError", 1, "The Pallix agent answered without its folders: " + line.substr(0, 80));
  }
  std::vector<std::string> out;
  for (const auto& folder : *folders) {
    if (folder.is_string()) out.push_back(folder.get<std::string>());
  }
  return out;
}

namespace {

using PassState = RequestedPassState;
using PassOutcome = FileChunkIndexer::PassSummary::Outcome;
using MessageOutcome = MessageChunkIndexer::PassSummary::Outcome;
using MessageKind = MessageChunkIndexer::PassSummary::Kind;

constexpr std::pair<PassState, const char*> kPassStates[] = {
    {PassState::queued, "queued"}, {PassState::running, "running"}, {PassState::done, "done"}};
constexpr std::pair<PassOutcome, const char*> kPassOutcomes[] = {
    {PassOutcome::completed, "completed"}, {PassOutcome::unchanged, "unchanged"},
    {PassOutcome::deferred, "deferred"},   {PassOutcome::interrupted, "interrupted"},
    {PassOutcome::noFolders, "noFolders"}, {PassOutcome::failed, "failed"}};
constexpr std::pair<MessageOutcome, const char*> kMessageOutcomes[] = {{MessageOutcome::completed, "completed"},
                                                                       {MessageOutcome::nothingNew, "nothingNew"},
                                                                       {MessageOutcome::deferred, "deferred"},
                                                                       {MessageOutcome::interrupted, "interrupted"},
                                                                       {MessageOutcome::failed, "failed"}};
constexpr std::pair<MessageKind, const char*> kMessageKinds[] = {
    {MessageKind::full, "full"}, {MessageKind::incremental, "incremental"}, {MessageKind::poll, "poll"}};

template <typename E, size_t N>
const char* nameOf(E value, const std::pair<E, const char*> (&names)[N]) {
  for (const auto& [v, name] : names) {
    if (v == value) return name;
  }
  return names[0].second;
}
template <typename E, size_t N>
std::optional<E> valueNamed(const std::string& name, const std::pair<E, const char*> (&names)[N]) {
  for (const auto& [v, n] : names) {
    if (name == n) return v;
  }
  return std::nullopt;
}

}  // namespace

std::string encodeSemanticPassReport(const SemanticPassReport& report) {
  const FileChunkIndexer::PassSummary& s = report.pass.summary;
  nlohmann::json out = {{"pass", report.pass.id},
                        {"state", nameOf(report.pass.state, kPassStates)},
                        {"totalFiles", report.totalFiles},
                        {"indexedFiles", report.indexedFiles}};
  if (report.pass.state == PassState::done) {
    out["summary"] = {{"outcome", nameOf(s.outcome, kPassOutcomes)},
                      {"totalFiles", s.totalFiles},
                      {"indexedFiles", s.indexedFiles},
                      {"unchangedFiles", s.unchangedFiles},
                      {"failedFiles", s.failedFiles},
                      {"chunksAdded", s.chunksAdded},
                      {"elapsedSeconds", s.elapsedSeconds},
                      {"embeddingFailed", s.embeddingFailed},
                      {"detail", s.detail}};
  }
  return out.dump();
}

Result<SemanticPassReport> decodeSemanticPassReport(const std::string& line) {
  PALLIX_ASSIGN_OR_RETURN(nlohmann::json in, decodeAnswer(line));
  auto state = valueNamed(in.value("state", std::string()), kPassStates);
  if (!in.contains("pass") || !state) {
    return Error("AgentRequestError", 1, "The Pallix agent answered without a pass: " + line.substr(0, 80));
  }
  SemanticPassReport report;
  report.pass.id = in.value("pass", uint64_t{0});
  report.pass.state = *state;
  report.totalFiles = in.value("totalFiles", int64_t{0});
  report.indexedFiles = in.value("indexedFiles", int64_t{0});
  if (auto summary = in.find("summary"); summary != in.end() && summary->is_object()) {
    FileChunkIndexer::PassSummary& s = report.pass.summary;
    s.outcome = valueNamed(summary->value("outcome", std::string()), kPassOutcomes).value_or(PassOutcome::failed);
    s.totalFiles = summary->value("totalFiles", int64_t{0});
    s.indexedFiles = summary->value("indexedFiles", int64_t{0});
    s.unchangedFiles = summary->value("unchangedFiles", int64_t{0});
    s.failedFiles = summary->value("failedFiles", int64_t{0});
    s.chunksAdded = summary->value("chunksAdded", int64_t{0});
    s.elapsedSeconds = summary->value("elapsedSeconds", 0.0);
    s.embeddingFailed = summary->value("embeddingFailed", false);
    s.detail = summary->value("detail", std::string());
  }
  return report;
}

std::string encodeMessagePassReport(const MessagePassReport& report) {
  const MessageChunkIndexer::PassSummary& s = report.pass.summary;
  nlohmann::json out = {{"pass", report.pass.id},
                        {"state", nameOf(report.pass.state, kPassStates)},
                        {"totalMessages", report.totalMessages},
                        {"processedMessages", report.processedMessages}};
  if (report.pass.state == PassState::done) {
    out["summary"] = {{"kind", nameOf(s.kind, kMessageKinds)},
                      {"outcome", nameOf(s.outcome, kMessageOutcomes)},
                      {"chats", s.chats},
                      {"messages", s.messages},
                      {"chunksStored", s.chunksStored},
                      {"detail", s.detail}};
  }
  // A detail may quote a conversation's text, which need not be UTF-8.
  return out.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

Result<MessagePassReport> decodeMessagePassReport(const std::string& line) {
  PALLIX_ASSIGN_OR_RETURN(nlohmann::json in, decodeAnswer(line));
  auto state = valueNamed(in.value("state", std::string()), kPassStates);
  if (!in.contains("pass") || !state) {
    return Error("AgentRequestError", 1, "The Pallix agent answered without a pass: " + line.substr(0, 80));
  }
  MessagePassReport report;
  report.pass.id = in.value("pass", uint64_t{0});
  report.pass.state = *state;
  report.totalMessages = in.value("totalMessages", int64_t{0});
  report.processedMessages = in.value("processedMessages", int64_t{0});
  if (auto summary = in.find("summary"); summary != in.end() && summary->is_object()) {
    MessageChunkIndexer::PassSummary& s = report.pass.summary;
    s.kind = valueNamed(summary->value("kind", std::string()), kMessageKinds).value_or(MessageKind::full);
    s.outcome = valueNamed(summary->value("outcome", std::string()), kMessageOutcomes).value_or(MessageOutcome::failed);
    s.chats = summary->value("chats", int64_t{0});
    s.messages = summary->value("messages", int64_t{0});
    s.chunksStored = summary->value("chunksStored", int64_t{0});
    s.detail = summary->value("detail", std::string());
  }
  return report;
}

Result<FullScanSummary> decodeScanSummary(const std::string& line) {
  PALLIX_ASSIGN_OR_RETURN(nlohmann::json in, decodeAnswer(line));
  FullScanSummary summary;
  summary.appCount = in.value("apps", size_t{0});
  summary.fileCount = in.value("files", size_t{0});
  summary.folderCount = in.value("folders", size_t{0});
  summary.elapsedSeconds = in.value("elapsedSeconds", 0.0);
  summary.mutated = in.value("mutated", false);
  summary.unchanged = in.value("unchanged", false);
  summary.inserted = in.value("inserted", size_t{0});
  summary.updated = in.value("updated", size_t{0});
  summary.deleted = in.value("deleted", size_t{0});
  if (auto error = in.find("error"); error != in.end() && error->is_object()) {
    summary.error = Error(error->value("domain", std::string("Pallix")), error->value("code", 1),
                          error->value("description", std::string()));
  }
  return summary;
}

}  // namespace pallix
