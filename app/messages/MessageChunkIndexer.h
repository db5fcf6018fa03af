// MessageChunkIndexer: keeps the message embedding store in step with the
// Messages database.
//
// A full pass removes chunks that left the 12-month window, then reads each
// conversation with messages in the window (largest first), cuts it into
// chunks (MessageChunkBuilder) and adds them in batches, each under the
// embedding coordinator's lease ("messages", 120 s), pausing after each
// batch for the intensity's delay. An incremental pass reads the messages
// after the last indexed ROWID (user default
// "MessageChunkIndexer.lastIndexedRowID") and, per conversation, replaces
// the conversation's last chunk by the re-chunked old and new messages.
// Continuous indexing resumes (or starts) with one of the two and then polls
// every 300 s (1800 s in deep idle) for new rows. It works only in the idle
// work mode; another mode pauses a pass and stops polling until the
// application starts it again. A watchdog restarts a pass that made no
// progress for 600 s, three times, then asks for one (refused) rebuild, then
// backs off.
//
// Threading: an actor on its own runner; every public call posts to it, and
// every timer (polling, batch pauses, retries, watchdog) goes through that
// runner's clock. Database reads run on it synchronously (each opens its own
// read-only connection); store and coordinator answers come back to it and
// are dropped by pass generation when the pass was cancelled meanwhile.
// Owned through shared_ptr; tasks hold weak references.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/messages/MessageChunkBuilder.h"
#include "app/messages/MessageChunkStore.h"
#include "app/messages/MessageHistoryReader.h"
#include "app/platform/ContactStore.h"
#include "app/preferences/IndexingIntensity.h"
#include "app/semantic/EmbeddingCoordinator.h"
#include "app/semantic/IndexingConditions.h"
#include "core/Logger.h"
#include "core/NotificationCenter.h"
#include "core/UserDefaults.h"
#include "core/WorkMode.h"

namespace pallix {

class MessageChunkIndexer : public std::enable_shared_from_this<MessageChunkIndexer> {
 public:
  static constexpr const char* kOwner = "messages";
  static constexpr const char* kLastIndexedRowIDKey = "MessageChunkIndexer.lastIndexedRowID";
  // The identity (MessageHistoryReader::databaseIdentity) of the database
  // the stored chunks and the marker belong to; another one starts afresh.
  static constexpr const char* kDatabaseIdentityKey = "MessageChunkIndexer.databaseIdentity";
  // Set while a full pass runs: its chunks are stored conversation by
  // conversation but the marker only when it ends, so a later pass goes
  // on with the conversations whose last chunk is not stored yet.
  static constexpr const char* kFullPassInProgressKey = "MessageChunkIndexer.fullPassInProgress";
  static constexpr int64_t kIncrementalLimit = 10'000;
  static constexpr int64_t kPollLimit = 1'000;
  static constexpr int kMaxStallRestarts = 3;

  struct Tuning {
    Duration pollInterval = std::chrono::seconds(300);
    Duration deepIdlePollInterval = std::chrono::seconds(1800);
    Duration stallThresholdSeconds = std::chrono::seconds(600);
    Duration watchdogInterval = std::chrono::seconds(30);
    Duration leaseTimeout = std::chrono::seconds(120);
    Duration heartbeatTelemetryInterval = std::chrono::seconds(60);
    Duration systemNotReadyRetryDelay = std::chrono::seconds(90);
    // Replaces the intensity's pause after each batch (benchmarks only).
    std::optional<Duration> batchPauseOverride;
  };

  struct Dependencies {
    TaskRunnerPtr runner;
    std::shared_ptr<MessageChunkStore> store;
    std::shared_ptr<MessageHistoryReader> reader;
    std::shared_ptr<ContactStore> contacts;             // null: no contact names (only own messages)
    std::shared_ptr<EmbeddingCoordinator> coordinator;  // null: EmbeddingCoordinator::shared()
    UserDefaults* defaults = nullptr;                   // required; must outlive the indexer
    const IndexingConditions* conditions = nullptr;     // null: always ready; must outlive the indexer
    NotificationCenter* notifications = nullptr;        // null: the default center
    std::string timeZoneID;                             // date lines and the window (empty: the system's)
    Tuning tuning;
  };

