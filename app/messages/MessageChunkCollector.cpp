#include "app/messages/MessageChunkCollector.h"

namespace pallix {

Result<ChunkCollection> collectWindowChunks(MessageHistoryReader& reader, const MessageChunkBuilder& builder,
                                            const ChunkCollectionOptions& options) {
  ChunkCollection collection;
  PALLIX_ASSIGN_OR_RETURN(std::vector<ChatInfo> chats, reader.chatsWithCounts(0, options.cutoff));
  PALLIX_ASSIGN_OR_RETURN(collection.windowMessageCount, reader.messagesInWindowCount(options.cutoff));
  for (const ChatInfo& chat : chats) {
    if (options.cancellation.isCancelled()) break;
    if (options.chatGUID && chat.guid != *options.chatGUID) continue;
    PALLIX_ASSIGN_OR_RETURN(std::vector<RawMessage> messages, reader.chatMessages(chat.guid, 0, options.cutoff));
    ++collection.chatCount;
    collection.messageCount += static_cast<int64_t>(messages.size());
    for (MessageChunkRecord& record : builder.buildRecords(messages, chat.guid, chat.displayName)) {
      collection.chunks.push_back(std::move(record));
    }
    if (options.progress) options.progress(collection.messageCount, collection.windowMessageCount);
  }
  return collection;
}

}  // namespace pallix
