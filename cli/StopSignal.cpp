#include "cli/StopSignal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <mutex>
#include <thread>

namespace pallix::cli {
namespace {

int g_pipe[2] = {-1, -1};
std::mutex g_mutex;
std::function<void()> g_onStop;

void onSignal(int) {
  const int saved = errno;
  char byte = 1;
  (void)!::write(g_pipe[1], &byte, 1);
  errno = saved;
}

}  // namespace

Status installStopSignalHandler(std::function<void()> onStop) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_onStop = std::move(onStop);
  if (g_pipe[0] >= 0) return okStatus();
  if (::pipe2(g_pipe, O_CLOEXEC) != 0) return Error::fromErrno("cannot create a pipe for Ctrl-C handling", errno);
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
  std::thread([] {
    char byte = 0;
    while (true) {
      ssize_t n = ::read(g_pipe[0], &byte, 1);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      std::function<void()> stop;
      {
        std::lock_guard<std::mutex> lock(g_mutex);
        stop = g_onStop;
      }
      if (stop) stop();
    }
  }).detach();
  return okStatus();
}

}  // namespace pallix::cli
