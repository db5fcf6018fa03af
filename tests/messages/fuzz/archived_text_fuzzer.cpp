// libFuzzer target: arbitrary bytes as an archived message body. The byte
// scan and the clean-up must never crash, and what they return must be a
// trimmed run of text taken from the input.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "ArchivedTextInvariants.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string failure =
      pallix::testing::checkArchivedTextInvariants(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!failure.empty()) {
    std::fprintf(stderr, "invariant failed: %s\n", failure.c_str());
    std::abort();
  }
  return 0;
}
