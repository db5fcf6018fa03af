#include "app/semantic/EmbeddingCoordinator.h"

#include <algorithm>

#include "core/RunLoop.h"
#include "core/Telemetry.h"

namespace pallix {

void EmbeddingCoordinator::HeldLease::release() {
  if (released_) return;
  released_ = true;
  if (auto coordinator = coordinator_.lock()) coordinator->release(lease_);
}

std::shared_ptr<EmbeddingCoordinator> EmbeddingCoordinator::create(TaskRunnerPtr runner) {
  return std::shared_ptr<EmbeddingCoordinator>(new EmbeddingCoordinator(std::move(runner)));
}

const std::shared_ptr<EmbeddingCoordinator>& EmbeddingCoordinator::shared() {
  static const std::shared_ptr<EmbeddingCoordinator> instance = create(SerialExecutor::create("pallix-lease"));
  return instance;
}

UUID EmbeddingCoordinator::acquire(std::string owner, Duration timeout, Completion<LeaseRef> done) {
  const UUID id = UUID::random();
  runner_->post([weak = weak_from_this(), id, owner = std::move(owner), timeout, done]() mutable {
    if (auto self = weak.lock()) {
      self->acquireNow(id, std::move(owner), timeout, std::move(done));
    } else {
      done(nullptr);
    }
  });
  return id;
}

void EmbeddingCoordinator::cancel(const UUID& requestID) {
  runner_->post([weak = weak_from_this(), requestID] {
    if (auto self = weak.lock()) self->cancelNow(requestID);
  });
}

void EmbeddingCoordinator::release(const Lease& lease) {
  runner_->post([weak = weak_from_this(), id = lease.id] {
    if (auto self = weak.lock()) self->releaseNow(id);
  });
}

void EmbeddingCoordinator::state(Completion<State> done) {
  runner_->post([weak = weak_from_this(), done] {
    auto self = weak.lock();
    if (!self) return;
    State s;
    s.activeLease = self->activeLease_;
    for (const auto& request : self->queue_) s.queuedOwners.push_back(request.owner);
    done(std::move(s));
  });
}

EmbeddingCoordinator::LeaseRef EmbeddingCoordinator::grant(const std::string& owner) {
  activeLease_ = Lease{UUID::random(), owner, runner_->clock().wallNow()};
  return std::make_shared<HeldLease>(weak_from_this(), *activeLease_);
}

void EmbeddingCoordinator::acquireNow(UUID id, std::string owner, Duration timeout, Completion<LeaseRef> done) {
  if (!activeLease_ && queue_.empty()) {
    done(grant(owner));
    return;
  }
  queue_.push_back({id, std::move(owner), runner_->clock().now(), std::move(done)});
  timeoutTasks_[id] = runner_->postDelayed(timeout, [weak = weak_from_this(), id] {
    if (auto self = weak.lock()) self->timeOut(id);
  });
}

void EmbeddingCoordinator::timeOut(const UUID& id) {
  timeoutTasks_.erase(id);
  auto it = std::find_if(queue_.begin(), queue_.end(), [&](const QueuedRequest& r) { return r.id == id; });
  if (it == queue_.end()) return;
  QueuedRequest request = std::move(*it);
  queue_.erase(it);
  request.continuation(nullptr);
  TelemetryService::signal("EmbeddingCoordinator.acquireTimeout",
                           {{"owner", request.owner}, {"pendingRequests", std::to_string(queue_.size())}});
}

void EmbeddingCoordinator::cancelNow(const UUID& id) {
  auto it = std::find_if(queue_.begin(), queue_.end(), [&](const QueuedRequest& r) { return r.id == id; });
  if (it == queue_.end()) return;
  QueuedRequest request = std::move(*it);
  queue_.erase(it);
  if (auto task = timeoutTasks_.find(id); task != timeoutTasks_.end()) {
    task->second.cancel();
    timeoutTasks_.erase(task);
  }
  request.continuation(nullptr);
}

void EmbeddingCoordinator::releaseNow(const UUID& leaseID) {
  if (!activeLease_ || activeLease_->id != leaseID) return;
  activeLease_.reset();
  grantNextIfAvailable();
}

void EmbeddingCoordinator::grantNextIfAvailable() {
  if (activeLease_ || queue_.empty()) return;
  QueuedRequest request = std::move(queue_.front());
  queue_.pop_front();
  if (auto task = timeoutTasks_.find(request.id); task != timeoutTasks_.end()) {
    task->second.cancel();
    timeoutTasks_.erase(task);
  }
  const auto waited =
      std::chrono::duration_cast<std::chrono::milliseconds>(runner_->clock().now() - request.enqueuedAt);
  request.continuation(grant(request.owner));
  TelemetryService::signal("EmbeddingCoordinator.acquireGranted",
                           {{"owner", request.owner},
                            {"waitMs", std::to_string(waited.count())},
                            {"remainingQueueDepth", std::to_string(queue_.size())}});
}

}  // namespace pallix