  enum class State { idle, indexing, paused, polling, completed };
  enum class Phase { idle, collecting, indexing, polling, paused, deferred, completed };
  enum class RetryStrategy { scheduledCatchUp, continuous };
  enum class RebuildTrigger { user, stallRecovery };

  struct Progress {
    int64_t totalChunks = 0;
    int64_t indexedChunks = 0;
    State state = State::idle;
    Phase phase = Phase::idle;
    Date lastProgressAt{};
    int64_t totalMessages = 0;
    int64_t processedMessages = 0;
  };

  // How one pass ended (for the command line and tests).
  struct PassSummary {
    enum class Kind { full, incremental, poll };
    enum class Outcome { completed, nothingNew, deferred, interrupted, failed };
    Kind kind = Kind::full;
    Outcome outcome = Outcome::completed;
    int64_t chats = 0;
    int64_t messages = 0;      // messages read
    int64_t chunksStored = 0;  // chunks added
    int64_t lastIndexedRowID = 0;
    std::string detail;
  };

  // Intensity: chunks per batch and the pause after each batch.
  static std::pair<size_t, Duration> intensityConfig(IndexingIntensity intensity);

  static std::shared_ptr<MessageChunkIndexer> create(Dependencies deps);
  ~MessageChunkIndexer();

  // Full or resumed indexing, then polling.
  void startContinuousIndexing();
  // One full or incremental pass without polling; `done` gets whether it ran
  // (after the pass ends).
  void runScheduledCatchUpPass(Completion<bool> done = {});
  void pauseIndexing();
  void stopIndexing();
  void stopPolling();
  void rebuildIndex(RebuildTrigger trigger, Completion<Status> done = {});
  void setWorkMode(WorkMode mode);
  void setIndexingIntensity(IndexingIntensity intensity);
  // Called with every progress update, and once at once with the current state.
  void setProgressObserver(Completion<Progress> observer);
  // Called when a pass (full, incremental or poll) ends.
  void setPassObserver(Completion<PassSummary> observer);
  void progress(Completion<Progress> done);

 private:
  // One pass in progress: full, incremental (continuation) or poll.
  struct Pass {
    uint64_t generation = 0;
    PassSummary summary;
    RetryStrategy strategy = RetryStrategy::continuous;
    double cutoff = 0;
    int64_t highestRowID = 0;
    int64_t deletedOldChunks = 0;
    ContactNameLookup names;
    std::unique_ptr<MessageChunkBuilder> builder;  // reads `names`
    std::vector<ChatInfo> chats;
    size_t nextChat = 0;
    std::vector<std::pair<std::string, std::vector<RawMessage>>> groups;
    size_t nextGroup = 0;
    TaskHandle timers = TaskHandle::make();  // batch pauses
    EmbeddingCoordinator::LeaseRef lease;
    MonoTime startedAt{};
    // A full pass that goes on with an interrupted one.
    bool resuming = false;
    std::function<void(MessageChunkIndexer&, PassSummary::Outcome)> then;
  };

  struct Resume {
    enum class Kind { full, incremental, retryLater };
    Kind kind = Kind::full;
    int64_t rowID = 0;
    bool continuesInterruptedPass = false;
    std::string retryReason;  // retryLater: why, when not the index file's state
  };
  using Step = std::function<void(MessageChunkIndexer&)>;

  explicit MessageChunkIndexer(Dependencies deps);
  void post(Step work);
  void postDelayed(Duration delay, TaskHandle handle, Step work);
  // A completion that runs `f` on the indexer's runner while pass `generation` is current.
  template <typename T>
  Completion<T> inPass(uint64_t generation, std::function<void(MessageChunkIndexer&, T)> f);
  template <typename T>
  Completion<T> onRunner(std::function<void(MessageChunkIndexer&, T)> f);

