// collectWindowChunks: the chunks a full indexing pass would build, without
// embedding them: every conversation with messages in the rolling window
// (largest first), its messages read and chunked by MessageChunkBuilder.
// Runs on the calling thread; stops early (returning what it has) when
// `cancellation` fires.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/messages/MessageChunkBuilder.h"
#include "app/messages/MessageHistoryReader.h"
#include "core/TaskRunner.h"

namespace pallix {

struct ChunkCollection {
  std::vector<MessageChunkRecord> chunks;
  int64_t chatCount = 0;           // conversations read
  int64_t messageCount = 0;        // messages read (before the contact rule)
  int64_t windowMessageCount = 0;  // messages in the window, all conversations
};

struct ChunkCollectionOptions {
  double cutoff = 0;                    // seconds since 1970
  std::optional<std::string> chatGUID;  // only this conversation
  // Called after each conversation with (messages read so far, messages in the window).
  std::function<void(int64_t, int64_t)> progress;
  CancellationToken cancellation;
};

Result<ChunkCollection> collectWindowChunks(MessageHistoryReader& reader, const MessageChunkBuilder& builder,
                                            const ChunkCollectionOptions& options);

}  // namespace pallix
