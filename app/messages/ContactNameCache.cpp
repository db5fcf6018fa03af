#include "app/messages/ContactNameCache.h"

namespace pallix {

std::optional<ContactCacheEntry> ContactNameCache::find(const std::string& handle) {
  MutexLock lock(mutex_);
  auto it = slots_.find(handle);
  if (it == slots_.end()) return std::nullopt;
  recency_.splice(recency_.begin(), recency_, it->second.recency);
  return it->second.entry;
}

void ContactNameCache::store(const std::string& handle, ContactCacheEntry entry) {
  size_t cost = (entry.displayName ? entry.displayName->size() : 0) + (entry.imageData ? entry.imageData->size() : 0);
  MutexLock lock(mutex_);
  if (auto it = slots_.find(handle); it != slots_.end()) {
    totalCost_ -= it->second.cost;
    recency_.erase(it->second.recency);
    slots_.erase(it);
  }
  if (cost > costLimit_ || countLimit_ == 0) return;  // would evict everything else and still not fit
  recency_.push_front(handle);
  slots_[handle] = Slot{std::move(entry), cost, recency_.begin()};
  totalCost_ += cost;
  evictLocked();
}

void ContactNameCache::evictLocked() {
  while (!recency_.empty() && (slots_.size() > countLimit_ || totalCost_ > costLimit_)) {
    auto it = slots_.find(recency_.back());
    totalCost_ -= it->second.cost;
    slots_.erase(it);
    recency_.pop_back();
  }
}

void ContactNameCache::clear() {
  MutexLock lock(mutex_);
  slots_.clear();
  recency_.clear();
  totalCost_ = 0;
}

size_t ContactNameCache::count() const {
  MutexLock lock(mutex_);
  return slots_.size();
}

size_t ContactNameCache::totalCost() const {
  MutexLock lock(mutex_);
  return totalCost_;
}

}  // namespace pallix
