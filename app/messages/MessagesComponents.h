// MessagesComponents: the messages subsystem put together for one process:
// where the database is and whether it can be read, the address book
// (vCard files in the data directory), the search service, the history
// reader of the chunk indexer, and on request the executor and the
// provider the search session attaches for the messages mode.
//
// Created once by whoever composes the process (the command line today,
// the application delegate later) and owned by it. Everything in it is
// shareable; see each type for its threading.
#pragma once

#include <memory>
#include <string>

#include "app/messages/MessageChunkCollector.h"
#include "app/messages/MessageChunkIndexer.h"
#include "app/messages/MessageHistoryReader.h"
#include "app/messages/MessageModeSearchProvider.h"
#include "app/messages/MessageSearchService.h"
#include "app/messages/MessagesDatabase.h"
#include "app/platform/ContactStore.h"
#include "app/platform/DataDirectories.h"
#include "app/platform/Workspace.h"
#include "core/Clock.h"
#include "core/UserDefaults.h"

namespace pallix {

struct MessagesComponents {
  std::shared_ptr<const FullDiskAccessController> access;
  std::shared_ptr<ContactStore> contacts;
  std::shared_ptr<MessageSearchService> searchService;
  std::shared_ptr<MessageHistoryReader> historyReader;

  // The database path comes from `defaults` ("MessagesPreferences.databasePath")
  // or the home folder; contacts from `contacts`, or, when null, the vCard
  // folder of the data directory.
  static MessagesComponents create(const DataDirectories& dirs, const UserDefaults* defaults,
                                   const Clock& clock = SystemClock::instance(),
                                   std::shared_ptr<ContactStore> contacts = nullptr);

  // A provider for ContentViewModel::setModeSearch(SearchMode::messages, ...):
  // searches run on `executor` (give it a SerialExecutor of its own).
  std::shared_ptr<MessageModeSearchProvider> makeModeSearchProvider(TaskRunnerPtr executor,
                                                                    std::shared_ptr<Workspace> workspace) const;

  // The chunk indexer of this database and address book, feeding `store`;
  // it runs on `runner` (give it a SerialExecutor of its own). `defaults`
  // keeps its progress marker and must outlive it.
  std::shared_ptr<MessageChunkIndexer> makeChunkIndexer(TaskRunnerPtr runner,
                                                        std::shared_ptr<MessageEmbeddingStore> store,
                                                        UserDefaults& defaults,
                                                        std::shared_ptr<EmbeddingCoordinator> coordinator = nullptr,
                                                        const IndexingConditions* conditions = nullptr) const;
  // Switches semantic conversation search on (a store) or off (null).
  void attachEmbeddingStore(std::shared_ptr<MessageEmbeddingStore> store) const;

  // The chunks a full indexing pass would build now, with contact names from
  // `contacts` and the date lines in `timeZoneID` (empty: the system's zone).
  Result<ChunkCollection> collectChunks(const Clock& clock, std::optional<std::string> chatGUID = std::nullopt,
                                        const std::string& timeZoneID = "") const;
};

}  // namespace pallix
