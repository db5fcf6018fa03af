// CostLimitedCache: a small in-memory cache bounded by entry count and by
// total cost (bytes), evicting the least recently used entries first.
// Not thread-safe: owned by one runner (the clipboard service's).
#pragma once

#include <cstddef>
#include <list>
#include <map>
#include <optional>
#include <utility>

namespace pallix {

template <typename Key, typename Value>
class CostLimitedCache {
 public:
  CostLimitedCache(size_t countLimit, size_t costLimit) : countLimit_(countLimit), costLimit_(costLimit) {}

  std::optional<Value> get(const Key& key) {
    auto it = index_.find(key);
    if (it == index_.end()) return std::nullopt;
    entries_.splice(entries_.begin(), entries_, it->second);
    return it->second->value;
  }
  // An entry costing more than the whole limit is not kept.
  void put(const Key& key, Value value, size_t cost) {
    remove(key);
    if (cost > costLimit_) return;
    entries_.push_front(Entry{key, std::move(value), cost});
    index_[key] = entries_.begin();
    totalCost_ += cost;
    while (entries_.size() > countLimit_ || totalCost_ > costLimit_) remove(entries_.back().key);
  }
  void remove(const Key& key) {
    auto it = index_.find(key);
    if (it == index_.end()) return;
    totalCost_ -= it->second->cost;
    entries_.erase(it->second);
    index_.erase(it);
  }
  void clear() {
    entries_.clear();
    index_.clear();
    totalCost_ = 0;
  }
  size_t size() const { return entries_.size(); }
  size_t totalCost() const { return totalCost_; }

 private:
  struct Entry {
    Key key;
    Value value;
    size_t cost;
  };
  size_t countLimit_;
  size_t costLimit_;
  size_t totalCost_ = 0;
  std::list<Entry> entries_;
  std::map<Key, typename std::list<Entry>::iterator> index_;
};

}  // namespace pallix
