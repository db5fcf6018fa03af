// A separate Pallix-like process for the single-instance tests: takes the
// instance at argv[1] (lock) and argv[2] (socket), prints "ready", and exits
// with status 0 once another instance asks it to terminate (3 if nobody
// asks within a minute). With argv[3] "hung" it only holds the lock with its
// pid in it, like a hung instance that no longer listens; "hung-ignoring-term"
// also ignores SIGTERM.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>

#include "app/platform/linux/LockFileSingleInstance.h"

namespace {

int holdLockWithoutListening(const char* lockPath, bool ignoreTerm) {
  if (ignoreTerm) ::signal(SIGTERM, SIG_IGN);
  int fd = ::open(lockPath, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (fd < 0 || ::flock(fd, LOCK_EX) != 0 || ::ftruncate(fd, 0) != 0) return 2;
  if (::write(fd, pid.data(), pid.size()) != static_cast<ssize_t>(pid.size())) return 2;
  std::printf("ready\n");
  std::fflush(stdout);
  while (true) ::pause();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) return 2;
  const std::string mode = argc == 4 ? argv[3] : "";
  if (mode == "hung" || mode == "hung-ignoring-term") return holdLockWithoutListening(argv[1], mode != "hung");
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
