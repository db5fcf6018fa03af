#include "app/messages/MessagesComponents.h"

#include "app/platform/VCardContactStore.h"

namespace pallix {

MessagesComponents MessagesComponents::create(const DataDirectories& dirs, const UserDefaults* defaults,
                                              const Clock& clock, std::shared_ptr<ContactStore> contacts) {
  MessagesComponents c;
  c.access = std::make_shared<FullDiskAccessController>(dirs.home, defaults, dirs.cache + "/MessagesSnapshots");
  c.contacts =
      contacts ? std::move(contacts) : std::make_shared<VCardContactStore>(VCardContactStore::defaultFolder(dirs));
  c.searchService =
      std::make_shared<MessageSearchService>(MessageSearchService::Dependencies{c.access, c.contacts, &clock, {}});
  c.historyReader = std::make_shared<MessageHistoryReader>(c.access, clock);
  return c;
}

std::shared_ptr<MessageModeSearchProvider> MessagesComponents::makeModeSearchProvider(
    TaskRunnerPtr executor, std::shared_ptr<Workspace> workspace) const {
  return std::make_shared<MessageModeSearchProvider>(searchService, std::move(executor), std::move(workspace));
}

std::shared_ptr<MessageChunkIndexer> MessagesComponents::makeChunkIndexer(
    TaskRunnerPtr runner, std::shared_ptr<MessageEmbeddingStore> store, UserDefaults& defaults,
    std::shared_ptr<EmbeddingCoordinator> coordinator, const IndexingConditions* conditions) const {
  MessageChunkIndexer::Dependencies deps;
  deps.runner = std::move(runner);
  deps.store = embeddingChunkStore(std::move(store));
  deps.reader = historyReader;
  deps.contacts = contacts;
  deps.coordinator = std::move(coordinator);
  deps.defaults = &defaults;
  deps.conditions = conditions;
  return MessageChunkIndexer::create(std::move(deps));
}

void MessagesComponents::attachEmbeddingStore(std::shared_ptr<MessageEmbeddingStore> store) const {
  searchService->setEmbeddingStore(store ? storeChunkSource(std::move(store)) : nullptr);
}

Result<ChunkCollection> MessagesComponents::collectChunks(const Clock& clock, std::optional<std::string> chatGUID,
                                                          const std::string& timeZoneID) const {
  ContactNameLookup names = ContactNameLookup::build(*contacts);
  MessageChunkBuilder builder(names, timeZoneID);
  ChunkCollectionOptions options;
  options.cutoff = MessageHistoryReader::rollingWindowCutoff(clock.wallNow(), timeZoneID);
  options.chatGUID = std::move(chatGUID);
  return collectWindowChunks(*historyReader, builder, options);
}

}  // namespace pallix
