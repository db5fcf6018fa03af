// EmbeddingCoordinator: the process-wide lease on the embedding model. Only
// the holder of the lease runs embedding work; the others wait in a strictly
// first-come queue and give up after their time-out.
//
// A granted lease reaches its client as a HeldLease handle: dropping the last
// copy of the handle releases the lease, so a lease is given back on every
// path, errors and cancelled tasks included. Acquiring returns a request
// identifier that cancels the wait.
//
// Threading: an actor on its own runner; every call posts to it. shared() is
// the production instance (its own SerialExecutor); indexers receive the
// coordinator by injection, so tests pass their own.
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/Clock.h"
#include "core/Completion.h"
#include "core/TaskRunner.h"
#include "core/UUID.h"

namespace pallix {

class EmbeddingCoordinator : public std::enable_shared_from_this<EmbeddingCoordinator> {
 public:
  struct Lease {
    UUID id;
    std::string owner;
    Date acquiredAt;
  };

  // A granted lease; releases it when destroyed or by release().
  class HeldLease {
   public:
    HeldLease(std::weak_ptr<EmbeddingCoordinator> coordinator, Lease lease)
        : coordinator_(std::move(coordinator)), lease_(std::move(lease)) {}
    HeldLease(const HeldLease&) = delete;
    HeldLease& operator=(const HeldLease&) = delete;
    ~HeldLease() { release(); }
    const Lease& lease() const { return lease_; }
    void release();

   private:
    std::weak_ptr<EmbeddingCoordinator> coordinator_;
    Lease lease_;
    bool released_ = false;
  };
  using LeaseRef = std::shared_ptr<HeldLease>;

  // Who holds the lease and who waits, for status displays and tests.
  struct State {
    std::optional<Lease> activeLease;
    std::vector<std::string> queuedOwners;  // oldest first
  };

  static std::shared_ptr<EmbeddingCoordinator> create(TaskRunnerPtr runner);
  // The process-wide instance, created on first use.
  static const std::shared_ptr<EmbeddingCoordinator>& shared();

  // Asks for the lease for `owner`; `done` receives it, or null when
  // `timeout` passes first or the request is cancelled.
  UUID acquire(std::string owner, Duration timeout, Completion<LeaseRef> done);
  // Gives up a waiting request (it is resumed with null).
  void cancel(const UUID& requestID);
  // Gives a lease back; grants the next request when it was the active one.
  void release(const Lease& lease);
  void state(Completion<State> done);

  const TaskRunnerPtr& runner() const { return runner_; }

 private:
  struct QueuedRequest {
    UUID id;
    std::string owner;
    MonoTime enqueuedAt;
    Completion<LeaseRef> continuation;
  };

  explicit EmbeddingCoordinator(TaskRunnerPtr runner) : runner_(std::move(runner)) {}
  void acquireNow(UUID id, std::string owner, Duration timeout, Completion<LeaseRef> done);
  void timeOut(const UUID& id);
  void cancelNow(const UUID& id);
  void releaseNow(const UUID& leaseID);
  void grantNextIfAvailable();
  LeaseRef grant(const std::string& owner);

  TaskRunnerPtr runner_;
  std::optional<Lease> activeLease_;
  std::deque<QueuedRequest> queue_;
  std::map<UUID, TaskHandle> timeoutTasks_;
};

}  // namespace pallix