  // Starting and resuming (MessageChunkIndexerResume.cpp).
  void startNow();
  void catchUpNow(Completion<bool> done);
  // Checks first that the index belongs to the database being read.
  void determineResume(bool scheduled, std::function<void(MessageChunkIndexer&, Resume)> then);
  void determineResumeForSameDatabase(bool scheduled, std::function<void(MessageChunkIndexer&, Resume)> then);
  void runPass(Resume resume, RetryStrategy strategy, std::function<void(MessageChunkIndexer&, bool)> then);

  // Passes (MessageChunkIndexer.cpp).
  void beginPass(PassSummary::Kind kind, RetryStrategy strategy);
  void performFullIndexing();
  void indexNextChat();
  // Stores a conversation's records in a resumed full pass: nothing when its
  // last chunk is stored as built, else after removing what it has stored.
  void storeResumedConversation(std::string chatGUID, std::vector<MessageChunkRecord> records, Step then);
  void removeConversationChunks(std::string chatGUID, std::optional<std::string> previous, Step then);
  void finishFullIndexing();
  void performIncrementalIndexing(int64_t afterRowID, int64_t limit);
  void updateNextConversation();
  void finishIncrementalIndexing();
  void encodeAndStoreChunks(std::vector<MessageChunkRecord> records, size_t from, Step then);
  void endPass(PassSummary::Outcome outcome, const std::string& detail = "");
  // The pass as `pallix status` shows it, in the process's statistics.
  void recordPassStatistics(const Pass& pass) const;
  void recordLastIndexedRowID(int64_t rowID);
  int64_t lastIndexedRowID() const;
  double cutoff() const;

  // Polling and supervision (MessageChunkIndexerSupervision.cpp).
  void enterPollingLoop();
  void schedulePoll();
  void pollOnce();
  void scheduleRetry(Duration delay, const std::string& reason, RetryStrategy strategy);
  void scheduleWatchdog();
  void checkForStall();
  void cancelPass();
  void rebuildNow(RebuildTrigger trigger, Completion<Status> done);
  void markProgress();
  void publishProgress();
  void setStatePhase(State state, Phase phase);

  Dependencies deps_;
  Logger logger_{"MessageChunkIndexer"};
  ScopedObservation resetObservation_;

  WorkMode workMode_ = WorkMode::idle;
  IndexingIntensity intensity_ = IndexingIntensity::balanced;
  Duration currentPollInterval_;
  bool isPaused_ = false;
  bool continuous_ = false;
  bool polling_ = false;
  std::unique_ptr<Pass> pass_;
  uint64_t passGeneration_ = 0;
  Progress progress_;
  Completion<Progress> progressObserver_;
  Completion<PassSummary> passObserver_;
  TaskHandle pollTask_;
  TaskHandle retryTask_;
  TaskHandle watchdogTask_;
  MonoTime lastProgressMono_{};
  std::optional<MonoTime> lastHeartbeatTelemetryAt_;
  int stallRestartCount_ = 0;
  bool didEscalateAfterStall_ = false;
};

template <typename T>
inline Completion<T> MessageChunkIndexer::onRunner(std::function<void(MessageChunkIndexer&, T)> f) {
  return Completion<T>(deps_.runner, [weak = weak_from_this(), f = std::move(f)](T value) {
    if (auto self = weak.lock()) f(*self, std::move(value));
  });
}

template <typename T>
inline Completion<T> MessageChunkIndexer::inPass(uint64_t generation, std::function<void(MessageChunkIndexer&, T)> f) {
  return onRunner<T>([generation, f = std::move(f)](MessageChunkIndexer& i, T value) {
    if (i.pass_ && i.pass_->generation == generation) f(i, std::move(value));
  });
}

const char* stateName(MessageChunkIndexer::State state);
const char* phaseName(MessageChunkIndexer::Phase phase);

}  // namespace pallix
