// NotificationCenter: named broadcasts between subsystems
// ("FilesPreferencesDidChange", "EmbeddingModelDidChange", ...).
//
// Delivery is synchronous, on the posting thread, to the observers registered
// when the post began. Observers may add or remove observers while handling.
#pragma once

#include <any>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "core/ThreadAnnotations.h"

namespace pallix {

struct Notification {
  std::string name;
  // The posting object (for preference changes, a pointer to the preference
  // object; for "EmbeddingModelDidChange", the new model).
  std::any object;
};

class NotificationCenter {
 public:
  using Observer = std::function<void(const Notification&)>;
  using Token = uint64_t;

  static NotificationCenter& defaultCenter();

  Token addObserver(const std::string& name, Observer observer);
  void removeObserver(Token token);
  void post(const std::string& name, std::any object = {});
  size_t observerCount(const std::string& name) const;

 private:
  struct Entry {
    std::string name;
    std::shared_ptr<Observer> observer;
  };
  mutable Mutex mutex_;
  std::map<Token, Entry> observers_ GUARDED_BY(mutex_);
  Token nextToken_ GUARDED_BY(mutex_) = 1;
};

// Removes its observer when destroyed.
class ScopedObservation {
 public:
  ScopedObservation() = default;
  ScopedObservation(NotificationCenter& center, const std::string& name, NotificationCenter::Observer observer)
      : center_(&center), token_(center.addObserver(name, std::move(observer))) {}
  ScopedObservation(ScopedObservation&& other) noexcept { *this = std::move(other); }
  ScopedObservation& operator=(ScopedObservation&& other) noexcept {
    reset();
    center_ = other.center_;
    token_ = other.token_;
    other.center_ = nullptr;
    return *this;
  }
  ~ScopedObservation() { reset(); }
  void reset() {
    if (center_) center_->removeObserver(token_);
    center_ = nullptr;
  }

 private:
  NotificationCenter* center_ = nullptr;
  NotificationCenter::Token token_ = 0;
};

}  // namespace pallix
