// ContactNameCache: handle to contact name and thumbnail, bounded by a count
// and by a total cost (the bytes of names and images); the least recently
// used entries go first. Thread-safe: the two text searches resolve senders
// at the same time.
#pragma once

#include <cstddef>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "app/messages/MessageRecords.h"
#include "core/ThreadAnnotations.h"

namespace pallix {

class ContactNameCache {
 public:
  ContactNameCache(size_t countLimit, size_t costLimit) : countLimit_(countLimit), costLimit_(costLimit) {}

  std::optional<ContactCacheEntry> find(const std::string& handle);
  void store(const std::string& handle, ContactCacheEntry entry);
  void clear();
  size_t count() const;
  size_t totalCost() const;

 private:
  struct Slot {
    ContactCacheEntry entry;
    size_t cost = 0;
    std::list<std::string>::iterator recency;
  };
  void evictLocked() REQUIRES(mutex_);

  const size_t countLimit_;
  const size_t costLimit_;
  mutable Mutex mutex_;
  std::list<std::string> recency_ GUARDED_BY(mutex_);
  std::unordered_map<std::string, Slot> slots_ GUARDED_BY(mutex_);
  size_t totalCost_ GUARDED_BY(mutex_) = 0;
};

}  // namespace pallix
