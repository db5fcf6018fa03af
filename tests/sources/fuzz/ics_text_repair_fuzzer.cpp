// libFuzzer target: arbitrary bytes as a calendar file, through the repairs
// made before libical reads it. They must never crash, must leave no folded
// line behind, must end every line with CRLF, and repairing twice must give
// what repairing once gave.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/platform/linux/IcsTextRepair.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string once = pallix::repairIcsText(std::string_view(reinterpret_cast<const char*>(data), size));
  auto fail = [](const char* what) {
    std::fprintf(stderr, "invariant failed: %s\n", what);
    std::abort();
  };
  if (!once.empty() && (once.size() < 2 || once.compare(once.size() - 2, 2, "\r\n") != 0)) fail("last line end");
  for (size_t at = once.find('\n'); at != std::string::npos; at = once.find('\n', at + 1)) {
    if (at == 0 || once[at - 1] != '\r') fail("a line ends without CR");
    if (at + 1 < once.size() && (once[at + 1] == ' ' || once[at + 1] == '\t')) fail("a folded line is left");
  }
  if (pallix::repairIcsText(once) != once) fail("repairing twice changes the text");
  return 0;
}
