// A task bound to an object it must not keep alive: actors that post work to
// their own runner hold themselves weakly, so that work still queued when
// their owner lets go of them is dropped instead of running on a dead object.
#pragma once

#include <functional>
#include <memory>
#include <utility>

namespace pallix {

// Runs `work` on the object `target` refers to, or does nothing once it is gone.
template <typename T>
std::function<void()> whileAlive(std::weak_ptr<T> target, std::function<void(T&)> work) {
  return [target = std::move(target), work = std::move(work)] {
    if (auto self = target.lock()) work(*self);
  };
}

}  // namespace pallix
