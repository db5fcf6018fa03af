#include <gtest/gtest.h>

#include "app/shell/AgentRequests.h"

namespace pallix {
namespace {

// A command that asked the agent for a pass reports it as it would report
// its own, so every field the command reads crosses the socket.
TEST(AgentRequestsTest, APassReportCarriesWhatTheCommandReports) {
  SemanticPassReport report;
  report.pass.id = 7;
  report.pass.state = SemanticLifecycle::RequestedFilePass::State::done;
  report.totalFiles = 12;
  report.indexedFiles = 5;
  FileChunkIndexer::PassSummary& s = report.pass.summary;
  s.outcome = FileChunkIndexer::PassSummary::Outcome::failed;
  s.totalFiles = 12;
  s.indexedFiles = 5;
  s.unchangedFiles = 4;
  s.failedFiles = 3;
  s.chunksAdded = 40;
  s.embeddingFailed = true;
  s.elapsedSeconds = 1.5;
  s.detail = "the model did not load: caf\xc3\xa9";
  auto decoded = decodeSemanticPassReport(encodeSemanticPassReport(report));
  ASSERT_TRUE(decoded.ok()) << decoded.error().description();
  const FileChunkIndexer::PassSummary& d = decoded.value().pass.summary;
  EXPECT_EQ(decoded.value().pass.id, 7u);
  EXPECT_EQ(decoded.value().indexedFiles, 5);
  EXPECT_EQ(d.outcome, s.outcome);
  EXPECT_EQ(d.unchangedFiles, 4);
  EXPECT_EQ(d.failedFiles, 3);
  EXPECT_EQ(d.chunksAdded, 40);
  EXPECT_TRUE(d.embeddingFailed);
  EXPECT_DOUBLE_EQ(d.elapsedSeconds, 1.5);
  EXPECT_EQ(d.detail, s.detail);
}

TEST(AgentRequestsTest, AMessagePassReportCarriesWhatTheCommandReports) {
  MessagePassReport report;
  report.pass.id = 3;
  report.pass.state = RequestedPassState::done;
  report.totalMessages = 900;
  report.processedMessages = 450;
  MessageChunkIndexer::PassSummary& s = report.pass.summary;
  s.kind = MessageChunkIndexer::PassSummary::Kind::incremental;
  s.outcome = MessageChunkIndexer::PassSummary::Outcome::deferred;
  s.chats = 2;
  s.messages = 17;
  s.chunksStored = 5;
  s.detail = "not UTF-8: \xff";
  auto decoded = decodeMessagePassReport(encodeMessagePassReport(report));
  ASSERT_TRUE(decoded.ok()) << decoded.error().description();
  const MessageChunkIndexer::PassSummary& d = decoded.value().pass.summary;
  EXPECT_EQ(decoded.value().pass.id, 3u);
  EXPECT_EQ(decoded.value().pass.state, RequestedPassState::done);
  EXPECT_EQ(decoded.value().processedMessages, 450);
  EXPECT_EQ(decoded.value().totalMessages, 900);
  EXPECT_EQ(d.kind, s.kind);
  EXPECT_EQ(d.outcome, s.outcome);
  EXPECT_EQ(d.chats, 2);
  EXPECT_EQ(d.messages, 17);
  EXPECT_EQ(d.chunksStored, 5);
  EXPECT_EQ(d.detail, "not UTF-8: \xef\xbf\xbd");
  // A queued pass carries no summary; a refusal is an error that quotes it.
  report.pass.state = RequestedPassState::queued;
  auto queued = decodeMessagePassReport(encodeMessagePassReport(report));
  ASSERT_TRUE(queued.ok());
  EXPECT_EQ(queued.value().pass.summary.chunksStored, 0);
  auto refused = decodeMessagePassReport(encodeRequestRefusal("the agent does not index conversations"));
  ASSERT_FALSE(refused.ok());
  EXPECT_NE(refused.error().description().find("does not index conversations"), std::string::npos);
}

}  // namespace
}  // namespace pallix
