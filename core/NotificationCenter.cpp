#include "core/NotificationCenter.h"

#include <vector>

namespace pallix {

NotificationCenter& NotificationCenter::defaultCenter() {
  static NotificationCenter center;
  return center;
}

NotificationCenter::Token NotificationCenter::addObserver(const std::string& name, Observer observer) {
  MutexLock lock(mutex_);
  Token token = nextToken_++;
  observers_[token] = Entry{name, std::make_shared<Observer>(std::move(observer))};
  return token;
}

void NotificationCenter::removeObserver(Token token) {
  MutexLock lock(mutex_);
  observers_.erase(token);
}

void NotificationCenter::post(const std::string& name, std::any object) {
  std::vector<std::shared_ptr<Observer>> targets;
  {
    MutexLock lock(mutex_);
    for (const auto& [token, entry] : observers_) {
      if (entry.name == name) targets.push_back(entry.observer);
    }
  }
  Notification notification{name, std::move(object)};
  for (const auto& observer : targets) (*observer)(notification);
}

size_t NotificationCenter::observerCount(const std::string& name) const {
  MutexLock lock(mutex_);
  size_t n = 0;
  for (const auto& [token, entry] : observers_) n += entry.name == name;
  return n;
}

}  // namespace pallix
