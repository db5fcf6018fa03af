// A long-lived settings writer, like the agent: opens the defaults file once,
// waits for a byte on standard input (so several writers start together),
// then writes COUNT keys "PREFIX<i>" = i, one at a time.
//   integration_settings_writer FILE PREFIX COUNT
#include <unistd.h>

#include <cstdio>
#include <string>

#include "core/UserDefaults.h"

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  pallix::UserDefaults defaults(argv[1]);
  char go = 0;
  if (::read(STDIN_FILENO, &go, 1) != 1) return 2;
  const int count = std::stoi(argv[3]);
  for (int i = 0; i < count; ++i) {
    if (!defaults.set(argv[2] + std::to_string(i), int64_t{i}).ok()) return 1;
  }
  return 0;
}
