// ClipboardStore: the clipboard history's records in "Pallix.sqlite"
// (tables of app/platform/ClipboardStoreSchema.h).
//
// Writes join one open transaction that save() commits, so the service can
// batch a burst of captures into one commit; reads see the uncommitted
// writes of this connection. Items read for listing carry representation
// metadata only (type, order, size); loadRepresentations() reads the bytes.
// A text representation's bytes are stored once, as its data; its
// stringValue is read back from them. Pinned items list first and are never
// removed in bulk: only remove() deletes one. Text items may carry a vector
// (search by meaning, ClipboardSemanticIndex), tagged with the model that
// made it; an item's vector goes with the item, however it is deleted.
//
// Threading: not thread-safe, like the connection it is given (which it
// does not own). ClipboardService uses it on its runner and its capture
// runner, one call at a time under ClipboardCaptureWorker's store lock.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/clipboard/ClipboardItem.h"
#include "app/platform/PersistentStore.h"

namespace pallix {

class ClipboardStore {
 public:
  explicit ClipboardStore(PersistentStore& store) : store_(store) {}
  ~ClipboardStore();
  ClipboardStore(const ClipboardStore&) = delete;
  ClipboardStore& operator=(const ClipboardStore&) = delete;

  // The item with this content hash (there is at most one).
  Result<std::optional<ClipboardItem>> findByHash(const std::string& contentHash);
  Result<std::optional<ClipboardItem>> findById(int64_t id);
  // Inserts `item` with its representations and sets its id.
  Status insert(ClipboardItem& item);
  // Moves an item to the top: a new createdAt and change counter.
  Status touch(int64_t id, Date createdAt, int64_t changeCount);
  Status setPinned(int64_t id, bool pinned);
  Status remove(int64_t id);
  // Deletes every item that is not pinned; returns how many.
  Result<int64_t> removeUnpinned();
  // Deletes the unpinned items created before `cutoff`; returns how many.
  Result<int64_t> removeCreatedBefore(Date cutoff);
  // Deletes the oldest unpinned items until what all the items hold (their
  // representations' bytes) fits in `bytes`; pinned items and the newest
  // unpinned one always stay. Returns how many went.
  Result<int64_t> removeOldestBeyond(int64_t bytes);
  // The bytes every item's representations hold.
  Result<int64_t> payloadBytes();
  // The bytes of the store file that lie free (deleted records), and the
  // file's size.
  Result<std::pair<int64_t, int64_t>> reclaimableSpace();
  // Every item, pinned ones first, then newest first (at most `limit` when
  // given), without bytes.
  Result<std::vector<ClipboardItem>> fetchAll(std::optional<int64_t> limit = std::nullopt);
  // An item's representations with their bytes, in order.
  Result<std::vector<ClipboardRepresentation>> loadRepresentations(int64_t id);
  Result<int64_t> count();

  // ---- Vectors of text items (ClipboardStoreEmbeddings.cpp) ----
  struct TextToEmbed {
    int64_t id = 0;
    std::string text;
  };
  struct StoredEmbedding {
    int64_t id = 0;
    std::vector<float> vector;
  };
  // Text items with no vector of `model`, newest first, at most `limit`.
  Result<std::vector<TextToEmbed>> textsWithoutEmbedding(const std::string& model, int64_t limit);
  // Stores `vector` as item `id`'s when the item still holds `text` (it may
  // have been deleted, or its id reused, since the text was read); returns
  // whether it was stored.
  Result<bool> storeEmbedding(int64_t id, const std::string& text, const std::string& model,
                              const std::vector<float>& vector);
  // Every vector of `model`.
  Result<std::vector<StoredEmbedding>> embeddings(const std::string& model);
  // Deletes the vectors of every other model; returns how many.
  Result<int64_t> removeEmbeddingsNotOf(const std::string& model);
  Result<int64_t> embeddingCount();

  // Commits the open transaction, if any.
  Status save();
  bool hasUncommittedChanges() const { return inTransaction_; }
  // Drops the writes since the last save (after a failed one).
  void discardUncommitted();

 private:
  Status ensureTransaction();
  Result<std::vector<ClipboardItem>> query(const std::string& where, const std::vector<std::string>& textArgs,
                                           std::optional<int64_t> intArg, std::optional<int64_t> limit);
  Status loadMetadata(std::vector<ClipboardItem>& items);

  PersistentStore& store_;
  bool inTransaction_ = false;
};

}  // namespace pallix
