// A separate Pallix-like process for the single-instance tests: takes the
// instance at argv[1] (lock) and argv[2] (socket), prints "ready", and exits
// with status 0 once another instance asks it to terminate (3 if nobody
// asks within a minute).
#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "app/platform/linux/LockFileSingleInstance.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  pallix::LockFileSingleInstance instance({argv[1], argv[2], pallix::seconds(5)});
  std::mutex mutex;
  std::condition_variable cv;
  bool asked = false;
  auto acquired = instance.acquire([&] {
    std::lock_guard<std::mutex> lock(mutex);
    asked = true;
    cv.notify_all();
  });
  if (!acquired.ok()) return 2;
  std::printf("ready\n");
  std::fflush(stdout);
  std::unique_lock<std::mutex> lock(mutex);
  cv.wait_for(lock, std::chrono::seconds(60), [&] { return asked; });
  lock.unlock();
  instance.release();
  return asked ? 0 : 3;
}
