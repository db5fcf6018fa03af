// RequestedPasses: the passes that commands asked the agent for, one kind of
// indexer each (the file side's full passes, the message side's catch-ups).
// The latest request is kept with the last few that ended, so a command
// still waiting for its outcome hears it even after a later request started
// another pass.
//
// Threading: the main runner, like its owner (SemanticLifecycle).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>

namespace pallix {

enum class RequestedPassState { queued, running, done };

template <typename Summary>
struct RequestedPass {
  using State = RequestedPassState;
  uint64_t id = 0;
  State state = State::queued;
  Summary summary;  // once done
};

template <typename Summary>
class RequestedPasses {
 public:
  using Pass = RequestedPass<Summary>;
  static constexpr size_t kEndedPassesKept = 16;

  // The id of the pass that will answer a new request, and whether it is a
  // new one: a request while one waits or runs joins it.
  std::pair<uint64_t, bool> request() {
    if (latest_ && latest_->state != RequestedPassState::done) return {latest_->id, false};
    if (latest_) {
      ended_.push_back(*latest_);
      if (ended_.size() > kEndedPassesKept) ended_.pop_front();
    }
    latest_ = Pass{nextId_++};
    return {latest_->id, true};
  }

  std::optional<Pass> find(uint64_t id) const {
    if (latest_ && latest_->id == id) return latest_;
    for (const Pass& ended : ended_) {
      if (ended.id == id) return ended;
    }
    return std::nullopt;
  }

  // The latest request while it waits to start; nullopt otherwise.
  std::optional<uint64_t> queued() const {
    if (latest_ && latest_->state == RequestedPassState::queued) return latest_->id;
    return std::nullopt;
  }
  // The latest request while it is not over; nullopt otherwise.
  std::optional<uint64_t> pending() const {
    if (latest_ && latest_->state != RequestedPassState::done) return latest_->id;
    return std::nullopt;
  }

  void markRunning(uint64_t id) {
    if (latest_ && latest_->id == id) latest_->state = RequestedPassState::running;
  }
  // Back to waiting: the indexer turned out to be busy after all.
  void markQueued(uint64_t id) {
    if (latest_ && latest_->id == id) latest_->state = RequestedPassState::queued;
  }
  void finish(uint64_t id, Summary summary) {
    if (!latest_ || latest_->id != id) return;
    latest_->state = RequestedPassState::done;
    latest_->summary = std::move(summary);
  }

 private:
  std::optional<Pass> latest_;
  std::deque<Pass> ended_;  // newest last, at most kEndedPassesKept
  uint64_t nextId_ = 1;
};

}  // namespace pallix
